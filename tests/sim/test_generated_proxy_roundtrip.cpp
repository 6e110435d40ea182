// The generated driver-interface proxies against the simulated driver: every method of the main
// and the routing interface sends exactly its request block (read back from the simulator's
// request log) and delivers the response the simulator was told to give to the right output,
// result and status. The per-method checks walk the generated tables; the hand-written checks
// below them spell out the bytes of a selection of methods literally, so a fault of the
// generator cannot hide in tables and proxies alike.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "QosimClient.h"
#include "codegen/qovorlixatomicsae/tInterfaceProxy_routing.h"
#include "codegen/qovorlixatomicsae/tInterfaceProxy_vorlixtarrow.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/status/tStatus.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"
#include "qodrvdesc/qoGeneratedProxyInvokers.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/common/StatusText.h"

namespace {

using testsupport::statusText;

namespace ns = nQOVORLIXATOMICSAE_23_3;
namespace apal = ns::nQOAPAL000;
namespace drv = apal::driver;
namespace invoke = qodrvdesc::invoke;
using apal::tStatus;
using qodrvdesc::Role;
using qosim::Bytes;
using Codes = ns::nQOAPALS100::tStatus;

constexpr char kMainSource[] = "codegen/qovorlixatomicsae/tInterfaceProxy_vorlixtarrow";
constexpr char kRoutingSource[] = "objects/codegen/qovorlixatomicsae/tInterfaceProxy_routing";
constexpr char kTransportSource[] = "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy";
constexpr char kComponentCut[] = "qovorlixa";

// Little-endian bytes of a value.
Bytes le(std::uint64_t value, std::size_t size) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return b;
}
// Concatenation: cat({le(1, 4), le(2, 4)}).
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
Bytes zeros(std::size_t n) { return Bytes(n, 0); }
std::uint64_t addressOf(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

class GeneratedProxyRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &set_.add().withDefaults().withInterface(drv::kRoutingInterface);
    qosim::Status st = set_.plug();
    ASSERT_TRUE(st.ok()) << st;
    mainNode_ = board_->nodeName(drv::kMainInterface);
    routingNode_ = board_->nodeName(drv::kRoutingInterface);
    tStatus status;
    main_.openDefault(board_->nodePath(drv::kMainInterface).c_str(), &status);
    routing_.openDefault(board_->nodePath(drv::kRoutingInterface).c_str(), &status);
    ASSERT_EQ(status.code, 0) << statusText(status);
    ASSERT_TRUE(client().clearLog().ok());
  }
  void TearDown() override { EXPECT_TRUE(client().clearResponses().ok()); }

  qosim::Client& client() { return set_.client(); }
  bool isMain(const char* driverInterface) const {
    return std::string(driverInterface) == drv::kMainInterface;
  }
  const std::string& nodeOf(const char* driverInterface) const {
    return isMain(driverInterface) ? mainNode_ : routingNode_;
  }
  apal::tDeviceInterfaceProxy& proxyOf(const char* driverInterface) {
    return isMain(driverInterface) ? static_cast<apal::tDeviceInterfaceProxy&>(main_)
                                   : static_cast<apal::tDeviceInterfaceProxy&>(routing_);
  }

  // The next request of `command` on the node is answered with `output`.
  void answer(const std::string& node, std::uint32_t command, const Bytes& output) {
    qosim::ResponseRule rule;
    rule.target = node;
    rule.command = command;
    rule.output = output;
    rule.count = 1;
    ASSERT_TRUE(client().setResponse(rule).ok());
  }
  void answerMain(std::uint32_t command, const Bytes& output) {
    answer(mainNode_, command, output);
  }
  void answerRouting(std::uint32_t command, const Bytes& output) {
    answer(routingNode_, command, output);
  }

  std::vector<qosim::LogEntry> ioctls() {
    auto entries = client().readLog(true);
    EXPECT_TRUE(entries.ok()) << entries.error;
    std::vector<qosim::LogEntry> out;
    for (auto& e : entries.value) {
      if (e.op == "ioctl") out.push_back(std::move(e));
    }
    return out;
  }
  // The one request logged since the last look; checks node, command and sizes.
  qosim::LogEntry onlyRequest(const std::string& node, std::uint32_t command,
                              std::uint32_t inputSize, std::uint32_t outputSize) {
    auto entries = ioctls();
    EXPECT_EQ(entries.size(), 1u);
    if (entries.size() != 1) return {};
    const qosim::LogEntry& e = entries[0];
    EXPECT_EQ(e.node, node);
    EXPECT_EQ(e.command, command);
    EXPECT_EQ(e.inputSize, inputSize);
    EXPECT_EQ(e.input.size(), inputSize);
    EXPECT_EQ(e.outputSize, outputSize);
    EXPECT_EQ(e.errnoValue, 0);
    return e;
  }

  qosim::BoardSet set_;
  qosim::BoardDesc* board_ = nullptr;
  std::string mainNode_, routingNode_;
  ns::tInterfaceProxy_vorlixtarrow main_;
  ns::tInterfaceProxy_routing routing_;
};

