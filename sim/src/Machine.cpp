#include "Machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "QosimClient.h"
#include "host_cli.h"
#include "qostandin/qoPlatformStandinContract.h"

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

void writeU32(const std::string& path, std::uint32_t v) {
  std::uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
  writeFile(path, b, sizeof b);
}

void writeText(const std::string& path, const std::string& text) { writeFile(path, text.data(), text.size()); }

// Replaces `path` by rename, so a reader sees the old or the new content, never a mix.
void replaceFile(const std::string& dir, const std::string& name, const std::string& text) {
  const std::string tmp = dir + "/.new-" + name;
  ::unlink(tmp.c_str());
  writeText(tmp, text);
  const std::string final = dir + "/" + name;
  if (::rename(tmp.c_str(), final.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    errno = e;
    fail("rename " + tmp + " to " + final);
  }
}

namespace sc = qoplatform_standin;

}  // namespace

Machine::Machine(Paths paths) : paths_(std::move(paths)) {}

// Plugging publishes a board in the order a reader needs it: the complete /proc tree of the
// device first (built under a hidden name and renamed into place, so an enumeration never sees a
// half-written device), then the FUSE nodes, and the /dev/qo entries last, since their creation
// is what device-arrival watchers react to.
void Machine::plug(const BoardSpec& board) {
  std::lock_guard lock(mutex_);
  if (boards_.count(board.device)) throw std::runtime_error("device " + board.device + " is already plugged");
  for (const auto& [name, other] : boards_)
    if (other.description.model.deviceNumber == board.model.deviceNumber)
      throw std::runtime_error("device " + board.device + ": device number " +
                               std::to_string(board.model.deviceNumber) + " is already used by " + name +
                               " (give \"deviceNumber\")");
  // One device per PCI address, as on a real bus (a board file refuses the same).
  const auto pciAddress = [](const BoardSpec& b) {
    return std::array<std::uint32_t, 3>{b.busPropertyU32("pciBusNumber"),
                                        b.busPropertyU32("pciDeviceNumber"),
                                        b.busPropertyU32("pciFunctionNumber")};
  };
  for (const auto& [name, other] : boards_)
    if (pciAddress(other.description) == pciAddress(board)) {
      const auto a = pciAddress(board);
      throw std::runtime_error("device " + board.device + ": PCI address " + std::to_string(a[0]) +
                               ":" + std::to_string(a[1]) + "." + std::to_string(a[2]) +
                               " is already used by " + name);
    }
  if (!board.moduleFiles.empty() && paths_.moduleDir.empty())
    throw std::runtime_error("device " + board.device + ": this machine has no module file directory");
  // The module files are installed on the machine: they stay when the board is unplugged.
  for (const auto& f : board.moduleFiles) writeModuleFileLocked(f);
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
  boards_[board.device].description = board;
  plugOrder_.push_back(board.device);
  if (devQoPresent_)
    for (const auto& n : names) addDevQoLink(n);
  bumpGeneration();
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
    if (publications_) writeKel(staging + "/" + sc::kKelDirectory, board);
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
  for (const auto& i : it->second.description.interfaces) {
    const std::string name = it->second.description.nodeName(i);
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
  bumpGeneration();
}

std::string Machine::resolveDeviceName(const std::string& name) const {
  std::lock_guard lock(mutex_);
  if (boards_.count(name)) return name;
  const long n = hostcli::boardNumber(name);
  if (n < 0) return name;
  for (const auto& [device, b] : boards_)
    if (b.description.model.deviceNumber == static_cast<std::uint64_t>(n)) return device;
  return name;
}

json Machine::list() const {
  std::lock_guard lock(mutex_);
  json out = json::array();
  for (const auto& d : plugOrder_) {
    const BoardSpec& b = boards_.at(d).description;
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
Decision Machine::decide(const Node& node, std::uint32_t command, bool owned) {
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
    if (!owned && !r.err) continue;
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
  d.after = r.after;
  if (r.remaining > 0 && --r.remaining == 0) rules_.erase(rules_.begin() + static_cast<std::ptrdiff_t>(best));
  return d;
}

bool Machine::subscribe(std::uint64_t ino, std::uint64_t cookie, std::uint32_t port, std::uint32_t kind,
                        std::uint64_t file) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end()) return false;
  it->second->subscriptions[kind] = {cookie, port};
  if (auto f = files_.find(file); file && f != files_.end()) f->second.subscriptions[kind] = {cookie, port};
  return true;
}

bool Machine::unsubscribe(std::uint64_t ino, std::uint32_t kind, std::uint64_t file) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end()) return false;
  it->second->subscriptions.erase(kind);
  if (auto f = files_.find(file); file && f != files_.end()) f->second.subscriptions.erase(kind);
  return true;
}

