// The control socket of the simulated machine: a Unix stream socket, one JSON request per line,
// one JSON answer per line ({"ok": true, ...} or {"ok": false, "error": "..."}). One thread
// ("qosim-ctl") serves every connection; requests are handled one at a time.
#pragma once

#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "Machine.h"
#include "Netlink.h"

namespace qosim {

class ControlServer {
 public:
  ControlServer(Machine& machine, NetlinkSender& netlink);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  bool listen(const std::string& path, std::string& error);
  // Fields added to every `ping` answer (the command the machine runs, its board file).
  void setInfo(nlohmann::json info) { info_ = std::move(info); }
  void start();
  void stop();

  // Handles one request (also used directly by tests of the command set).
  nlohmann::json handle(const nlohmann::json& request);

 private:
  void run();
  Machine& machine_;
  NetlinkSender& netlink_;
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  nlohmann::json info_;
};

}  // namespace qosim
