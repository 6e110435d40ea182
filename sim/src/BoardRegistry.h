// The plugged boards of the simulated machine: each board's state (typed model, register files,
// firmware engine, routing), its interface nodes with their byte stores, and the /proc tree
// and /dev/qo entries that publish them.
//
// Its lock is the machine's board lock: it guards every board and node. Held while the
// publications write (board registry before publications) and while the machine updates the
// subscriptions of a node (board registry before subscriptions); never while the simulator
// reads or writes a caller's memory.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "BoardFile.h"
#include "Firmware.h"
#include "Publications.h"
#include "Routing.h"
#include "protocol/Hex.h"

namespace qosim {

// A control request refused with a status code for the caller (firmware requests).
struct StatusError : std::runtime_error {
  StatusError(std::int32_t s, const std::string& what) : std::runtime_error(what), status(s) {}
  std::int32_t status;
};

// A plugged board: its description (with the typed model that run-time changes edit), its
// register files and its firmware engine.
struct BoardState {
  BoardSpec description;
  std::map<std::uint32_t, std::uint32_t> registers[2];  // op0100/op0101 and op0102/op0103
  std::array<std::uint32_t, 2> op0404{};                // the last op0403 inputs
  std::map<std::string, std::uint64_t> methodCalls;     // "<interface>/<method>": calls made
  FirmwareEngine firmware;
  RoutingState routing;  // routes, reservations and resets of the routing interface
};

struct Node {
  std::uint64_t ino = 0;
  std::string name;  // <device>\<interface>\<node>
  std::string device;
  std::string interface;
  Bytes store;  // what read/write/mmap of the node see
  std::int64_t createdSec = 0;
};

class BoardRegistry {
 public:
  static constexpr std::size_t kNodeStoreSize = 65536;  // initial size of a node's byte store
  static constexpr std::size_t kMaxNodeStoreSize = 1 << 20;

  BoardRegistry(const Paths& paths, Publications& publications);

  // plug/unplug throw std::runtime_error (BoardError for a bad description) on failure. unplug
  // answers the inodes of the nodes that went.
  void plug(const BoardSpec& board);
  std::vector<std::uint64_t> unplug(const std::string& device);
  nlohmann::json list() const;
  // The plugged board a name means: its driver device name, or KEL<n> / qovorlix<n> for the
  // board with device number n (the hosts' item name and the device name alike). A name that
  // means no plugged board comes back unchanged, for the request to refuse as before.
  std::string resolveDeviceName(const std::string& name) const;
  void removeDevQo();
  void createDevQo();
  bool devQoPresent() const;

  // Nodes as the FUSE file system sees them. Nothing refers into the registry's maps.
  std::shared_ptr<Node> nodeByIno(std::uint64_t ino) const;
  std::shared_ptr<Node> nodeByName(const std::string& name) const;
  std::vector<std::pair<std::string, std::uint64_t>> nodeNames() const;
  // The device of a node (empty when the node is gone).
  std::string deviceOfNode(std::uint64_t ino) const;
  // Byte store access; false / ENODEV when the node is gone.
  bool readStore(std::uint64_t ino, std::uint64_t off, std::size_t size, Bytes& out) const;
  int writeStore(std::uint64_t ino, std::uint64_t off, const std::uint8_t* data, std::size_t size);
  int truncateStore(std::uint64_t ino, std::uint64_t size);
  std::uint64_t storeSize(std::uint64_t ino) const;

  // Runs `fn` on the plugged board under the lock; false when it is not plugged.
  template <class Fn>
  bool withBoard(const std::string& device, Fn&& fn) {
    std::lock_guard lock(mutex_);
    auto it = boards_.find(device);
    if (it == boards_.end()) return false;
    fn(it->second);
    return true;
  }
  // Runs `fn` on the node under the lock; false when it is gone.
  template <class Fn>
  bool withNode(std::uint64_t ino, Fn&& fn) {
    std::lock_guard lock(mutex_);
    auto it = nodes_.find(ino);
    if (it == nodes_.end()) return false;
    fn(static_cast<const Node&>(*it->second));
    return true;
  }
  // Runs `fn` on the board a firmware request names ("KEL<n>" by device number, or the device
  // name) under the lock; no such board throws StatusError kFirmwareNoDevice.
  template <class Fn>
  void withFirmwareBoard(const std::string& device, Fn&& fn) {
    std::lock_guard lock(mutex_);
    fn(firmwareBoard(device));
  }

  // Typed model: run-time changes (every field valid or nothing changes) and the model as JSON.
  nlohmann::json setFields(const std::string& device, const nlohmann::json& fields);
  nlohmann::json getBoard(const std::string& device) const;
  // Enumeration fault of a plugged board; status empty clears it.
  void setEnumFault(const std::string& device, const std::string& op,
                    std::optional<std::int32_t> status);

 private:
  void checkPluggable(const BoardSpec& board) const;
  void writeProcTree(const BoardSpec& board);
  void addDevQoLink(const std::string& nodeName) const;
  BoardState& firmwareBoard(const std::string& device);
  BoardState& plugged(const std::string& device);
  const BoardState& plugged(const std::string& device) const;

  const Paths paths_;
  Publications& publications_;
  mutable std::mutex mutex_;
  std::map<std::string, BoardState> boards_;  // by device, plug order kept below
  std::vector<std::string> plugOrder_;
  std::map<std::uint64_t, std::shared_ptr<Node>> nodes_;  // by inode
  std::map<std::string, std::uint64_t> nodeIndex_;        // name -> inode
  std::uint64_t nextIno_ = 2;                             // 1 is the FUSE root
  bool devQoPresent_ = false;
};

}  // namespace qosim
