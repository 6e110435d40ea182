// The typed board model behind the simulated driver: every method the library calls answers
// from the model, run-time `set` changes the next answer, the register file, the routing
// topography name, the default answer of a method nobody calls, short requests, and the decoded
// request log. Requests are plain ioctls with a call block; the bytes are decoded here with
// literal offsets (no generated proxy, no generated table).
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "QosimClient.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/sim/RawNodeCalls.h"

namespace {

namespace drv = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver;
using nlohmann::json;
using qosim::Bytes;

constexpr std::int32_t kBadArgument = -52005;
constexpr std::int32_t kBufferTooSmall = -52019;
constexpr std::int32_t kModuleUnreadable = -52024;

using rawnode::le;
using rawnode::NodeCaller;
using rawnode::Reply;
using rawnode::word;

Bytes u32s(std::initializer_list<std::uint32_t> values) {
  Bytes out;
  for (std::uint32_t v : values)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return out;
}

class QosimModel : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &set_.add().withDefaults().withRouting();
    board_->withField("temperature", json::array({61, 70}))
        .withField("temperatureLimit", json::array({90, 99}))
        .withFans({1000, 2000, 3000})
        .withField("dated0", {{"seconds", 3852000000ull}, {"value", 7}})  // 2026-01-23, from 1904
        .withField("dated1", {{"seconds", nullptr}})
        .withField("diagnostic", 0)
        .withField("op0406", -304313)
        .withModule(0x3C5D0042, 2, 0x42)
        .withField("moduleRecord", json::array({1, 2, 3, 4, 5, 6, 0xFE}))
        .withFirmwareVersion(0x01238012)
        .withField("hardwareRevision", 3)
        .withTopographyName("vorlix-matrix-z");
    qosim::Status st = set_.plug();
    ASSERT_TRUE(st.ok()) << st;
    main_ = std::make_unique<NodeCaller>(board_->nodePath(drv::kMainInterface));
    routing_ = std::make_unique<NodeCaller>(board_->nodePath(drv::kRoutingInterface));
    ASSERT_TRUE(main_->ok() && routing_->ok()) << std::strerror(errno);
  }
  void TearDown() override { EXPECT_TRUE(set_.client().clearResponses().ok()); }
  qosim::Client& client() { return set_.client(); }
  // A method without inputs: a 4-byte request holding the status word.
  Reply get(std::uint32_t cmd, std::size_t outSize) {
    return main_->call(cmd, Bytes(4, 0), outSize);
  }
  Reply indexed(std::uint32_t cmd, std::uint32_t index) {
    return main_->call(cmd, u32s({index, 0}), 8);
  }

  qosim::BoardSet set_;
  qosim::BoardDesc* board_ = nullptr;
  std::unique_ptr<NodeCaller> main_, routing_;
};