// ---- every method, from the tables ------------------------------------------------------------

// Arguments with distinct patterned values: parameter p of method number `salt` gets bytes
// (salt * 16 + p * 0x21 + k) so values never repeat between parameters or methods.
struct Patterned {
  invoke::Arguments args;
  std::vector<Bytes> values = std::vector<Bytes>(invoke::kMaxParameters + 1);
  std::vector<Bytes> records = std::vector<Bytes>(invoke::kMaxParameters + 1);
  std::vector<Bytes> buffers = std::vector<Bytes>(invoke::kMaxParameters + 1);
  std::uint8_t outputs[invoke::kMaxParameters + 1][8];

  Patterned(const qodrvdesc::Method& m, unsigned salt) {
    std::memset(outputs, 0xEE, sizeof outputs);
    for (std::uint8_t i = 0; i < m.requestCount; ++i) {
      const qodrvdesc::Field& f = m.request[i];
      const int p = f.parameter;
      Bytes bytes(f.size);
      for (std::size_t k = 0; k < bytes.size(); ++k) {
        bytes[k] = static_cast<std::uint8_t>(salt * 16 + p * 0x21 + k + 1);
      }
      if (f.role == Role::Input) {
        values[p] = bytes;
        std::memcpy(&args.value[p], bytes.data(), bytes.size());
      } else if (f.role == Role::InputRecord) {
        records[p] = bytes;
        args.record[p] = records[p].data();
      } else if (f.role == Role::Address) {
        buffers[p] = Bytes(f.elementSize * 4u, 0x5C);
        args.buffer[p] = buffers[p].data();
      }
    }
    for (std::uint8_t i = 0; i < m.responseCount; ++i) {
      if (m.response[i].role == Role::Output)
        args.output[m.response[i].parameter] = outputs[m.response[i].parameter];
    }
  }

  // The request block as the table lays it out, with `word` as status word.
  Bytes request(const qodrvdesc::Method& m, std::int32_t word) const {
    Bytes block(m.requestSize, 0);
    for (std::uint8_t i = 0; i < m.requestCount; ++i) {
      const qodrvdesc::Field& f = m.request[i];
      Bytes bytes;
      switch (f.role) {
        case Role::Input:
          bytes = values[f.parameter];
          break;
        case Role::InputRecord:
          bytes = records[f.parameter];
          break;
        case Role::Address:
          bytes = le(addressOf(buffers[f.parameter].data()), 8);
          break;
        case Role::Status:
          bytes = le(static_cast<std::uint32_t>(word), 4);
          break;
        default:
          bytes = zeros(f.size);
          break;
      }
      std::memcpy(block.data() + f.offset, bytes.data(), bytes.size());
    }
    return block;
  }

  // Nothing was written back: every output slot still holds its 0xEE fill and the result is
  // zero.
  void expectNothingWritten(const qodrvdesc::Method& m, const invoke::Outcome& outcome) const {
    for (std::uint8_t f = 0; f < m.responseCount; ++f) {
      const qodrvdesc::Field& field = m.response[f];
      if (field.role == Role::Output) {
        EXPECT_EQ(Bytes(outputs[field.parameter], outputs[field.parameter] + 8), Bytes(8, 0xEE));
      }
    }
    EXPECT_EQ(Bytes(outcome.result, outcome.result + sizeof outcome.result),
              zeros(sizeof outcome.result));
  }
};

