#include "Machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "QosimClient.h"

namespace qosim {

using nlohmann::json;
namespace fs = std::filesystem;

std::int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void makeDir(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0) fail("mkdir " + path);
}

void writeFile(const std::string& path, const void* data, std::size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
  if (fd < 0) fail("create " + path);
  const auto* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = errno;
      ::close(fd);
      errno = e;
      fail("write " + path);
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace

Machine::Machine(Paths paths) : paths_(std::move(paths)) {}

// Plugging publishes a board in the order a reader needs it: the complete /proc tree of the
// device first (built under a hidden name and renamed into place, so an enumeration never sees a
// half-written device), then the FUSE nodes, and the /dev/qo entries last, since their creation
// is what device-arrival watchers react to.
void Machine::plug(const BoardSpec& board) {
  std::lock_guard lock(mutex_);
  if (boards_.count(board.device)) throw std::runtime_error("device " + board.device + " is already plugged");
  for (const auto& i : board.interfaces)
    if (nodeIndex_.count(board.nodeName(i)))
      throw std::runtime_error("node " + board.nodeName(i) + " already exists");
  writeProcTree(board);
  std::vector<std::string> names;
  for (const auto& i : board.interfaces) {
    auto node = std::make_shared<Node>();
    node->ino = nextIno_++;
    node->name = board.nodeName(i);
    node->device = board.device;
    node->interface = i.name;
    node->store.assign(kNodeStoreSize, 0);
    node->createdSec = static_cast<std::int64_t>(std::time(nullptr));
    nodeIndex_[node->name] = node->ino;
    nodes_[node->ino] = node;
    names.push_back(node->name);
  }
  boards_[board.device] = board;
  plugOrder_.push_back(board.device);
  if (devQoPresent_)
    for (const auto& n : names) addDevQoLink(n);
}

void Machine::writeProcTree(const BoardSpec& board) {
  const std::string staging = paths_.procRoot + "/.plug-" + board.device;
  std::error_code ec;
  fs::remove_all(staging, ec);
  try {
    makeDir(staging, 0755);
    makeDir(staging + "/deviceInterfaces", 0755);
    for (const auto& i : board.interfaces) {
      const std::string entry = staging + "/deviceInterfaces/" + i.entryName();
      makeDir(entry, 0755);
      const std::string path = "/dev/qo/" + board.nodeName(i);
      writeFile(entry + "/interfacePath", path.data(), path.size());
    }
    makeDir(staging + "/busProperties", 0755);
    for (const auto& [name, value] : board.busProperties)
      writeFile(staging + "/busProperties/" + name, value.data(), value.size());
    const std::string final = paths_.procRoot + "/" + board.device;
    if (::rename(staging.c_str(), final.c_str()) != 0) fail("rename " + staging + " to " + final);
  } catch (...) {
    fs::remove_all(staging, ec);
    throw;
  }
}

void Machine::addDevQoLink(const std::string& nodeName) const {
  const std::string link = paths_.devQo + "/" + nodeName;
  const std::string target = paths_.fuseDir + "/" + nodeName;
  if (::symlink(target.c_str(), link.c_str()) != 0 && errno != EEXIST) fail("symlink " + link);
}

// Unplugging runs the other way round: the /dev/qo entries go first, then the nodes (open
// descriptors of them now fail with ENODEV), then the /proc tree.
void Machine::unplug(const std::string& device) {
  std::lock_guard lock(mutex_);
  auto it = boards_.find(device);
  if (it == boards_.end()) throw std::runtime_error("device " + device + " is not plugged");
  for (const auto& i : it->second.interfaces) {
    const std::string name = it->second.nodeName(i);
    if (devQoPresent_) {
      const std::string link = paths_.devQo + "/" + name;
      if (::unlink(link.c_str()) != 0 && errno != ENOENT) fail("unlink " + link);
    }
    auto ni = nodeIndex_.find(name);
    if (ni != nodeIndex_.end()) {
      nodes_.erase(ni->second);
      nodeIndex_.erase(ni);
    }
  }
  const std::string dir = paths_.procRoot + "/" + device;
  const std::string gone = paths_.procRoot + "/.unplug-" + device;
  if (::rename(dir.c_str(), gone.c_str()) != 0) fail("rename " + dir);
  std::error_code ec;
  fs::remove_all(gone, ec);
  boards_.erase(it);
  std::erase(plugOrder_, device);
}

json Machine::list() const {
  std::lock_guard lock(mutex_);
  json out = json::array();
  for (const auto& d : plugOrder_) {
    const BoardSpec& b = boards_.at(d);
    json nodes = json::array();
    for (const auto& i : b.interfaces) nodes.push_back(b.nodeName(i));
    out.push_back({{"device", b.device}, {"nodes", nodes}, {"description", b.source}});
  }
  return out;
}

void Machine::removeDevQo() {
  std::lock_guard lock(mutex_);
  if (!devQoPresent_) throw std::runtime_error(paths_.devQo + " does not exist");
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(paths_.devQo, ec)) {
    if (::unlink(e.path().c_str()) != 0) fail("unlink " + e.path().string());
  }
  if (::rmdir(paths_.devQo.c_str()) != 0) fail("rmdir " + paths_.devQo);
  devQoPresent_ = false;
}

