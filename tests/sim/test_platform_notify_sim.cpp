// I/O notifications end to end: a subscription made through a proxy's descriptor hands the
// simulated driver a tIONotificationReader's netlink port and a cookie; the simulator's messages
// (well-formed and deliberately malformed, sent through its control client) must come out of the
// reader exactly as documented, and removing the subscription must stop them.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QosimClient.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy.h"
#include "qoapal/protons/io_notification/linuxU/tIONotificationReader.h"
#include "qoapal/protons/io_notification/linuxU/tThreadedIONotificationReader.h"
#include "qoapal/status/tStatus.h"
#include "tests/common/StatusText.h"
#include "tests/common/PlatformNames.h"

namespace {

using testsupport::statusText;

namespace drv = apal::driver;
using apal::tDeviceInterfaceProxy;
using apal::tIONotificationReader;
using apal::tStatus;
using apal::tThreadedIONotificationReader;
using qosim::Bytes;

constexpr std::uint64_t kCookie = 0x0123456789ABCDEFull;
constexpr std::uint32_t kKind = drv::kDemotionNotificationKind;
constexpr int kWaitMs = 5000;  // a message that does not arrive within this fails the test
constexpr int kQuietMs = 200;  // how long "nothing arrives" is watched
constexpr std::uint8_t kGuard = 0xA5;

struct Received {
  std::uint64_t cookie = 0;
  int kind = -1;
  Bytes payload;
  bool guardIntact = true;  // nothing written past the 32-byte payload buffer
  tStatus status;
};

class NotificationsFromTheSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &set_.add().withInterface(drv::kRoutingInterface);
    qosim::Status st = set_.plug();
    ASSERT_TRUE(st.ok()) << st;
    node_ = board_->nodeName(drv::kRoutingInterface);
    tStatus status;
    proxy_.open(board_->nodePath(drv::kRoutingInterface).c_str(), &status);
    ASSERT_TRUE(proxy_.isOpen()) << statusText(status);
    reader_ = std::make_unique<tIONotificationReader>(16, &status);
    ASSERT_EQ(status.code, 0) << statusText(status);
    ASSERT_NE(reader_->portId(), 0u);
  }

  qosim::Client& client() { return set_.client(); }

  // Subscribes through the proxy's descriptor, as a subscribing object does.
  void subscribe(std::uint64_t cookie, std::uint32_t kind) {
    drv::tSubscribeNotification request{cookie, reader_->portId(), kind};
    ASSERT_EQ(::ioctl(proxy_.descriptor(), drv::kSubscribeNotification, &request), 0)
        << std::strerror(errno);
  }
  void unsubscribe(std::uint32_t kind) {
    ASSERT_EQ(::ioctl(proxy_.descriptor(), drv::kUnsubscribeNotification,
                      static_cast<unsigned long>(kind)),
              0)
        << std::strerror(errno);
  }

  void send(qosim::NotifySpec notice) {
    if (!notice.port) notice.node = node_;
    auto sent = client().notify(notice);
    ASSERT_TRUE(sent.ok()) << sent.error;
  }
  // A message straight to the reader's port, with the given cookie.
  qosim::NotifySpec toPort(std::uint64_t cookie) {
    qosim::NotifySpec notice;
    notice.port = reader_->portId();
    notice.cookie = cookie;
    return notice;
  }

  Received receive(int timeoutMs = kWaitMs) {
    Received r;
    std::uint8_t buffer[tIONotificationReader::kPayloadCapacity + 16];
    std::memset(buffer, kGuard, sizeof buffer);
    std::uint32_t size = 0xFFFFFFFFu;
    r.cookie = reader_->wait(&r.kind, buffer, &size, &r.status, timeoutMs);
    if (size <= tIONotificationReader::kPayloadCapacity) r.payload.assign(buffer, buffer + size);
    for (std::size_t i = tIONotificationReader::kPayloadCapacity; i < sizeof buffer; ++i)
      r.guardIntact = r.guardIntact && buffer[i] == kGuard;
    return r;
  }

  qosim::BoardSet set_;
  qosim::BoardDesc* board_ = nullptr;
  std::string node_;
  tDeviceInterfaceProxy proxy_;
  std::unique_ptr<tIONotificationReader> reader_;
};

