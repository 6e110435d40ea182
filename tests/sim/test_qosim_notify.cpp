// Notifications: the simulator sends generic-netlink messages to the port a subscription
// registered; the test binds its own netlink socket and reads the raw bytes.
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "QosimClient.h"
#include "qoapal/driver/qoDriverContract.h"

namespace {

namespace drv = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver;
using qosim::Bytes;

class QosimNotify : public ::testing::Test {
 protected:
  void SetUp() override {
    sock_ = ::socket(drv::kNetlinkFamily, SOCK_RAW | SOCK_CLOEXEC, drv::kNetlinkProtocol);
    ASSERT_GE(sock_, 0) << std::strerror(errno);
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    ASSERT_EQ(::bind(sock_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(sock_, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    port_ = addr.nl_pid;
    auto c = qosim::Client::connect();
    ASSERT_TRUE(c.ok()) << c.error;
    client_ = std::move(c.value);
  }
  void TearDown() override {
    if (sock_ >= 0) ::close(sock_);
  }
  // One datagram (up to 128 bytes), or empty after 2 s.
  Bytes receive() {
    pollfd p{sock_, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return {};
    Bytes buf(128);
    ssize_t n = ::recv(sock_, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buf;
  }
  template <class T>
  static T at(const Bytes& b, std::size_t off) {
    T v{};
    std::memcpy(&v, b.data() + off, sizeof v);
    return v;
  }

  int sock_ = -1;
  std::uint32_t port_ = 0;
  qosim::Client client_;
};

TEST_F(QosimNotify, SubscribedNodeNotificationHasTheDriverLayout) {
  const char* node = "/dev/qo/qovorlix1\\routing_routing\\0";
  int fd = ::open(node, O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  drv::tSubscribeNotification sub{0xA1B2C3D4E5F60718ull, port_, drv::kDemotionNotificationKind};
  ASSERT_EQ(::ioctl(fd, drv::kSubscribeNotification, &sub), 0);
  qosim::NotifySpec notice;
  notice.node = "qovorlix1\\routing_routing\\0";
  notice.wireKind = drv::kWireKindSecond;
  notice.payload = {1, 2, 3, 4, 5};
  auto sent = client_.notify(notice);
  ASSERT_TRUE(sent.ok()) << sent.error;
  EXPECT_EQ(sent.value.port, port_);
  Bytes m = receive();
  ASSERT_EQ(m.size(), 41u);
  EXPECT_EQ(m, sent.value.bytes);
  EXPECT_EQ(at<std::uint32_t>(m, 0), 41u);  // netlink length = bytes sent
  EXPECT_GT(at<std::uint16_t>(m, 4), 4u);   // not a control message type
  EXPECT_EQ(at<std::uint16_t>(m, offsetof(drv::tIONotificationMessage, kind)),
            drv::kWireKindSecond);
  EXPECT_EQ(at<std::uint64_t>(m, offsetof(drv::tIONotificationMessage, cookie)),
            0xA1B2C3D4E5F60718ull);
  EXPECT_EQ(at<std::uint32_t>(m, offsetof(drv::tIONotificationMessage, payloadSize)), 5u);
  EXPECT_EQ(Bytes(m.begin() + 36, m.end()), (Bytes{1, 2, 3, 4, 5}));
  ::close(fd);
}

TEST_F(QosimNotify, FullPayloadFitsTheReadersBuffer) {
  qosim::NotifySpec notice;
  notice.port = port_;
  notice.cookie = 7;
  notice.payload = Bytes(32, 0x5A);
  ASSERT_TRUE(client_.notify(notice).ok());
  Bytes m = receive();
  ASSERT_EQ(m.size(), drv::kMaxNotificationMessage - 4);
  EXPECT_EQ(at<std::uint16_t>(m, 22), drv::kWireKindData);
  EXPECT_EQ(at<std::uint32_t>(m, 32), 32u);
}

TEST_F(QosimNotify, MalformedMessagesAreSentAsAsked) {
  qosim::NotifySpec notice;
  notice.port = port_;
  notice.cookie = 1;
  notice.wireKind = 3;
  notice.payload = Bytes(33, 1);
  notice.type = 2;
  notice.lengthField = 500;
  ASSERT_TRUE(client_.notify(notice).ok());
  Bytes m = receive();
  ASSERT_EQ(m.size(), 69u);
  EXPECT_EQ(at<std::uint32_t>(m, 0), 500u);
  EXPECT_EQ(at<std::uint16_t>(m, 4), 2u);
  EXPECT_EQ(at<std::uint16_t>(m, 22), 3u);
  EXPECT_EQ(at<std::uint32_t>(m, 32), 33u);

  qosim::NotifySpec sizeLie;
  sizeLie.port = port_;
  sizeLie.payloadSizeField = 33;
  ASSERT_TRUE(client_.notify(sizeLie).ok());
  m = receive();
  ASSERT_EQ(m.size(), 36u);
  EXPECT_EQ(at<std::uint32_t>(m, 32), 33u);

  ASSERT_TRUE(client_.notifyRaw(port_, Bytes{1, 2, 3}).ok());
  EXPECT_EQ(receive(), (Bytes{1, 2, 3}));
}

TEST_F(QosimNotify, NotificationWithoutSubscriberIsAClearError) {
  qosim::NotifySpec notice;
  notice.node = "qovorlix0\\qovorlixtarrowk_vorlixtarrow\\0";
  auto r = client_.notify(notice);
  EXPECT_FALSE(r.ok());
  EXPECT_NE(r.error.find("no subscription"), std::string::npos) << r.error;
  notice.node = "nosuchnode";
  EXPECT_NE(client_.notify(notice).error.find("no node"), std::string::npos);
  // A port nobody listens on is refused by the kernel.
  ::close(sock_);
  sock_ = -1;
  qosim::NotifySpec gone;
  gone.port = port_;
  EXPECT_FALSE(client_.notify(gone).ok());
}

}  // namespace
