#include "Netlink.h"

#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qoapal/driver/qoDriverContract.h"

namespace qosim {

namespace drv = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver;

static_assert(sizeof(nlmsghdr) == 16 && sizeof(genlmsghdr) == 4 && sizeof(nlattr) == 4);
static_assert(offsetof(drv::tIONotificationMessage, kind) ==
              sizeof(nlmsghdr) + sizeof(genlmsghdr) + offsetof(nlattr, nla_type));

NetlinkSender::~NetlinkSender() {
  if (fd_ >= 0) ::close(fd_);
}

bool NetlinkSender::open(std::string& error) {
  if (fd_ >= 0) return true;
  int fd = ::socket(drv::kNetlinkFamily, SOCK_RAW | SOCK_CLOEXEC, drv::kNetlinkProtocol);
  if (fd < 0) {
    error = std::string("netlink socket: ") + std::strerror(errno);
    return false;
  }
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    error = std::string("netlink bind: ") + std::strerror(errno);
    ::close(fd);
    return false;
  }
  fd_ = fd;
  ownPort_ = addr.nl_pid;
  return true;
}

std::vector<std::uint8_t> NetlinkSender::build(const NotificationFields& f) {
  std::lock_guard lock(mutex_);
  std::string ignored;
  (void)open(ignored);  // the sender's own port id goes into the header
  const std::size_t header = offsetof(drv::tIONotificationMessage, payload);
  std::vector<std::uint8_t> m(header + f.payload.size(), 0);
  auto put16 = [&](std::size_t at, std::uint16_t v) { std::memcpy(&m[at], &v, 2); };
  auto put32 = [&](std::size_t at, std::uint32_t v) { std::memcpy(&m[at], &v, 4); };
  put32(0, f.lengthField ? *f.lengthField : static_cast<std::uint32_t>(m.size()));
  put16(4, f.type ? *f.type : kFamilyId);
  put16(6, 0);
  put32(8, ++sequence_);
  put32(12, ownPort_);
  m[16] = 1;                                             // genl command
  m[17] = 1;                                             // genl version
  put16(20, static_cast<std::uint16_t>(m.size() - 20));  // attribute: kind, cookie, size, payload
  put16(offsetof(drv::tIONotificationMessage, kind), f.wireKind);
  std::memcpy(&m[offsetof(drv::tIONotificationMessage, cookie)], &f.cookie, 8);
  put32(offsetof(drv::tIONotificationMessage, payloadSize),
        f.payloadSizeField ? *f.payloadSizeField : static_cast<std::uint32_t>(f.payload.size()));
  if (!f.payload.empty()) std::memcpy(&m[header], f.payload.data(), f.payload.size());
  return m;
}

bool NetlinkSender::send(std::uint32_t port, const std::vector<std::uint8_t>& bytes,
                         std::string& error) {
  std::lock_guard lock(mutex_);
  if (!open(error)) return false;
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = port;
  for (;;) {
    ssize_t n =
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "sending the notification to port " + std::to_string(port) +
              " failed: " + std::strerror(errno);
      return false;
    }
    return true;
  }
}

}  // namespace qosim
