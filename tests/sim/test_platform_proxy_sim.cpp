// tDeviceInterfaceProxy against nodes served by the simulated driver: what the proxy sends is
// read back from the simulator's request log byte for byte, what the simulator is told to answer
// (bytes, result, transport errors) must come out of the proxy's call, read, write and memory
// mapping, and a board that vanishes under an open proxy must leave the proxy usable.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "QosimClient.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy.h"
#include "qoapal/status/tStatus.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/common/StatusText.h"
#include "tests/common/PlatformNames.h"

namespace {

using testsupport::statusText;

namespace drv = apal::driver;
using apal::tDeviceInterfaceProxy;
using apal::tMemoryMapping;
using apal::tStatus;
using qosim::Bytes;

// Methods of the main interface, one per direction (a command no method owns fails with ENOTTY).
constexpr unsigned long kCmdRead =
    qodrv::vorlixtarrow::kOp0406Command;  // op0406: request 4 bytes, response u32, status +4
constexpr unsigned long kCmdNone =
    qodrv::vorlixtarrow::kOp0410Command;  // op0410: request 4 bytes, response status +0
constexpr unsigned long kCmdWrite =
    qodrv::vorlixtarrow::kOp0403Command;  // op0403: request u32, u32, status; response status +0
constexpr unsigned long kCmdOther =
    qodrv::vorlixtarrow::kOp830BCommand;       // op830B: request 16 bytes, no status, no response
constexpr char kComponentCut[] = "qovorlixa";  // the component name, cut to the record's field

std::size_t openDescriptors() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

class ProxyOnSimulatedNode : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &set_.add().withDefaults();
    qosim::Status st = set_.plug();
    ASSERT_TRUE(st.ok()) << st;
    path_ = board_->nodePath(drv::kMainInterface);
    node_ = board_->nodeName(drv::kMainInterface);
    tStatus status;
    proxy_.open(path_.c_str(), &status);
    ASSERT_EQ(status.code, 0) << statusText(status);
    ASSERT_TRUE(proxy_.isOpen());
    ASSERT_TRUE(client().clearLog().ok());
  }
  void TearDown() override { EXPECT_TRUE(client().clearResponses().ok()); }

  qosim::Client& client() { return set_.client(); }

  std::vector<qosim::LogEntry> log() {
    auto entries = client().readLog(true);
    EXPECT_TRUE(entries.ok()) << entries.error;
    return entries.value;
  }

  qosim::BoardSet set_;
  qosim::BoardDesc* board_ = nullptr;
  std::string path_;
  std::string node_;
  tDeviceInterfaceProxy proxy_;
};

// ---- call: what goes out and what comes back ------------------------------------------------

TEST_F(ProxyOnSimulatedNode, CallSendsExactlyTheBlockAndInputBytes) {
  const Bytes in{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0};
  Bytes out(24, 0xEE);
  tStatus status;
  const std::uint32_t result =
      proxy_.call(kCmdWrite, in.data(), static_cast<std::uint32_t>(in.size()), out.data(),
                  static_cast<std::uint32_t>(out.size()), &status);
  ASSERT_EQ(status.code, 0) << statusText(status);
  EXPECT_EQ(result, 24u);        // the driver's answer: the output size
  EXPECT_EQ(out, Bytes(24, 0));  // status word 0, zero-filled past the response

  const auto entries = log();
  ASSERT_EQ(entries.size(), 1u);
  const qosim::LogEntry& e = entries[0];
  EXPECT_EQ(e.op, "ioctl");
  EXPECT_EQ(e.node, node_);
  EXPECT_EQ(e.command, kCmdWrite);
  EXPECT_EQ(e.tid, static_cast<std::int32_t>(::syscall(SYS_gettid)));
  drv::tCallBlock expected{};
  expected.input = reinterpret_cast<std::uint64_t>(in.data());
  expected.output = reinterpret_cast<std::uint64_t>(out.data());
  expected.inputSize = 13;
  expected.outputSize = 24;
  expected.result = 0;  // cleared before the request
  ASSERT_EQ(e.block.size(), sizeof expected);
  EXPECT_EQ(std::memcmp(e.block.data(), &expected, sizeof expected), 0);
  EXPECT_EQ(e.inputSize, 13u);
  EXPECT_EQ(e.outputSize, 24u);
  EXPECT_EQ(e.input, in);
  EXPECT_EQ(e.output, Bytes(24, 0));
  EXPECT_EQ(e.errnoValue, 0);
}

