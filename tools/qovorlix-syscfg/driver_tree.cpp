#include "driver_tree.h"

#include <dirent.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>

#include "host_cli.h"

namespace syscfg {
namespace {

constexpr const char* kMainInterface = "qovorlixtarrowk_vorlixtarrow";

// The bus properties the library reads for every board, in its order.
constexpr const char* kBusProperties[] = {
    "pciBusNumber",     "pciDeviceNumber",  "pciFunctionNumber",  "pcieLinkWidth",
    "pcieMaxLinkWidth", "pcieTransferRate", "pcieMaxTransferRate"};

std::vector<std::string> entriesOf(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return text;
}

// A 4-byte little-endian bus property.
std::optional<std::uint32_t> readU32(const std::string& path) {
  const auto bytes = readFile(path);
  if (!bytes || bytes->size() != 4) return std::nullopt;
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>((*bytes)[i]);
  return v;
}

}  // namespace

std::vector<DriverBoard> readDriverTree(const std::string& root) {
  std::vector<DriverBoard> boards;
  for (const std::string& device : entriesOf(root)) {
    const std::string dir = root + "/" + device;
    if (!isDirectory(dir)) continue;
    DriverBoard b;
    b.device = device;
    // The driver's device qovorlix<n> is the board the library would name KEL<n>.
    if (const long n = hostcli::boardNumber(device); n >= 0 && device.rfind("qovorlix", 0) == 0)
      b.item = "KEL" + std::to_string(n);
    for (const char* p : kBusProperties) {
      struct stat st {};
      if (::stat((dir + "/busProperties/" + p).c_str(), &st) != 0)
        b.missingBusProperties.push_back(p);
    }
    const auto bus = readU32(dir + "/busProperties/pciBusNumber");
    const auto dev = readU32(dir + "/busProperties/pciDeviceNumber");
    const auto fn = readU32(dir + "/busProperties/pciFunctionNumber");
    if (bus && dev && fn) b.pci = fmt::format("{:02x}:{:02x}.{:x}", *bus, *dev, *fn);
    const std::string prefix = std::string(kMainInterface) + "\\";
    for (const std::string& entry : entriesOf(dir + "/deviceInterfaces")) {
      if (entry.rfind(prefix, 0) != 0) continue;
      b.hasMainInterface = true;
      if (const auto path = readFile(dir + "/deviceInterfaces/" + entry + "/interfacePath")) {
        std::string p = *path;
        while (!p.empty() && (p.back() == '\n' || p.back() == '\0')) p.pop_back();
        b.interfacePath = p;
        b.interfacePathReadable = !p.empty();
        struct stat st {};
        b.nodePresent = b.interfacePathReadable && ::stat(p.c_str(), &st) == 0;
      }
      break;
    }
    boards.push_back(std::move(b));
  }
  return boards;
}

std::string notServedReason(const DriverBoard& b) {
  if (!b.missingBusProperties.empty()) {
    std::string names;
    for (const std::string& n : b.missingBusProperties) names += (names.empty() ? "" : ", ") + n;
    return fmt::format("the driver publishes no bus propert{} {}",
                       b.missingBusProperties.size() == 1 ? "y" : "ies", names);
  }
  if (!b.hasMainInterface)
    return fmt::format("the driver publishes no {} interface for it", kMainInterface);
  if (!b.interfacePathReadable)
    return fmt::format("the path of its {} interface cannot be read", kMainInterface);
  if (!b.nodePresent)
    return fmt::format("its interface node {} is missing", hostcli::printable(b.interfacePath));
  return "its product is not one the library serves, or its identity could not be read";
}

std::vector<DriverBoard> notServed(const std::vector<DriverBoard>& tree,
                                   const std::set<std::string>& servedDevices) {
  std::vector<DriverBoard> out;
  for (const DriverBoard& b : tree)
    if (servedDevices.count(b.device) == 0) out.push_back(b);
  return out;
}

}  // namespace syscfg
