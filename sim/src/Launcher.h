// `qosim run`: sets up the simulated machine in a private mount namespace, runs one command in
// it as a child of the serving process, tears everything down and returns the command's status.
#pragma once

#include <string>
#include <vector>

namespace qosim {

// Exit codes of `qosim` itself (a command's own status is passed through unchanged).
enum ExitCode : int {
  kExitUsage = 64,           // bad command line
  kExitBoardFile = 65,       // board description missing or broken
  kExitNotRoot = 77,         // must run as root
  kExitNoNamespace = 78,     // unshare(CLONE_NEWNS) or making / private not permitted
  kExitNoFuse = 79,          // /dev/fuse missing or cannot be opened
  kExitFuseMount = 80,       // libfuse could not mount the node file system
  kExitSetup = 81,           // another setup step failed (tmpfs mounts, /proc/driver, socket)
  kExitNoMachine = 69,       // exec, ctl: no such simulated machine is running
  kExitNotExecutable = 126,  // the command exists but cannot be executed
  kExitNotFound = 127,       // the command was not found
};

struct RunOptions {
  std::string boardFile;  // empty: the built-in default chassis (sim/boards/default.json)
  std::vector<std::string> command;
};

int runMachine(const RunOptions& options);

// Where the control socket of a machine is, inside its mount namespace ($QOSIM_CONTROL).
inline constexpr char kMachineControlSocket[] = "/dev/.qosim/control";
// An installed qosim's platform stand-ins (put first in LD_LIBRARY_PATH of what runs inside a
// machine), or "" in a build tree.
std::string installedStandins();

// The environment of a command run inside a machine (by `qosim run` or `qosim exec`):
// QOSIM_CONTROL names the machine's control socket, the installed stand-ins come first in
// LD_LIBRARY_PATH.
void setMachineEnvironment();

}  // namespace qosim