TEST_F(NotificationsFromTheSimulator, SubscriptionThroughTheProxyDeliversCookieAndPayload) {
  subscribe(kCookie, kKind);
  auto subs = client().subscriptions();
  ASSERT_TRUE(subs.ok()) << subs.error;
  ASSERT_EQ(subs.value.size(), 1u);
  EXPECT_EQ(subs.value[0].node, node_);
  EXPECT_EQ(subs.value[0].cookie, kCookie);
  EXPECT_EQ(subs.value[0].port, reader_->portId());
  EXPECT_EQ(subs.value[0].kind, kKind);

  qosim::NotifySpec data;
  data.payload = {0x11, 0x22, 0x33};
  send(data);
  Received r = receive();
  ASSERT_EQ(r.status.code, 0) << statusText(r.status);
  EXPECT_EQ(r.cookie, kCookie);
  EXPECT_EQ(r.kind, tIONotificationReader::kKindData);
  EXPECT_EQ(r.payload, (Bytes{0x11, 0x22, 0x33}));

  qosim::NotifySpec second;
  second.wireKind = drv::kWireKindSecond;
  send(second);
  r = receive();
  ASSERT_EQ(r.status.code, 0) << statusText(r.status);
  EXPECT_EQ(r.cookie, kCookie);
  EXPECT_EQ(r.kind, tIONotificationReader::kKindSecond);
  EXPECT_TRUE(r.payload.empty());
}

TEST_F(NotificationsFromTheSimulator, FullPayloadIsAcceptedAndNothingIsWrittenBeyondIt) {
  subscribe(kCookie, kKind);
  qosim::NotifySpec full;
  for (std::uint8_t i = 0; i < 32; ++i) full.payload.push_back(static_cast<std::uint8_t>(0xC0 + i));
  send(full);
  Received r = receive();
  ASSERT_EQ(r.status.code, 0) << statusText(r.status);
  EXPECT_EQ(r.payload, full.payload);
  EXPECT_TRUE(r.guardIntact);

  // 33 bytes of payload: refused with -52024, and the buffer is not overrun.
  qosim::NotifySpec over;
  over.payload = Bytes(33, 0x77);
  send(over);
  r = receive();
  EXPECT_EQ(r.status.code, Codes::kIoError);
  EXPECT_STREQ(r.status.file, tIONotificationReader::kSourceName);
  EXPECT_EQ(r.cookie, 0u);
  EXPECT_TRUE(r.payload.empty());
  EXPECT_TRUE(r.guardIntact);

  // A size field of 33 over a short payload: the same.
  qosim::NotifySpec lie;
  lie.payload = Bytes(4, 0x66);
  lie.payloadSizeField = 33;
  send(lie);
  r = receive();
  EXPECT_EQ(r.status.code, Codes::kIoError);
  EXPECT_EQ(r.cookie, 0u);
  EXPECT_TRUE(r.guardIntact);

  // A size field of 32 over 4 bytes sent: the payload would run past what arrived.
  lie.payloadSizeField = 32;
  send(lie);
  r = receive();
  EXPECT_EQ(r.status.code, Codes::kIoError);
  EXPECT_TRUE(r.guardIntact);

  // The reader goes on.
  qosim::NotifySpec fine;
  fine.payload = {1};
  send(fine);
  r = receive();
  ASSERT_EQ(r.status.code, 0) << statusText(r.status);
  EXPECT_EQ(r.cookie, kCookie);
  EXPECT_EQ(r.payload, Bytes{1});
}

