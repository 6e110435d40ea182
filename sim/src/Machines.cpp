#include "Machines.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>

#include "Launcher.h"
#include "QosimClient.h"
#include "host_cli.h"

namespace qosim {

namespace {

bool sameNamespace(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string socketOf(long pid) {
  return "/proc/" + std::to_string(pid) + "/root" + kMachineControlSocket;
}

// The id of a machine is the decimal process id of its launcher.
bool parseId(const std::string& text, long& id) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  id = std::stol(text);
  return id > 0;
}

// Whether this process runs inside a simulated machine: its machine's control socket is there.
bool insideMachine() {
  struct stat st {};
  return ::stat(kMachineControlSocket, &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

std::vector<RunningMachine> runningMachines() {
  std::vector<RunningMachine> out;
  struct stat ours {};
  if (::stat("/proc/self/ns/mnt", &ours) != 0) return out;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return out;
  // One process per mount namespace is enough: every process of a machine reaches its socket.
  std::map<std::pair<dev_t, ino_t>, long> namespaces;
  while (dirent* e = ::readdir(proc)) {
    long pid = 0;
    if (!parseId(e->d_name, pid)) continue;
    struct stat ns {};
    if (::stat(("/proc/" + std::string(e->d_name) + "/ns/mnt").c_str(), &ns) != 0 ||
        sameNamespace(ns, ours))
      continue;
    if (namespaces.count({ns.st_dev, ns.st_ino})) continue;
    struct stat sock {};
    if (::stat(socketOf(pid).c_str(), &sock) != 0 || !S_ISSOCK(sock.st_mode)) continue;
    namespaces[{ns.st_dev, ns.st_ino}] = pid;
  }
  ::closedir(proc);
  for (const auto& [ns, pid] : namespaces) {
    auto client = Client::connect(socketOf(pid));
    if (!client) continue;
    auto ping = client.value.request({{"cmd", "ping"}});
    if (!ping || !ping.value.contains("pid")) continue;
    RunningMachine m;
    m.ping = ping.value;
    m.id = m.ping.value("pid", 0L);
    m.socket = socketOf(m.id);
    if (auto list = client.value.request({{"cmd", "list"}}); list && list.value.contains("boards"))
      m.boards = list.value["boards"].size();
    out.push_back(std::move(m));
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
  return out;
}

bool findMachine(const std::string& idText, RunningMachine& found, std::string& error, int& code) {
  if (::geteuid() != 0) {
    error =
        "only root may use a simulated machine from outside it (entering its mount namespace needs "
        "root)";
    code = kExitNotRoot;
    return false;
  }
  // A command inside one machine reaches that machine only, never another one running beside it.
  if (insideMachine()) {
    error =
        "this process runs inside a simulated machine: it reaches only its own, through "
        "QOSIM_CONTROL (" +
        std::string(kMachineControlSocket) + ")";
    code = kExitNoMachine;
    return false;
  }
  long id = 0;
  if (!idText.empty() && !parseId(idText, id)) {
    error = "machine id \"" + hostcli::printable(idText) + "\" is not a process id (see qosim ls)";
    code = kExitUsage;
    return false;
  }
  const std::vector<RunningMachine> machines = runningMachines();
  code = kExitNoMachine;
  if (idText.empty()) {
    if (machines.size() == 1) {
      found = machines[0];
      return true;
    }
    if (machines.empty()) {
      error = "no simulated machine is running (start one with qosim run -- COMMAND)";
    } else {
      error = "several simulated machines are running (";
      for (std::size_t i = 0; i < machines.size(); ++i)
        error += (i ? ", " : "") + std::to_string(machines[i].id);
      error += "): choose one with --machine ID";
    }
    return false;
  }
  for (const RunningMachine& m : machines)
    if (m.id == id) {
      found = m;
      return true;
    }
  // A process inside a machine is not the machine: say which one it belongs to.
  struct stat ns {
  }, candidate{};
  if (::stat(("/proc/" + std::to_string(id) + "/ns/mnt").c_str(), &ns) == 0)
    for (const RunningMachine& m : machines)
      if (::stat(("/proc/" + std::to_string(m.id) + "/ns/mnt").c_str(), &candidate) == 0 &&
          sameNamespace(ns, candidate)) {
        error = "process " + std::to_string(id) + " runs inside simulated machine " +
                std::to_string(m.id) + ", which is the id to give";
        return false;
      }
  error = "no simulated machine " + std::to_string(id) + " is running" +
          (machines.empty() ? std::string(" (none is)") : " (see qosim ls)");
  return false;
}

int execInMachine(const RunningMachine& machine, const std::vector<std::string>& command) {
  if (command.empty()) {
    std::cerr << "qosim exec: no command given (qosim exec [--machine ID] -- COMMAND [ARG...])\n";
    return kExitUsage;
  }
  const std::string nsPath = "/proc/" + std::to_string(machine.id) + "/ns/mnt";
  const int ns = ::open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (ns < 0) {
    std::cerr << "qosim exec: cannot open " << nsPath << ": " << std::strerror(errno) << "\n";
    return kExitNoMachine;
  }
  // The working directory is kept by path: a directory of the real machine that the simulated
  // one covers (/dev) is seen as the machine shows it.
  char cwd[4096];
  const bool haveCwd = ::getcwd(cwd, sizeof cwd) != nullptr;
  if (::setns(ns, CLONE_NEWNS) != 0) {
    std::cerr << "qosim exec: cannot enter machine " << machine.id << ": " << std::strerror(errno)
              << "\n";
    ::close(ns);
    return kExitNoNamespace;
  }
  ::close(ns);
  if ((!haveCwd || ::chdir(cwd) != 0) && ::chdir("/") != 0) {
    std::cerr << "qosim exec: cannot change to / in machine " << machine.id << ": "
              << std::strerror(errno) << "\n";
    return kExitSetup;
  }
  setMachineEnvironment();
  std::vector<char*> argv;
  for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  const int e = errno;
  std::cerr << "qosim exec: " << hostcli::printable(command[0]) << ": "
            << (e == ENOENT ? "command not found" : std::strerror(e)) << "\n";
  return e == ENOENT ? kExitNotFound : kExitNotExecutable;
}

}  // namespace qosim