std::uint64_t Machine::openFile(std::uint64_t ino) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  const std::uint64_t file = nextFile_++;
  files_[file] = OpenFile{ino, it == nodes_.end() ? std::string() : it->second->device, {}};
  return file;
}

void Machine::dropOpenFiles() {
  std::vector<std::uint64_t> open;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [file, f] : files_) open.push_back(file);
  }
  for (std::uint64_t file : open) closeFile(file);
}

std::string Machine::deviceOfNode(std::uint64_t ino) const {
  std::lock_guard lock(mutex_);
  auto n = nodes_.find(ino);
  return n == nodes_.end() ? std::string() : n->second->device;
}

void Machine::closeFile(std::uint64_t file) {
  std::lock_guard lock(mutex_);
  auto f = files_.find(file);
  if (f == files_.end()) return;
  // The node-wide view keeps the newest registration: drop the ones this file made.
  if (auto n = nodes_.find(f->second.ino); n != nodes_.end())
    for (const auto& [kind, sub] : f->second.subscriptions) {
      auto s = n->second->subscriptions.find(kind);
      if (s != n->second->subscriptions.end() && s->second == sub) n->second->subscriptions.erase(s);
    }
  if (auto b = boards_.find(f->second.device); b != boards_.end()) b->second.routing.fileClosed(file);
  files_.erase(f);
}

std::vector<Notice> Machine::demotionNoticesLocked(const std::vector<Demotion>& demoted) const {
  std::vector<Notice> out;
  for (const Demotion& d : demoted) {
    auto f = files_.find(d.file);
    if (f == files_.end() || f->second.subscriptions.empty()) continue;
    const auto& subs = f->second.subscriptions;
    auto s = subs.find(kDemotionKind);
    if (s == subs.end()) {
      if (subs.size() != 1) continue;
      s = subs.begin();
    }
    Notice n;
    n.cookie = s->second.first;
    n.port = s->second.second;
    n.payload.resize(12);
    for (int i = 0; i < 8; ++i) n.payload[i] = static_cast<std::uint8_t>(d.session >> (8 * i));
    for (int i = 0; i < 4; ++i) n.payload[8 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(d.ticket) >> (8 * i));
    n.what = {{"session", d.session}, {"ticket", d.ticket}, {"port", n.port}, {"cookie", n.cookie}};
    out.push_back(std::move(n));
  }
  return out;
}

std::vector<Notice> Machine::demotionNotices(const std::vector<Demotion>& demoted) const {
  std::lock_guard lock(mutex_);
  return demotionNoticesLocked(demoted);
}

std::vector<Notice> Machine::demote(const std::string& device, std::optional<std::int32_t> ticket) {
  std::lock_guard lock(mutex_);
  auto b = boards_.find(device);
  if (b == boards_.end()) throw std::runtime_error("device " + device + " is not plugged");
  if (!b->second.routing.bind(b->second.description.model.topographyName))
    throw std::runtime_error("device " + device + ": topography \"" + b->second.description.model.topographyName +
                             "\" is not one of the generated topographies");
  auto demoted = b->second.routing.demote(ticket);
  if (!demoted) throw std::runtime_error("device " + device + ": no route has ticket " + std::to_string(*ticket));
  if (!ticket) {
    // Every session subscribed on the device's routing nodes, with or without routes.
    for (const auto& [file, f] : files_) {
      if (f.device != device || f.subscriptions.empty()) continue;
      bool listed = false;
      for (const Demotion& d : *demoted) listed = listed || d.file == file;
      if (!listed) demoted->push_back({0, 0, file});
    }
  }
  return demotionNoticesLocked(*demoted);
}

