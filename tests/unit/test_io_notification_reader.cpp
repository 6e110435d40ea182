// I/O notification reader: the test plays the kernel driver. It opens a second generic-netlink
// socket and sends raw messages of every shape to the reader's port id (user-to-user netlink
// unicast, allowed for root), then checks what wait() reports.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/protons/io_notification/linuxU/tIONotificationReader.h"
#include "qoapal/protons/io_notification/linuxU/tThreadedIONotificationReader.h"
#include "qoapal/quarks/thread/thread.h"
#include "tests/common/PlatformNames.h"

namespace {

namespace drv = apal::driver;
using apal::tIONotificationReader;
using apal::tStatus;
using apal::tThreadedIONotificationReader;
using Reader = tIONotificationReader;

constexpr char kSource[] = "qoapal/protons/io_notification/linuxU/tIONotificationReader";

// A message as the driver builds it; the test sends any prefix of it.
drv::tIONotificationMessage message(std::uint16_t kind, std::uint64_t cookie,
                                    std::uint32_t payloadSize, std::uint16_t type = 0x20) {
  drv::tIONotificationMessage m;
  std::memset(&m, 0, sizeof m);
  m.length = sizeof m;
  m.type = type;
  m.kind = kind;
  m.cookie = cookie;
  m.payloadSize = payloadSize;
  for (std::size_t i = 0; i < sizeof m.payload; ++i)
    m.payload[i] = static_cast<std::uint8_t>(0xA0 + i);
  return m;
}

// The driver's side of the conversation.
class Driver {
 public:
  Driver() {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
    if (fd_ >= 0) {
      sockaddr_nl self{};
      self.nl_family = AF_NETLINK;
      if (::bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        ::close(fd_);
        fd_ = -1;
      }
    }
  }
  ~Driver() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  // Sends the first `size` bytes of `data` to `port`; true when the whole datagram went out.
  bool send(std::uint32_t port, const void* data, std::size_t size) {
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = port;
    return ::sendto(fd_, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(size);
  }
  bool send(std::uint32_t port, const drv::tIONotificationMessage& m,
            std::size_t size = sizeof(drv::tIONotificationMessage)) {
    return send(port, &m, size);
  }

 private:
  int fd_ = -1;
};

struct Waited {
  std::uint64_t cookie = 0;
  int kind = -1;
  std::uint32_t size = 0xFFFF;
  std::array<std::uint8_t, Reader::kPayloadCapacity> payload{};
  tStatus status;
};

Waited waitOn(Reader& reader, int timeoutMs) {
  Waited w;
  w.cookie = reader.wait(&w.kind, w.payload.data(), &w.size, &w.status, timeoutMs);
  return w;
}

class ReaderTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(driver_.ok()) << "cannot open a generic-netlink socket to act as the driver";
    ASSERT_EQ(status_.code, 0) << "reader construction failed: " << status_.file << ":"
                               << status_.line;
    ASSERT_NE(reader_.portId(), 0u);
  }
  tStatus status_;
  Reader reader_{0, &status_};
  Driver driver_;
};

// ---------------------------------------------------------------------------------------------

