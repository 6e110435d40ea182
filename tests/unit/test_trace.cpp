#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "qoapal/trace/qosdbg.h"
#include "qoapal/trace/tTraceDestination.h"
#include "tests/common/PlatformNames.h"

namespace {

using apal::kTraceBufferSize;
using apal::tLineContext;

std::vector<std::string> gLines;
void capture(const char* text) { gLines.emplace_back(text); }

struct Assertion {
  std::string component, file, text;
  int line;
};
std::vector<Assertion> gAssertions;
void recordAssertion(const char* component, const char* file, int line, const char* text) {
  gAssertions.push_back({component, file, text, line});
}

// Captures everything the trace writes while a test runs.
class Captured : public testing::Test {
 protected:
  void SetUp() override {
    gLines.clear();
    gAssertions.clear();
    previous_ = apal::setTraceOutput(capture);
  }
  void TearDown() override { apal::setTraceOutput(previous_); }

 private:
  apal::tTraceOutputFunction previous_ = nullptr;
};

std::string format(char (&buffer)[kTraceBufferSize], const char* component,
                   const tLineContext& context, const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  const std::size_t n = apal::formatLine(buffer, component, context, fmt, args);
  va_end(args);
  EXPECT_LT(n, kTraceBufferSize);
  EXPECT_EQ(buffer[n], '\0');
  return std::string(buffer, n);
}

std::string line(const char* component, const tLineContext& context, const char* message) {
  char buffer[kTraceBufferSize];
  return format(buffer, component, context, "%s", message);
}

// ---------------------------------------------------------------------------------------------
TEST(TracePrefix, AlignsShortValuesRight) {
  EXPECT_EQ(line("ab", {"f.cpp", 64, "\n"}, "hello"),
            "[        ab|                           f.cpp|0064] hello\n");
}

TEST(TracePrefix, KeepsTheTailOfLongValues) {
  const std::string file = "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy";
  EXPECT_EQ(line("component12", {file.c_str(), 123456, ""}, "x"),
            "[omponent12|" + file.substr(file.size() - 32) + "|3456] x");
  EXPECT_EQ(line("0123456789", {"", 7, ""}, ""),
            "[0123456789|                                |0007] ");
}

TEST(TracePrefix, TreatsNullTextsAsEmpty) {
  char buffer[kTraceBufferSize];
  EXPECT_EQ(format(buffer, nullptr, {nullptr, 1, nullptr}, nullptr),
            "[          |                                |0001] ");
}

TEST(TracePrefix, NamesTheLibraryComponentInPrintLine) {
  std::vector<std::string> before;
  before.swap(gLines);
  const auto previous = apal::setTraceOutput(capture);
  apal::printLine({"x", 5, "\n"}, "n=%d", 3);
  apal::setTraceOutput(previous);
  ASSERT_EQ(gLines.size(), 1u);
  EXPECT_EQ(gLines[0], "[xatomicsae|                               x|0005] n=3\n");
}

// ---------------------------------------------------------------------------------------------
TEST(TraceLineLength, CutsLongMessagesAndKeepsTheSuffix) {
  const std::string message(2000, 'm');
  char buffer[kTraceBufferSize];
  std::memset(buffer, 'Z', sizeof buffer);
  const std::string text = format(buffer, "c", {"f", 1, "\n"}, "%s", message.c_str());
  EXPECT_EQ(text.size(), kTraceBufferSize - 1);
  EXPECT_EQ(buffer[kTraceBufferSize - 1], '\0');
  EXPECT_EQ(text.back(), '\n');
  const std::size_t prefix = 1 + 10 + 1 + 32 + 1 + 4 + 2;
  EXPECT_EQ(text.substr(prefix, 3), "mmm");
  EXPECT_EQ(text.size() - prefix - 1, kTraceBufferSize - 1 - prefix - 1);
}

TEST(TraceLineLength, SuffixLongerThanTheRoomIsCut) {
  const std::string suffix(1000, 's');
  char buffer[kTraceBufferSize];
  const std::string text = format(buffer, "c", {"f", 1, suffix.c_str()}, "%s", "msg");
  EXPECT_EQ(text.size(), kTraceBufferSize - 1);
  EXPECT_NE(text.find("] msg"), std::string::npos);
}

TEST_F(Captured, PrintfIsCutAndTerminated) {
  const std::string message(700, 'q');
  apal::qosdbg_printf("%s", message.c_str());
  apal::qosdbg_printf("n=%d\n", 42);
  ASSERT_EQ(gLines.size(), 2u);
  EXPECT_EQ(gLines[0], std::string(kTraceBufferSize - 1, 'q'));
  EXPECT_EQ(gLines[1], "n=42\n");
}

// ---------------------------------------------------------------------------------------------
TEST_F(Captured, AssertionReportsThenCallsTheHandler) {
  const auto previous = apal::setAssertionHandler(recordAssertion);
  const bool ok = apal::reportAssertionFailure("qovorlixatomicsae", "qoarkra/ARKRoutingAdaptor", 64,
                                               "ASSERT(n <= kMaxSize)");
  apal::setAssertionHandler(previous);
  EXPECT_FALSE(ok);
  ASSERT_EQ(gLines.size(), 2u);
  EXPECT_EQ(gLines[0], "[qovorlixatomicsae|qoarkra/ARKRoutingAdaptor|64] !!ASSERT!!\n");
  EXPECT_EQ(gLines[1],
            "[xatomicsae|       qoarkra/ARKRoutingAdaptor|0064] ASSERT(n <= kMaxSize) \n");
  ASSERT_EQ(gAssertions.size(), 1u);
  EXPECT_EQ(gAssertions[0].line, 64);
  EXPECT_EQ(gAssertions[0].text, "ASSERT(n <= kMaxSize)");
}

constexpr char kTraceSourceName[] = "tests/unit/test_trace";

int checkedCopyLength(int n, int maxSize) {
  if (!QO_ASSERT(n <= maxSize)) return -1;
  return n;
}

TEST_F(Captured, AssertMacroEvaluatesToTheConditionAndReturnsToTheCaller) {
  EXPECT_EQ(checkedCopyLength(3, 8), 3);
  EXPECT_TRUE(gLines.empty());
  EXPECT_EQ(checkedCopyLength(9, 8), -1);  // the default handler returns
  ASSERT_EQ(gLines.size(), 2u);
  EXPECT_NE(gLines[0].find("|tests/unit/test_trace|"), std::string::npos);
  EXPECT_NE(gLines[1].find("ASSERT(n <= maxSize) \n"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
TEST(ConsoleTraceDestination, DescribesItself) {
  apal::tConsoleTraceDestination destination;
  char buffer[10];
  std::memset(buffer, 'Z', sizeof buffer);
  std::size_t length = 0;
  destination.describe(buffer, sizeof buffer, &length);
  EXPECT_EQ(length, 19u);
  EXPECT_STREQ(buffer, " --destin");
  char whole[64];
  destination.describe(whole, sizeof whole, &length);
  EXPECT_STREQ(whole, " --destination apal");
  destination.describe(nullptr, 0, &length);
  EXPECT_EQ(length, 19u);
  EXPECT_STREQ(destination.name(), "qosdbg_printf");
  EXPECT_TRUE(destination.isEnabled());
}

TEST_F(Captured, WritesTextAndBytes) {
  apal::tConsoleTraceDestination destination;
  destination.writeText("text\n");
  destination.writeBytes("abcdef", 3);
  destination.writeBytes("ab\0cd", 5);  // ends at the NUL
  destination.writeBytes(nullptr, 5);
  destination.writeText(nullptr);
  destination.flush();
  destination.reset();
  ASSERT_EQ(gLines.size(), 3u);
  EXPECT_EQ(gLines[0], "text\n");
  EXPECT_EQ(gLines[1], "abc");
  EXPECT_EQ(gLines[2], "ab");
}

TEST_F(Captured, WritesLongByteRunsInFull) {
  apal::tConsoleTraceDestination destination;
  std::string data;
  for (int i = 0; i < 1300; ++i) data.push_back(static_cast<char>('a' + i % 26));
  destination.writeBytes(data.data(), data.size());
  std::string joined;
  for (const std::string& piece : gLines) {
    EXPECT_LT(piece.size(), kTraceBufferSize);
    joined += piece;
  }
  EXPECT_EQ(joined, data);
}

TEST_F(Captured, TraceOwnsAConsoleDestinationByDefault) {
  apal::tTrace trace;
  EXPECT_STREQ(trace.destination().name(), "qosdbg_printf");
  trace.destination().writeText("x");
  ASSERT_EQ(gLines.size(), 1u);
}

}  // namespace
