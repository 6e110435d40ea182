#include "qoapal/protons/io_notification/linuxU/tIONotificationReader.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "qoapal/component.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

namespace {

using Codes = nQOAPALS100::tStatus;
using driver::tIONotificationMessage;

static_assert(driver::kNetlinkFamily == AF_NETLINK);
static_assert(driver::kNetlinkProtocol == NETLINK_GENERIC);
static_assert(sizeof(nlmsghdr) == 16);

// Source lines of the reader's failure points.
constexpr unsigned kLinePipe = 101;
constexpr unsigned kLineQueueDepth = 115;
constexpr unsigned kLineSocket = 120;
constexpr unsigned kLineGetReceiveBuffer = 126;
constexpr unsigned kLineSetReceiveBuffer = 131;
constexpr unsigned kLineBind = 137;
constexpr unsigned kLineGetName = 150;
constexpr unsigned kLineNoDescriptors = 190;
constexpr unsigned kLineNullOutput = 192;
constexpr unsigned kLinePoll = 200;
constexpr unsigned kLineTimeout = 204;
constexpr unsigned kLineDescriptorError = 208;
constexpr unsigned kLineWakeRead = 214;
constexpr unsigned kLineReceive = 250;
constexpr unsigned kLineKind = 262;
constexpr unsigned kLinePayload = 266;
constexpr unsigned kLineWake = 300;

// Bytes a message must hold before its notification fields can be read.
constexpr std::size_t kNotificationHeader = offsetof(tIONotificationMessage, payload);  // 36
constexpr std::uint16_t kLastControlType = 4;  // NLMSG_NOOP..NLMSG_OVERRUN

bool setCode(tStatus* status, std::int64_t code, unsigned line) {
  return status->setCode(code, kComponentName, tIONotificationReader::kSourceName, line);
}

bool fromErrno(tStatus* status, int error, unsigned line) {
  // An errno outside the table's success entry still reports a failure.
  if (error == 0) error = EIO;
  return status->fromErrno(error, kComponentName, tIONotificationReader::kSourceName, line);
}

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::int64_t monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

}  // namespace

tIONotificationReader::tIONotificationReader(std::uint64_t queueDepth, tStatus* status) noexcept {
  if (status == nullptr || status->isFatal()) return;
  int ends[2] = {-1, -1};
  // Non-blocking ends: wake() must never block on a full pipe, a wait never on an empty one.
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    fromErrno(status, errno, kLinePipe);
    return;
  }
  wakeRead_ = ends[0];
  wakeWrite_ = ends[1];

  openSocket(queueDepth, status);
  if (status->isFatal()) return;

  sockaddr_nl address{};
  socklen_t length = sizeof address;
  if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fromErrno(status, errno, kLineGetName);
    return;
  }
  portId_ = address.nl_pid;
}

void tIONotificationReader::openSocket(std::uint64_t queueDepth, tStatus* status) noexcept {
  if (status->isFatal()) return;
  if (queueDepth > kMaxQueueDepth) {
    setCode(status, Codes::kInvalidParameter, kLineQueueDepth);
    return;
  }
  int fd = ::socket(driver::kNetlinkFamily, SOCK_RAW | SOCK_CLOEXEC, driver::kNetlinkProtocol);
  if (fd < 0) {
    fromErrno(status, errno, kLineSocket);
    return;
  }
  int current = 0;
  socklen_t size = sizeof current;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &current, &size) != 0) {
    fromErrno(status, errno, kLineGetReceiveBuffer);
  } else {
    // (depth + 1) * 72 fits 64 bits for every accepted depth; the socket option is an int.
    std::uint64_t required = (queueDepth + 1) * driver::kMaxNotificationMessage;
    if (required > static_cast<std::uint64_t>(INT_MAX)) required = INT_MAX;
    if (static_cast<std::uint64_t>(current < 0 ? 0 : current) < required) {
      const int wanted = static_cast<int>(required);
      if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted) != 0)
        fromErrno(status, errno, kLineSetReceiveBuffer);
    }
  }
  if (status->isNotFatal()) {
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = 0;     // the kernel chooses the port id
    address.nl_groups = 0;  // no multicast groups
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
      fromErrno(status, errno, kLineBind);
  }
  if (status->isFatal()) {
    ::close(fd);
    return;
  }
  socket_ = fd;
}

tIONotificationReader::~tIONotificationReader() { closeDescriptors(); }

void tIONotificationReader::closeDescriptors() noexcept {
  closeIfOpen(wakeRead_);
  closeIfOpen(wakeWrite_);
  closeIfOpen(socket_);
}