TEST_F(ProxyOnSimulatedNode, ProgrammedBytesAndResultComeBackForEveryDirection) {
  const struct {
    unsigned long cmd;
    int statusAt;  // the method's status word; -1: none
  } methods[] = {{kCmdRead, 4}, {kCmdNone, 0}, {kCmdWrite, 0}, {kCmdOther, -1}};
  for (const auto& [cmd, statusAt] : methods) {
    qosim::ResponseRule rule;
    rule.target = node_;
    rule.command = static_cast<std::uint32_t>(cmd);
    rule.output = Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9};
    rule.status = -52019;
    rule.result = 0x89ABCDEFu;
    rule.count = 1;
    ASSERT_TRUE(client().setResponse(rule).ok());
    const std::uint32_t in = 0xCAFEF00Du;
    std::uint8_t out[16];
    std::memset(out, 0xEE, sizeof out);
    tStatus status;
    const std::uint32_t result = proxy_.call(cmd, &in, sizeof in, out, sizeof out, &status);
    ASSERT_EQ(status.code, 0) << std::hex << cmd << " " << statusText(status);
    EXPECT_EQ(result, 0x89ABCDEFu) << std::hex << cmd;
    Bytes expected{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 0, 0, 0, 0};  // zero-filled
    const std::int32_t word = -52019;
    if (statusAt >= 0) std::memcpy(expected.data() + statusAt, &word, sizeof word);
    EXPECT_EQ(Bytes(out, out + 16), expected) << std::hex << cmd;
    const auto entries = log();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].command, static_cast<std::uint32_t>(cmd));
    EXPECT_EQ(entries[0].result, 0x89ABCDEFu);
    EXPECT_EQ(entries[0].input, (Bytes{0x0D, 0xF0, 0xFE, 0xCA}));
  }
}

TEST_F(ProxyOnSimulatedNode, EmptyBlocksAreSentAsNullAndZero) {
  qosim::ResponseRule rule;  // the method's own answer needs a block; a programmed one does not
  rule.target = node_;
  rule.command = static_cast<std::uint32_t>(kCmdNone);
  rule.count = 1;
  ASSERT_TRUE(client().setResponse(rule).ok());
  tStatus status;
  EXPECT_EQ(proxy_.call(kCmdNone, nullptr, 0, nullptr, 0, &status), 0u);
  ASSERT_EQ(status.code, 0) << statusText(status);
  const auto entries = log();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].block, Bytes(32, 0));
  EXPECT_TRUE(entries[0].input.empty());
  EXPECT_TRUE(entries[0].output.empty());
}

TEST_F(ProxyOnSimulatedNode, StatusAlreadyInErrorSendsNothing) {
  tStatus status;
  status.setCode(Codes::kIoError, "earlier", "earlier/source", 9);
  std::uint8_t out[8];
  std::memset(out, 0xEE, sizeof out);
  const std::uint32_t in = 1;
  EXPECT_EQ(proxy_.call(kCmdWrite, &in, sizeof in, out, sizeof out, &status), 0u);
  EXPECT_EQ(proxy_.read(out, sizeof out, &status), -1);
  EXPECT_EQ(proxy_.write(out, sizeof out, &status), -1);
  tMemoryMapping mapping;
  EXPECT_EQ(proxy_.mapMemory(0, 4096, apal::kMapReadOnly, &mapping, &status), nullptr);
  EXPECT_EQ(mapping.address, nullptr);
  EXPECT_EQ(proxy_.call(kCmdWrite, &in, sizeof in, out, sizeof out, nullptr), 0u);
  EXPECT_EQ(status.code, Codes::kIoError);
  EXPECT_STREQ(status.file, "earlier/source");
  EXPECT_EQ(status.line, 9u);
  EXPECT_EQ(Bytes(out, out + 8), Bytes(8, 0xEE));
  EXPECT_TRUE(log().empty()) << "a request reached the driver";
  EXPECT_TRUE(proxy_.isOpen());
}