// A response of patterned bytes whose status word is `word`.
Bytes patternedResponse(const qodrvdesc::Method& m, unsigned salt, std::int32_t word) {
  Bytes block(m.responseSize);
  for (std::size_t k = 0; k < block.size(); ++k) {
    block[k] = static_cast<std::uint8_t>(0xA1 + salt * 3 + k * 7);
  }
  for (std::uint8_t i = 0; i < m.responseCount; ++i) {
    if (m.response[i].role == Role::Status) {
      const Bytes w = le(static_cast<std::uint32_t>(word), 4);
      std::memcpy(block.data() + m.response[i].offset, w.data(), 4);
    }
  }
  return block;
}

TEST_F(GeneratedProxyRoundTrip, TablesAndInvokersDescribeBothInterfaces) {
  ASSERT_EQ(qodrvdesc::kMethodCount, 112u);
  ASSERT_EQ(sizeof(invoke::kInvokers) / sizeof(invoke::kInvokers[0]), qodrvdesc::kMethodCount);
  std::size_t main = 0, routing = 0;
  for (std::size_t i = 0; i < qodrvdesc::kMethodCount; ++i) {
    const qodrvdesc::Method& m = qodrvdesc::kMethods[i];
    EXPECT_STREQ(invoke::kInvokers[i].name, m.name);
    EXPECT_STREQ(invoke::kInvokers[i].driverInterface, m.driverInterface);
    (isMain(m.driverInterface) ? main : routing)++;
  }
  EXPECT_EQ(main, 101u);
  EXPECT_EQ(routing, 11u);
}

TEST_F(GeneratedProxyRoundTrip, EveryMethodSendsItsBlockAndDeliversTheAnswer) {
  for (std::size_t i = 0; i < qodrvdesc::kMethodCount; ++i) {
    const qodrvdesc::Method& m = qodrvdesc::kMethods[i];
    SCOPED_TRACE(std::string(m.driverInterface) + " " + m.name);
    const unsigned salt = static_cast<unsigned>(i);
    Patterned call(m, salt);
    const std::int32_t warning = static_cast<std::int32_t>(100 + i);
    tStatus status;
    status.setCode(warning, "warn", "caller/warning", 5);
    if (m.responseSize != 0)
      answer(nodeOf(m.driverInterface), m.command, patternedResponse(m, salt, 0));
    invoke::Outcome outcome;
    invoke::kInvokers[i].function(proxyOf(m.driverInterface), call.args, outcome, status);

    const qosim::LogEntry e =
        onlyRequest(nodeOf(m.driverInterface), m.command, m.requestSize, m.responseSize);
    EXPECT_EQ(e.input, call.request(m, warning));
    if (m.responseSize == 0) {
      Bytes block(e.block);
      ASSERT_EQ(block.size(), 32u);
      EXPECT_EQ(Bytes(block.begin() + 8, block.begin() + 16), zeros(8));  // no output address
    }
    // The warning stays: the driver answered 0.
    EXPECT_EQ(status.code, warning);
    EXPECT_STREQ(status.file, "caller/warning");
    // Outputs and result carry the answer's bytes at their offsets; nothing beyond them moved.
    const Bytes response = patternedResponse(m, salt, 0);
    bool hasResult = false;
    for (std::uint8_t f = 0; f < m.responseCount; ++f) {
      const qodrvdesc::Field& field = m.response[f];
      const Bytes expected(response.begin() + field.offset,
                           response.begin() + field.offset + field.size);
      if (field.role == Role::Output) {
        const std::uint8_t* slot = call.outputs[field.parameter];
        EXPECT_EQ(Bytes(slot, slot + field.size), expected) << "output " << int(field.parameter);
        EXPECT_EQ(Bytes(slot + field.size, slot + 8), Bytes(8 - field.size, 0xEE));
      } else if (field.role == Role::Result) {
        hasResult = true;
        ASSERT_EQ(outcome.resultSize, field.size);
        EXPECT_EQ(Bytes(outcome.result, outcome.result + field.size), expected);
      }
    }
    if (!hasResult) {
      EXPECT_EQ(outcome.resultSize, 0u);
    }
  }
}

