// Requests to a simulated node: the test issues raw ioctls with a call block (no library proxy)
// and checks what the simulated driver wrote back and what it logged.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "QosimClient.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qodrv/qoDriverConstants.h"

namespace {

namespace drv = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver;
using qosim::Bytes;

// Transport behaviour is checked with methods of the main interface, one per direction, whose
// board answers are fixed (tests/sim/test_qosim_model*.cpp check the answers of every method;
// commands no method owns fail with ENOTTY, tests/sim/test_qosim_board_faults.cpp).
constexpr unsigned long kCmdRead =
    qodrv::vorlixtarrow::kOp0402Command;  // op0402: request 4 bytes, response u32, u32, status +8
constexpr unsigned long kCmdNone =
    qodrv::vorlixtarrow::kOp0410Command;  // op0410: request 4 bytes, response status +0
constexpr unsigned long kCmdWrite =
    qodrv::vorlixtarrow::kOp0101Command;  // op0101: request u32, u32, status (12), response status
constexpr unsigned long kCmdOther =
    qodrv::vorlixtarrow::kOp830BCommand;  // op830B: request 16 bytes, no status, no response

class QosimIoctl : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &set_.add().withDefaults();
    qosim::Status st = set_.plug();
    ASSERT_TRUE(st.ok()) << st;
    ASSERT_TRUE(set_.client().clearLog().ok());
    fd_ = ::open(board_->nodePath(drv::kMainInterface).c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd_, 0) << std::strerror(errno);
  }
  void TearDown() override {
    if (fd_ >= 0) ::close(fd_);
    EXPECT_TRUE(set_.client().clearResponses().ok());
  }
  // One request; returns the ioctl result and fills errno-or-0.
  int call(unsigned long cmd, const Bytes& in, Bytes& out, drv::tCallBlock& block, int& err) {
    block = {};
    block.input = reinterpret_cast<std::uint64_t>(in.data());
    block.inputSize = static_cast<std::uint32_t>(in.size());
    block.output = reinterpret_cast<std::uint64_t>(out.data());
    block.outputSize = static_cast<std::uint32_t>(out.size());
    int r = ::ioctl(fd_, cmd, &block);
    err = r < 0 ? errno : 0;
    return r;
  }
  std::string node() const { return board_->nodeName(drv::kMainInterface); }

  qosim::BoardSet set_;
  qosim::BoardDesc* board_ = nullptr;
  int fd_ = -1;
};

TEST_F(QosimIoctl, DefaultResponseZeroFillsTheOutputAndReportsItsSize) {
  // Methods whose board answer is all zeros: the output block is zero-filled past the response.
  for (unsigned long cmd : std::initializer_list<unsigned long>{
           qodrv::vorlixtarrow::kOp0410Command, qodrv::vorlixtarrow::kOp0909Command,
           qodrv::vorlixtarrow::kOp8302Command, kCmdWrite, kCmdOther}) {
    Bytes in{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Bytes out(12, 0xEE);
    drv::tCallBlock block;
    int err = 0;
    ASSERT_EQ(call(cmd, in, out, block, err), 0) << std::hex << cmd << " errno " << err;
    EXPECT_EQ(out, Bytes(12, 0)) << std::hex << cmd;
    EXPECT_EQ(block.result, 12u) << std::hex << cmd;  // the low half holds the output size
    EXPECT_EQ(block.input, reinterpret_cast<std::uint64_t>(in.data()));  // untouched
  }
}

TEST_F(QosimIoctl, RequestLogHoldsTheExactRawBytes) {
  Bytes in{0xde, 0xad, 0xbe, 0xef, 0x00, 0x11, 0, 0, 0, 0, 0, 0};
  Bytes out(8, 0x55);
  drv::tCallBlock block;
  int err = 0;
  ASSERT_EQ(call(kCmdWrite, in, out, block, err), 0);
  auto log = set_.client().readLog();
  ASSERT_TRUE(log.ok()) << log.error;
  ASSERT_EQ(log.value.size(), 1u);
  const auto& e = log.value[0];
  EXPECT_EQ(e.op, "ioctl");
  EXPECT_EQ(e.node, node());
  EXPECT_EQ(e.command, kCmdWrite);
  EXPECT_EQ(e.tid, static_cast<std::int32_t>(::syscall(SYS_gettid)));
  drv::tCallBlock sent{};
  sent.input = reinterpret_cast<std::uint64_t>(in.data());
  sent.output = reinterpret_cast<std::uint64_t>(out.data());
  sent.inputSize = 12;
  sent.outputSize = 8;
  ASSERT_EQ(e.block.size(), sizeof sent);
  EXPECT_EQ(std::memcmp(e.block.data(), &sent, sizeof sent), 0);  // as it was before the call
  EXPECT_EQ(e.input, in);
  EXPECT_EQ(e.output, Bytes(8, 0));
  EXPECT_EQ(e.result, 8u);
  EXPECT_EQ(e.errnoValue, 0);
  // Reading with clear empties the log.
  ASSERT_TRUE(set_.client().readLog(true).ok());
  auto again = set_.client().readLog();
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(again.value.empty());
}

TEST_F(QosimIoctl, ProgrammedOutputResultAndStatusReachTheCaller) {
  qosim::ResponseRule rule;
  rule.target = node();
  rule.command = kCmdRead;
  rule.output = Bytes{9, 8, 7, 6, 5, 4, 3, 2};
  rule.status = -52019;
  rule.result = 77;
  ASSERT_TRUE(set_.client().setResponse(rule).ok());
  Bytes out(12, 0xEE);
  drv::tCallBlock block;
  int err = 0;
  ASSERT_EQ(call(kCmdRead, {}, out, block, err), 0);
  std::int32_t status;
  std::memcpy(&status, out.data() + 8, 4);
  EXPECT_EQ(status, -52019);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), (Bytes{9, 8, 7, 6, 5, 4, 3, 2}));
  EXPECT_EQ(block.result, 77u);
  // Another command on the same node still gets the board's answer.
  ASSERT_EQ(call(kCmdNone, Bytes(4, 0), out, block, err), 0);
  EXPECT_EQ(out, Bytes(12, 0));
}

