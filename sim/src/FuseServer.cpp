#define FUSE_USE_VERSION 312
#include "FuseServer.h"

#include <fuse_lowlevel.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Dispatcher.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"

namespace qosim {

namespace drv = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver;

namespace {

constexpr std::uint32_t kMaxBlockBytes = 16u << 20;  // larger request/response blocks: EINVAL

Machine& machineOf(fuse_req_t req) {
  return static_cast<FuseServer*>(fuse_req_userdata(req))->machine();
}
dev_t deviceOf(fuse_req_t req) {
  return static_cast<FuseServer*>(fuse_req_userdata(req))->device();
}

void fillNodeAttr(struct stat& st, const Node& n, std::uint64_t size) {
  std::memset(&st, 0, sizeof st);
  st.st_ino = n.ino;
  st.st_mode = S_IFREG | 0666;
  st.st_nlink = 1;
  st.st_size = static_cast<off_t>(size);
  st.st_blksize = 4096;
  st.st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
  st.st_atime = st.st_mtime = st.st_ctime = n.createdSec;
}

void fillRootAttr(struct stat& st) {
  std::memset(&st, 0, sizeof st);
  st.st_ino = FUSE_ROOT_ID;
  st.st_mode = S_IFDIR | 0755;
  st.st_nlink = 2;
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  if (parent != FUSE_ROOT_ID) return (void)fuse_reply_err(req, ENOENT);
  auto n = machineOf(req).boards().nodeByName(name);
  if (!n) return (void)fuse_reply_err(req, ENOENT);
  fuse_entry_param e{};
  e.ino = n->ino;
  e.generation = 1;
  // No caching: boards come and go at any time.
  e.attr_timeout = 0;
  e.entry_timeout = 0;
  fillNodeAttr(e.attr, *n, machineOf(req).boards().storeSize(n->ino));
  fuse_reply_entry(req, &e);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  struct stat st;
  if (ino == FUSE_ROOT_ID) {
    fillRootAttr(st);
    return (void)fuse_reply_attr(req, &st, 0);
  }
  auto n = machineOf(req).boards().nodeByIno(ino);
  if (!n) return (void)fuse_reply_err(req, ENOENT);
  fillNodeAttr(st, *n, machineOf(req).boards().storeSize(ino));
  fuse_reply_attr(req, &st, 0);
}

void opSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, fuse_file_info* fi) {
  if (ino != FUSE_ROOT_ID && (to_set & FUSE_SET_ATTR_SIZE)) {
    int err = machineOf(req).boards().truncateStore(ino, static_cast<std::uint64_t>(attr->st_size));
    if (err) return (void)fuse_reply_err(req, err);
  }
  opGetattr(req, ino, fi);
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino == FUSE_ROOT_ID) return (void)fuse_reply_err(req, EISDIR);
  if (!machineOf(req).boards().nodeByIno(ino)) return (void)fuse_reply_err(req, ENODEV);
  fi->keep_cache = 0;
  fi->direct_io = 0;  // page cache: shared memory mappings of a node work
  // Subscriptions and routes belong to the open file, as a driver keeps them per file.
  fi->fh = machineOf(req).openFile(ino);
  fuse_reply_open(req, fi);
}

void opRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  machineOf(req).closeFile(fi->fh);
  fuse_reply_err(req, 0);
}
void opFlush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

void logTransfer(fuse_req_t req, const char* op, const Node& n, std::uint64_t off,
                 const std::uint8_t* data, std::size_t size, int err) {
  LogRecord rec;
  rec.op = op;
  rec.node = n.name;
  rec.tid = fuse_req_ctx(req)->pid;
  rec.offset = off;
  std::size_t logged = std::min(size, Machine::kMaxLoggedBytes);
  if (std::string(op) == "write")
    rec.input.assign(data, data + logged);
  else
    rec.output.assign(data, data + logged);
  rec.inputSize = rec.outputSize = static_cast<std::uint32_t>(size);
  rec.err = err;
  machineOf(req).requestLog().add(std::move(rec));
}

void opRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  auto n = machineOf(req).boards().nodeByIno(ino);
  Bytes data;
  if (!n || !machineOf(req).boards().readStore(ino, static_cast<std::uint64_t>(off), size, data))
    return (void)fuse_reply_err(req, ENODEV);
  logTransfer(req, "read", *n, static_cast<std::uint64_t>(off), data.data(), data.size(), 0);
  fuse_reply_buf(req, reinterpret_cast<const char*>(data.data()), data.size());
}

void opWrite(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t off,
             fuse_file_info*) {
  auto n = machineOf(req).boards().nodeByIno(ino);
  if (!n) return (void)fuse_reply_err(req, ENODEV);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(buf);
  int err = machineOf(req).boards().writeStore(ino, static_cast<std::uint64_t>(off), bytes, size);
  logTransfer(req, "write", *n, static_cast<std::uint64_t>(off), bytes, size, err);
  if (err) return (void)fuse_reply_err(req, err);
  fuse_reply_write(req, size);
}

void opReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  if (ino != FUSE_ROOT_ID) return (void)fuse_reply_err(req, ENOTDIR);
  std::vector<std::pair<std::string, std::uint64_t>> entries{{".", FUSE_ROOT_ID},
                                                             {"..", FUSE_ROOT_ID}};
  for (auto& e : machineOf(req).boards().nodeNames()) entries.push_back(std::move(e));
  std::vector<char> buf(size);
  std::size_t used = 0;
  for (std::size_t i = static_cast<std::size_t>(off); i < entries.size(); ++i) {
    struct stat st {};
    st.st_ino = entries[i].second;
    st.st_mode = i < 2 ? S_IFDIR : S_IFREG;
    std::size_t need = fuse_add_direntry(req, buf.data() + used, size - used,
                                         entries[i].first.c_str(), &st, static_cast<off_t>(i + 1));
    if (need > size - used) break;
    used += need;
  }
  fuse_reply_buf(req, buf.data(), used);
}

// Query of one memory area of another process through its /proc/<pid>/maps descriptor
// (PROCMAP_QUERY, Linux 6.11 and later; the Debian 12 headers predate it).
struct ProcmapQuery {
  std::uint64_t size;
  std::uint64_t queryFlags;
  std::uint64_t queryAddr;
  std::uint64_t vmaStart;
  std::uint64_t vmaEnd;
  std::uint64_t vmaFlags;
  std::uint64_t vmaPageSize;
  std::uint64_t vmaOffset;
  std::uint64_t inode;
  std::uint32_t devMajor;
  std::uint32_t devMinor;
  std::uint32_t vmaNameSize;
  std::uint32_t buildIdSize;
  std::uint64_t vmaNameAddr;
  std::uint64_t buildIdAddr;
};
static_assert(sizeof(ProcmapQuery) == 104 && offsetof(ProcmapQuery, devMajor) == 72 &&
              offsetof(ProcmapQuery, vmaNameAddr) == 88);
constexpr unsigned long kProcmapQuery = _IOWR('f', 17, ProcmapQuery);
constexpr std::uint64_t kCoveringOrNextVma = 0x10;
constexpr std::uint64_t kFileBackedVma = 0x20;

using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Fallback for kernels without PROCMAP_QUERY: the maps text, searched for the device first.
bool mappedFromOwnMountText(int fd, dev_t dev, const Ranges& ranges) {
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  char devText[32];
  std::snprintf(devText, sizeof devText, " %02x:%02x ", major(dev), minor(dev));
  for (std::size_t at = text.find(devText); at != std::string::npos;
       at = text.find(devText, at + 1)) {
    std::size_t lineStart = text.rfind('\n', at);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    unsigned long long lo = 0, hi = 0;
    if (std::sscanf(text.c_str() + lineStart, "%llx-%llx", &lo, &hi) != 2) continue;
    for (const auto& [a, len] : ranges)
      if (len && a < hi && a + len > lo) return true;
  }
  return false;
}