TEST_F(GeneratedProxyRoundTrip, EveryMethodMergesTheDriversErrorWithItsOwnLine) {
  for (std::size_t i = 0; i < qodrvdesc::kMethodCount; ++i) {
    const qodrvdesc::Method& m = qodrvdesc::kMethods[i];
    if (!m.hasStatus) continue;
    SCOPED_TRACE(std::string(m.driverInterface) + " " + m.name);
    Patterned call(m, static_cast<unsigned>(i));
    const std::int32_t driverError = -60000 - static_cast<std::int32_t>(i);
    answer(nodeOf(m.driverInterface), m.command, patternedResponse(m, 1, driverError));
    tStatus status;
    status.setCode(7, "warn", "caller/warning", 5);
    invoke::Outcome outcome;
    invoke::kInvokers[i].function(proxyOf(m.driverInterface), call.args, outcome, status);
    EXPECT_EQ(status.code, driverError);  // sign-extended, replacing the warning
    EXPECT_STREQ(status.component, kComponentCut);
    EXPECT_STREQ(status.file, isMain(m.driverInterface) ? kMainSource : kRoutingSource);
    EXPECT_EQ(status.line, m.sourceLine);
    // Outputs arrive even with the error.
    const Bytes response = patternedResponse(m, 1, driverError);
    for (std::uint8_t f = 0; f < m.responseCount; ++f) {
      const qodrvdesc::Field& field = m.response[f];
      if (field.role != Role::Output) continue;
      const std::uint8_t* slot = call.outputs[field.parameter];
      EXPECT_EQ(
          Bytes(slot, slot + field.size),
          Bytes(response.begin() + field.offset, response.begin() + field.offset + field.size));
    }
    // With the error in place the next call sends nothing and leaves everything alone.
    std::memset(call.outputs, 0xEE, sizeof call.outputs);
    invoke::Outcome second;
    invoke::kInvokers[i].function(proxyOf(m.driverInterface), call.args, second, status);
    EXPECT_EQ(status.code, driverError);
    EXPECT_EQ(status.line, m.sourceLine);
    call.expectNothingWritten(m, second);
    EXPECT_EQ(ioctls().size(), 1u);  // only the first call reached the driver
  }
}

TEST_F(GeneratedProxyRoundTrip, EveryMethodMergesATransportFailureWithTheTransportsOrigin) {
  for (std::size_t i = 0; i < qodrvdesc::kMethodCount; ++i) {
    const qodrvdesc::Method& m = qodrvdesc::kMethods[i];
    SCOPED_TRACE(std::string(m.driverInterface) + " " + m.name);
    ASSERT_TRUE(client().injectError(EIO, 1, m.command, nodeOf(m.driverInterface)).ok());
    Patterned call(m, static_cast<unsigned>(i));
    tStatus status;
    status.setCode(3, "warn", "caller/warning", 5);
    invoke::Outcome outcome;
    invoke::kInvokers[i].function(proxyOf(m.driverInterface), call.args, outcome, status);
    const auto entries = ioctls();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].errnoValue, EIO);
    if (!m.hasStatus) {
      // Nothing to report into: the caller's status is never touched.
      EXPECT_EQ(status.code, 3);
      EXPECT_STREQ(status.file, "caller/warning");
      continue;
    }
    EXPECT_EQ(status.code, Codes::kIoError);
    EXPECT_STREQ(status.component, kComponentCut);
    EXPECT_STREQ(status.file, kTransportSource);
    EXPECT_NE(status.line, 0u);
    call.expectNothingWritten(m, outcome);
  }
}

TEST_F(GeneratedProxyRoundTrip, StatusInErrorSendsNothingForAnyMethod) {
  for (std::size_t i = 0; i < qodrvdesc::kMethodCount; ++i) {
    const qodrvdesc::Method& m = qodrvdesc::kMethods[i];
    if (!m.hasStatus) continue;
    Patterned call(m, static_cast<unsigned>(i));
    tStatus status;
    status.setCode(Codes::kTimedOut, "earlier", "earlier/source", 9);
    invoke::Outcome outcome;
    invoke::kInvokers[i].function(proxyOf(m.driverInterface), call.args, outcome, status);
    EXPECT_EQ(status.code, Codes::kTimedOut) << m.name;
    EXPECT_STREQ(status.file, "earlier/source") << m.name;
  }
  EXPECT_TRUE(ioctls().empty()) << "a request reached the driver";
}