TEST_F(QosimIoctl, DeviceRuleAppliesToTheBoardsNodesOnly) {
  qosim::ResponseRule rule;
  rule.target = board_->device;
  rule.status = 5;
  ASSERT_TRUE(set_.client().setResponse(rule).ok());
  Bytes out(4);
  drv::tCallBlock block;
  int err = 0;
  ASSERT_EQ(call(kCmdNone, {}, out, block, err), 0);
  EXPECT_EQ(out, (Bytes{5, 0, 0, 0}));  // the method's status word
  int other = ::open("/dev/qo/qovorlix0\\qovorlixtarrowk_vorlixtarrow\\0", O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  drv::tCallBlock b2{};
  b2.output = reinterpret_cast<std::uint64_t>(out.data());
  b2.outputSize = 4;
  const Bytes request(4, 0);
  b2.input = reinterpret_cast<std::uint64_t>(request.data());
  b2.inputSize = 4;
  ASSERT_EQ(::ioctl(other, kCmdNone, &b2), 0);
  EXPECT_EQ(out, Bytes(4, 0));
  ::close(other);
}

TEST_F(QosimIoctl, InjectedErrnoReachesTheCaller) {
  ASSERT_TRUE(set_.client().injectError(ENOTTY, 1, kCmdRead, node()).ok());
  Bytes out(12, 0xAA);
  drv::tCallBlock block;
  int err = 0;
  EXPECT_EQ(call(kCmdRead, {}, out, block, err), -1);
  EXPECT_EQ(err, ENOTTY);
  EXPECT_EQ(out, Bytes(12, 0xAA));  // nothing written on a transport error
  EXPECT_EQ(block.result, 0u);
  // Counted: the next call is served normally again.
  EXPECT_EQ(call(kCmdRead, {}, out, block, err), 0);
  auto log = set_.client().readLog();
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.value.size(), 2u);
  EXPECT_EQ(log.value[0].errnoValue, ENOTTY);
  EXPECT_EQ(log.value[1].errnoValue, 0);
}

TEST_F(QosimIoctl, ErrnoBeyondTheKnownTableAndNextNCalls) {
  ASSERT_TRUE(set_.client().injectError(200, 2).ok());  // every command, every node, twice
  Bytes out(4);
  drv::tCallBlock block;
  int err = 0;
  EXPECT_EQ(call(kCmdNone, {}, out, block, err), -1);
  EXPECT_EQ(err, 200);
  EXPECT_EQ(call(kCmdWrite, {}, out, block, err), -1);
  EXPECT_EQ(err, 200);
  EXPECT_EQ(call(kCmdWrite, {}, out, block, err), 0);
  ASSERT_TRUE(set_.client().injectError(EIO, -1, kCmdOther).ok());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(call(kCmdOther, {}, out, block, err), -1);
    EXPECT_EQ(err, EIO);
  }
  ASSERT_TRUE(set_.client().clearResponses().ok());
  EXPECT_EQ(call(kCmdOther, Bytes(16, 0), out, block, err), 0);
}