// True when one of the ranges overlaps a mapping of a file of this FUSE mount in the caller:
// reading such memory would fault it in through the simulator itself.
bool mappedFromOwnMount(pid_t tid, dev_t dev, const Ranges& ranges) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/maps", static_cast<int>(tid));
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool mapped = false;
  for (const auto& [start, len] : ranges) {
    if (len == 0) continue;
    const std::uint64_t end = start + len < start ? ~0ull : start + len;
    for (std::uint64_t addr = start; addr < end && !mapped;) {
      ProcmapQuery q{};
      q.size = sizeof q;
      q.queryFlags = kCoveringOrNextVma | kFileBackedVma;
      q.queryAddr = addr;
      if (::ioctl(fd, kProcmapQuery, &q) != 0) {
        if (errno == ENOENT) break;  // no file mapping at or after addr
        mapped = mappedFromOwnMountText(fd, dev, ranges);
        ::close(fd);
        return mapped;
      }
      if (q.vmaStart >= end) break;
      mapped = q.devMajor == major(dev) && q.devMinor == minor(dev);
      addr = q.vmaEnd;
    }
    if (mapped) break;
  }
  ::close(fd);
  return mapped;
}

bool readCaller(pid_t tid, std::uint64_t addr, void* dst, std::size_t len) {
  if (len == 0) return true;
  iovec local{dst, len};
  iovec remote{reinterpret_cast<void*>(addr), len};
  return ::process_vm_readv(tid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(len);
}

bool writeCaller(pid_t tid, std::uint64_t addr, const void* src, std::size_t len) {
  if (len == 0) return true;
  iovec local{const_cast<void*>(src), len};
  iovec remote{reinterpret_cast<void*>(addr), len};
  return ::process_vm_writev(tid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(len);
}

// The board a "then": "unplug" fault or rule takes away, set by opIoctl for its worker thread.
// It leaves before the reply is sent: once answered, the caller's next call may come at once and
// must find the board gone.
struct PendingUnplug {
  Machine* machine = nullptr;
  std::string device;
  const Aftermath* after = nullptr;
};
thread_local PendingUnplug pendingUnplug;

void unplugIfAsked() {
  PendingUnplug& p = pendingUnplug;
  if (!p.machine || !p.after || p.after->then != Aftermath::Then::Unplug || p.device.empty())
    return;
  try {
    p.machine->unplug(p.device);
  } catch (const std::exception&) {
    // Already unplugged by someone else: nothing left to do.
  }
  p.device.clear();
}

void replyIoctlError(fuse_req_t req, LogRecord& rec, int err, const char* note) {
  unplugIfAsked();
  rec.err = err;
  if (note) rec.note = note;
  machineOf(req).requestLog().add(std::move(rec));
  fuse_reply_err(req, err);
}

// Demotion notices for routes that lost their reservation, through the netlink sender.
void sendDemotions(fuse_req_t req, const std::vector<Demotion>& demoted, LogRecord& rec) {
  if (demoted.empty()) return;
  auto* server = static_cast<FuseServer*>(fuse_req_userdata(req));
  for (const Notice& n : server->machine().subscriptions().demotionNotices(demoted)) {
    std::string error;
    NotificationFields f;
    f.cookie = n.cookie;
    f.payload = n.payload;
    const bool sent =
        server->netlink() && server->netlink()->send(n.port, server->netlink()->build(f), error);
    rec.note +=
        "; demotion notice to port " + std::to_string(n.port) + (sent ? "" : " not sent: " + error);
  }
}

// The driver dies instead of answering: the caller sees ENOTCONN (the reply only frees the
// request; the connection is gone by then).
void crashInstead(fuse_req_t req, LogRecord& rec, std::uint32_t restartMs) {
  rec.err = ENOTCONN;
  rec.note += rec.note.empty() ? "crash" : ", crash";
  auto* server = static_cast<FuseServer*>(fuse_req_userdata(req));
  server->machine().requestLog().add(std::move(rec));
  server->crash(restartMs);
  fuse_reply_err(req, ENOTCONN);
}

// A subscription command's own decision (an injected error or crash); false when it replied.
bool subscriptionGoesOn(fuse_req_t req, Machine& m, const Node& node, unsigned int cmd,
                        LogRecord& rec, Aftermath& after) {
  Decision d = m.rules().decide(node, cmd);
  after = d.after;
  if (d.after.then == Aftermath::Then::Crash) {
    crashInstead(req, rec, d.after.restartMs);
    return false;
  }
  if (d.err) {
    replyIoctlError(req, rec, d.err, "injected");
    return false;
  }
  if (d.ruleId) rec.note += (rec.note.empty() ? "rule " : ", rule ") + std::to_string(d.ruleId);
  return true;
}

void serveSubscribe(fuse_req_t req, fuse_ino_t ino, const Node& node, fuse_file_info* fi,
                    const void* in_buf, size_t in_bufsz, LogRecord& rec, Aftermath& after) {
  Machine& m = machineOf(req);
  rec.op = "subscribe";
  if (!in_buf || in_bufsz < sizeof(drv::tSubscribeNotification))
    return replyIoctlError(req, rec, EINVAL, "short subscription block");
  rec.input.assign(static_cast<const std::uint8_t*>(in_buf),
                   static_cast<const std::uint8_t*>(in_buf) + sizeof(drv::tSubscribeNotification));
  rec.inputSize = sizeof(drv::tSubscribeNotification);
  if (!subscriptionGoesOn(req, m, node, drv::kSubscribeNotification, rec, after)) return;
  drv::tSubscribeNotification sub;
  std::memcpy(&sub, in_buf, sizeof sub);
  if (!m.subscribe(ino, sub.cookie, sub.portId, sub.kind, fi ? fi->fh : 0))
    return replyIoctlError(req, rec, ENODEV, "node is gone");
  m.requestLog().add(std::move(rec));
  unplugIfAsked();
  fuse_reply_ioctl(req, 0, nullptr, 0);
}

void serveUnsubscribe(fuse_req_t req, fuse_ino_t ino, const Node& node, void* arg,
                      fuse_file_info* fi, LogRecord& rec, Aftermath& after) {
  Machine& m = machineOf(req);
  rec.op = "unsubscribe";
  auto kind = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(arg));
  rec.result = kind;
  rec.note = "kind " + std::to_string(kind);
  if (!subscriptionGoesOn(req, m, node, drv::kUnsubscribeNotification, rec, after)) return;
  m.unsubscribe(ino, kind, fi ? fi->fh : 0);
  m.requestLog().add(std::move(rec));
  unplugIfAsked();
  fuse_reply_ioctl(req, 0, nullptr, 0);
}

// One method call as it is served: decoded, decided, answered, replied.
struct IoctlCall {
  IoctlCall(fuse_req_t request, LogRecord& record, Aftermath& aftermath)
      : req(request), rec(record), after(aftermath) {}
  fuse_req_t req;
  LogRecord& rec;
  Aftermath& after;
  unsigned int cmd = 0;
  pid_t tid = 0;
  dev_t dev = 0;
  std::uint64_t blockAddr = 0;
  drv::tCallBlock block{};
  Bytes input;
  const qodrvdesc::Method* method = nullptr;  // nullptr: no method of the interface has cmd
  std::vector<CallerArray> reads;
  CallContext context;
  bool arraysRead = true;
};

// What goes back: the output block, caller buffers, the decoded arrays, demotions, the result.
struct IoctlAnswer {
  Bytes output;
  std::vector<std::pair<std::uint64_t, Bytes>> callerWrites;
  nlohmann::json arrays;
  std::vector<Demotion> demoted;
};

// The call ends with an error reply, or the driver's crash; both answer false for the caller.
bool failCall(IoctlCall& c, int err, const char* note) {
  replyIoctlError(c.req, c.rec, err, note);
  return false;
}
bool crashCall(IoctlCall& c, std::uint32_t restartMs) {
  crashInstead(c.req, c.rec, restartMs);
  return false;
}

// Arrays the request points to that the driver reads (routing seeds and destinations): read
// before any answer so the log shows them whoever answers.
void readCallerArrays(IoctlCall& c) {
  c.reads = c.method ? callerReads(*c.method, c.input) : std::vector<CallerArray>{};
  for (const CallerArray& r : c.reads) {
    Bytes bytes(r.size);
    if (mappedFromOwnMount(c.tid, c.dev, {{r.address, r.size}}) ||
        !readCaller(c.tid, r.address, bytes.data(), r.size)) {
      c.arraysRead = false;
      break;
    }
    c.context.arrays.push_back(std::move(bytes));
  }
  if (!c.arraysRead) c.context.arrays.clear();
  if (!c.context.arrays.empty())
    c.rec.decoded["arrays"] = decodeCallerArrays(c.reads, c.context.arrays);
}

// Reads the call block, the request block and the caller arrays; false when it replied.
bool decodeCall(IoctlCall& c, const Node& node) {
  LogRecord& rec = c.rec;
  drv::tCallBlock& block = c.block;
  if (mappedFromOwnMount(c.tid, c.dev, {{c.blockAddr, sizeof block}}))
    return failCall(c, EFAULT, "call block lies in a mapped node");
  if (!readCaller(c.tid, c.blockAddr, &block, sizeof block))
    return failCall(c, EFAULT, "call block unreadable");
  rec.block.assign(reinterpret_cast<const std::uint8_t*>(&block),
                   reinterpret_cast<const std::uint8_t*>(&block) + sizeof block);
  rec.inputSize = block.inputSize;
  rec.outputSize = block.outputSize;
  if (block.inputSize > kMaxBlockBytes || block.outputSize > kMaxBlockBytes)
    return failCall(c, EINVAL, "block larger than 16 MiB");
  if (mappedFromOwnMount(c.tid, c.dev,
                         {{block.input, block.inputSize}, {block.output, block.outputSize}}))
    return failCall(c, EFAULT, "request or response block lies in a mapped node");
  c.input.resize(block.inputSize);
  if (!readCaller(c.tid, block.input, c.input.data(), c.input.size()))
    return failCall(c, EFAULT, "input block unreadable");
  const std::size_t logged = std::min(c.input.size(), Machine::kMaxLoggedBytes);
  rec.input.assign(c.input.begin(), c.input.begin() + static_cast<std::ptrdiff_t>(logged));
  // The method the command decodes to on this node's interface (nullptr: not in the tables, the
  // plain default answer).
  c.method = methodOf(node.interface, c.cmd);
  if (c.method) {
    rec.method = c.method->name;
    rec.decoded = decodeBlocks(*c.method, rec.input, {});
  }
  readCallerArrays(c);
  return true;
}

// Programmed responses and injected errors come before the model; false when it replied.
bool decideCall(IoctlCall& c, const Node& node, Decision& d) {
  d = machineOf(c.req).rules().decide(node, c.cmd, c.method != nullptr);
  if (d.ruleId) c.rec.note = "rule " + std::to_string(d.ruleId);
  c.after = d.after;
  if (d.after.then == Aftermath::Then::Crash) return crashCall(c, d.after.restartMs);
  if (d.err) return failCall(c, d.err, nullptr);
  // A command that no method of the node's interface owns fails as the driver fails it.
  if (!c.method) return failCall(c, ENOTTY, "no method of the interface has this command");
  return true;
}

// The answer of the model, or the programmed one of a rule; false when it replied.
bool answerCall(IoctlCall& c, const Node& node, const Decision& d, IoctlAnswer& answer) {
  answer.output.assign(c.block.outputSize, 0);
  if (d.ruleId) {
    if (d.output)
      std::copy_n(d.output->begin(), std::min(d.output->size(), answer.output.size()),
                  answer.output.begin());
    // The programmed status lands in the method's own status word (a method without one has no
    // way to report it).
    if (d.status && !placeStatus(*c.method, answer.output, *d.status))
      c.rec.note += ", status not placed";
    return true;
  }
  if (!c.arraysRead) return failCall(c, EFAULT, "caller array unreadable");
  ModelAnswer a =
      answerFromModel(machineOf(c.req), node, *c.method, c.input, c.block.outputSize, c.context);
  c.after = a.after;
  if (a.after.then == Aftermath::Then::Crash) {
    c.rec.note = a.note;
    return crashCall(c, a.after.restartMs);
  }
  if (a.err) return failCall(c, a.err, a.note.c_str());
  std::copy(a.response.begin(), a.response.end(), answer.output.begin());
  answer.callerWrites = std::move(a.callerWrites);
  if (!a.arrays.empty()) answer.arrays = std::move(a.arrays);
  answer.demoted = std::move(a.demoted);
  c.rec.note = a.note.empty() ? "model" : "model, " + a.note;
  return true;
}

// Writes the caller buffers, the output block and the result, logs and replies.
void replyCall(IoctlCall& c, const Decision& d, const IoctlAnswer& answer, size_t out_bufsz) {
  LogRecord& rec = c.rec;
  for (const auto& [addr, bytes] : answer.callerWrites) {
    if (mappedFromOwnMount(c.tid, c.dev, {{addr, bytes.size()}}))
      return replyIoctlError(c.req, rec, EFAULT, "caller buffer lies in a mapped node");
    if (!writeCaller(c.tid, addr, bytes.data(), bytes.size()))
      return replyIoctlError(c.req, rec, EFAULT, "caller buffer not writable");
  }
  const Bytes& output = answer.output;
  const std::uint32_t result = d.result ? *d.result : c.block.outputSize;
  if (!writeCaller(c.tid, c.block.output, output.data(), output.size()))
    return replyIoctlError(c.req, rec, EFAULT, "output block not writable");
  if (!writeCaller(c.tid, c.blockAddr + offsetof(drv::tCallBlock, result), &result, sizeof result))
    return replyIoctlError(c.req, rec, EFAULT, "call block not writable");
  nlohmann::json read = rec.decoded.contains("arrays") ? rec.decoded["arrays"] : nlohmann::json();
  rec.decoded = decodeBlocks(*c.method, rec.input, output);
  if (!answer.arrays.is_null())
    rec.decoded["arrays"] = answer.arrays;
  else if (!read.is_null())
    rec.decoded["arrays"] = read;
  sendDemotions(c.req, answer.demoted, rec);
  const std::size_t logged = std::min(output.size(), Machine::kMaxLoggedBytes);
  rec.output.assign(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(logged));
  rec.result = result;
  machineOf(c.req).requestLog().add(std::move(rec));
  unplugIfAsked();
  // For a command with the read direction the kernel copies the reply over the caller's
  // argument: send the block as it now stands so that copy changes nothing.
  if ((_IOC_DIR(c.cmd) & _IOC_READ) && out_bufsz > 0) {
    drv::tCallBlock block = c.block;
    std::memcpy(reinterpret_cast<std::uint8_t*>(&block) + offsetof(drv::tCallBlock, result),
                &result, sizeof result);
    return (void)fuse_reply_ioctl(c.req, 0, &block, std::min(out_bufsz, sizeof block));
  }
  fuse_reply_ioctl(c.req, 0, nullptr, 0);
}

void serveIoctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void* arg, fuse_file_info* fi,
                unsigned flags, const void* in_buf, size_t in_bufsz, size_t out_bufsz,
                Aftermath& after) {
  Machine& m = machineOf(req);
  LogRecord rec;
  rec.op = "ioctl";
  rec.command = cmd;
  rec.tid = fuse_req_ctx(req)->pid;
  if (ino == FUSE_ROOT_ID || (flags & FUSE_IOCTL_DIR)) return (void)fuse_reply_err(req, ENOTTY);
  auto node = m.boards().nodeByIno(ino);
  if (!node) return replyIoctlError(req, rec, ENODEV, "node is gone");
  rec.node = node->name;
  if (cmd == drv::kSubscribeNotification)
    return serveSubscribe(req, ino, *node, fi, in_buf, in_bufsz, rec, after);
  if (cmd == drv::kUnsubscribeNotification)
    return serveUnsubscribe(req, ino, *node, arg, fi, rec, after);

  // Every other command carries a call block, whatever its direction bits say.
  IoctlCall c{req, rec, after};
  c.cmd = cmd;
  c.tid = rec.tid;
  c.dev = deviceOf(req);
  c.blockAddr = reinterpret_cast<std::uint64_t>(arg);
  c.context.file = fi ? fi->fh : 0;
  Decision d;
  IoctlAnswer answer;
  if (!decodeCall(c, *node) || !decideCall(c, *node, d) || !answerCall(c, *node, d, answer)) return;
  replyCall(c, d, answer, out_bufsz);
}

void opIoctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void* arg, fuse_file_info* fi,
             unsigned flags, const void* in_buf, size_t in_bufsz, size_t out_bufsz) {
  Machine& m = machineOf(req);
  Aftermath after;
  pendingUnplug = {&m, m.boards().deviceOfNode(ino), &after};
  serveIoctl(req, ino, cmd, arg, fi, flags, in_buf, in_bufsz, out_bufsz, after);
  pendingUnplug = {};
}

const fuse_lowlevel_ops kOps = [] {
  fuse_lowlevel_ops ops{};
  ops.lookup = opLookup;
  ops.getattr = opGetattr;
  ops.setattr = opSetattr;
  ops.open = opOpen;
  ops.release = opRelease;
  ops.flush = opFlush;
  ops.read = opRead;
  ops.write = opWrite;
  ops.readdir = opReaddir;
  ops.ioctl = opIoctl;
  return ops;
}();

}  // namespace

FuseServer::FuseServer(Machine& machine, NetlinkSender* netlink)
    : machine_(machine), netlink_(netlink) {}

FuseServer::~FuseServer() { stop(); }

bool FuseServer::mount(const std::string& mountpoint, std::string& error) {
  const char* argv[] = {"qosim", "-o", "allow_other,fsname=qosim,subtype=qosim"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  session_ = fuse_session_new(&args, &kOps, sizeof kOps, this);
  fuse_opt_free_args(&args);
  if (!session_) {
    error = "libfuse could not create a session";
    return false;
  }
  if (fuse_session_mount(session_, mountpoint.c_str()) != 0) {
    error = "libfuse could not mount the node file system at " + mountpoint;
    fuse_session_destroy(session_);
    session_ = nullptr;
    return false;
  }
  mountpoint_ = mountpoint;
  mounted_ = true;
  return true;
}

void FuseServer::start() {
  std::lock_guard lock(sessionMutex_);
  startLoop();
}

void FuseServer::startLoop() {
  {
    std::lock_guard lock(loopMutex_);
    loopDone_ = false;
  }
  loop_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "qosim-fuse");
    fuse_loop_config* cfg = fuse_loop_cfg_create();
    fuse_loop_cfg_set_clone_fd(cfg, 0);
    fuse_loop_cfg_set_idle_threads(cfg, 8);
    fuse_loop_cfg_set_max_threads(cfg, 64);
    fuse_session_loop_mt(session_, cfg);
    fuse_loop_cfg_destroy(cfg);
    std::lock_guard lock(loopMutex_);
    loopDone_ = true;
    loopEnded_.notify_all();
  });
  // Only now: every request, even a stat of the mount, waits until the loop has answered INIT.
  struct stat st {};
  if (::stat(mountpoint_.c_str(), &st) == 0) device_ = st.st_dev;
}