// /dev/qo is created in place (not renamed into place): watchers see IN_CREATE for the
// directory, then one IN_CREATE per entry (or find the entries when they rescan).
void Machine::createDevQo() {
  std::lock_guard lock(mutex_);
  if (devQoPresent_) throw std::runtime_error(paths_.devQo + " already exists");
  makeDir(paths_.devQo, 0755);
  devQoPresent_ = true;
  for (const auto& [name, ino] : nodeIndex_) addDevQoLink(name);
}

bool Machine::devQoPresent() const {
  std::lock_guard lock(mutex_);
  return devQoPresent_;
}

std::shared_ptr<Node> Machine::nodeByIno(std::uint64_t ino) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  return it == nodes_.end() ? nullptr : it->second;
}

std::shared_ptr<Node> Machine::nodeByName(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = nodeIndex_.find(name);
  return it == nodeIndex_.end() ? nullptr : nodes_.at(it->second);
}

std::vector<std::pair<std::string, std::uint64_t>> Machine::nodeNames() const {
  std::lock_guard lock(mutex_);
  return {nodeIndex_.begin(), nodeIndex_.end()};
}

bool Machine::readStore(std::uint64_t ino, std::uint64_t off, std::size_t size, Bytes& out) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end()) return false;
  const Bytes& s = it->second->store;
  out.clear();
  if (off < s.size()) {
    std::size_t n = std::min<std::uint64_t>(size, s.size() - off);
    out.assign(s.begin() + static_cast<std::ptrdiff_t>(off),
               s.begin() + static_cast<std::ptrdiff_t>(off + n));
  }
  return true;
}

int Machine::writeStore(std::uint64_t ino, std::uint64_t off, const std::uint8_t* data,
                        std::size_t size) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end()) return ENODEV;
  if (off > kMaxNodeStoreSize || size > kMaxNodeStoreSize - off) return EFBIG;
  Bytes& s = it->second->store;
  if (s.size() < off + size) s.resize(off + size, 0);
  std::copy(data, data + size, s.begin() + static_cast<std::ptrdiff_t>(off));
  return 0;
}

int Machine::truncateStore(std::uint64_t ino, std::uint64_t size) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end()) return ENODEV;
  if (size > kMaxNodeStoreSize) return EFBIG;
  it->second->store.resize(size, 0);
  return 0;
}

std::uint64_t Machine::storeSize(std::uint64_t ino) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  return it == nodes_.end() ? 0 : it->second->store.size();
}

std::uint64_t Machine::addRule(Rule rule) {
  std::lock_guard lock(mutex_);
  rule.id = nextRuleId_++;
  rules_.push_back(std::move(rule));
  return rules_.back().id;
}

void Machine::clearRules() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

json Machine::rules() const {
  std::lock_guard lock(mutex_);
  json out = json::array();
  for (const auto& r : rules_) {
    json j{{"id", r.id}, {"target", r.target}, {"remaining", r.remaining}, {"errno", r.err}};
    if (r.command) j["command"] = *r.command;
    if (r.output) j["output"] = toHex(*r.output);
    if (r.result) j["result"] = *r.result;
    if (r.status) j["status"] = *r.status;
    out.push_back(j);
  }
  return out;
}