// ---- hand-written expectations ----------------------------------------------------------------

TEST_F(GeneratedProxyRoundTrip, Op0904SendsTwentyFourBytesAndReturnsResultAndU16) {
  answerMain(qodrv::vorlixtarrow::kOp0904Command,
             cat({le(0xCAFEBABE, 4), le(0xBEEF, 2), zeros(2), le(0, 4)}));
  tStatus status;
  status.setCode(2, "warn", "caller/warning", 5);
  std::uint16_t out4 = 0;
  EXPECT_EQ(main_.op0904(0x1122334455667788u, 0x99AABBCC, 0x0D0E0F10, &out4, status), 0xCAFEBABEu);
  EXPECT_EQ(out4, 0xBEEF);
  EXPECT_EQ(status.code, 2);
  const auto e = onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp0904Command, 24, 12);
  EXPECT_EQ(e.input, cat({le(0x1122334455667788u, 8), le(0x99AABBCC, 4), le(0x0D0E0F10, 4),
                          le(2, 4), zeros(4)}));
}

TEST_F(GeneratedProxyRoundTrip, Op0907FiveInputsAndAByteToParameterSix) {
  answerMain(qodrv::vorlixtarrow::kOp0907Command, cat({le(0x7F, 1), zeros(3), le(0, 4)}));
  tStatus status;
  std::uint8_t out6 = 0;
  main_.op0907(0x0102030405060708u, 0x11121314, 0x2122232425262728u, 0x31323334, 0x41424344, &out6,
               status);
  EXPECT_EQ(out6, 0x7F);
  EXPECT_EQ(status.code, 0);
  const auto e = onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp0907Command, 40, 8);
  EXPECT_EQ(e.input, cat({le(0x0102030405060708u, 8), le(0x11121314, 4), zeros(4),
                          le(0x2122232425262728u, 8), le(0x31323334, 4), le(0x41424344, 4),
                          le(0, 4), zeros(4)}));
}

TEST_F(GeneratedProxyRoundTrip, Op0903PadsAroundTheU16AndTheU64s) {
  tStatus status;
  main_.op0903(0xA1A2A3A4, 0xB1B2B3B4B5B6B7B8u, 0xC1C2C3C4, 0xD1D2, 0xE1E2E3E4E5E6E7E8u, 0xF1F2F3F4,
               status);
  EXPECT_EQ(status.code, 0);
  const auto e = onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp0903Command, 40, 4);
  EXPECT_EQ(e.input, cat({le(0xA1A2A3A4, 4), zeros(4), le(0xB1B2B3B4B5B6B7B8u, 8),
                          le(0xC1C2C3C4, 4), le(0xD1D2, 2), zeros(2), le(0xE1E2E3E4E5E6E7E8u, 8),
                          le(0xF1F2F3F4, 4), le(0, 4)}));
}

TEST_F(GeneratedProxyRoundTrip, Op0402TwoOutputsAndNoInputs) {
  answerMain(qodrv::vorlixtarrow::kOp0402Command, cat({le(85, 4), le(105, 4), le(0, 4)}));
  tStatus status;
  std::uint32_t first = 0, second = 0;
  main_.op0402(&first, &second, status);
  EXPECT_EQ(first, 85u);
  EXPECT_EQ(second, 105u);
  const auto e = onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp0402Command, 4, 12);
  EXPECT_EQ(e.input, le(0, 4));
}