void FuseServer::crash(std::uint32_t restartMs) {
  std::lock_guard lock(restartMutex_);
  if (crashed_ || stopping_) return;
  crashed_ = true;
  {
    std::lock_guard session(sessionMutex_);
    abortConnection();
  }
  // No release reaches a dead connection: the driver forgets its open files now.
  machine_.dropOpenFiles();
  if (restart_.joinable())
    restart_.join();  // the previous restart has finished (crashed_ was false)
  restart_ = std::thread([this, restartMs] {
    pthread_setname_np(pthread_self(), "qosim-restart");
    restartAfter(restartMs);
  });
}

void FuseServer::restartAfter(std::uint32_t restartMs) {
  {
    std::unique_lock lock(restartMutex_);
    if (restartWake_.wait_for(lock, std::chrono::milliseconds(restartMs),
                              [this] { return stopping_; }))
      return;
  }
  {
    std::lock_guard session(sessionMutex_);
    // The aborted session's loop has ended (its reads fail); its mount goes before the new one
    // comes, so fuse_session_unmount cannot reach the new mount.
    if (mounted_.exchange(false)) ::umount2(mountpoint_.c_str(), MNT_DETACH);
    if (loop_.joinable()) loop_.join();
    fuse_session_unmount(session_);
    fuse_session_destroy(session_);
    session_ = nullptr;
    std::string error;
    if (mount(mountpoint_, error))
      startLoop();
    else
      std::fprintf(stderr, "qosim: driver restart failed: %s\n", error.c_str());
  }
  std::lock_guard lock(restartMutex_);
  crashed_ = false;
}