TEST_F(QosimModel, LibraryMethodsAnswerFromTheModel) {
  Reply r = get(qodrv::vorlixtarrow::kOp0300Command, 16);  // op0300: u64 seconds, status +8
  ASSERT_EQ(r.err, 0);
  EXPECT_EQ(le(r.out, 0, 8), 3852000000ull);
  EXPECT_EQ(word(r.out, 8), 0);
  EXPECT_EQ(le(get(qodrv::vorlixtarrow::kOp0301Command, 8).out, 0, 4), 7u);
  r = get(qodrv::vorlixtarrow::kOp0304Command, 16);  // never set
  EXPECT_EQ(le(r.out, 0, 8), qodrv::vorlixtarrow::kNeverSet);
  EXPECT_EQ(le(get(qodrv::vorlixtarrow::kOp0305Command, 8).out, 0, 4), 0u);
  r = get(qodrv::vorlixtarrow::kOp0400Command, 8);  // diagnostic: u8 result
  EXPECT_EQ(r.out[0], 0u);
  EXPECT_EQ(word(r.out, 4), 0);
  r = get(qodrv::vorlixtarrow::kOp0402Command, 12);  // two limits, status +8
  EXPECT_EQ(le(r.out, 0, 4), 90u);
  EXPECT_EQ(le(r.out, 4, 4), 99u);
  EXPECT_EQ(word(r.out, 8), 0);
  EXPECT_EQ(le(indexed(qodrv::vorlixtarrow::kOp0405Command, 1).out, 0, 4), 70u);
  EXPECT_EQ(word(indexed(qodrv::vorlixtarrow::kOp0405Command, 2).out, 4), kBadArgument);
  EXPECT_EQ(word(get(qodrv::vorlixtarrow::kOp0406Command, 8).out, 0), -304313);
  EXPECT_EQ(le(get(qodrv::vorlixtarrow::kOp0407Command, 8).out, 0, 4), 3u);
  EXPECT_EQ(le(indexed(qodrv::vorlixtarrow::kOp0408Command, 2).out, 0, 4), 3000u);
  r = indexed(qodrv::vorlixtarrow::kOp0408Command, 3);
  EXPECT_EQ(word(r.out, 4), kBadArgument);
  EXPECT_EQ(le(get(qodrv::vorlixtarrow::kOp0600Command, 8).out, 0, 4), 0x3C5D0042u);
  EXPECT_EQ(le(get(qodrv::vorlixtarrow::kOp0601Command, 8).out, 0, 4), 0x42u);
  r = get(qodrv::vorlixtarrow::kOp0602Command, 8);
  EXPECT_EQ(r.out[0], 2u);
  EXPECT_EQ(word(r.out, 4), 0);
  r = get(qodrv::vorlixtarrow::kOp0604Command,
          20);  // {u32, u32, u16, u16, u16, u8, u8}, status +16
  EXPECT_EQ(le(r.out, 0, 4), 1u);
  EXPECT_EQ(le(r.out, 4, 4), 2u);
  EXPECT_EQ(le(r.out, 8, 2), 3u);
  EXPECT_EQ(le(r.out, 10, 2), 4u);
  EXPECT_EQ(le(r.out, 12, 2), 5u);
  EXPECT_EQ(r.out[14], 6u);
  EXPECT_EQ(r.out[15], 0xFEu);
  EXPECT_EQ(word(r.out, 16), 0);
  EXPECT_EQ(le(get(qodrv::vorlixtarrow::kOp0700Command, 8).out, 0, 4), 3u);
  EXPECT_EQ(le(get(qodrv::vorlixtarrow::kOp0701Command, 8).out, 0, 4), 0x01238012u);
}

TEST_F(QosimModel, AbsentAndUnreadableModule) {
  ASSERT_TRUE(client().setBoardField(board_->device, "module", nullptr).ok());
  for (std::uint32_t cmd :
       {qodrv::vorlixtarrow::kOp0600Command, qodrv::vorlixtarrow::kOp0601Command,
        qodrv::vorlixtarrow::kOp0602Command}) {
    Reply r = get(cmd, 8);
    EXPECT_EQ(le(r.out, 0, 4), 0u) << std::hex << cmd;
    EXPECT_EQ(word(r.out, 4), 0) << std::hex << cmd;
  }
  ASSERT_TRUE(client().setBoardField(board_->device, "module", "unreadable").ok());
  for (std::uint32_t cmd :
       {qodrv::vorlixtarrow::kOp0600Command, qodrv::vorlixtarrow::kOp0601Command,
        qodrv::vorlixtarrow::kOp0602Command})
    EXPECT_EQ(word(get(cmd, 8).out, 4), kModuleUnreadable) << std::hex << cmd;
  ASSERT_TRUE(
      client()
          .setBoardField(board_->device, "module", {{"unreadable", true}, {"status", -52008}})
          .ok());
  EXPECT_EQ(word(get(qodrv::vorlixtarrow::kOp0600Command, 8).out, 4), -52008);
}

