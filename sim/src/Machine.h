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
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BoardFile.h"

namespace qosim {

using Bytes = std::vector<std::uint8_t>;

struct Paths {
  std::string procRoot = "/proc/driver/qo";
  std::string devQo = "/dev/qo";
  std::string fuseDir;  // where the FUSE file system serving the nodes is mounted
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
};

// What the simulated driver answers to one request.
struct Decision {
  int err = 0;
  std::optional<Bytes> output;
  std::optional<std::uint32_t> result;
  std::optional<std::int32_t> status;
  std::uint64_t ruleId = 0;  // 0: default response
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
};

class Machine {
 public:
  static constexpr std::size_t kNodeStoreSize = 65536;     // initial size of a node's byte store
  static constexpr std::size_t kMaxNodeStoreSize = 1 << 20;
  static constexpr std::size_t kMaxLogRecords = 65536;     // oldest records are dropped beyond
  static constexpr std::size_t kMaxLoggedBytes = 4096;     // per input/output block

  explicit Machine(Paths paths);

  // Boards. plug/unplug throw std::runtime_error (BoardError for a bad description) on failure.
  void plug(const BoardSpec& board);
  void unplug(const std::string& device);
  nlohmann::json list() const;
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
  // Finds the rule for (node, command), consumes one use of a counted rule.
  Decision decide(const Node& node, std::uint32_t command);

  // Subscriptions.
  bool subscribe(std::uint64_t ino, std::uint64_t cookie, std::uint32_t port, std::uint32_t kind);
  bool unsubscribe(std::uint64_t ino, std::uint32_t kind);
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
  void addDevQoLink(const std::string& nodeName) const;

  Paths paths_;
  mutable std::mutex mutex_;
  std::map<std::string, BoardSpec> boards_;                  // by device, plug order kept below
  std::vector<std::string> plugOrder_;
  std::map<std::uint64_t, std::shared_ptr<Node>> nodes_;     // by inode
  std::map<std::string, std::uint64_t> nodeIndex_;           // name -> inode
  std::uint64_t nextIno_ = 2;                                // 1 is the FUSE root
  bool devQoPresent_ = false;
  std::vector<Rule> rules_;
  std::uint64_t nextRuleId_ = 1;

  std::mutex logMutex_;
  std::deque<LogRecord> log_;
  std::uint64_t nextSeq_ = 1;
  std::uint64_t dropped_ = 0;
};

std::int64_t monotonicNs();

}  // namespace qosim