TEST_F(NotificationsFromTheSimulator, UnknownKindIsRefusedAsUnsupported) {
  subscribe(kCookie, kKind);
  for (std::uint16_t wireKind : {std::uint16_t{3}, std::uint16_t{0}, std::uint16_t{0xFFFF}}) {
    qosim::NotifySpec notice;
    notice.wireKind = wireKind;
    notice.payload = {9, 9};
    send(notice);
    Received r = receive();
    EXPECT_EQ(r.status.code, Codes::kUnsupported) << "wire kind " << wireKind;
    EXPECT_STREQ(r.status.component, "qovorlixa");
    EXPECT_STREQ(r.status.file, tIONotificationReader::kSourceName);
    EXPECT_EQ(r.cookie, 0u);
    EXPECT_TRUE(r.payload.empty());
  }
}

TEST_F(NotificationsFromTheSimulator, ControlAndShortMessagesAreSkipped) {
  subscribe(kCookie, kKind);
  // Each malformed message is followed by a good one with its own cookie: the wait skips the
  // first and returns the second.
  std::uint64_t cookie = 100;
  auto expectSkipped = [&](const qosim::NotifySpec& bad, const char* what) {
    send(bad);
    qosim::NotifySpec good = toPort(++cookie);
    good.payload = {static_cast<std::uint8_t>(cookie)};
    send(good);
    Received r = receive();
    EXPECT_EQ(r.status.code, 0) << what << ": " << statusText(r.status);
    EXPECT_EQ(r.cookie, cookie) << what;
    EXPECT_EQ(r.payload, Bytes{static_cast<std::uint8_t>(cookie)}) << what;
  };
  for (std::uint16_t type = 1; type <= 4; ++type) {
    qosim::NotifySpec control = toPort(1);
    control.type = type;
    expectSkipped(control, ("control type " + std::to_string(type)).c_str());
  }
  qosim::NotifySpec longer = toPort(2);
  longer.lengthField = 500;  // more than was received
  expectSkipped(longer, "length field beyond the datagram");
  qosim::NotifySpec shorter = toPort(3);
  shorter.lengthField = 15;  // below a netlink header
  expectSkipped(shorter, "length field below the header");

  // A 3-byte datagram, then a datagram cut just before the payload size field.
  ASSERT_TRUE(client().notifyRaw(reader_->portId(), Bytes{3, 0, 0}).ok());
  Bytes cut(32, 0);
  cut[0] = 32;
  cut[4] = 0x1c;
  cut[22] = 1;
  ASSERT_TRUE(client().notifyRaw(reader_->portId(), cut).ok());
  qosim::NotifySpec good = toPort(777);
  send(good);
  Received r = receive();
  EXPECT_EQ(r.status.code, 0) << statusText(r.status);
  EXPECT_EQ(r.cookie, 777u);

  // Only skipped messages and then silence: the wait times out.
  qosim::NotifySpec control = toPort(5);
  control.type = 2;
  send(control);
  r = receive(kQuietMs);
  EXPECT_EQ(r.status.code, Codes::kTimedOut);
  EXPECT_EQ(r.cookie, 0u);
}

TEST_F(NotificationsFromTheSimulator, RemovingTheSubscriptionStopsDelivery) {
  subscribe(kCookie, kKind);
  subscribe(kCookie + 1, 7);
  auto subs = client().subscriptions();
  ASSERT_TRUE(subs.ok());
  ASSERT_EQ(subs.value.size(), 2u);

  unsubscribe(kKind);
  subs = client().subscriptions();
  ASSERT_TRUE(subs.ok());
  ASSERT_EQ(subs.value.size(), 1u);
  EXPECT_EQ(subs.value[0].kind, 7u);
  // The driver has nowhere to send the removed kind ...
  qosim::NotifySpec removed;
  removed.node = node_;
  removed.subscriptionKind = kKind;
  auto sent = client().notify(removed);
  EXPECT_FALSE(sent.ok()) << "the simulator still knows the removed subscription";
  Received r = receive(kQuietMs);
  EXPECT_EQ(r.status.code, Codes::kTimedOut);
  // ... and the other kind still arrives with its own cookie.
  qosim::NotifySpec kept;
  kept.node = node_;
  kept.subscriptionKind = 7;
  send(kept);
  r = receive();
  ASSERT_EQ(r.status.code, 0) << statusText(r.status);
  EXPECT_EQ(r.cookie, kCookie + 1);

  unsubscribe(7);
  subs = client().subscriptions();
  ASSERT_TRUE(subs.ok());
  EXPECT_TRUE(subs.value.empty());
  EXPECT_FALSE(client().notify(kept).ok());
}