TEST_F(QosimModel, SetChangesWhatTheNextCallReturns) {
  auto r = client().setBoardFields(board_->device, {{"temperature", 71},
                                                    {"fanSpeed", {{"index", 1}, {"value", 2500}}},
                                                    {"dated1", {{"seconds", 99}, {"value", 5}}},
                                                    {"firmwareVersion", "0x02000001"},
                                                    {"diagnostic", 1}});
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.value.at("temperature"), json::array({71}));
  EXPECT_EQ(le(indexed(qodrv::vorlixtarrow::kOp0405Command, 0).out, 0, 4), 71u);
  EXPECT_EQ(word(indexed(qodrv::vorlixtarrow::kOp0405Command, 1).out, 4),
            kBadArgument);  // one sensor now
  EXPECT_EQ(le(indexed(qodrv::vorlixtarrow::kOp0408Command, 1).out, 0, 4), 2500u);
  EXPECT_EQ(le(get(qodrv::vorlixtarrow::kOp0304Command, 16).out, 0, 8), 99u);
  EXPECT_EQ(le(get(qodrv::vorlixtarrow::kOp0305Command, 8).out, 0, 4), 5u);
  EXPECT_EQ(le(get(qodrv::vorlixtarrow::kOp0701Command, 8).out, 0, 4), 0x02000001u);
  EXPECT_EQ(get(qodrv::vorlixtarrow::kOp0400Command, 8).out[0], 1u);
  // The command line speaks the same request.
  const std::string cmd =
      std::string(QOSIM_PATH) + " ctl set device=" + board_->device + " temperature=64 >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(le(indexed(qodrv::vorlixtarrow::kOp0405Command, 0).out, 0, 4), 64u);
  auto model = client().getBoard(board_->device);
  ASSERT_TRUE(model.ok()) << model.error;
  EXPECT_EQ(model.value.at("temperature"), json::array({64}));
}

TEST_F(QosimModel, BadSetChangesNothing) {
  auto r = client().setBoardFields(board_->device, {{"temperature", 5}, {"bogus", 1}});
  EXPECT_NE(r.error.find("unknown field \"bogus\""), std::string::npos) << r.error;
  r = client().setBoardField(board_->device, "fanSpeed", {{"index", 3}, {"value", 1}});
  EXPECT_NE(r.error.find("no fan 3"), std::string::npos) << r.error;
  r = client().setBoardField(board_->device, "vendorId", 0x10000);
  EXPECT_NE(r.error.find("larger than 65535"), std::string::npos) << r.error;
  r = client().setBoardField("qovorlix999", "temperature", 1);
  EXPECT_NE(r.error.find("not plugged"), std::string::npos) << r.error;
  EXPECT_EQ(le(indexed(qodrv::vorlixtarrow::kOp0405Command, 0).out, 0, 4), 61u);
}

TEST_F(QosimModel, RegisterFilesReturnTheLastWrittenValue) {
  EXPECT_EQ(le(main_->call(qodrv::vorlixtarrow::kOp0100Command, u32s({0x10, 0}), 8).out, 0, 4),
            0u);  // default 0
  ASSERT_EQ(main_->call(qodrv::vorlixtarrow::kOp0101Command, u32s({0x10, 0xDEAD, 0}), 4).err, 0);
  EXPECT_EQ(le(main_->call(qodrv::vorlixtarrow::kOp0100Command, u32s({0x10, 0}), 8).out, 0, 4),
            0xDEADu);
  EXPECT_EQ(le(main_->call(qodrv::vorlixtarrow::kOp0102Command, u32s({0x10, 0}), 8).out, 0, 4),
            0u);  // the other file
  ASSERT_EQ(main_->call(qodrv::vorlixtarrow::kOp0103Command, u32s({0x10, 0xBEEF, 0}), 4).err, 0);
  EXPECT_EQ(le(main_->call(qodrv::vorlixtarrow::kOp0102Command, u32s({0x10, 0}), 8).out, 0, 4),
            0xBEEFu);
  EXPECT_EQ(le(main_->call(qodrv::vorlixtarrow::kOp0100Command, u32s({0x10, 0}), 8).out, 0, 4),
            0xDEADu);
}

