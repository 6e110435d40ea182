// The notification reader on hostile netlink datagrams: the input is up to four datagrams
// (a length byte, then that many bytes), sent from a second generic-netlink socket to the
// reader's port id as the driver would (user-to-user unicast), then collected with wait(0).
//
// Checks every outcome against the message rules: a datagram shorter than the notification
// header, with a netlink length below 16 or beyond the bytes received, or of a netlink control
// type is skipped; an unknown kind is reported as -52002 (unsupported), a payload size beyond
// 32 bytes or beyond the datagram as -52024 (I/O error); otherwise kind, cookie and exactly
// payloadSize payload bytes are delivered. Once every datagram is consumed the wait times out.
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzBytes.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/protons/io_notification/linuxU/tIONotificationReader.h"

namespace {

namespace apal = nQOVORLIXATOMICSAE_23_3::nQOAPAL000;
namespace drv = apal::driver;
using apal::tIONotificationReader;
using apal::tStatus;
using Codes = nQOVORLIXATOMICSAE_23_3::nQOAPALS100::tStatus;
using qofuzz::check;

constexpr std::size_t kMaxDatagrams = 4;
constexpr std::size_t kHeader = offsetof(drv::tIONotificationMessage, payload);

// What wait() must report for one datagram that is not skipped.
struct tExpected {
  int kind = tIONotificationReader::kKindData;
  std::int64_t code = 0;
  std::uint64_t cookie = 0;
  std::vector<std::uint8_t> payload;
};

// The message rules applied to the bytes the reader receives (at most one message's worth);
// false when the datagram is skipped.
bool expectationOf(const std::vector<std::uint8_t>& datagram, tExpected& e) {
  drv::tIONotificationMessage m;
  std::memset(&m, 0, sizeof m);
  const std::size_t bytes = datagram.size() < sizeof m ? datagram.size() : sizeof m;
  if (bytes != 0) std::memcpy(&m, datagram.data(), bytes);
  if (bytes < kHeader || m.length < sizeof(nlmsghdr) || m.length > bytes) return false;
  if (m.type >= NLMSG_NOOP && m.type <= NLMSG_OVERRUN) return false;
  if (m.kind != drv::kWireKindData && m.kind != drv::kWireKindSecond) {
    e.code = Codes::kUnsupported;
    return true;
  }
  if (m.payloadSize > drv::kMaxNotificationPayload || kHeader + m.payloadSize > bytes) {
    e.code = Codes::kIoError;
    return true;
  }
  e.kind = m.kind == drv::kWireKindData ? tIONotificationReader::kKindData
                                        : tIONotificationReader::kKindSecond;
  e.cookie = m.cookie;
  e.payload.assign(m.payload, m.payload + m.payloadSize);
  return true;
}

// The driver's end: a generic-netlink socket of its own.
class tDriverSocket {
 public:
  tDriverSocket() {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    check(fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0);
  }
  ~tDriverSocket() { ::close(fd_); }
  tDriverSocket(const tDriverSocket&) = delete;
  tDriverSocket& operator=(const tDriverSocket&) = delete;

  bool send(std::uint32_t port, const std::vector<std::uint8_t>& bytes) const {
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = port;
    return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(bytes.size());
  }

 private:
  int fd_ = -1;
};

void checkWait(tIONotificationReader& reader, const tExpected& e) {
  int kind = -1;
  std::uint8_t payload[tIONotificationReader::kPayloadCapacity + 8];
  std::memset(payload, 0xA5, sizeof payload);
  std::uint32_t payloadSize = 0xFFFF;
  tStatus status;
  const std::uint64_t cookie = reader.wait(&kind, payload, &payloadSize, &status, 0);
  check(status.code == e.code);
  if (e.code != 0) {
    check(cookie == 0 && kind == tIONotificationReader::kKindData);
    return;
  }
  check(kind == e.kind && cookie == e.cookie && payloadSize == e.payload.size());
  check(e.payload.empty() || std::memcmp(payload, e.payload.data(), e.payload.size()) == 0);
  for (std::size_t i = payloadSize; i < sizeof payload; ++i) check(payload[i] == 0xA5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tStatus created;
  static tIONotificationReader reader(0, &created);
  static tDriverSocket driver;
  check(created.code == 0);

  qofuzz::tBytes input(data, size);
  std::vector<tExpected> expected;
  for (std::size_t i = 0; i < kMaxDatagrams && !input.empty(); ++i) {
    std::vector<std::uint8_t> datagram(input.u8() % (sizeof(drv::tIONotificationMessage) + 17));
    input.fill(datagram.data(), datagram.size());
    if (!driver.send(reader.portId(), datagram)) continue;
    tExpected e;
    if (expectationOf(datagram, e)) expected.push_back(e);
  }
  for (const tExpected& e : expected) checkWait(reader, e);

  // Nothing left: the wait ends by its time limit and reports nothing.
  int kind = -1;
  std::uint8_t payload[tIONotificationReader::kPayloadCapacity];
  std::uint32_t payloadSize = 0xFFFF;
  tStatus status;
  check(reader.wait(&kind, payload, &payloadSize, &status, 0) == 0);
  check(status.code == Codes::kTimedOut && payloadSize == 0);
  return 0;
}
