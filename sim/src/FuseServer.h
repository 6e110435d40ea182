// The FUSE file system that serves the interface nodes (libfuse low-level API). Its root holds
// one regular file per plugged interface node; /dev/qo entries are symbolic links to them.
//
// ioctl: a file on a FUSE mount only gets restricted ioctls, so the simulator reads the 32-byte
// call block and the request block from the caller's memory itself (process_vm_readv at the
// ioctl's argument; the request's pid is the calling thread) and writes the response block and
// the result back with process_vm_writev. The session runs multi-threaded (libfuse worker
// threads) so that concurrent calls from several threads of a program are served concurrently.
//
// A crash (a fault or rule with "then": "crash") aborts the connection through fusectl and, on the
// thread "qosim-restart", mounts a fresh session at the same place after the restart delay, as a
// driver reload would. Locks: restartMutex_ before sessionMutex_; loopMutex_ is a leaf.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "Machine.h"
#include "Netlink.h"

struct fuse_session;

namespace qosim {

class FuseServer {
 public:
  // `netlink` sends the demotion notices of routing requests (none when null).
  explicit FuseServer(Machine& machine, NetlinkSender* netlink = nullptr);
  ~FuseServer();
  FuseServer(const FuseServer&) = delete;
  FuseServer& operator=(const FuseServer&) = delete;

  // Mounts at `mountpoint`; false with `error` set on failure.
  bool mount(const std::string& mountpoint, std::string& error);
  // Starts the session loop thread ("qosim-fuse"); libfuse starts its workers from it.
  void start();
  // Ends the session: unmounts (which ends the loop), joins the loop thread, destroys the session.
  void stop();

  Machine& machine() { return machine_; }
  NetlinkSender* netlink() { return netlink_; }
  dev_t device() const { return device_.load(); }

  // The driver process dies: every pending and later call on a descriptor open now fails with
  // ENOTCONN, the open files' state is dropped, and after restartMs a new session serves the
  // nodes of every plugged board again. A crash while a restart is pending changes nothing.
  void crash(std::uint32_t restartMs);

 private:
  void restartAfter(std::uint32_t restartMs);
  void startLoop();
  Machine& machine_;
  NetlinkSender* netlink_ = nullptr;
  fuse_session* session_ = nullptr;
  std::string mountpoint_;
  std::atomic<dev_t> device_{0};
  void abortConnection();
  bool fusectlMounted_ = false;  // guarded by sessionMutex_

  std::mutex restartMutex_;
  std::condition_variable restartWake_;
  bool stopping_ = false;  // guarded by restartMutex_
  bool crashed_ = false;   // guarded by restartMutex_: a restart is pending
  std::thread restart_;
  std::mutex sessionMutex_;  // session_, loop_, mount state

  std::thread loop_;
  std::mutex loopMutex_;
  std::condition_variable loopEnded_;
  bool loopDone_ = false;  // guarded by loopMutex_
  std::atomic<bool> mounted_{false};
};

}  // namespace qosim