TEST(IONotificationReaderConstruction, OpensASocketWithAKernelAssignedPortId) {
  tStatus status;
  Reader a(0, &status);
  Reader b(0, &status);
  ASSERT_EQ(status.code, 0);
  EXPECT_GE(a.socketDescriptor(), 0);
  EXPECT_NE(a.portId(), 0u);
  EXPECT_NE(a.portId(), b.portId());
  sockaddr_nl address{};
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(a.socketDescriptor(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  EXPECT_EQ(address.nl_pid, a.portId());
  EXPECT_EQ(address.nl_groups, 0u);
  int protocol = -1;
  socklen_t size = sizeof protocol;
  ASSERT_EQ(::getsockopt(a.socketDescriptor(), SOL_SOCKET, SO_PROTOCOL, &protocol, &size), 0);
  EXPECT_EQ(protocol, NETLINK_GENERIC);
}

TEST(IONotificationReaderConstruction, SizesTheReceiveBufferForTheQueueDepth) {
  // 20000 messages of 72 bytes need 1440072 bytes, far above the usual default.
  tStatus status;
  Reader reader(19999, &status);
  ASSERT_EQ(status.code, 0);
  int size = 0;
  socklen_t length = sizeof size;
  ASSERT_EQ(::getsockopt(reader.socketDescriptor(), SOL_SOCKET, SO_RCVBUF, &size, &length), 0);
  int limit = 0;
  FILE* f = std::fopen("/proc/sys/net/core/rmem_max", "r");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fscanf(f, "%d", &limit), 1);
  std::fclose(f);
  const int wanted = 20000 * 72;
  EXPECT_GE(size, wanted < limit ? wanted : limit);
}

TEST(IONotificationReaderConstruction, AQueueDepthAbove32BitsIsInvalidAndLeavesNoSocket) {
  tStatus status;
  Reader reader(0x100000000ull, &status);
  EXPECT_EQ(status.code, -52005);
  EXPECT_STREQ(status.file, kSource);
  EXPECT_EQ(reader.socketDescriptor(), -1);
  EXPECT_EQ(reader.portId(), 0u);
  Waited w = waitOn(reader, 0);
  EXPECT_EQ(w.status.code, -52006) << "a reader without descriptors fails every wait at once";
}

TEST(IONotificationReaderConstruction, TheLargestQueueDepthIsAccepted) {
  tStatus status;
  Reader reader(0xFFFFFFFFull, &status);
  EXPECT_EQ(status.code, 0);
  EXPECT_GE(reader.socketDescriptor(), 0);
}

TEST(IONotificationReaderConstruction, DoesNothingWhenTheStatusHoldsAnError) {
  tStatus status;
  status.setCode(-3, "x", "y", 1);
  Reader reader(0, &status);
  EXPECT_EQ(status.code, -3);
  EXPECT_EQ(reader.socketDescriptor(), -1);
  tStatus wakeStatus;
  reader.wake(&wakeStatus);
  EXPECT_EQ(wakeStatus.code, -52024);
}

// ---------------------------------------------------------------------------------------------

TEST_F(ReaderTest, WireKindOneIsDataWithAnEmptyPayload) {
  ASSERT_TRUE(driver_.send(reader_.portId(), message(1, 0x1122334455667788ull, 0)));
  Waited w = waitOn(reader_, 2000);
  ASSERT_EQ(w.status.code, 0);
  EXPECT_EQ(w.kind, Reader::kKindData);
  EXPECT_EQ(w.cookie, 0x1122334455667788ull);
  EXPECT_EQ(w.size, 0u);
}

TEST_F(ReaderTest, WireKindTwoIsKindOneWithAFullPayload) {
  ASSERT_TRUE(driver_.send(reader_.portId(), message(2, 42, 32)));
  Waited w = waitOn(reader_, 2000);
  ASSERT_EQ(w.status.code, 0);
  EXPECT_EQ(w.kind, Reader::kKindSecond);
  EXPECT_EQ(w.cookie, 42u);
  ASSERT_EQ(w.size, 32u);
  for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(w.payload[i], 0xA0 + i) << "byte " << i;
}

TEST_F(ReaderTest, APartialPayloadIsCopiedAndNothingMore) {
  drv::tIONotificationMessage m = message(1, 7, 3);
  m.length = 36 + 3;
  ASSERT_TRUE(driver_.send(reader_.portId(), m, 36 + 3));
  Waited w = waitOn(reader_, 2000);
  ASSERT_EQ(w.status.code, 0);
  ASSERT_EQ(w.size, 3u);
  EXPECT_EQ(w.payload[0], 0xA0);
  EXPECT_EQ(w.payload[2], 0xA2);
  EXPECT_EQ(w.payload[3], 0) << "bytes beyond the payload size stay untouched";
}

TEST_F(ReaderTest, AnUnknownKindIsUnsupported) {
  ASSERT_TRUE(driver_.send(reader_.portId(), message(3, 9, 0)));
  Waited w = waitOn(reader_, 2000);
  EXPECT_EQ(w.status.code, -52002);
  EXPECT_STREQ(w.status.file, kSource);
  EXPECT_EQ(w.cookie, 0u);
  EXPECT_EQ(w.kind, Reader::kKindData);
}

TEST_F(ReaderTest, KindZeroIsUnsupportedToo) {
  ASSERT_TRUE(driver_.send(reader_.portId(), message(0, 9, 0)));
  EXPECT_EQ(waitOn(reader_, 2000).status.code, -52002);
}

TEST_F(ReaderTest, APayloadOf33BytesIsAnIoError) {
  ASSERT_TRUE(driver_.send(reader_.portId(), message(1, 9, 33)));
  Waited w = waitOn(reader_, 2000);
  EXPECT_EQ(w.status.code, -52024);
  EXPECT_EQ(w.cookie, 0u);
  EXPECT_EQ(w.size, 0u);
}

TEST_F(ReaderTest, APayloadRunningPastTheReceivedBytesIsAnIoError) {
  // Claims 32 payload bytes but carries 4: the rest must not come from an earlier message.
  drv::tIONotificationMessage m = message(1, 9, 32);
  m.length = 40;
  ASSERT_TRUE(driver_.send(reader_.portId(), m, 40));
  Waited w = waitOn(reader_, 2000);
  EXPECT_EQ(w.status.code, -52024);
  EXPECT_EQ(w.size, 0u);
}

TEST_F(ReaderTest, NetlinkControlMessagesAreSkipped) {
  for (std::uint16_t type = 1; type <= 4; ++type)
    ASSERT_TRUE(driver_.send(reader_.portId(), message(1, 100 + type, 0, type)));
  ASSERT_TRUE(driver_.send(reader_.portId(), message(2, 555, 1)));
  Waited w = waitOn(reader_, 2000);
  ASSERT_EQ(w.status.code, 0);
  EXPECT_EQ(w.cookie, 555u);
  EXPECT_EQ(w.kind, Reader::kKindSecond);
  EXPECT_EQ(waitOn(reader_, 0).status.code, -52007) << "nothing else was pending";
}

TEST_F(ReaderTest, MalformedMessagesAreSkipped) {
  const drv::tIONotificationMessage good = message(1, 1, 0);
  ASSERT_TRUE(driver_.send(reader_.portId(), good, 10));  // shorter than a netlink header
  drv::tIONotificationMessage m = good;
  m.length = 8;  // length field below 16
  ASSERT_TRUE(driver_.send(reader_.portId(), m));
  m.length = 73;  // above the bytes received
  ASSERT_TRUE(driver_.send(reader_.portId(), m));
  m.length = 20;
  ASSERT_TRUE(driver_.send(reader_.portId(), m, 20));  // valid header, no notification fields
  ASSERT_TRUE(driver_.send(reader_.portId(), message(1, 777, 0)));
  Waited w = waitOn(reader_, 2000);
  ASSERT_EQ(w.status.code, 0);
  EXPECT_EQ(w.cookie, 777u);
}

TEST_F(ReaderTest, ADatagramLongerThan72BytesIsCutAndSkippedByItsLength) {
  std::uint8_t big[100] = {};
  drv::tIONotificationMessage m = message(1, 5, 0);
  m.length = sizeof big;
  std::memcpy(big, &m, sizeof m);
  ASSERT_TRUE(driver_.send(reader_.portId(), big, sizeof big));
  ASSERT_TRUE(driver_.send(reader_.portId(), message(1, 6, 0)));
  Waited w = waitOn(reader_, 2000);
  ASSERT_EQ(w.status.code, 0);
  EXPECT_EQ(w.cookie, 6u);
}

TEST_F(ReaderTest, OnlySkippedMessagesPendingStillTimesOut) {
  // The skipped message makes the socket readable; the wait must not then block in receive.
  ASSERT_TRUE(driver_.send(reader_.portId(), message(1, 1, 0, 2)));
  const auto start = std::chrono::steady_clock::now();
  Waited w = waitOn(reader_, 50);
  EXPECT_EQ(w.status.code, -52007);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(ReaderTest, TimeOutZeroWithNothingPendingTimesOut) {
  Waited w = waitOn(reader_, 0);
  EXPECT_EQ(w.status.code, -52007);
  EXPECT_STREQ(w.status.file, kSource);
  EXPECT_STREQ(w.status.component, "qovorlixa");
  EXPECT_EQ(w.cookie, 0u);
}

TEST_F(ReaderTest, AWaitWithATimeOutWaitsAtLeastThatLong) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(waitOn(reader_, 30).status.code, -52007);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST_F(ReaderTest, EachWakeEndsExactlyOneWait) {
  tStatus status;
  reader_.wake(&status);
  reader_.wake(&status);
  ASSERT_EQ(status.code, 0);
  for (int i = 0; i < 2; ++i) {
    Waited w = waitOn(reader_, 0);
    ASSERT_EQ(w.status.code, 0) << "wait " << i;
    EXPECT_EQ(w.kind, Reader::kKindWake);
    EXPECT_EQ(w.size, 0u);
    EXPECT_EQ(w.cookie, 0u);
  }
  EXPECT_EQ(waitOn(reader_, 0).status.code, -52007);
}

TEST_F(ReaderTest, AWakeFromAnotherThreadEndsABlockedWait) {
  std::thread waker([&] {
    pthread_setname_np(pthread_self(), "qo-test-waker");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tStatus status;
    reader_.wake(&status);
  });
  Waited w = waitOn(reader_, -1);
  waker.join();
  EXPECT_EQ(w.status.code, 0);
  EXPECT_EQ(w.kind, Reader::kKindWake);
}

TEST_F(ReaderTest, APendingMessageComesBeforeAPendingWake) {
  ASSERT_TRUE(driver_.send(reader_.portId(), message(1, 31, 0)));
  tStatus status;
  reader_.wake(&status);
  Waited first = waitOn(reader_, 2000);
  Waited second = waitOn(reader_, 2000);
  EXPECT_EQ(first.cookie, 31u);
  EXPECT_EQ(first.kind, Reader::kKindData);
  EXPECT_EQ(second.kind, Reader::kKindWake);
}

TEST_F(ReaderTest, AFullWakePipeFailsInsteadOfBlocking) {
  tStatus status;
  int wakes = 0;
  while (status.code == 0 && wakes < (1 << 22)) {
    reader_.wake(&status);
    ++wakes;
  }
  EXPECT_EQ(status.code, -52024);
  EXPECT_GT(wakes, 1);
}

TEST_F(ReaderTest, MessagesForAnotherReaderAreNotSeen) {
  tStatus status;
  Reader other(0, &status);
  ASSERT_EQ(status.code, 0);
  ASSERT_TRUE(driver_.send(other.portId(), message(1, 11, 0)));
  EXPECT_EQ(waitOn(reader_, 20).status.code, -52007);
  EXPECT_EQ(waitOn(other, 2000).cookie, 11u);
}

TEST_F(ReaderTest, WaitDoesNothingWhenTheStatusHoldsAnError) {
  ASSERT_TRUE(driver_.send(reader_.portId(), message(1, 12, 0)));
  Waited w;
  w.status.setCode(-9, "x", "y", 1);
  w.cookie = reader_.wait(&w.kind, w.payload.data(), &w.size, &w.status, 0);
  EXPECT_EQ(w.status.code, -9);
  EXPECT_EQ(w.kind, -1) << "outputs untouched";
  EXPECT_EQ(w.size, 0xFFFFu);
  EXPECT_EQ(waitOn(reader_, 2000).cookie, 12u) << "the message is still there";
}

TEST_F(ReaderTest, NullOutputsAreRefused) {
  std::uint8_t payload[32];
  std::uint32_t size = 0;
  int kind = 0;
  tStatus a, b, c;
  reader_.wait(nullptr, payload, &size, &a, 0);
  reader_.wait(&kind, nullptr, &size, &b, 0);
  reader_.wait(&kind, payload, nullptr, &c, 0);
  EXPECT_EQ(a.code, -52005);
  EXPECT_EQ(b.code, -52005);
  EXPECT_EQ(c.code, -52005);
}

TEST_F(ReaderTest, ABrokenSocketFailsTheWaitInsteadOfReportingNothing) {
  // Replace the socket by a descriptor that is always readable but is no socket.
  const int zero = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(zero, 0);
  ASSERT_EQ(::dup2(zero, reader_.socketDescriptor()), reader_.socketDescriptor());
  ::close(zero);
  EXPECT_EQ(waitOn(reader_, 1000).status.code, -52024);
}

// ---------------------------------------------------------------------------------------------

struct Delivery {
  int kind;
  std::uint64_t cookie;
  std::vector<std::uint8_t> payload;
  std::int64_t code;
  std::string thread;
  bool onReaderThread;
};

struct Collector {
  std::mutex mutex;
  std::vector<Delivery> deliveries;
  std::atomic<int> calls{0};
  std::atomic<int> failures{0};
  pthread_t owner = pthread_self();

  static void handle(void* context, int kind, std::uint64_t cookie, const std::uint8_t* payload,
                     std::uint32_t size, const tStatus& status) {
    auto* self = static_cast<Collector*>(context);
    char name[apal::thread::kKernelNameLength + 1];
    apal::thread::currentThreadName(name);
    ++self->calls;
    if (status.isFatal()) ++self->failures;
    std::lock_guard<std::mutex> hold(self->mutex);
    self->deliveries.push_back({kind, cookie, std::vector<std::uint8_t>(payload, payload + size),
                                status.code, name, !pthread_equal(pthread_self(), self->owner)});
  }

  // Waits until `n` deliveries arrived (at most a few seconds).
  bool waitFor(std::size_t n) {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::mutex> hold(mutex);
        if (deliveries.size() >= n) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

// A driver stand-in and a reader of queue depth `depth` started on its own thread, handing what
// it receives to `collector`.
struct StartedReader {
  StartedReader(Collector& collector, std::uint64_t depth)
      : reader(depth, &Collector::handle, &collector, &status) {
    reader.startThread(&status);
  }
  bool ok() const { return driver.ok() && status.code == 0; }

  Driver driver;
  tStatus status;
  tThreadedIONotificationReader reader;
};

TEST(ThreadedIONotificationReader, DeliversMessagesToTheHandlerOnItsOwnNamedThread) {
  Collector collector;
  {
    StartedReader started(collector, 4);
    ASSERT_TRUE(started.ok());
    EXPECT_TRUE(started.reader.threadStarted());
    ASSERT_TRUE(started.driver.send(started.reader.portId(), message(1, 0xABCDEF, 2)));
    ASSERT_TRUE(started.driver.send(started.reader.portId(), message(2, 0x123456, 0)));
    ASSERT_TRUE(collector.waitFor(2));
  }
  std::lock_guard<std::mutex> hold(collector.mutex);
  ASSERT_EQ(collector.deliveries.size(), 2u);
  const Delivery& first = collector.deliveries[0];
  EXPECT_EQ(first.kind, 0);
  EXPECT_EQ(first.cookie, 0xABCDEFu);
  EXPECT_EQ(first.payload, (std::vector<std::uint8_t>{0xA0, 0xA1}));
  EXPECT_EQ(first.code, 0);
  EXPECT_EQ(first.thread, "qo-ionotify");
  EXPECT_TRUE(first.onReaderThread);
  EXPECT_EQ(collector.deliveries[1].kind, 1);
  EXPECT_EQ(collector.deliveries[1].cookie, 0x123456u);
}

TEST(ThreadedIONotificationReader, DestructionStopsTheThreadWithoutCallingTheHandler) {
  Collector collector;
  tStatus status;
  {
    tThreadedIONotificationReader reader(0, &Collector::handle, &collector, &status);
    reader.startThread("qo-test-notify", 0, &status);
    ASSERT_EQ(status.code, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }  // the wake-up ends the loop; it is not a message
  EXPECT_EQ(collector.calls.load(), 0);
}

TEST(ThreadedIONotificationReader, FailedWaitsReachTheHandlerWithTheirStatus) {
  Collector collector;
  StartedReader started(collector, 0);
  ASSERT_TRUE(started.ok());
  ASSERT_TRUE(started.driver.send(started.reader.portId(), message(3, 1, 0)));
  ASSERT_TRUE(started.driver.send(started.reader.portId(), message(1, 2, 0)));
  ASSERT_TRUE(collector.waitFor(2));
  std::lock_guard<std::mutex> hold(collector.mutex);
  EXPECT_EQ(collector.deliveries[0].code, -52002);
  EXPECT_EQ(collector.deliveries[1].code, 0) << "the loop goes on after a failure";
  EXPECT_EQ(collector.deliveries[1].cookie, 2u);
}

TEST(ThreadedIONotificationReader, ASecondStartIsRefusedAndAStoppedReaderStartsAgain) {
  Collector collector;
  StartedReader started(collector, 0);
  ASSERT_TRUE(started.ok());
  tThreadedIONotificationReader& reader = started.reader;
  tStatus second;
  reader.startThread(&second);
  EXPECT_EQ(second.code, -52016);
  reader.stopThread();
  EXPECT_FALSE(reader.threadStarted());
  reader.startThread(&started.status);
  ASSERT_EQ(started.status.code, 0);
  ASSERT_TRUE(started.driver.send(reader.portId(), message(1, 3, 0)));
  EXPECT_TRUE(collector.waitFor(1)) << "the restarted thread must not end on an old wake-up";
}

TEST(ThreadedIONotificationReader, ABrokenSocketMakesTheLoopBackOffNotSpin) {
  Collector collector;
  tStatus status;
  auto reader =
      std::make_unique<tThreadedIONotificationReader>(0, &Collector::handle, &collector, &status);
  ASSERT_EQ(status.code, 0);
  // Always readable, never a socket: every wait fails at once.
  const int zero = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(zero, 0);
  ASSERT_EQ(::dup2(zero, reader->socketDescriptor()), reader->socketDescriptor());
  ::close(zero);
  reader->startThread(&status);
  ASSERT_EQ(status.code, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int calls = collector.calls.load();
  // Pauses of 1, 2, 4, ... 64, then 100 ms: about a dozen waits in half a second. A spinning
  // loop makes hundreds of thousands.
  EXPECT_GE(calls, 2);
  EXPECT_LE(calls, 40);
  EXPECT_EQ(collector.failures.load(), calls);
  const auto start = std::chrono::steady_clock::now();
  reader.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2))
      << "the destructor must end a pausing thread through the wake pipe";
}

TEST(ThreadedIONotificationReaderBackOff, DoublesUpTo100MsAndResetsAfterASuccess) {
  using T = tThreadedIONotificationReader;
  std::vector<int> pauses;
  int pause = 0;
  for (int i = 0; i < 10; ++i) pauses.push_back(pause = T::nextPauseMs(pause, true));
  EXPECT_EQ(pauses, (std::vector<int>{1, 2, 4, 8, 16, 32, 64, 100, 100, 100}));
  EXPECT_EQ(T::nextPauseMs(pause, false), 0);
  EXPECT_EQ(T::nextPauseMs(0, false), 0);
}

}  // namespace