json Machine::routes(const std::string& device) {
  std::lock_guard lock(mutex_);
  auto b = boards_.find(device);
  if (b == boards_.end()) throw std::runtime_error("device " + device + " is not plugged");
  b->second.routing.bind(b->second.description.model.topographyName);
  return b->second.routing.toJson();
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
    if (!r.method.empty()) {
      entries.back()["method"] = r.method;
      entries.back()["decoded"] = r.decoded;
    }
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

// --- enumeration publications ------------------------------------------------------------------

void Machine::initPublications(const std::map<std::string, std::int32_t>& machineFaults,
                               const std::vector<ModuleFile>& moduleFiles) {
  std::lock_guard lock(mutex_);
  const std::string kel = paths_.procRoot + "/" + sc::kKelDirectory;
  makeDir(kel, 0755);
  makeDir(kel + "/" + sc::kFaultsDirectory, 0755);
  for (const auto& [op, status] : machineFaults)
    replaceFile(kel + "/" + sc::kFaultsDirectory, op, std::to_string(status));
  publications_ = true;
  bumpGeneration();
  if (!paths_.moduleDir.empty()) {
    std::error_code ec;
    fs::create_directories(paths_.moduleDir, ec);
    if (ec) throw std::runtime_error("cannot create " + paths_.moduleDir + ": " + ec.message());
    for (const auto& f : moduleFiles) writeModuleFileLocked(f);
  }
}

std::uint64_t Machine::generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

void Machine::bumpGeneration() {
  if (!publications_) return;
  ++generation_;
  replaceFile(paths_.procRoot + "/" + sc::kKelDirectory, sc::kGenerationFile, std::to_string(generation_));
}

void Machine::writeKel(const std::string& dir, const BoardSpec& b) const {
  const BoardModel& m = b.model;
  makeDir(dir, 0755);
  const std::string attrs = dir + "/" + sc::kAttributesDirectory;
  const std::string strings = dir + "/" + sc::kStringsDirectory;
  const std::string faults = dir + "/" + sc::kFaultsDirectory;
  makeDir(attrs, 0755);
  makeDir(strings, 0755);
  makeDir(faults, 0755);
  std::map<std::uint32_t, std::uint32_t> numeric = m.extraAttributes;
  numeric[sc::kAttrDeviceNumber] = m.deviceNumber;
  numeric[sc::kAttrProductId] = m.productId;
  numeric[sc::kAttrVendorId] = m.vendorId;
  numeric[sc::kAttrSerialNumber] = m.serial;
  numeric[sc::kAttrPciBus] = b.busPropertyU32("pciBusNumber");
  numeric[sc::kAttrPciDevice] = b.busPropertyU32("pciDeviceNumber");
  numeric[sc::kAttrPciFunction] = b.busPropertyU32("pciFunctionNumber");
  numeric[sc::kAttrChassisSlot] = m.chassisSlot;
  numeric[sc::kAttrBusType] = m.busType;
  numeric[sc::kAttrSupported] = m.supported;
  for (const auto& [n, v] : numeric) writeU32(attrs + "/" + std::to_string(n), v);
  std::map<std::uint32_t, std::string> texts = m.extraStrings;
  texts[sc::kAttrDescription] = m.description;
  for (const auto& [n, v] : texts) writeText(strings + "/" + std::to_string(n), v);
  writeText(dir + "/" + sc::kPrimaryNameFile, m.primaryName);
  writeText(dir + "/" + sc::kSecondaryNameFile, m.secondaryName);
  for (const auto& [op, status] : m.enumFaults) writeText(faults + "/" + op, std::to_string(status));
}

// A plugged board's publications change as a whole: the new directory is built beside the old
// one and the two are exchanged in one step.
void Machine::republishKel(const BoardSpec& b) {
  const std::string base = paths_.procRoot + "/" + b.device;
  const std::string fresh = base + "/.kel-new";
  const std::string current = base + "/" + sc::kKelDirectory;
  std::error_code ec;
  fs::remove_all(fresh, ec);
  try {
    writeKel(fresh, b);
    if (::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, current.c_str(), RENAME_EXCHANGE) != 0)
      fail("exchange " + fresh + " and " + current);
  } catch (...) {
    fs::remove_all(fresh, ec);
    throw;
  }
  fs::remove_all(fresh, ec);  // now the old publications
  bumpGeneration();
}