std::uint64_t tIONotificationReader::wait(int* kind, std::uint8_t* payload,
                                          std::uint32_t* payloadSize, tStatus* status,
                                          int timeoutMs) noexcept {
  if (status == nullptr || status->isFatal()) return 0;
  if (kind == nullptr || payloadSize == nullptr || payload == nullptr) {
    setCode(status, Codes::kInvalidParameter, kLineNullOutput);
    return 0;
  }
  *kind = kKindData;
  *payloadSize = 0;
  if (socket_ < 0 || wakeRead_ < 0) {
    setCode(status, Codes::kNotFound, kLineNoDescriptors);
    return 0;
  }
  const std::int64_t deadline = timeoutMs < 0 ? 0 : monotonicMs() + timeoutMs;
  for (;;) {
    int remaining = -1;
    if (timeoutMs >= 0) {
      const std::int64_t left = deadline - monotonicMs();
      remaining = left <= 0 ? 0 : static_cast<int>(left);
    }
    pollfd fds[2] = {{socket_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, remaining);
    if (ready < 0) {
      if (errno == EINTR) continue;
      setCode(status, Codes::kOsFault, kLinePoll);
      return 0;
    }
    if (ready == 0) {
      setCode(status, Codes::kTimedOut, kLineTimeout);
      return 0;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      std::uint64_t cookie = 0;
      if (receive(kind, payload, payloadSize, status, &cookie)) return cookie;
      continue;  // only discarded messages: wait for the next one (within the time limit)
    }
    if ((fds[1].revents & POLLIN) != 0) {
      char byte = 0;
      ssize_t n;
      do {
        n = ::read(wakeRead_, &byte, 1);
      } while (n < 0 && errno == EINTR);
      if (n == 1) {
        *kind = kKindWake;
        *payloadSize = 0;
        return 0;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      fromErrno(status, n < 0 ? errno : EIO, kLineWakeRead);
      return 0;
    }
    // Error or hang-up on a descriptor without input: waiting again would return at once.
    setCode(status, Codes::kIoError, kLineDescriptorError);
    return 0;
  }
}

bool tIONotificationReader::receive(int* kind, std::uint8_t* payload, std::uint32_t* payloadSize,
                                    tStatus* status, std::uint64_t* cookie) noexcept {
  for (;;) {
    tIONotificationMessage message;
    std::memset(&message, 0, sizeof message);
    const ssize_t received = ::recv(socket_, &message, sizeof message, MSG_DONTWAIT);
    if (received < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
      setCode(status, Codes::kIoError, kLineReceive);
      *cookie = 0;
      return true;
    }
    const std::size_t bytes = static_cast<std::size_t>(received);
    if (bytes < kNotificationHeader || message.length < sizeof(nlmsghdr) ||
        message.length > bytes || (message.type >= 1 && message.type <= kLastControlType)) {
      continue;  // malformed or netlink control message
    }
    if (message.kind == driver::kWireKindData) {
      *kind = kKindData;
    } else if (message.kind == driver::kWireKindSecond) {
      *kind = kKindSecond;
    } else {
      *kind = kKindData;
      setCode(status, Codes::kUnsupported, kLineKind);
      *cookie = 0;
      return true;
    }
    const std::uint32_t size = message.payloadSize;
    if (size > driver::kMaxNotificationPayload || kNotificationHeader + size > bytes) {
      *kind = kKindData;
      setCode(status, Codes::kIoError, kLinePayload);
      *cookie = 0;
      return true;
    }
    std::memcpy(payload, message.payload, size);
    *payloadSize = size;
    *cookie = message.cookie;
    return true;
  }
}

void tIONotificationReader::wake(tStatus* status) noexcept {
  if (status == nullptr || status->isFatal()) return;
  if (wakeWrite_ < 0) {
    setCode(status, Codes::kIoError, kLineWake);
    return;
  }
  const char byte = 'q';
  ssize_t n;
  do {
    n = ::write(wakeWrite_, &byte, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) setCode(status, Codes::kIoError, kLineWake);
}

bool tIONotificationReader::waitForWakeOnly(int timeoutMs) noexcept {
  if (wakeRead_ < 0) return false;
  pollfd fd = {wakeRead_, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&fd, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0 || (fd.revents & POLLIN) == 0) return false;
  char byte = 0;
  ssize_t n;
  do {
    n = ::read(wakeRead_, &byte, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

void tIONotificationReader::drainWakeups() noexcept {
  if (wakeRead_ < 0) return;
  char bytes[64];
  for (;;) {
    const ssize_t n = ::read(wakeRead_, bytes, sizeof bytes);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
