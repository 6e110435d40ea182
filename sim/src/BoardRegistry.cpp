#include "BoardRegistry.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>

#include "MachineFiles.h"
#include "host_cli.h"
#include "qostandin/qoPlatformStandinContract.h"

namespace qosim {

using nlohmann::json;
namespace fs = std::filesystem;
namespace sc = qoplatform_standin;
using files::fail;
using files::makeDir;

BoardRegistry::BoardRegistry(const Paths& paths, Publications& publications)
    : paths_(paths), publications_(publications) {}

BoardState& BoardRegistry::plugged(const std::string& device) {
  auto it = boards_.find(device);
  if (it == boards_.end()) throw std::runtime_error("device " + device + " is not plugged");
  return it->second;
}

const BoardState& BoardRegistry::plugged(const std::string& device) const {
  return const_cast<BoardRegistry*>(this)->plugged(device);
}

// One device name, device number and PCI address per board, as on a real bus (a board file
// refuses the same).
void BoardRegistry::checkPluggable(const BoardSpec& board) const {
  if (boards_.count(board.device))
    throw std::runtime_error("device " + board.device + " is already plugged");
  for (const auto& [name, other] : boards_)
    if (other.description.model.deviceNumber == board.model.deviceNumber)
      throw std::runtime_error("device " + board.device + ": device number " +
                               std::to_string(board.model.deviceNumber) + " is already used by " +
                               name + " (give \"deviceNumber\")");
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
  if (!board.moduleFiles.empty() && !publications_.hasModuleDir())
    throw std::runtime_error("device " + board.device +
                             ": this machine has no module file directory");
}

// Plugging publishes a board in the order a reader needs it: the complete /proc tree of the
// device first (built under a hidden name and renamed into place, so an enumeration never sees a
// half-written device), then the FUSE nodes, and the /dev/qo entries last, since their creation
// is what device-arrival watchers react to.
void BoardRegistry::plug(const BoardSpec& board) {
  std::lock_guard lock(mutex_);
  checkPluggable(board);
  // The module files are installed on the machine: they stay when the board is unplugged.
  for (const auto& f : board.moduleFiles) publications_.writeModuleFile(f);
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
  publications_.bumpGeneration();
}

void BoardRegistry::writeProcTree(const BoardSpec& board) {
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
      files::writeFile(entry + "/interfacePath", path.data(), path.size());
    }
    makeDir(staging + "/busProperties", 0755);
    for (const auto& [name, value] : board.busProperties)
      files::writeFile(staging + "/busProperties/" + name, value.data(), value.size());
    if (publications_.enabled()) publications_.writeBoard(staging + "/" + sc::kKelDirectory, board);
    const std::string final = paths_.procRoot + "/" + board.device;
    if (::rename(staging.c_str(), final.c_str()) != 0) fail("rename " + staging + " to " + final);
  } catch (...) {
    fs::remove_all(staging, ec);
    throw;
  }
}

void BoardRegistry::addDevQoLink(const std::string& nodeName) const {
  const std::string link = paths_.devQo + "/" + nodeName;
  const std::string target = paths_.fuseDir + "/" + nodeName;
  if (::symlink(target.c_str(), link.c_str()) != 0 && errno != EEXIST) fail("symlink " + link);
}

// Unplugging runs the other way round: the /dev/qo entries go first, then the nodes (open
// descriptors of them now fail with ENODEV), then the /proc tree.
std::vector<std::uint64_t> BoardRegistry::unplug(const std::string& device) {
  std::lock_guard lock(mutex_);
  auto it = boards_.find(device);
  if (it == boards_.end()) throw std::runtime_error("device " + device + " is not plugged");
  std::vector<std::uint64_t> gone;
  for (const auto& i : it->second.description.interfaces) {
    const std::string name = it->second.description.nodeName(i);
    if (devQoPresent_) files::removeIfThere(paths_.devQo + "/" + name);
    auto ni = nodeIndex_.find(name);
    if (ni != nodeIndex_.end()) {
      gone.push_back(ni->second);
      nodes_.erase(ni->second);
      nodeIndex_.erase(ni);
    }
  }
  const std::string dir = paths_.procRoot + "/" + device;
  const std::string renamed = paths_.procRoot + "/.unplug-" + device;
  if (::rename(dir.c_str(), renamed.c_str()) != 0) fail("rename " + dir);
  std::error_code ec;
  fs::remove_all(renamed, ec);
  boards_.erase(it);
  std::erase(plugOrder_, device);
  publications_.bumpGeneration();
  return gone;
}

std::string BoardRegistry::resolveDeviceName(const std::string& name) const {
  std::lock_guard lock(mutex_);
  if (boards_.count(name)) return name;
  const long n = hostcli::boardNumber(name);
  if (n < 0) return name;
  for (const auto& [device, b] : boards_)
    if (b.description.model.deviceNumber == static_cast<std::uint64_t>(n)) return device;
  return name;
}