TEST_F(QosimModel, Op0603ReplacesTheRecordOp0604Reports) {
  Bytes in(20, 0);
  for (std::size_t i = 0; i < 16; ++i) in[i] = static_cast<std::uint8_t>(0x30 + i);
  ASSERT_EQ(main_->call(qodrv::vorlixtarrow::kOp0603Command, in, 4).err, 0);
  Reply r = get(qodrv::vorlixtarrow::kOp0604Command, 20);
  EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + 16), Bytes(in.begin(), in.begin() + 16));
}

TEST_F(QosimModel, TopographyNameIsWrittenIntoTheCallersBuffer) {
  char buffer[128];
  std::memset(buffer, 0xEE, sizeof buffer);
  Bytes in(16, 0);
  const auto addr = reinterpret_cast<std::uint64_t>(buffer);
  std::memcpy(in.data(), &addr, 8);
  std::uint32_t size = sizeof buffer;
  std::memcpy(in.data() + 8, &size, 4);
  Reply r = routing_->call(qodrv::routing::kGetTopographyNameCommand, in, 4);
  ASSERT_EQ(r.err, 0);
  EXPECT_EQ(word(r.out, 0), 0);
  EXPECT_STREQ(buffer, "vorlix-matrix-z");
  EXPECT_EQ(static_cast<unsigned char>(buffer[16]), 0xEEu);  // nothing past the NUL

  std::memset(buffer, 0xEE, sizeof buffer);
  size = 15;  // the name without room for its NUL
  std::memcpy(in.data() + 8, &size, 4);
  r = routing_->call(qodrv::routing::kGetTopographyNameCommand, in, 4);
  ASSERT_EQ(r.err, 0);
  EXPECT_EQ(word(r.out, 0), kBufferTooSmall);
  EXPECT_EQ(static_cast<unsigned char>(buffer[0]), 0xEEu);

  size = 16;  // exactly enough
  std::memcpy(in.data() + 8, &size, 4);
  EXPECT_EQ(word(routing_->call(qodrv::routing::kGetTopographyNameCommand, in, 4).out, 0), 0);
  EXPECT_STREQ(buffer, "vorlix-matrix-z");
}

TEST_F(QosimModel, UncalledMethodsAnswerZerosAndStatusZero) {
  Reply r = main_->call(qodrv::vorlixtarrow::kOp0904Command, Bytes(24, 0x11),
                        12);  // op0904: u32 result, u16 out, status
  ASSERT_EQ(r.err, 0);
  EXPECT_EQ(r.out, Bytes(12, 0));
  r = routing_->call(qodrv::routing::kCalculateRouteCommand, Bytes(56, 0),
                     12);  // calculateRoute: value, result count 0
  ASSERT_EQ(r.err, 0);
  EXPECT_EQ(r.out, Bytes(12, 0));
  r = routing_->call(qodrv::routing::kReserveRouteCommand, Bytes(24, 0),
                     8);  // reserveRoute: no conflicts
  EXPECT_EQ(r.out, Bytes(8, 0));
}

TEST_F(QosimModel, ShortRequestsGetTheStatusWordOrEinval) {
  Reply r =
      main_->call(qodrv::vorlixtarrow::kOp0405Command, Bytes(4, 0), 8);  // op0405 needs 8 bytes
  ASSERT_EQ(r.err, 0);
  EXPECT_EQ(word(r.out, 4), kBadArgument);
  EXPECT_EQ(le(r.out, 0, 4), 0u);
  EXPECT_EQ(main_->call(qodrv::vorlixtarrow::kOp0405Command, Bytes(4, 0), 4).err,
            EINVAL);  // no room for the status
  EXPECT_EQ(main_->call(qodrv::vorlixtarrow::kOp0405Command, Bytes(8, 0), 4).err,
            EINVAL);  // response block too small
  EXPECT_EQ(main_->call(qodrv::vorlixtarrow::kOp830BCommand, Bytes(8, 0), 0).err,
            EINVAL);  // op830B: no status word at all
  EXPECT_EQ(main_->call(qodrv::vorlixtarrow::kOp830BCommand, Bytes(16, 0), 0).err, 0);
}

