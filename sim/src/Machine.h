// The simulated machine's state: plugged boards and their interface nodes, the /proc tree and
// /dev/qo entries that publish them, programmed responses, notification subscriptions and the
// request log.
//
// Locking: one mutex for the machine state (mutex_) and one for the log (logMutex_). Lock order:
// mutex_ before logMutex_; nothing is called with logMutex_ held. No lock is held while the
// simulator reads or writes a caller's memory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <array>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BoardFile.h"
#include "Firmware.h"
#include "Routing.h"

namespace qosim {

using Bytes = std::vector<std::uint8_t>;

struct Paths {
  std::string procRoot = "/proc/driver/qo";
  std::string devQo = "/dev/qo";
  std::string fuseDir;  // where the FUSE file system serving the nodes is mounted
  std::string moduleDir;  // the I/O module database directory; empty: none
};

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
  std::array<std::uint32_t, 2> op0404{};                 // the last op0403 inputs
  std::map<std::string, std::uint64_t> methodCalls;      // "<interface>/<method>" -> calls (driverFaults)
  FirmwareEngine firmware;
  RoutingState routing;  // routes, reservations and resets of the routing interface
};

// The subscription kind a routing session registers for demotion notices.
inline constexpr std::uint32_t kDemotionKind = 0x80000000;

// A notification to send (resolved from a subscription): port, cookie and payload.
struct Notice {
  std::uint32_t port = 0;
  std::uint64_t cookie = 0;
  std::vector<std::uint8_t> payload;
  nlohmann::json what;  // for the control answer
};

struct Node {
  std::uint64_t ino = 0;
  std::string name;    // <device>\<interface>\<node>
  std::string device;
  std::string interface;
  Bytes store;         // what read/write/mmap of the node see
  std::int64_t createdSec = 0;
  std::map<std::uint32_t, std::pair<std::uint64_t, std::uint32_t>> subscriptions;  // kind -> {cookie, port}
};

struct Rule {
  std::uint64_t id = 0;
  std::string target;  // node name, device name, or empty for every node
  std::optional<std::uint32_t> command;
  std::optional<Bytes> output;
  std::optional<std::uint32_t> result;
  std::optional<std::int32_t> status;
  int err = 0;
  long remaining = -1;  // -1: until cleared
  Aftermath after;      // unplug the board after answering, or crash instead of answering
};

// What the simulated driver answers to one request.
struct Decision {
  int err = 0;
  std::optional<Bytes> output;
  std::optional<std::uint32_t> result;
  std::optional<std::int32_t> status;
  std::uint64_t ruleId = 0;  // 0: default response
  Aftermath after;
};

struct LogRecord {
  std::uint64_t seq = 0;
  std::int64_t timeNs = 0;
  std::string op;
  std::string node;
  std::uint32_t command = 0;
  std::int32_t tid = 0;
  Bytes block, input, output;
  std::uint32_t inputSize = 0, outputSize = 0;
  std::uint32_t result = 0;
  int err = 0;
  std::uint64_t offset = 0;
  std::string note;
  std::string method;      // the driver method the command decodes to (empty: not in the table)
  nlohmann::json decoded;  // {"request": [{name, offset, value}...], "response": [...]}
};

class Machine {
 public:
  static constexpr std::size_t kNodeStoreSize = 65536;     // initial size of a node's byte store
  static constexpr std::size_t kMaxNodeStoreSize = 1 << 20;
  static constexpr std::size_t kMaxLogRecords = 65536;     // oldest records are dropped beyond
  static constexpr std::size_t kMaxLoggedBytes = 4096;     // per input/output block

  explicit Machine(Paths paths);

  // Machine-wide enumeration publications (procRoot/.kel: generation, faults) and the module
  // file directory; called once after procRoot exists.
  void initPublications(const std::map<std::string, std::int32_t>& machineFaults,
                        const std::vector<ModuleFile>& moduleFiles);
  std::uint64_t generation() const;
  // Enumeration fault of a board (device non-empty) or machine-wide; status empty clears it.
  void setEnumFault(const std::string& device, const std::string& op, std::optional<std::int32_t> status);
  // Adds or replaces (text given) or removes (text empty optional) a module description file.
  void setModuleFile(const std::string& name, const std::optional<std::string>& text);
  // How the relocation stand-in answers from now on ("none", "failure", "empty", "overlong");
  // nullopt: it relocates again.
  void setRelocationFault(const std::optional<std::string>& answer);

  // Typed model: run-time changes (every field valid or nothing changes) and the model as JSON.
  nlohmann::json setFields(const std::string& device, const nlohmann::json& fields);
  nlohmann::json getBoard(const std::string& device) const;
  // Runs `fn` on the plugged board under the machine lock; false when it is not plugged.
  template <class Fn>
  bool withBoard(const std::string& device, Fn&& fn) {
    std::lock_guard lock(mutex_);
    auto it = boards_.find(device);
    if (it == boards_.end()) return false;
    fn(it->second);
    return true;
  }

  // Firmware engine (device: "KEL<n>" by device number, or the device name). Refusals throw
  // StatusError with kFirmwareBusy / kFirmwareNoDevice.
  std::uint32_t firmwareUpdate(const std::string& device, std::string target, std::uint64_t size,
                               std::uint32_t flag, std::string hash,
                               std::optional<std::uint32_t> newVersion);
  FirmwareProgress firmwareProgress(const std::string& device);
  void firmwareFault(const std::string& device, std::optional<FirmwareFault> fault);
  void firmwareConfig(const std::string& device, std::optional<std::uint32_t> durationMs,
                      std::optional<std::optional<std::uint32_t>> versionAfterUpdate);
  nlohmann::json powerCycle(const std::string& device);

