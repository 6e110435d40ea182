#include "Launcher.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>

#include "BoardFile.h"
#include "Control.h"
#include "FuseServer.h"
#include "Machine.h"
#include "Netlink.h"
#include "host_cli.h"

#ifndef QOSIM_DEFAULT_BOARDS
#error QOSIM_DEFAULT_BOARDS must name the default board file
#endif
#ifndef QOSIM_INSTALLED_BOARDS
#error QOSIM_INSTALLED_BOARDS must name the installed default board file, relative to qosim
#endif

namespace qosim {

namespace {

constexpr char kPrivateDir[] = "/dev/.qosim";
constexpr char kFuseDir[] = "/dev/.qosim/nodes";
constexpr const char* kControlSocket = kMachineControlSocket;
constexpr char kModuleDir[] = "/dev/.qosim/data/qo-vorlix/iomodules";

struct SetupError {
  int code;
  std::string message;
};

[[noreturn]] void setupFail(int code, const std::string& what) {
  throw SetupError{code, what + (errno ? std::string(": ") + std::strerror(errno) : std::string())};
}

void mountTmpfs(const char* source, const char* target) {
  if (::mount(source, target, "tmpfs", MS_NOSUID, "mode=0755") != 0)
    setupFail(kExitSetup, std::string("cannot mount a tmpfs over ") + target);
}

// The standard entries of /dev the command may need. Character devices and directories are
// bind-mounted from the original /dev (reached through a descriptor opened before it was
// covered), symbolic links are copied. /dev/ptmx is made anew instead: the kernel finds the
// pseudo-terminal file system through the "pts" entry beside the ptmx node actually opened, which
// a bind-mounted node does not have.
const char* const kStandardDevEntries[] = {"null", "zero", "full",    "random",    "urandom",
                                           "tty",  "fuse", "console", "kvm",       "net",
                                           "pts",  "shm",  "mqueue",  "hugepages", "log",
                                           "core", "fd",   "stdin",   "stdout",    "stderr"};

void populateDev(int oldDev) {
  for (const char* name : kStandardDevEntries) {
    struct stat st {};
    if (::fstatat(oldDev, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const std::string target = std::string("/dev/") + name;
    if (S_ISLNK(st.st_mode)) {
      char link[4096];
      ssize_t n = ::readlinkat(oldDev, name, link, sizeof link - 1);
      if (n < 0) continue;
      link[n] = '\0';
      if (::symlink(link, target.c_str()) != 0) setupFail(kExitSetup, "cannot create " + target);
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      if (::mkdir(target.c_str(), st.st_mode & 07777) != 0)
        setupFail(kExitSetup, "cannot create " + target);
    } else {
      int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0) setupFail(kExitSetup, "cannot create " + target);
      ::close(fd);
    }
    const std::string source = "/proc/self/fd/" + std::to_string(oldDev) + "/" + name;
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
      setupFail(kExitSetup, "cannot bind-mount " + target);
  }
  if (::mknod("/dev/ptmx", S_IFCHR | 0666, makedev(5, 2)) == 0) ::chmod("/dev/ptmx", 0666);
  const std::pair<const char*, const char*> links[] = {{"fd", "/proc/self/fd"},
                                                       {"stdin", "/proc/self/fd/0"},
                                                       {"stdout", "/proc/self/fd/1"},
                                                       {"stderr", "/proc/self/fd/2"},
                                                       {"ptmx", "pts/ptmx"}};
  for (const auto& [name, to] : links) {
    const std::string target = std::string("/dev/") + name;
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0) continue;
    if (::symlink(to, target.c_str()) != 0) setupFail(kExitSetup, "cannot create " + target);
  }
}

std::string resolveCommand(const std::string& cmd, int& code) {
  auto executable = [](const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
  };
  if (cmd.find('/') != std::string::npos) {
    if (executable(cmd)) return cmd;
    code = ::access(cmd.c_str(), F_OK) == 0 ? kExitNotExecutable : kExitNotFound;
    return {};
  }
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + cmd;
    if (executable(candidate)) return candidate;
    start = end + 1;
  }
  code = kExitNotFound;
  return {};
}

// The default board file: an installed qosim reads the one installed with it (found from its own
// location, so a tree unpacked under another root works too); the build tree's qosim has none
// beside it and reads the source tree's.
std::string defaultBoardFile() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const std::string installed =
        (self.parent_path() / QOSIM_INSTALLED_BOARDS).lexically_normal().string();
    if (::access(installed.c_str(), R_OK) == 0) return installed;
  }
  return QOSIM_DEFAULT_BOARDS;
}

}  // namespace

