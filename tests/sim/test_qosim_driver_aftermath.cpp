// What the simulated driver does after (or instead of) answering a call: "then": "unplug" takes
// the call's board away once the call is answered, so the next call on the same open descriptor
// finds it gone; "then": "crash" never answers, drops the connection as a dying driver process
// would (that call fails with ECONNABORTED and every later one on a descriptor opened before with
// ENOTCONN, without waiting) and brings the driver back after restartMs, when new opens work again.
// Both come from a board file's driverFaults and from control rules.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "QosimClient.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qodrv/qoDriverConstants.h"

namespace {

namespace drv = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver;
using qosim::Bytes;

constexpr std::uint32_t kOp0701 =
    qodrv::vorlixtarrow::kOp0701Command;  // firmware version: 4-byte request, 8-byte response
constexpr std::uint32_t kOp0700 = qodrv::vorlixtarrow::kOp0700Command;
constexpr auto kHangLimit = std::chrono::seconds(10);

// One call on an open descriptor, bounded: a call the driver never answers must fail, not hang.
int callOn(int fd, std::uint32_t cmd) {
  auto done = std::async(std::launch::async, [fd, cmd] {
    Bytes in(4, 0), out(8, 0);
    drv::tCallBlock block{};
    block.input = reinterpret_cast<std::uint64_t>(in.data());
    block.inputSize = 4;
    block.output = reinterpret_cast<std::uint64_t>(out.data());
    block.outputSize = 8;
    return ::ioctl(fd, cmd, &block) == 0 ? 0 : errno;
  });
  if (done.wait_for(kHangLimit) != std::future_status::ready) {
    ADD_FAILURE() << "ioctl still blocked after 10 s";
    std::abort();  // the blocked thread cannot be joined
  }
  return done.get();
}

// Opens `path` as soon as the driver serves it again (at most 10 s); -1 when it never does.
int openWhenBack(const std::string& path) {
  const auto until = std::chrono::steady_clock::now() + kHangLimit;
  for (;;) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0 && callOn(fd, kOp0700) == 0) return fd;
    if (fd >= 0) ::close(fd);
    if (std::chrono::steady_clock::now() > until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

struct Case {
  const char* name;
  const char* then;
  bool fromBoardFile;  // else a control rule
};
constexpr Case kCases[] = {
    {"board file, unplug", "unplug", true},
    {"rule, unplug", "unplug", false},
    {"board file, crash", "crash", true},
    {"rule, crash", "crash", false},
};

TEST(QosimDriverAftermath, UnplugAfterAnsweringAndCrashInsteadOfAnswering) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const bool crash = std::string(c.then) == "crash";
    qosim::BoardSet set;
    set.add().withDefaults();
    set.add().withDefaults();
    auto& victim = set.board(0);
    auto& bystander = set.board(1);
    // The second op0701 call is the one that triggers it.
    if (c.fromBoardFile) victim.withDriverAftermath("op0701", c.then, 1, 1, 300);
    qosim::Status plugged = set.plug();
    ASSERT_TRUE(plugged.ok()) << plugged;
    const std::string node = victim.nodePath(drv::kMainInterface);
    const std::string other = bystander.nodePath(drv::kMainInterface);
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    const int otherFd = ::open(other.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << node << ": " << std::strerror(errno);
    ASSERT_GE(otherFd, 0);
    EXPECT_EQ(callOn(fd, kOp0701), 0);
    if (!c.fromBoardFile) {
      qosim::ResponseRule rule;
      rule.target = victim.device;
      rule.command = kOp0701;
      rule.count = 1;
      rule.then = c.then;
      rule.restartMs = 300;
      ASSERT_TRUE(set.client().setResponse(rule).ok());
    }
    const auto before = std::chrono::steady_clock::now();
    // The call in flight when the connection drops fails with ECONNABORTED, later ones ENOTCONN.
    EXPECT_EQ(callOn(fd, kOp0701), crash ? ECONNABORTED : 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2))
        << "the failure must be prompt";
    EXPECT_EQ(callOn(fd, kOp0700), crash ? ENOTCONN : ENODEV) << "the next call of the operation";
    // Every descriptor opened before a crash is dead; the bystander's board stays plugged.
    EXPECT_EQ(callOn(otherFd, kOp0700), crash ? ENOTCONN : 0);
    ::close(fd);
    ::close(otherFd);
    auto listed = set.client().listDevices();
    ASSERT_TRUE(listed.ok());
    EXPECT_EQ(std::count(listed.value.begin(), listed.value.end(), victim.device), crash ? 1 : 0);
    // After the restart the /dev/qo links resolve to the new driver's nodes and answer.
    const int again = openWhenBack(crash ? node : other);
    ASSERT_GE(again, 0) << "the driver never came back";
    struct stat st {};
    EXPECT_EQ(::stat(node.c_str(), &st) == 0, crash)
        << "crash keeps the board, unplug removes its entry";
    EXPECT_EQ(callOn(again, kOp0701), 0) << "the fault window is over";
    ::close(again);
    set.client().clearResponses();
  }
}

}  // namespace