void Machine::setEnumFault(const std::string& device, const std::string& op, std::optional<std::int32_t> status) {
  std::lock_guard lock(mutex_);
  if (device.empty()) {
    if (!isMachineEnumOperation(op))
      throw std::runtime_error("\"" + op + "\" is not a machine-wide enumeration operation (initialize, "
                               "getAllKelDevices, hasChanged, refresh)");
    const std::string dir = paths_.procRoot + "/" + sc::kKelDirectory + "/" + sc::kFaultsDirectory;
    if (status) {
      replaceFile(dir, op, std::to_string(*status));
    } else {
      const std::string path = dir + "/" + op;
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("unlink " + path);
    }
    // Machine-wide faults are answered when the operation is called; they change no board, so
    // the generation stays (a list that saw no change must not be told it changed).
    return;
  }
  auto it = boards_.find(device);
  if (it == boards_.end()) throw std::runtime_error("device " + device + " is not plugged");
  if (!isBoardEnumOperation(op))
    throw std::runtime_error("\"" + op + "\" is not a board enumeration operation (deviceAt, openSession, "
                             "getAttributeReader, readU32.<n>, readString.<n>)");
  BoardSpec& b = it->second.description;
  if (status) b.model.enumFaults[op] = *status;
  else b.model.enumFaults.erase(op);
  republishKel(b);
}

// --- module files ------------------------------------------------------------------------------

void Machine::writeModuleFileLocked(const ModuleFile& f) {
  if (paths_.moduleDir.empty()) throw std::runtime_error("this machine has no module file directory");
  checkModuleFileName(f.name, "module file");
  replaceFile(paths_.moduleDir, f.name, f.text);
}

// The fault file sits in the data directory, two levels above the module files.
void Machine::setRelocationFault(const std::optional<std::string>& answer) {
  std::lock_guard lock(mutex_);
  if (paths_.moduleDir.empty()) throw std::runtime_error("this machine has no data directory");
  if (answer && std::find(std::begin(sc::kRelocationFaults), std::end(sc::kRelocationFaults), *answer) ==
                    std::end(sc::kRelocationFaults))
    throw std::runtime_error("\"answer\" must be none, failure, empty or overlong");
  const std::string dir = fs::path(paths_.moduleDir).parent_path().parent_path().string();
  if (answer) {
    replaceFile(dir, sc::kRelocationFaultFile, *answer);
    return;
  }
  const std::string path = dir + "/" + sc::kRelocationFaultFile;
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("unlink " + path);
}

void Machine::setModuleFile(const std::string& name, const std::optional<std::string>& text) {
  std::lock_guard lock(mutex_);
  checkModuleFileName(name, "module file");
  if (text) {
    writeModuleFileLocked(ModuleFile{name, *text});
    return;
  }
  const std::string path = paths_.moduleDir + "/" + name;
  if (paths_.moduleDir.empty() || ::unlink(path.c_str()) != 0)
    throw std::runtime_error("module file " + name + " does not exist");
}

// --- typed model ---------------------------------------------------------------------------------