TEST_F(NotificationsFromTheSimulator, SubscriptionEndsWithTheBoard) {
  subscribe(kCookie, kKind);
  ASSERT_TRUE(set_.unplug().ok());
  auto subs = client().subscriptions();
  ASSERT_TRUE(subs.ok());
  EXPECT_TRUE(subs.value.empty());
  // The proxy's descriptor now reaches a vanished node: a new subscription fails.
  drv::tSubscribeNotification request{kCookie, reader_->portId(), kKind};
  EXPECT_EQ(::ioctl(proxy_.descriptor(), drv::kSubscribeNotification, &request), -1);
  EXPECT_EQ(errno, ENODEV);
  Received r = receive(kQuietMs);
  EXPECT_EQ(r.status.code, Codes::kTimedOut);
}

// ---- the threaded reader ----------------------------------------------------------------------

struct Collected {
  std::mutex mutex;  // leaf lock: only the handler and the test's waits take it
  std::condition_variable arrived;
  std::vector<Received> messages;
};

void collect(void* context, int kind, std::uint64_t cookie, const std::uint8_t* payload,
             std::uint32_t payloadSize, const tStatus& status) {
  auto* c = static_cast<Collected*>(context);
  Received r;
  r.cookie = cookie;
  r.kind = kind;
  r.payload.assign(payload, payload + payloadSize);
  r.status = status;
  std::lock_guard lock(c->mutex);
  c->messages.push_back(r);
  c->arrived.notify_all();
}

TEST_F(NotificationsFromTheSimulator, ThreadedReaderHandsEveryMessageToTheHandler) {
  Collected collected;
  tStatus status;
  tThreadedIONotificationReader reader(16, &collect, &collected, &status);
  ASSERT_EQ(status.code, 0) << statusText(status);
  reader.startThread(&status);
  ASSERT_EQ(status.code, 0) << statusText(status);

  drv::tSubscribeNotification request{kCookie, reader.portId(), kKind};
  ASSERT_EQ(::ioctl(proxy_.descriptor(), drv::kSubscribeNotification, &request), 0);
  qosim::NotifySpec first;
  first.payload = {1, 2};
  send(first);
  qosim::NotifySpec bad;
  bad.wireKind = 3;
  send(bad);
  qosim::NotifySpec third;
  third.wireKind = drv::kWireKindSecond;
  third.payload = {3};
  send(third);
  {
    std::unique_lock lock(collected.mutex);
    ASSERT_TRUE(collected.arrived.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                           [&] { return collected.messages.size() >= 3; }))
        << collected.messages.size() << " of 3 messages";
  }
  reader.stopThread();
  EXPECT_FALSE(reader.threadStarted());
  ASSERT_EQ(collected.messages.size(), 3u);
  EXPECT_EQ(collected.messages[0].cookie, kCookie);
  EXPECT_EQ(collected.messages[0].payload, (Bytes{1, 2}));
  EXPECT_EQ(collected.messages[0].status.code, 0);
  EXPECT_EQ(collected.messages[1].status.code, Codes::kUnsupported);  // handed over, in error
  EXPECT_EQ(collected.messages[2].kind, tIONotificationReader::kKindSecond);
  EXPECT_EQ(collected.messages[2].payload, Bytes{3});
  EXPECT_EQ(collected.messages[2].status.code, 0);
}

}  // namespace