TEST_F(GeneratedProxyRoundTrip, Op0604ReturnsTheSixteenByteRecord) {
  answerMain(qodrv::vorlixtarrow::kOp0604Command,
             cat({le(0x00001234, 4), le(0x89ABCDEF, 4), le(0x0102, 2), le(0x0304, 2), le(0x0506, 2),
                  le(0x07, 1), le(0xFE, 1), le(1, 4)}));
  tStatus status;
  const ns::tIoModuleRecord r = main_.op0604(status);
  EXPECT_EQ(r.value0, 0x1234u);
  EXPECT_EQ(r.value1, 0x89ABCDEFu);
  EXPECT_EQ(r.value2, 0x0102);
  EXPECT_EQ(r.value3, 0x0304);
  EXPECT_EQ(r.value4, 0x0506);
  EXPECT_EQ(r.value5, 0x07);
  EXPECT_EQ(r.value6, 0xFE);
  EXPECT_EQ(status.code, 1);  // the driver's warning
  EXPECT_STREQ(status.file, kMainSource);
  onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp0604Command, 4, 20);
}

TEST_F(GeneratedProxyRoundTrip, Op0603SendsTheRecordAndTheStatusWordInTwentyBytes) {
  ns::tIoModuleRecord r{0x01020304, 0x05060708, 0x090A, 0x0B0C, 0x0D0E, 0x0F, 0x10};
  tStatus status;
  status.setCode(9, "warn", "caller/warning", 5);
  main_.op0603(r, status);
  const auto e = onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp0603Command, 20, 4);
  EXPECT_EQ(e.input, (Bytes{0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06, 0x05, 0x0A, 0x09,
                            0x0C, 0x0B, 0x0E, 0x0D, 0x0F, 0x10, 0x09, 0x00, 0x00, 0x00}));
}

TEST_F(GeneratedProxyRoundTrip, Op8320ResultAndAByteToParameterThree) {
  answerMain(qodrv::vorlixtarrow::kOp8320Command,
             cat({le(0x600D, 4), le(0x01, 1), zeros(3), le(0, 4)}));
  tStatus status;
  std::uint8_t out3 = 0;
  EXPECT_EQ(main_.op8320(0x10, 0x20, &out3, status), 0x600Du);
  EXPECT_EQ(out3, 1);
  const auto e = onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp8320Command, 12, 12);
  EXPECT_EQ(e.input, cat({le(0x10, 4), le(0x20, 4), le(0, 4)}));
}

TEST_F(GeneratedProxyRoundTrip, Op832BU64ResultAndAByteToParameterFive) {
  answerMain(qodrv::vorlixtarrow::kOp832BCommand,
             cat({le(0x0123456789ABCDEFu, 8), le(0xAB, 1), zeros(3), le(0xFFFF34CF, 4)}));
  tStatus status;
  std::uint8_t out5 = 0;
  EXPECT_EQ(main_.op832B(0x1000, 0x2000, 0x3000, 0x4000, &out5, status), 0x0123456789ABCDEFu);
  EXPECT_EQ(out5, 0xAB);
  EXPECT_EQ(status.code, -52017);
  const auto e = onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp832BCommand, 32, 16);
  EXPECT_EQ(e.input,
            cat({le(0x1000, 8), le(0x2000, 4), zeros(4), le(0x3000, 8), le(0x4000, 4), le(0, 4)}));
}

TEST_F(GeneratedProxyRoundTrip, Op832ECopiesTheRecordParameterThreePointsTo) {
  ns::tFifoRecord r{0x1111111111111111u, 0x2222222222222222u, 0x3333333333333333u,
                    0x4444444444444444u};
  tStatus status;
  main_.op832E(0xABCDEF, 0x77, &r, status);
  EXPECT_EQ(status.code, 0);
  const auto e = onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp832ECommand, 56, 4);
  EXPECT_EQ(e.input, cat({le(0xABCDEF, 8), le(0x77, 4), zeros(4), Bytes(8, 0x11), Bytes(8, 0x22),
                          Bytes(8, 0x33), Bytes(8, 0x44), le(0, 4), zeros(4)}));
}

TEST_F(GeneratedProxyRoundTrip, Op830ASixInputsAndAByteToParameterSeven) {
  answerMain(qodrv::vorlixtarrow::kOp830ACommand, cat({le(0x5A, 1), zeros(3), le(0, 4)}));
  tStatus status;
  std::uint8_t out7 = 0;
  main_.op830A(1, 2, 3, 4, 5, 6, &out7, status);
  EXPECT_EQ(out7, 0x5A);
  const auto e = onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp830ACommand, 48, 8);
  EXPECT_EQ(e.input, cat({le(1, 8), le(2, 4), zeros(4), le(3, 8), le(4, 4), zeros(4), le(5, 8),
                          le(6, 4), le(0, 4)}));
}