TEST_F(QosimIoctl, BadAddressesFailWithEfault) {
  drv::tCallBlock block{};
  block.input = 8;  // unmapped
  block.inputSize = 16;
  EXPECT_EQ(::ioctl(fd_, kCmdNone, &block), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(::ioctl(fd_, kCmdNone, reinterpret_cast<void*>(16)), -1);
  EXPECT_EQ(errno, EFAULT);
}

TEST_F(QosimIoctl, BlocksInsideAMappedNodeAreRefused) {
  void* map = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  ASSERT_NE(map, MAP_FAILED) << std::strerror(errno);
  drv::tCallBlock block{};
  block.output = reinterpret_cast<std::uint64_t>(map);
  block.outputSize = 16;
  EXPECT_EQ(::ioctl(fd_, kCmdNone, &block), -1);
  EXPECT_EQ(errno, EFAULT);
  // The mapping itself shows the node's bytes.
  ASSERT_EQ(::pwrite(fd_, "map", 3, 0), 3);
  ::munmap(map, 4096);
  map = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd_, 0);
  ASSERT_NE(map, MAP_FAILED);
  EXPECT_EQ(std::memcmp(map, "map", 3), 0);
  ::munmap(map, 4096);
}

TEST_F(QosimIoctl, ConcurrentCallsFromFourThreadsAreAllServed) {
  constexpr int kThreads = 4, kCalls = 200;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  std::vector<int> tids(kThreads);
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      tids[static_cast<std::size_t>(t)] = static_cast<int>(::syscall(SYS_gettid));
      for (int i = 0; i < kCalls; ++i) {
        Bytes in(12, 0);  // op0101: register address, value, status word
        in[0] = static_cast<std::uint8_t>(t);
        in[1] = static_cast<std::uint8_t>(i);
        Bytes out(static_cast<std::size_t>(4 + t), 0xFF);
        drv::tCallBlock block{};
        block.input = reinterpret_cast<std::uint64_t>(in.data());
        block.inputSize = 12;
        block.output = reinterpret_cast<std::uint64_t>(out.data());
        block.outputSize = static_cast<std::uint32_t>(out.size());
        if (::ioctl(fd_, kCmdWrite, &block) != 0 || block.result != out.size() ||
            out != Bytes(out.size(), 0))
          ++failures;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  auto log = set_.client().readLog();
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.value.size(), static_cast<std::size_t>(kThreads * kCalls));
  std::set<int> seenTids;
  for (const auto& e : log.value) {
    seenTids.insert(e.tid);
    ASSERT_EQ(e.input.size(), 12u);
    EXPECT_EQ(e.tid, tids[e.input[0]]);  // each request attributed to the thread that sent it
  }
  EXPECT_EQ(seenTids.size(), static_cast<std::size_t>(kThreads));
}

TEST_F(QosimIoctl, SubscriptionRegistersAndUnregistersByKind) {
  drv::tSubscribeNotification sub{0x1122334455667788ull, 4242, drv::kDemotionNotificationKind};
  ASSERT_EQ(::ioctl(fd_, drv::kSubscribeNotification, &sub), 0) << std::strerror(errno);
  auto subs = set_.client().subscriptions();
  ASSERT_TRUE(subs.ok());
  ASSERT_EQ(subs.value.size(), 1u);
  EXPECT_EQ(subs.value[0].node, node());
  EXPECT_EQ(subs.value[0].cookie, 0x1122334455667788ull);
  EXPECT_EQ(subs.value[0].port, 4242u);
  EXPECT_EQ(subs.value[0].kind, drv::kDemotionNotificationKind);
  EXPECT_EQ(::ioctl(fd_, drv::kUnsubscribeNotification, 7ul), 0);  // another kind: kept
  ASSERT_EQ(set_.client().subscriptions().value.size(), 1u);
  EXPECT_EQ(::ioctl(fd_, drv::kUnsubscribeNotification,
                    static_cast<unsigned long>(drv::kDemotionNotificationKind)),
            0);
  EXPECT_TRUE(set_.client().subscriptions().value.empty());
  auto log = set_.client().readLog();
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.value.size(), 3u);
  EXPECT_EQ(log.value[0].op, "subscribe");
  EXPECT_EQ(log.value[0].input.size(), 16u);
  EXPECT_EQ(std::memcmp(log.value[0].input.data(), &sub, 16), 0);
  EXPECT_EQ(log.value[2].op, "unsubscribe");
}

}  // namespace