  // Boards. plug/unplug throw std::runtime_error (BoardError for a bad description) on failure.
  void plug(const BoardSpec& board);
  void unplug(const std::string& device);
  nlohmann::json list() const;
  // The plugged board a name means: its driver device name, or KEL<n> / qovorlix<n> for the
  // board with device number n (the hosts' item name and the device name alike). A name that
  // means no plugged board comes back unchanged, for the request to refuse as before.
  std::string resolveDeviceName(const std::string& name) const;
  void removeDevQo();
  void createDevQo();
  bool devQoPresent() const;

  // Nodes as the FUSE file system sees them. snapshot copies; nothing refers into the map.
  std::shared_ptr<Node> nodeByIno(std::uint64_t ino) const;
  std::shared_ptr<Node> nodeByName(const std::string& name) const;
  std::vector<std::pair<std::string, std::uint64_t>> nodeNames() const;
  // Byte store access; false when the node is gone.
  bool readStore(std::uint64_t ino, std::uint64_t off, std::size_t size, Bytes& out) const;
  int writeStore(std::uint64_t ino, std::uint64_t off, const std::uint8_t* data, std::size_t size);
  int truncateStore(std::uint64_t ino, std::uint64_t size);
  std::uint64_t storeSize(std::uint64_t ino) const;

  // Responses.
  std::uint64_t addRule(Rule rule);
  void clearRules();
  nlohmann::json rules() const;
  // Finds the rule for (node, command), consumes one use of a counted rule. For a command that no
  // method of the node's interface owns (`owned` false) only injected errors apply: there is no
  // response block to program.
  Decision decide(const Node& node, std::uint32_t command, bool owned = true);

  // Open files of the nodes (FUSE file handles): subscriptions and routes belong to one.
  std::uint64_t openFile(std::uint64_t ino);
  // The file was closed: its subscriptions go, and the routes it calculated are destroyed.
  void closeFile(std::uint64_t file);

  // The driver crashed: its open files are gone with it (no release reaches a dead connection),
  // and with them their subscriptions and routes.
  void dropOpenFiles();
  // The device of a node (empty when the node is gone).
  std::string deviceOfNode(std::uint64_t ino) const;

  // Subscriptions (file 0: not tied to an open file).
  bool subscribe(std::uint64_t ino, std::uint64_t cookie, std::uint32_t port, std::uint32_t kind,
                 std::uint64_t file = 0);
  bool unsubscribe(std::uint64_t ino, std::uint32_t kind, std::uint64_t file = 0);
  // The demotion notices for routes that lost their reservation: each goes to the subscription
  // the route's file registered (kind 0x80000000, else the file's only one); routes whose file
  // has none are skipped.
  std::vector<Notice> demotionNotices(const std::vector<Demotion>& demoted) const;
  // `qosim ctl demote`: takes the reservation of one route (ticket) or of all the device's
  // reserved routes and returns the notices; without a ticket every routing session subscribed
  // on the device is told, also one without routes.
  std::vector<Notice> demote(const std::string& device, std::optional<std::int32_t> ticket);
  nlohmann::json routes(const std::string& device);
  nlohmann::json subscriptions() const;
  // The subscription a notification for `node` goes to (kind optional); empty when none.
  std::optional<std::pair<std::uint64_t, std::uint32_t>> subscriptionOf(
      const std::string& node, std::optional<std::uint32_t> kind, std::string& error) const;

  // Log.
  void log(LogRecord rec);
  nlohmann::json logJson(bool clear);
  void clearLog();

 private:
  void writeProcTree(const BoardSpec& board);
  void writeKel(const std::string& dir, const BoardSpec& board) const;
  void republishKel(const BoardSpec& board);
  void bumpGeneration();
  void writeModuleFileLocked(const ModuleFile& f);
  BoardState& firmwareBoard(const std::string& device);  // mutex_ held
  void addDevQoLink(const std::string& nodeName) const;

  Paths paths_;
  mutable std::mutex mutex_;
  std::map<std::string, BoardState> boards_;                 // by device, plug order kept below
  std::vector<std::string> plugOrder_;
  std::map<std::uint64_t, std::shared_ptr<Node>> nodes_;     // by inode
  std::map<std::string, std::uint64_t> nodeIndex_;           // name -> inode
  std::uint64_t nextIno_ = 2;                                // 1 is the FUSE root
  bool devQoPresent_ = false;
  std::vector<Rule> rules_;
  std::uint64_t nextRuleId_ = 1;
  std::uint64_t generation_ = 0;
  bool publications_ = false;  // initPublications ran
  struct OpenFile {
    std::uint64_t ino = 0;
    std::string device;
    std::map<std::uint32_t, std::pair<std::uint64_t, std::uint32_t>> subscriptions;  // kind -> {cookie, port}
  };
  std::map<std::uint64_t, OpenFile> files_;  // by file handle
  std::uint64_t nextFile_ = 1;
  std::vector<Notice> demotionNoticesLocked(const std::vector<Demotion>& demoted) const;

  std::mutex logMutex_;
  std::deque<LogRecord> log_;
  std::uint64_t nextSeq_ = 1;
  std::uint64_t dropped_ = 0;
};

std::int64_t monotonicNs();

}  // namespace qosim
