// Simulated machines already running, seen from outside them (a second terminal): `qosim ls`,
// `qosim exec`, `qosim ctl --machine`.
//
// A machine is identified by the process id of its `qosim run` (the launcher that serves it). It
// is found without any file of its own on the real machine: a process whose mount namespace is
// not ours and holds the control socket /dev/.qosim/control belongs to a machine, and the
// socket's `ping` names the launcher. Only root may use a machine from outside (entering a mount
// namespace and reaching into /proc/<pid>/root need it), and a command entered into one sees that
// machine's /dev and /proc/driver only.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qosim {

struct RunningMachine {
  long id = 0;             // the launcher's process id
  std::string socket;      // its control socket, as reached from here (/proc/<id>/root/...)
  nlohmann::json ping;     // the launcher's answer: pid, command, boardFile
  std::size_t boards = 0;  // boards plugged now
};

// Every machine running on this machine that we can reach (root only), in id order.
std::vector<RunningMachine> runningMachines();

// The machine `id` names, or the only one running when `id` is empty. False with a message for
// the user (no machine, several, a process that is not a machine's launcher, not root).
bool findMachine(const std::string& id, RunningMachine& found, std::string& error, int& code);

// Runs `command` inside the machine's mount namespace, with QOSIM_CONTROL set as `qosim run`
// sets it; returns only when it cannot (the message is printed, the status returned).
int execInMachine(const RunningMachine& machine, const std::vector<std::string>& command);

}  // namespace qosim