json BoardRegistry::list() const {
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

void BoardRegistry::removeDevQo() {
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
void BoardRegistry::createDevQo() {
  std::lock_guard lock(mutex_);
  if (devQoPresent_) throw std::runtime_error(paths_.devQo + " already exists");
  makeDir(paths_.devQo, 0755);
  devQoPresent_ = true;
  for (const auto& [name, ino] : nodeIndex_) addDevQoLink(name);
}

bool BoardRegistry::devQoPresent() const {
  std::lock_guard lock(mutex_);
  return devQoPresent_;
}

std::shared_ptr<Node> BoardRegistry::nodeByIno(std::uint64_t ino) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  return it == nodes_.end() ? nullptr : it->second;
}

std::shared_ptr<Node> BoardRegistry::nodeByName(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = nodeIndex_.find(name);
  return it == nodeIndex_.end() ? nullptr : nodes_.at(it->second);
}

std::vector<std::pair<std::string, std::uint64_t>> BoardRegistry::nodeNames() const {
  std::lock_guard lock(mutex_);
  return {nodeIndex_.begin(), nodeIndex_.end()};
}

std::string BoardRegistry::deviceOfNode(std::uint64_t ino) const {
  std::lock_guard lock(mutex_);
  auto n = nodes_.find(ino);
  return n == nodes_.end() ? std::string() : n->second->device;
}

bool BoardRegistry::readStore(std::uint64_t ino, std::uint64_t off, std::size_t size,
                              Bytes& out) const {
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

int BoardRegistry::writeStore(std::uint64_t ino, std::uint64_t off, const std::uint8_t* data,
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

int BoardRegistry::truncateStore(std::uint64_t ino, std::uint64_t size) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end()) return ENODEV;
  if (size > kMaxNodeStoreSize) return EFBIG;
  it->second->store.resize(size, 0);
  return 0;
}

std::uint64_t BoardRegistry::storeSize(std::uint64_t ino) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  return it == nodes_.end() ? 0 : it->second->store.size();
}

BoardState& BoardRegistry::firmwareBoard(const std::string& device) {
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

// --- typed model ---------------------------------------------------------------------------------

json BoardRegistry::setFields(const std::string& device, const json& fields) {
  std::lock_guard lock(mutex_);
  BoardState& board = plugged(device);
  if (!fields.is_object() || fields.empty())
    throw std::runtime_error("set needs at least one field");
  BoardModel m = board.description.model;
  bool identity = false;
  static const char* const kPublished[] = {
      "deviceNumber", "productId", "vendorId",    "serial",        "description", "chassisSlot",
      "busType",      "supported", "primaryName", "secondaryName", "enumeration"};
  for (auto f = fields.begin(); f != fields.end(); ++f) {
    if (!applyModelField(m, f.key(), f.value(), device))
      throw std::runtime_error(device + ": unknown field \"" + f.key() + "\"");
    for (const char* k : kPublished) identity = identity || f.key() == k;
  }
  if (m.deviceNumber != board.description.model.deviceNumber)
    for (const auto& [name, other] : boards_)
      if (name != device && other.description.model.deviceNumber == m.deviceNumber)
        throw std::runtime_error(device + ": device number " + std::to_string(m.deviceNumber) +
                                 " is already used by " + name);
  checkDriverFaults(m, board.description.interfaces, device + " \"driverFaults\"");
  // Calls are counted afresh for new faults, so "afterCalls" counts from the change.
  if (fields.contains("driverFaults")) board.methodCalls.clear();
  board.description.model = m;
  if (identity) publications_.republish(board.description);
  return modelJson(board.description);
}

json BoardRegistry::getBoard(const std::string& device) const {
  std::lock_guard lock(mutex_);
  const BoardState& board = plugged(device);
  json j = modelJson(board.description);
  json regs = json::array();
  for (const auto& file : board.registers) {
    json r = json::object();
    for (const auto& [addr, v] : file) r[std::to_string(addr)] = v;
    regs.push_back(r);
  }
  j["registers"] = regs;
  j["firmwareState"] = board.firmware.toJson(std::chrono::steady_clock::now());
  return j;
}

void BoardRegistry::setEnumFault(const std::string& device, const std::string& op,
                                 std::optional<std::int32_t> status) {
  std::lock_guard lock(mutex_);
  BoardState& board = plugged(device);
  if (!isBoardEnumOperation(op))
    throw std::runtime_error("\"" + op +
                             "\" is not a board enumeration operation (deviceAt, "
                             "openSession, getAttributeReader, readU32.<n>, readString.<n>)");
  BoardSpec& b = board.description;
  if (status)
    b.model.enumFaults[op] = *status;
  else
    b.model.enumFaults.erase(op);
  publications_.republish(b);
}

}  // namespace qosim
