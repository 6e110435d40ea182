// Notification subscriptions of the simulated driver's nodes and the open files that made them
// (ioctl 0x4010FF00 / 0xFF01 on an open node), and the demotion notices that go to them.
// A registration belongs to the open file; the node-wide view (the control request
// `subscriptions`, notify by node) keeps the newest registration of each kind.
//
// Its own lock; the machine calls in with the board registry's lock held (board registry
// before subscriptions), nothing is called from here.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Routing.h"

namespace qosim {

// The subscription kind a routing session registers for demotion notices.
inline constexpr std::uint32_t kDemotionKind = 0x80000000;

// A notification to send (resolved from a subscription): port, cookie and payload.
struct Notice {
  std::uint32_t port = 0;
  std::uint64_t cookie = 0;
  std::vector<std::uint8_t> payload;
  nlohmann::json what;  // for the control answer
};

class Subscriptions {
 public:
  using CookiePort = std::pair<std::uint64_t, std::uint32_t>;

  // An open file of node `ino` of `device` (a FUSE file handle).
  std::uint64_t openFile(std::uint64_t ino, const std::string& device);
  // Drops the file and the registrations it made; the device it was open on (nullopt: unknown).
  std::optional<std::string> closeFile(std::uint64_t file);
  std::vector<std::uint64_t> openFiles() const;
  // Registers for the node and, when `file` is one of the open files (not 0), for the file.
  void subscribe(std::uint64_t ino, const std::string& node, std::uint64_t cookie,
                 std::uint32_t port, std::uint32_t kind, std::uint64_t file);
  void unsubscribe(std::uint64_t ino, std::uint32_t kind, std::uint64_t file);
  // The nodes were unplugged: their node-wide registrations go (files keep theirs until closed).
  void nodesGone(const std::vector<std::uint64_t>& inos);
  // Open files of the device holding at least one registration.
  std::vector<std::uint64_t> subscribedFiles(const std::string& device) const;
  // The demotion notices for routes that lost their reservation: each goes to the subscription
  // the route's file registered (kind 0x80000000, else the file's only one); routes whose file
  // has none are skipped.
  std::vector<Notice> demotionNotices(const std::vector<Demotion>& demoted) const;
  // The node-wide registration a notification for the node goes to (kind optional).
  std::optional<CookiePort> of(std::uint64_t ino, const std::string& node,
                               std::optional<std::uint32_t> kind, std::string& error) const;
  nlohmann::json toJson() const;

 private:
  struct NodeSubscriptions {
    std::string node;
    std::map<std::uint32_t, CookiePort> byKind;
  };
  struct OpenFile {
    std::uint64_t ino = 0;
    std::string device;
    std::map<std::uint32_t, CookiePort> byKind;
  };

  mutable std::mutex mutex_;
  std::map<std::uint64_t, NodeSubscriptions> nodes_;  // by inode
  std::map<std::uint64_t, OpenFile> files_;           // by file handle
  std::uint64_t nextFile_ = 1;
};

}  // namespace qosim