// An installed qosim's platform stand-ins (beside it, like its board file), or "" in a build tree.
std::string installedStandins() {
#ifdef QOSIM_INSTALLED_STANDINS
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || !std::filesystem::exists(self.parent_path() / QOSIM_INSTALLED_BOARDS, error))
    return {};
  const std::filesystem::path dir =
      (self.parent_path() / QOSIM_INSTALLED_STANDINS).lexically_normal();
  return std::filesystem::is_directory(dir, error) ? dir.string() : std::string();
#else
  return {};
#endif
}

void setMachineEnvironment() {
  ::setenv("QOSIM_CONTROL", kMachineControlSocket, 1);
  if (const std::string standins = installedStandins(); !standins.empty()) {
    const char* before = std::getenv("LD_LIBRARY_PATH");
    std::string path = standins;
    if (before != nullptr && *before != '\0') path.append(":").append(before);
    ::setenv("LD_LIBRARY_PATH", path.c_str(), 1);
  }
}

namespace {

// What the machine needs before it is made: the boards, the program the command names.
struct Prepared {
  MachineSpec machineFile;
  std::string boardFile;
  std::string program;
};

// 0, or the exit status of a refusal (told on stderr).
int prepare(const RunOptions& options, Prepared& out) {
  if (options.command.empty()) {
    std::cerr << "qosim run: no command given (qosim run [--boards FILE] -- COMMAND...)\n";
    return kExitUsage;
  }
  out.boardFile = options.boardFile.empty() ? defaultBoardFile() : options.boardFile;
  try {
    out.machineFile = loadMachineFile(out.boardFile);
  } catch (const BoardError& e) {
    std::cerr << "qosim: " << hostcli::printable(e.what()) << "\n";
    return kExitBoardFile;
  }
  int lookupCode = 0;
  out.program = resolveCommand(options.command[0], lookupCode);
  if (out.program.empty()) {
    std::cerr << "qosim: " << hostcli::printable(options.command[0])
              << (lookupCode == kExitNotFound ? ": command not found\n" : ": not executable\n");
    return lookupCode;
  }
  return 0;
}

// A private mount namespace of root with /dev/fuse at hand.
void enterNamespace() {
  errno = 0;
  if (::geteuid() != 0)
    setupFail(kExitNotRoot, "must run as root (mount namespace, tmpfs and FUSE mounts)");
  if (::access("/dev/fuse", F_OK) != 0)
    setupFail(kExitNoFuse, "/dev/fuse is missing (load the fuse module)");
  int probe = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (probe < 0) setupFail(kExitNoFuse, "/dev/fuse cannot be opened");
  ::close(probe);
  if (::unshare(CLONE_NEWNS) != 0)
    setupFail(kExitNoNamespace, "unshare(CLONE_NEWNS) is not permitted");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    setupFail(kExitNoNamespace, "cannot make the mount tree private");
}

// /proc/driver/qo and the machine's own /dev; `oldDev` holds the original /dev open.
void mountMachineTrees(int& oldDev) {
  // /proc/driver is created by the kernel at boot; a directory cannot be added to procfs.
  struct stat st {};
  if (::stat("/proc/driver", &st) != 0 || !S_ISDIR(st.st_mode))
    setupFail(kExitSetup, "/proc/driver does not exist (procfs not mounted?)");
  mountTmpfs("qosim-proc", "/proc/driver");
  if (::mkdir("/proc/driver/qo", 0755) != 0) setupFail(kExitSetup, "cannot create /proc/driver/qo");
  oldDev = ::open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (oldDev < 0) setupFail(kExitSetup, "cannot open /dev");
  mountTmpfs("qosim-dev", "/dev");
  populateDev(oldDev);
  if (::mkdir(kPrivateDir, 0755) != 0 || ::mkdir(kFuseDir, 0755) != 0)
    setupFail(kExitSetup, std::string("cannot create ") + kFuseDir);
}

// The threads serving the machine, stopped control first.
struct Serving {
  std::unique_ptr<FuseServer> fuse;
  std::unique_ptr<ControlServer> control;
  void stop() {
    if (control) control->stop();
    if (fuse) fuse->stop();
  }
};

// Mounts the nodes, plugs the boards and opens the control socket. From the FUSE mount on,
// signals reach the launcher only through sigwaitinfo: every thread started now inherits the
// blocked mask, and the child gets `original` back.
void startServing(Machine& machine, NetlinkSender& netlink, Serving& serving,
                  const Prepared& prepared, const RunOptions& options, const sigset_t& waited,
                  sigset_t& original) {
  errno = 0;
  serving.fuse = std::make_unique<FuseServer>(machine, &netlink);
  std::string error;
  if (!serving.fuse->mount(kFuseDir, error)) setupFail(kExitFuseMount, error);
  sigprocmask(SIG_BLOCK, &waited, &original);
  serving.fuse->start();
  machine.initPublications(prepared.machineFile.enumFaults, prepared.machineFile.moduleFiles);
  machine.createDevQo();
  for (const auto& b : prepared.machineFile.boards) machine.plug(b);
  serving.control = std::make_unique<ControlServer>(machine, netlink);
  nlohmann::json command = nlohmann::json::array();
  for (const auto& a : options.command) command.push_back(a);
  serving.control->setInfo({{"command", std::move(command)}, {"boardFile", prepared.boardFile}});
  if (!serving.control->listen(kControlSocket, error)) setupFail(kExitSetup, error);
  serving.control->start();
  setMachineEnvironment();
}

// Runs the command as the launcher's child and waits for it, passing signals on; its status.
int runChild(const std::string& program, const std::vector<std::string>& command,
             const sigset_t& waited, const sigset_t& original) {
  std::vector<char*> argv;
  for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec: the parent has threads.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(kExitSetup);
    ::sigprocmask(SIG_SETMASK, &original, nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(errno == ENOENT ? kExitNotFound : kExitNotExecutable);
  }
  if (child < 0) {
    std::cerr << "qosim: fork failed: " << std::strerror(errno) << "\n";
    return kExitSetup;
  }
  int status = 0;
  for (;;) {
    siginfo_t info{};
    int sig = ::sigwaitinfo(&waited, &info);
    if (sig < 0) continue;
    if (sig == SIGCHLD) {
      pid_t r = ::waitpid(child, &status, WNOHANG);
      if (r == child) break;
      continue;
    }
    ::kill(child, sig);  // the command decides what an interrupt means
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int runMachine(const RunOptions& options) {
  Prepared prepared;
  if (const int code = prepare(options, prepared); code != 0) return code;
  sigset_t waited, original;
  sigemptyset(&waited);
  for (int s : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&waited, s);
  sigprocmask(SIG_SETMASK, nullptr, &original);

  Machine machine(Paths{"/proc/driver/qo", "/dev/qo", kFuseDir, kModuleDir});
  NetlinkSender netlink;
  Serving serving;
  int oldDev = -1;
  try {
    enterNamespace();
    mountMachineTrees(oldDev);
    startServing(machine, netlink, serving, prepared, options, waited, original);
  } catch (const SetupError& e) {
    std::cerr << "qosim: " << hostcli::printable(e.message) << "\n";
    serving.stop();
    if (oldDev >= 0) ::close(oldDev);
    return e.code;
  } catch (const std::exception& e) {
    std::cerr << "qosim: setting up the machine failed: " << hostcli::printable(e.what()) << "\n";
    serving.stop();
    if (oldDev >= 0) ::close(oldDev);
    return kExitSetup;
  }
  ::close(oldDev);
  const int exitCode = runChild(prepared.program, options.command, waited, original);
  serving.stop();
  return exitCode;
}

}  // namespace qosim
