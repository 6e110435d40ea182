// What the kernel driver publishes about its boards in /proc/driver/qo, read as lspci reads sysfs:
// the host uses it only to explain a board that the library does not serve (it never replaces
// what the library reports).
#pragma once

#include <set>
#include <string>
#include <vector>

namespace syscfg {

// One device directory of the driver's tree.
struct DriverBoard {
  std::string device;  // directory name, e.g. "qovorlix3"
  std::string item;    // the item name the board would have ("KEL3"), or "" when unknown
  std::vector<std::string> missingBusProperties;  // of the seven the library reads
  bool hasMainInterface = false;                  // a qovorlixtarrowk_vorlixtarrow entry
  std::string interfacePath;                      // its node, "" when unreadable
  bool interfacePathReadable = false;
  bool nodePresent = false;
  std::string pci;  // "bb:dd.f" from the bus properties, "" when incomplete
};

// Every device directory under `root` (hidden entries skipped), sorted by device name. An
// unreadable or absent root gives no boards.
std::vector<DriverBoard> readDriverTree(const std::string& root = "/proc/driver/qo");

// Why the library leaves the board out, as far as the driver's tree tells.
std::string notServedReason(const DriverBoard& board);

// The boards of the tree that no served item stands for: `servedDevices` are the driver device
// names the served items report.
std::vector<DriverBoard> notServed(const std::vector<DriverBoard>& tree,
                                   const std::set<std::string>& servedDevices);

}  // namespace syscfg