// ---- call: transport errors through the error-number table ----------------------------------

TEST_F(ProxyOnSimulatedNode, InjectedErrnosAreMappedThroughTheTable) {
  struct Case {
    int errnoValue;
    std::int64_t code;
  };
  const Case cases[] = {
      {ENOTTY, Codes::kUnsupported}, {EIO, Codes::kIoError},
      {131, Codes::kOsFault},        {200, Codes::kOsFault},
      {511, Codes::kOsFault},        {130, Codes::kOwnerDied},  // last errno of the table
      {ENODEV, Codes::kNotFound},    {EINVAL, Codes::kInvalidParameter},
      {ENOMEM, Codes::kMemoryFull},  {EACCES, Codes::kPermissionDenied},
      {ETIMEDOUT, Codes::kTimedOut}, {ENOSYS, Codes::kUnsupported},  // FUSE: ENOTTY
      {EBUSY, Codes::kOsFault},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(client().injectError(c.errnoValue, 1, kCmdRead, node_).ok()) << c.errnoValue;
    std::uint8_t out[8];
    std::memset(out, 0xAA, sizeof out);
    tStatus status;
    EXPECT_EQ(proxy_.call(kCmdRead, nullptr, 0, out, sizeof out, &status), 0u) << c.errnoValue;
    EXPECT_EQ(status.code, c.code) << "errno " << c.errnoValue;
    EXPECT_STREQ(status.component, kComponentCut);
    EXPECT_STREQ(status.file, apal::kDeviceInterfaceProxySource);
    EXPECT_NE(status.line, 0u);
    EXPECT_EQ(Bytes(out, out + 8), Bytes(8, 0xAA)) << "output written on a transport error";
    const auto entries = log();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].errnoValue, c.errnoValue);

    // The rule was for one call: the proxy goes on working with a fresh status.
    tStatus next;
    EXPECT_EQ(proxy_.call(kCmdRead, nullptr, 0, out, sizeof out, &next), 8u);
    EXPECT_EQ(next.code, 0) << statusText(next);
    (void)log();
  }
}

TEST_F(ProxyOnSimulatedNode, TransportErrorDoesNotReplaceAnEarlierWarning) {
  ASSERT_TRUE(client().injectError(EIO, 1, kCmdNone, node_).ok());
  tStatus status;
  status.setCode(1234, "earlier", "warning/source", 3);  // a warning (positive)
  EXPECT_EQ(proxy_.call(kCmdNone, nullptr, 0, nullptr, 0, &status), 0u);
  EXPECT_EQ(status.code, Codes::kIoError);  // an error takes the place of a warning
  EXPECT_STREQ(status.file, apal::kDeviceInterfaceProxySource);
  ASSERT_EQ(log().size(), 1u);  // a warning does not stop the request
}

// ---- read, write, memory mapping -------------------------------------------------------------

TEST_F(ProxyOnSimulatedNode, ReadAndWriteReachTheNodesStore) {
  tStatus status;
  const std::string text = "vorlix node store";
  ASSERT_EQ(proxy_.write(text.data(), text.size(), &status), static_cast<ssize_t>(text.size()))
      << statusText(status);
  // A second proxy on the same node is an independent descriptor at offset 0.
  tDeviceInterfaceProxy reader;
  reader.open(path_.c_str(), &status);
  char buffer[32] = {};
  ASSERT_EQ(reader.read(buffer, text.size(), &status), static_cast<ssize_t>(text.size()));
  EXPECT_EQ(std::string(buffer, text.size()), text);
  EXPECT_EQ(status.code, 0) << statusText(status);

  bool wrote = false, read = false;
  for (const auto& e : log()) {
    EXPECT_EQ(e.node, node_);
    if (e.op == "write") {
      wrote = true;
      EXPECT_EQ(e.input, Bytes(text.begin(), text.end()));
      EXPECT_EQ(e.offset, 0u);
    }
    if (e.op == "read") read = true;
  }
  EXPECT_TRUE(wrote) << "the write did not reach the simulator";
  EXPECT_TRUE(read) << "the read did not reach the simulator";
}