json Machine::setFields(const std::string& device, const json& fields) {
  std::lock_guard lock(mutex_);
  auto it = boards_.find(device);
  if (it == boards_.end()) throw std::runtime_error("device " + device + " is not plugged");
  if (!fields.is_object() || fields.empty()) throw std::runtime_error("set needs at least one field");
  BoardModel m = it->second.description.model;
  bool identity = false;
  static const char* const kPublished[] = {"deviceNumber", "productId", "vendorId", "serial", "description",
                                           "chassisSlot", "busType", "supported", "primaryName",
                                           "secondaryName", "enumeration"};
  for (auto f = fields.begin(); f != fields.end(); ++f) {
    if (!applyModelField(m, f.key(), f.value(), device))
      throw std::runtime_error(device + ": unknown field \"" + f.key() + "\"");
    for (const char* k : kPublished) identity = identity || f.key() == k;
  }
  if (m.deviceNumber != it->second.description.model.deviceNumber)
    for (const auto& [name, other] : boards_)
      if (name != device && other.description.model.deviceNumber == m.deviceNumber)
        throw std::runtime_error(device + ": device number " + std::to_string(m.deviceNumber) +
                                 " is already used by " + name);
  checkDriverFaults(m, it->second.description.interfaces, device + " \"driverFaults\"");
  // Calls are counted afresh for new faults, so "afterCalls" counts from the change.
  if (fields.contains("driverFaults")) it->second.methodCalls.clear();
  it->second.description.model = m;
  if (identity) republishKel(it->second.description);
  return modelJson(it->second.description);
}

json Machine::getBoard(const std::string& device) const {
  std::lock_guard lock(mutex_);
  auto it = boards_.find(device);
  if (it == boards_.end()) throw std::runtime_error("device " + device + " is not plugged");
  json j = modelJson(it->second.description);
  json regs = json::array();
  for (const auto& file : it->second.registers) {
    json r = json::object();
    for (const auto& [addr, v] : file) r[std::to_string(addr)] = v;
    regs.push_back(r);
  }
  j["registers"] = regs;
  j["firmwareState"] = it->second.firmware.toJson(std::chrono::steady_clock::now());
  return j;
}

// --- firmware ----------------------------------------------------------------------------------

BoardState& Machine::firmwareBoard(const std::string& device) {
  auto it = boards_.find(device);
  if (it != boards_.end()) return it->second;
  if (device.size() > 3 && device.compare(0, 3, "KEL") == 0 &&
      device.find_first_not_of("0123456789", 3) == std::string::npos && device.size() <= 13) {
    const unsigned long long n = std::stoull(device.substr(3));
    for (auto& [name, b] : boards_)
      if (b.description.model.deviceNumber == n) return b;
  }
  throw StatusError(sc::kFirmwareNoDevice, "no board answers the device name \"" + device + "\"");
}

std::uint32_t Machine::firmwareUpdate(const std::string& device, std::string target, std::uint64_t size,
                                      std::uint32_t flag, std::string hash,
                                      std::optional<std::uint32_t> newVersion) {
  std::lock_guard lock(mutex_);
  BoardState& b = firmwareBoard(device);
  const std::uint32_t duration = b.description.model.firmwareDurationMs;
  if (!newVersion) newVersion = b.description.model.versionAfterUpdate;
  if (!b.firmware.start(std::chrono::steady_clock::now(), duration, std::move(target), size, flag,
                        std::move(hash), newVersion))
    throw StatusError(sc::kFirmwareBusy, "an update is already running on " + b.description.device);
  return duration;
}

FirmwareProgress Machine::firmwareProgress(const std::string& device) {
  std::lock_guard lock(mutex_);
  return firmwareBoard(device).firmware.progress(std::chrono::steady_clock::now());
}

void Machine::firmwareFault(const std::string& device, std::optional<FirmwareFault> fault) {
  std::lock_guard lock(mutex_);
  firmwareBoard(device).firmware.setFault(fault);
}

void Machine::firmwareConfig(const std::string& device, std::optional<std::uint32_t> durationMs,
                             std::optional<std::optional<std::uint32_t>> versionAfterUpdate) {
  std::lock_guard lock(mutex_);
  BoardState& b = firmwareBoard(device);
  if (durationMs) b.description.model.firmwareDurationMs = *durationMs;
  if (versionAfterUpdate) b.description.model.versionAfterUpdate = *versionAfterUpdate;
}

json Machine::powerCycle(const std::string& device) {
  std::lock_guard lock(mutex_);
  BoardState& b = firmwareBoard(device);
  if (auto v = b.firmware.powerCycle(std::chrono::steady_clock::now())) b.description.model.firmwareVersion = *v;
  return json{{"firmwareVersion", b.description.model.firmwareVersion}};
}

}  // namespace qosim