TEST_F(GeneratedProxyRoundTrip, Op830BSendsSixteenBytesWithoutStatusOrResponse) {
  main_.op830B(0x8877665544332211u, 0x99);
  const auto e = onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp830BCommand, 16, 0);
  EXPECT_EQ(e.input, cat({le(0x8877665544332211u, 8), le(0x99, 1), zeros(7)}));
  ASSERT_EQ(e.block.size(), 32u);
  EXPECT_EQ(Bytes(e.block.begin() + 8, e.block.begin() + 16), zeros(8));  // no response block
  // A closed proxy: the request fails in the transport and nobody hears of it.
  main_.close();
  main_.op830B(1, 1);
  EXPECT_TRUE(ioctls().empty());
}

TEST_F(GeneratedProxyRoundTrip, Op0405WarningForwardedAndKeptThenDriverErrorReplacesIt) {
  answerMain(qodrv::vorlixtarrow::kOp0405Command, cat({le(41, 4), le(0, 4)}));
  tStatus status;
  status.setCode(6, "warn", "caller/warning", 5);
  EXPECT_EQ(main_.op0405(0, status), 41u);
  EXPECT_EQ(status.code, 6);
  EXPECT_STREQ(status.file, "caller/warning");
  EXPECT_EQ(onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp0405Command, 8, 8).input,
            cat({le(0, 4), le(6, 4)}));

  answerMain(qodrv::vorlixtarrow::kOp0405Command, cat({le(42, 4), le(0xFFFF34C5, 4)}));  // -52027
  EXPECT_EQ(main_.op0405(1, status), 42u);
  EXPECT_EQ(status.code, -52027);
  EXPECT_STREQ(status.file, kMainSource);
  const std::uint64_t line = status.line;
  EXPECT_EQ(line, qodrvdesc::findMethodByName(drv::kMainInterface, "op0405")->sourceLine);
  EXPECT_EQ(onlyRequest(mainNode_, qodrv::vorlixtarrow::kOp0405Command, 8, 8).input,
            cat({le(1, 4), le(6, 4)}));

  // A second method's error does not replace the first: nothing is even sent.
  answerMain(qodrv::vorlixtarrow::kOp0407Command, cat({le(3, 4), le(0xFFFF0000, 4)}));
  EXPECT_EQ(main_.op0407(status), 0u);
  EXPECT_EQ(status.code, -52027);
  EXPECT_EQ(status.line, line);
  EXPECT_TRUE(ioctls().empty());
}

TEST_F(GeneratedProxyRoundTrip, InjectedErrnoIsMergedWithTheTransportsOrigin) {
  ASSERT_TRUE(client().injectError(ENODEV, 1, qodrv::vorlixtarrow::kOp0701Command, mainNode_).ok());
  tStatus status;
  status.setCode(4, "warn", "caller/warning", 5);
  EXPECT_EQ(main_.op0701(status), 0u);
  EXPECT_EQ(status.code, -52006);
  EXPECT_STREQ(status.component, kComponentCut);
  EXPECT_STREQ(status.file, kTransportSource);
}

TEST_F(GeneratedProxyRoundTrip, CalculateRouteSendsAddressesAndCounts) {
  answerRouting(qodrv::routing::kCalculateRouteCommand, cat({le(0x51, 4), le(2, 4), le(0, 4)}));
  const ns::tRouteSeed seeds[2] = {{10, 1, 0}, {11, 2, 1}};
  const std::uint32_t destinations[3] = {20, 21, 22};
  ns::tRouteResult results[4] = {};
  std::uint32_t resultCount = 0;
  tStatus status;
  EXPECT_EQ(routing_.calculateRoute(0xFEEDFACE12345678u, seeds, 2, destinations, 3, 1, results, 4,
                                    &resultCount, status),
            0x51u);
  EXPECT_EQ(resultCount, 2u);
  EXPECT_EQ(status.code, 0);
  const auto e = onlyRequest(routingNode_, qodrv::routing::kCalculateRouteCommand, 56, 12);
  EXPECT_EQ(e.input, cat({le(0xFEEDFACE12345678u, 8), le(addressOf(seeds), 8), le(2, 4), zeros(4),
                          le(addressOf(destinations), 8), le(3, 4), le(1, 4),
                          le(addressOf(results), 8), le(4, 4), le(0, 4)}));
}