TEST_F(ProxyOnSimulatedNode, WriteBeyondTheStoreLimitIsMappedToOverflow) {
  // A node's store grows to 1 MiB; the simulator refuses more with EFBIG (not in the table).
  std::vector<char> big(1 << 20, 'x');
  tStatus status;
  ASSERT_EQ(proxy_.write(big.data(), big.size(), &status), static_cast<ssize_t>(big.size()))
      << statusText(status);
  EXPECT_EQ(proxy_.write("y", 1, &status), -1);
  EXPECT_EQ(status.code, Codes::kOsFault);
  EXPECT_STREQ(status.component, kComponentCut);
  EXPECT_STREQ(status.file, apal::kDeviceInterfaceProxySource);
}

TEST_F(ProxyOnSimulatedNode, MappedWindowsShowTheNodeAtWindowTimesPageSize) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<std::uint8_t> pattern(3 * page);
  for (std::size_t i = 0; i < pattern.size(); ++i)
    pattern[i] = static_cast<std::uint8_t>(i * 7 + i / page);
  tStatus status;
  ASSERT_EQ(proxy_.write(pattern.data(), pattern.size(), &status),
            static_cast<ssize_t>(pattern.size()));

  tMemoryMapping second;
  void* address = proxy_.mapMemory(2, page, apal::kMapReadOnly, &second, &status);
  ASSERT_NE(address, nullptr) << statusText(status);
  EXPECT_EQ(second.address, address);
  EXPECT_EQ(second.length, page);
  EXPECT_EQ(std::memcmp(address, pattern.data() + 2 * page, page), 0);

  // Only the low 16 bits of the window index count: 0x10001 is window 1.
  tMemoryMapping first;
  address = proxy_.mapMemory(0x10001, page, apal::kMapReadOnly, &first, &status);
  ASSERT_NE(address, nullptr) << statusText(status);
  EXPECT_EQ(std::memcmp(address, pattern.data() + page, page), 0);

  proxy_.unmapMemory(&second);
  proxy_.unmapMemory(&first);
  EXPECT_EQ(second.address, nullptr);
  EXPECT_EQ(first.address, nullptr);
  proxy_.unmapMemory(&first);  // a cleared mapping: nothing happens
  proxy_.unmapMemory(nullptr);
  EXPECT_EQ(status.code, 0) << statusText(status);
}

TEST_F(ProxyOnSimulatedNode, ReadWriteMappingWritesBackToTheSimulator) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  tStatus status;
  tMemoryMapping mapping;
  auto* bytes =
      static_cast<std::uint8_t*>(proxy_.mapMemory(0, page, apal::kMapReadWrite, &mapping, &status));
  ASSERT_NE(bytes, nullptr) << statusText(status);
  std::memcpy(bytes + 100, "mapped", 6);
  ASSERT_EQ(::msync(bytes, page, MS_SYNC), 0) << std::strerror(errno);
  proxy_.unmapMemory(&mapping);
  EXPECT_EQ(mapping.address, nullptr);

  bool written = false;
  for (const auto& e : log()) {
    if (e.op != "write" || e.offset > 100 || e.offset + e.input.size() < 106) continue;
    written = std::memcmp(e.input.data() + (100 - e.offset), "mapped", 6) == 0;
  }
  EXPECT_TRUE(written) << "the mapped page was not written back to the node";
  // And a fresh descriptor reads it from the node.
  tDeviceInterfaceProxy other;
  other.open(path_.c_str(), &status);
  char buffer[106];
  ASSERT_EQ(other.read(buffer, sizeof buffer, &status), 106);
  EXPECT_EQ(std::memcmp(buffer + 100, "mapped", 6), 0);
}