// The most specific rule wins: an injected transport error before a programmed response, a rule
// for the node before one for its device before one for every node, a rule for the command
// before one for every command; among equals the newest.
Decision Machine::decide(const Node& node, std::uint32_t command) {
  std::lock_guard lock(mutex_);
  int bestScore = -1;
  std::size_t best = 0;
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    const Rule& r = rules_[i];
    int targetScore;
    if (r.target.empty()) targetScore = 0;
    else if (r.target == node.name) targetScore = 2;
    else if (r.target == node.device) targetScore = 1;
    else continue;
    if (r.command && *r.command != command) continue;
    int score = (r.err ? 8 : 0) + targetScore * 2 + (r.command ? 1 : 0);
    if (score >= bestScore) {
      bestScore = score;
      best = i;
    }
  }
  Decision d;
  if (bestScore < 0) return d;
  Rule& r = rules_[best];
  d.err = r.err;
  d.output = r.output;
  d.result = r.result;
  d.status = r.status;
  d.ruleId = r.id;
  if (r.remaining > 0 && --r.remaining == 0) rules_.erase(rules_.begin() + static_cast<std::ptrdiff_t>(best));
  return d;
}

bool Machine::subscribe(std::uint64_t ino, std::uint64_t cookie, std::uint32_t port, std::uint32_t kind) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end()) return false;
  it->second->subscriptions[kind] = {cookie, port};
  return true;
}

bool Machine::unsubscribe(std::uint64_t ino, std::uint32_t kind) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end()) return false;
  it->second->subscriptions.erase(kind);
  return true;
}

json Machine::subscriptions() const {
  std::lock_guard lock(mutex_);
  json out = json::array();
  for (const auto& [ino, n] : nodes_)
    for (const auto& [kind, cp] : n->subscriptions)
      out.push_back({{"node", n->name}, {"kind", kind}, {"cookie", cp.first}, {"port", cp.second}});
  return out;
}

std::optional<std::pair<std::uint64_t, std::uint32_t>> Machine::subscriptionOf(
    const std::string& node, std::optional<std::uint32_t> kind, std::string& error) const {
  std::lock_guard lock(mutex_);
  auto ni = nodeIndex_.find(node);
  if (ni == nodeIndex_.end()) {
    error = "no node " + node;
    return std::nullopt;
  }
  const auto& subs = nodes_.at(ni->second)->subscriptions;
  if (kind) {
    auto it = subs.find(*kind);
    if (it == subs.end()) {
      error = "node " + node + " has no subscription of kind " + std::to_string(*kind);
      return std::nullopt;
    }
    return it->second;
  }
  if (subs.size() != 1) {
    error = subs.empty() ? "node " + node + " has no subscription"
                         : "node " + node + " has several subscriptions: give subscriptionKind";
    return std::nullopt;
  }
  return subs.begin()->second;
}

void Machine::log(LogRecord rec) {
  std::lock_guard lock(logMutex_);
  rec.seq = nextSeq_++;
  if (rec.timeNs == 0) rec.timeNs = monotonicNs();
  log_.push_back(std::move(rec));
  while (log_.size() > kMaxLogRecords) {
    log_.pop_front();
    ++dropped_;
  }
}

json Machine::logJson(bool clear) {
  std::lock_guard lock(logMutex_);
  json entries = json::array();
  for (const auto& r : log_) {
    entries.push_back({{"seq", r.seq},           {"timeNs", r.timeNs},
                       {"op", r.op},             {"node", r.node},
                       {"command", r.command},   {"tid", r.tid},
                       {"block", toHex(r.block)}, {"input", toHex(r.input)},
                       {"output", toHex(r.output)}, {"inputSize", r.inputSize},
                       {"outputSize", r.outputSize}, {"result", r.result},
                       {"errno", r.err},         {"offset", r.offset},
                       {"note", r.note}});
  }
  json out{{"entries", entries}, {"dropped", dropped_}};
  if (clear) {
    log_.clear();
    dropped_ = 0;
  }
  return out;
}

void Machine::clearLog() {
  std::lock_guard lock(logMutex_);
  log_.clear();
  dropped_ = 0;
}

}  // namespace qosim