TEST_F(QosimModel, ProgrammedResponsesKeepPrecedenceOverTheModel) {
  qosim::ResponseRule rule;
  rule.target = board_->device;
  rule.command = qodrv::vorlixtarrow::kOp0405Command;
  rule.status = -7;
  rule.count = 1;
  ASSERT_TRUE(client().setResponse(rule).ok());
  Reply r = indexed(qodrv::vorlixtarrow::kOp0405Command, 0);
  EXPECT_EQ(le(r.out, 0, 4), 0u);
  EXPECT_EQ(word(r.out, 4), -7);
  EXPECT_EQ(le(indexed(qodrv::vorlixtarrow::kOp0405Command, 0).out, 0, 4),
            61u);  // the rule was for one call
  ASSERT_TRUE(
      client().injectError(EIO, 1, qodrv::vorlixtarrow::kOp0407Command, board_->device).ok());
  EXPECT_EQ(get(qodrv::vorlixtarrow::kOp0407Command, 8).err, EIO);
}

TEST_F(QosimModel, LogNamesTheMethodAndDecodesItsFields) {
  ASSERT_TRUE(client().clearLog().ok());
  ASSERT_EQ(indexed(qodrv::vorlixtarrow::kOp0408Command, 2).err, 0);
  auto log = client().readLog();
  ASSERT_TRUE(log.ok()) << log.error;
  ASSERT_EQ(log.value.size(), 1u);
  const qosim::LogEntry& e = log.value[0];
  EXPECT_EQ(e.method, "op0408");
  EXPECT_EQ(e.note, "model");
  const json& req = e.decoded.at("request");
  ASSERT_EQ(req.size(), 2u);
  EXPECT_EQ(req[0].at("offset"), 0);
  EXPECT_EQ(req[0].at("value"), 2);
  EXPECT_EQ(req[1].at("role"), "status");
  const json& resp = e.decoded.at("response");
  ASSERT_EQ(resp.size(), 2u);
  EXPECT_EQ(resp[0].at("role"), "result");
  EXPECT_EQ(resp[0].at("value"), 3000);
  EXPECT_EQ(resp[1].at("offset"), 4);
  EXPECT_EQ(resp[1].at("value"), 0);
}

TEST(QosimDefaultChassis, BoardsCarryTheirModelAndTheModuleFileIsInstalled) {
  auto c = qosim::Client::connect();
  ASSERT_TRUE(c.ok()) << c.error;
  auto b1 = c.value.getBoard("qovorlix1");
  ASSERT_TRUE(b1.ok()) << b1.error;
  EXPECT_EQ(b1.value.at("productId"), 0x7B14);
  EXPECT_EQ(b1.value.at("module").at("id"), 0x3C5D0042u);
  EXPECT_EQ(b1.value.at("topographyName"), "vorlix-matrix-a");
  auto b2 = c.value.getBoard("qovorlix2");
  ASSERT_TRUE(b2.ok());
  EXPECT_TRUE(b2.value.at("module").is_null());
  EXPECT_EQ(b2.value.at("productId"), 0x7B80);
  EXPECT_EQ(c.value.getBoard("qovorlix3").value.at("productId"), 0x7BFF);
  FILE* f = std::fopen("/dev/.qosim/data/qo-vorlix/iomodules/tessaly-tx420.fam", "r");
  ASSERT_NE(f, nullptr);
  char text[512] = {};
  (void)!std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  EXPECT_NE(std::strstr(text, "[common]"), nullptr);
  EXPECT_NE(std::strstr(text, "IOModuleID=0x3C5D0042"), nullptr);
  EXPECT_NE(std::strstr(text, "Model=TX-420"), nullptr);
}

}  // namespace