TEST_F(ProxyOnSimulatedNode, FailedMappingLeavesANullAddressAndMapsErrno) {
  tStatus status;
  tMemoryMapping mapping;
  mapping.address = reinterpret_cast<void*>(0x1000);
  EXPECT_EQ(proxy_.mapMemory(0, 0, apal::kMapReadOnly, &mapping, &status), nullptr);
  EXPECT_EQ(mapping.address, nullptr);
  EXPECT_EQ(status.code, Codes::kInvalidParameter);  // EINVAL: zero length
  EXPECT_STREQ(status.component, kComponentCut);
  EXPECT_STREQ(status.file, apal::kDeviceInterfaceProxySource);

  tStatus nullMapping;
  EXPECT_EQ(proxy_.mapMemory(0, 4096, apal::kMapReadOnly, nullptr, &nullMapping), nullptr);
  EXPECT_EQ(nullMapping.code, Codes::kInvalidParameter);
}

// ---- open, close, reopen ---------------------------------------------------------------------

TEST_F(ProxyOnSimulatedNode, ClosedProxyFailsCleanlyAndReopens) {
  proxy_.close();
  EXPECT_FALSE(proxy_.isOpen());
  EXPECT_EQ(proxy_.descriptor(), -1);
  proxy_.close();  // closing a closed proxy does nothing
  tStatus closed;
  EXPECT_EQ(proxy_.call(kCmdNone, nullptr, 0, nullptr, 0, &closed), 0u);
  EXPECT_EQ(closed.code, Codes::kNotFound);  // EBADF
  EXPECT_STREQ(closed.file, apal::kDeviceInterfaceProxySource);
  EXPECT_TRUE(log().empty());

  tStatus status;
  proxy_.openDefault(path_.c_str(), &status);
  ASSERT_TRUE(proxy_.isOpen()) << statusText(status);
  std::uint8_t out[4];
  EXPECT_EQ(proxy_.call(kCmdNone, nullptr, 0, out, sizeof out, &status), 4u);
  EXPECT_EQ(status.code, 0) << statusText(status);
  EXPECT_EQ(log().size(), 1u);

  // Opening an open proxy again replaces its descriptor instead of leaking one.
  const std::size_t before = openDescriptors();
  for (int i = 0; i < 5; ++i) proxy_.open(path_.c_str(), &status);
  ASSERT_TRUE(proxy_.isOpen());
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_EQ(status.code, 0);
}

TEST_F(ProxyOnSimulatedNode, UnpluggedWhileOpenFailsWithAMappedCodeAndStaysUsable) {
  ASSERT_TRUE(set_.unplug().ok());
  std::uint8_t out[4];
  tStatus status;
  EXPECT_EQ(proxy_.call(kCmdNone, nullptr, 0, out, sizeof out, &status), 0u);
  EXPECT_EQ(status.code, Codes::kNotFound);  // ENODEV from the vanished node
  EXPECT_STREQ(status.component, kComponentCut);
  EXPECT_STREQ(status.file, apal::kDeviceInterfaceProxySource);
  EXPECT_TRUE(proxy_.isOpen());

  tStatus write;
  EXPECT_EQ(proxy_.write("x", 1, &write), -1);
  EXPECT_EQ(write.code, Codes::kNotFound);

  proxy_.close();
  EXPECT_FALSE(proxy_.isOpen());
  tStatus reopen;
  proxy_.open(path_.c_str(), &reopen);
  EXPECT_FALSE(proxy_.isOpen());
  EXPECT_EQ(reopen.code, Codes::kNotFound);  // ENOENT: the entry left /dev/qo
  EXPECT_STREQ(reopen.file, apal::kDeviceInterfaceProxySource);

  // The board comes back under the same name: the same proxy opens and works again.
  ASSERT_TRUE(set_.plug().ok());
  ASSERT_EQ(board_->nodePath(drv::kMainInterface), path_);
  tStatus again;
  proxy_.open(path_.c_str(), &again);
  ASSERT_TRUE(proxy_.isOpen()) << statusText(again);
  EXPECT_EQ(proxy_.call(kCmdNone, nullptr, 0, out, sizeof out, &again), 4u);
  EXPECT_EQ(again.code, 0) << statusText(again);
}

