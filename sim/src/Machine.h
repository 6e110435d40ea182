// The simulated machine's state, composed of one part per concern:
//   BoardRegistry   plugged boards, their nodes and byte stores, the /proc tree and /dev/qo
//   Publications    the enumeration publications, module files, relocation fault
//   FaultRules      programmed responses and injected errors
//   Subscriptions   notification subscriptions of nodes and open files, demotion notices
//   RequestLog      every request the nodes served
// Machine itself does what spans parts: unplugging (the nodes' subscriptions go too), open
// files (their routes go with them), subscribing on a node that must still be there, demotion.
//
// Lock order (every part has its own lock):
//   BoardRegistry before Publications, BoardRegistry before Subscriptions;
//   FaultRules and RequestLog are leaves (nothing else is locked while one is held).
// No lock is held while the simulator reads or writes a caller's memory.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BoardFile.h"
#include "BoardRegistry.h"
#include "FaultRules.h"
#include "Publications.h"
#include "RequestLog.h"
#include "Subscriptions.h"

namespace qosim {

class Machine {
 public:
  static constexpr std::size_t kMaxLoggedBytes = RequestLog::kMaxLoggedBytes;

  explicit Machine(Paths paths);
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  BoardRegistry& boards() { return boards_; }
  const BoardRegistry& boards() const { return boards_; }
  Publications& publications() { return publications_; }
  FaultRules& rules() { return rules_; }
  Subscriptions& subscriptions() { return subscriptions_; }
  RequestLog& requestLog() { return log_; }

  // Machine-wide enumeration publications (procRoot/.kel: generation, faults) and the module
  // file directory; called once after procRoot exists.
  void initPublications(const std::map<std::string, std::int32_t>& machineFaults,
                        const std::vector<ModuleFile>& moduleFiles);
  void plug(const BoardSpec& board);
  void unplug(const std::string& device);
  nlohmann::json list() const { return boards_.list(); }
  void createDevQo() { boards_.createDevQo(); }

  // Open files of the nodes (FUSE file handles): subscriptions and routes belong to one.
  std::uint64_t openFile(std::uint64_t ino);
  // The file was closed: its subscriptions go, and the routes it calculated are destroyed.
  void closeFile(std::uint64_t file);
  // The driver crashed: its open files are gone with it (no release reaches a dead connection),
  // and with them their subscriptions and routes.
  void dropOpenFiles();
  // Subscriptions (file 0: not tied to an open file); false when the node is gone.
  bool subscribe(std::uint64_t ino, std::uint64_t cookie, std::uint32_t port, std::uint32_t kind,
                 std::uint64_t file = 0);
  bool unsubscribe(std::uint64_t ino, std::uint32_t kind, std::uint64_t file = 0);
  // The subscription a notification for `node` goes to (kind optional); empty when none.
  std::optional<Subscriptions::CookiePort> subscriptionOf(const std::string& node,
                                                          std::optional<std::uint32_t> kind,
                                                          std::string& error) const;
  // `qosim ctl demote`: takes the reservation of one route (ticket) or of all the device's
  // reserved routes and returns the notices; without a ticket every routing session subscribed
  // on the device is told, also one without routes.
  std::vector<Notice> demote(const std::string& device, std::optional<std::int32_t> ticket);

 private:
  Publications publications_;
  BoardRegistry boards_;
  FaultRules rules_;
  Subscriptions subscriptions_;
  RequestLog log_;
};

}  // namespace qosim