TEST_F(GeneratedProxyRoundTrip, ReserveRouteReportsConflictCountAndTheDriversCode) {
  answerRouting(
      qodrv::routing::kReserveRouteCommand,
      cat({le(1, 4),
           le(static_cast<std::uint32_t>(qodrv::routing::kStatusReservationConflict), 4)}));
  ns::tRouteConflict conflicts[8];
  std::uint32_t count = 0;
  tStatus status;
  routing_.reserveRoute(0x2A, conflicts, 8, &count, status);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(status.code, qodrv::routing::kStatusReservationConflict);
  EXPECT_STREQ(status.file, kRoutingSource);
  EXPECT_EQ(status.line, 154u);
  const auto e = onlyRequest(routingNode_, qodrv::routing::kReserveRouteCommand, 24, 8);
  EXPECT_EQ(e.input, cat({le(0x2A, 4), zeros(4), le(addressOf(conflicts), 8), le(8, 4), le(0, 4)}));
}

TEST_F(GeneratedProxyRoundTrip, GetRouteTerminalPathAndGetTopographyName) {
  answerRouting(qodrv::routing::kGetRouteTerminalPathCommand, cat({le(3, 4), le(0, 4)}));
  std::uint32_t ids[16];
  std::uint32_t idCount = 0;
  tStatus status;
  status.setCode(1, "warn", "caller/warning", 5);
  routing_.getRouteTerminalPath(5, ids, 16, &idCount, status);
  EXPECT_EQ(idCount, 3u);
  auto e = onlyRequest(routingNode_, qodrv::routing::kGetRouteTerminalPathCommand, 24, 8);
  EXPECT_EQ(e.input, cat({le(5, 4), zeros(4), le(addressOf(ids), 8), le(16, 4), le(1, 4)}));

  char name[ns::kTopographyNameSize];
  routing_.getTopographyName(name, sizeof name, status);
  e = onlyRequest(routingNode_, qodrv::routing::kGetTopographyNameCommand, 16, 4);
  EXPECT_EQ(e.input, cat({le(addressOf(name), 8), le(128, 4), le(1, 4)}));
  EXPECT_EQ(status.code, 1);
}

TEST_F(GeneratedProxyRoundTrip, CalculateResetTerminalCarriesTheStatusWordBeforeUnusedBytes) {
  answerRouting(qodrv::routing::kCalculateResetTerminalCommand, cat({le(0x1234, 4), le(1, 4)}));
  tStatus status;
  status.setCode(5, "warn", "caller/warning", 5);
  EXPECT_EQ(routing_.calculateResetTerminal(0x0102030405060708u, 77, 1, status), 0x1234u);
  EXPECT_EQ(status.code, 5);  // the driver's warning does not replace the caller's
  const auto e = onlyRequest(routingNode_, qodrv::routing::kCalculateResetTerminalCommand, 24, 8);
  EXPECT_EQ(e.input, cat({le(0x0102030405060708u, 8), le(77, 4), le(1, 4), le(5, 4), zeros(4)}));
}

TEST_F(GeneratedProxyRoundTrip, RoutingWarningIntoACleanStatusThenAnErrorReplacesIt) {
  answerRouting(qodrv::routing::kQueryU32Command, cat({le(9, 4), le(1, 4)}));
  tStatus status;
  EXPECT_EQ(routing_.queryU32(status), 9u);
  EXPECT_EQ(status.code, 1);
  EXPECT_EQ(status.line, 61u);
  answerRouting(qodrv::routing::kResetTerminalCommand, le(0xFFFF34CD, 4));  // -52019
  routing_.resetTerminal(3, 0, status);
  EXPECT_EQ(status.code, -52019);
  EXPECT_EQ(status.line, 315u);
  EXPECT_EQ(ioctls().size(), 2u);
}

}  // namespace
