#include "Subscriptions.h"

namespace qosim {

using nlohmann::json;

std::uint64_t Subscriptions::openFile(std::uint64_t ino, const std::string& device) {
  std::lock_guard lock(mutex_);
  const std::uint64_t file = nextFile_++;
  files_[file] = OpenFile{ino, device, {}};
  return file;
}

std::optional<std::string> Subscriptions::closeFile(std::uint64_t file) {
  std::lock_guard lock(mutex_);
  auto f = files_.find(file);
  if (f == files_.end()) return std::nullopt;
  // The node-wide view keeps the newest registration: drop the ones this file made.
  if (auto n = nodes_.find(f->second.ino); n != nodes_.end()) {
    for (const auto& [kind, sub] : f->second.byKind) {
      auto s = n->second.byKind.find(kind);
      if (s != n->second.byKind.end() && s->second == sub) n->second.byKind.erase(s);
    }
    if (n->second.byKind.empty()) nodes_.erase(n);
  }
  std::string device = std::move(f->second.device);
  files_.erase(f);
  return device;
}

std::vector<std::uint64_t> Subscriptions::openFiles() const {
  std::lock_guard lock(mutex_);
  std::vector<std::uint64_t> open;
  for (const auto& [file, f] : files_) open.push_back(file);
  return open;
}

void Subscriptions::subscribe(std::uint64_t ino, const std::string& node, std::uint64_t cookie,
                              std::uint32_t port, std::uint32_t kind, std::uint64_t file) {
  std::lock_guard lock(mutex_);
  NodeSubscriptions& n = nodes_[ino];
  n.node = node;
  n.byKind[kind] = {cookie, port};
  if (auto f = files_.find(file); file && f != files_.end())
    f->second.byKind[kind] = {cookie, port};
}

void Subscriptions::unsubscribe(std::uint64_t ino, std::uint32_t kind, std::uint64_t file) {
  std::lock_guard lock(mutex_);
  if (auto n = nodes_.find(ino); n != nodes_.end()) {
    n->second.byKind.erase(kind);
    if (n->second.byKind.empty()) nodes_.erase(n);
  }
  if (auto f = files_.find(file); file && f != files_.end()) f->second.byKind.erase(kind);
}

void Subscriptions::nodesGone(const std::vector<std::uint64_t>& inos) {
  std::lock_guard lock(mutex_);
  for (std::uint64_t ino : inos) nodes_.erase(ino);
}

std::vector<std::uint64_t> Subscriptions::subscribedFiles(const std::string& device) const {
  std::lock_guard lock(mutex_);
  std::vector<std::uint64_t> out;
  for (const auto& [file, f] : files_)
    if (f.device == device && !f.byKind.empty()) out.push_back(file);
  return out;
}

std::vector<Notice> Subscriptions::demotionNotices(const std::vector<Demotion>& demoted) const {
  std::lock_guard lock(mutex_);
  std::vector<Notice> out;
  for (const Demotion& d : demoted) {
    auto f = files_.find(d.file);
    if (f == files_.end() || f->second.byKind.empty()) continue;
    const auto& subs = f->second.byKind;
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
    const auto ticket = static_cast<std::uint32_t>(d.ticket);
    for (int i = 0; i < 4; ++i) n.payload[8 + i] = static_cast<std::uint8_t>(ticket >> (8 * i));
    n.what = {{"session", d.session}, {"ticket", d.ticket}, {"port", n.port}, {"cookie", n.cookie}};
    out.push_back(std::move(n));
  }
  return out;
}

std::optional<Subscriptions::CookiePort> Subscriptions::of(std::uint64_t ino,
                                                           const std::string& node,
                                                           std::optional<std::uint32_t> kind,
                                                           std::string& error) const {
  std::lock_guard lock(mutex_);
  static const std::map<std::uint32_t, CookiePort> kNone;
  const auto n = nodes_.find(ino);
  const auto& subs = n == nodes_.end() ? kNone : n->second.byKind;
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

json Subscriptions::toJson() const {
  std::lock_guard lock(mutex_);
  json out = json::array();
  for (const auto& [ino, n] : nodes_)
    for (const auto& [kind, cp] : n.byKind)
      out.push_back({{"node", n.node}, {"kind", kind}, {"cookie", cp.first}, {"port", cp.second}});
  return out;
}

}  // namespace qosim