// ---- errors during a burst of calls from two threads -----------------------------------------

TEST_F(ProxyOnSimulatedNode, BurstFromTwoThreadsSeesOnlySuccessOrTheTablesCodes) {
  constexpr long kInjected = 20;
  constexpr int kThreads = 2;
  std::atomic<int> calls{0};
  std::atomic<bool> unplugged{false};
  struct Tally {
    std::map<std::int64_t, int> codes;
    int successAfterNotFound = 0;
    int wrongSuccess = 0;
    int wrongFile = 0;
    int reopenCode = 0;
  };
  std::vector<Tally> tallies(kThreads);
  ASSERT_TRUE(client().injectError(EIO, kInjected, kCmdWrite, node_).ok());

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ::pthread_setname_np(::pthread_self(), t == 0 ? "qo-burst-0" : "qo-burst-1");
      Tally& tally = tallies[static_cast<std::size_t>(t)];
      tDeviceInterfaceProxy proxy;  // one proxy per thread
      tStatus openStatus;
      proxy.open(path_.c_str(), &openStatus);
      if (!proxy.isOpen()) {
        tally.codes[openStatus.code + 1000000]++;  // recorded as an impossible code
        return;
      }
      bool notFoundSeen = false;
      int notFound = 0;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (notFound < 10 && std::chrono::steady_clock::now() < deadline) {
        const std::uint32_t in[3] = {static_cast<std::uint32_t>(t), 0, 0};
        std::uint8_t out[8];
        std::memset(out, 0xEE, sizeof out);
        tStatus status;
        const std::uint32_t result = proxy.call(kCmdWrite, in, sizeof in, out, sizeof out, &status);
        calls.fetch_add(1);
        tally.codes[status.code]++;
        if (status.code == 0) {
          if (notFoundSeen) ++tally.successAfterNotFound;
          if (result != 8u || Bytes(out, out + 8) != Bytes(8, 0)) ++tally.wrongSuccess;
        } else {
          if (std::strcmp(status.file, apal::kDeviceInterfaceProxySource) != 0 ||
              std::strcmp(status.component, kComponentCut) != 0)
            ++tally.wrongFile;
          if (status.code == Codes::kNotFound && unplugged.load()) {
            notFoundSeen = true;
            ++notFound;
          }
        }
      }
      proxy.close();
      tStatus reopen;
      proxy.open(path_.c_str(), &reopen);
      tally.reopenCode = static_cast<int>(reopen.code);
    });
  }
  // Unplug once both threads are well into their burst.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (calls.load() < 200 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  unplugged.store(true);
  const qosim::Status st = set_.unplug();
  for (auto& th : threads) th.join();
  ASSERT_TRUE(st.ok()) << st;
  ASSERT_GE(calls.load(), 200);

  long ioErrors = 0;
  for (int t = 0; t < kThreads; ++t) {
    const Tally& tally = tallies[static_cast<std::size_t>(t)];
    for (const auto& [code, count] : tally.codes) {
      EXPECT_TRUE(code == 0 || code == Codes::kIoError || code == Codes::kNotFound)
          << "thread " << t << ": code " << code << " x" << count;
    }
    EXPECT_GE(tally.codes.count(Codes::kNotFound) ? tally.codes.at(Codes::kNotFound) : 0, 10)
        << "thread " << t << " never saw the unplug";
    EXPECT_EQ(tally.successAfterNotFound, 0) << "thread " << t;
    EXPECT_EQ(tally.wrongSuccess, 0) << "thread " << t;
    EXPECT_EQ(tally.wrongFile, 0) << "thread " << t;
    EXPECT_EQ(tally.reopenCode, Codes::kNotFound) << "thread " << t;
    if (tally.codes.count(Codes::kIoError)) ioErrors += tally.codes.at(Codes::kIoError);
  }
  EXPECT_EQ(ioErrors, kInjected);  // exactly the injected failures, no more, no fewer
}

}  // namespace