void FuseServer::stop() {
  {
    std::lock_guard lock(restartMutex_);
    stopping_ = true;
  }
  restartWake_.notify_all();
  if (restart_.joinable()) restart_.join();
  std::lock_guard session(sessionMutex_);
  if (!session_) return;
  fuse_session_exit(session_);
  // Unmounting destroys the super block once no file of it is open any more, which aborts the
  // connection: the workers' reads fail and the loop ends. A file still held open by a process
  // that outlived the command keeps the super block alive, so the connection is then aborted
  // through the FUSE control file system (mounted privately for that).
  // The mount is detached here: fuse_session_unmount also closes the session's descriptor, which
  // the workers may still be reading, so it only runs after the loop has ended (the connection
  // is gone by then, and it just closes the descriptor and frees the session's mount record).
  const bool wasMounted = mounted_.exchange(false);
  if (wasMounted) ::umount2(mountpoint_.c_str(), MNT_DETACH);
  if (loop_.joinable()) {
    std::unique_lock lock(loopMutex_);
    if (!loopEnded_.wait_for(lock, std::chrono::milliseconds(500), [this] { return loopDone_; })) {
      lock.unlock();
      abortConnection();
    }
    if (lock.owns_lock()) lock.unlock();
    loop_.join();
  }
  if (wasMounted) fuse_session_unmount(session_);
  fuse_session_destroy(session_);
  session_ = nullptr;
}

void FuseServer::abortConnection() {
  const std::string ctl = mountpoint_ + "-fusectl";
  if (!fusectlMounted_) {
    ::mkdir(ctl.c_str(), 0700);
    fusectlMounted_ = ::mount("fusectl", ctl.c_str(), "fusectl", 0, nullptr) == 0;
  }
  const std::string abortFile = ctl + "/" + std::to_string(minor(device_.load())) + "/abort";
  int fd = ::open(abortFile.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    (void)!::write(fd, "1", 1);
    ::close(fd);
  }
}

}  // namespace qosim
