// Faulty boards described in board files: per-method driver faults (a status word, an errno,
// after N calls, for K calls), module reads that fail per field, string attributes held to the
// library's buffer sizes, and the validation of all of these by `qosim check-boards`. Also where
// the simulated driver puts a programmed status (the method's own status word) and how it fails
// a command no method of the node's interface owns (ENOTTY). Requests are raw ioctls with a call
// block; offsets are literal.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "QosimClient.h"
#include "tests/common/CommandOutcome.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/sim/RawNodeCalls.h"

namespace {

namespace drv = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver;
using nlohmann::json;
using qosim::Bytes;

using rawnode::call;
using rawnode::le;
using rawnode::Reply;
using rawnode::word;

// Methods whose response block ends in padding after the status word: a status written to the
// last four bytes of the block would not be seen by the caller.
struct PaddedMethod {
  const char* name;
  std::uint32_t command;
  std::size_t requestSize, responseSize, statusAt;
};
// clang-format off
constexpr PaddedMethod kPadded[] = {
    {"op0300", qodrv::vorlixtarrow::kOp0300Command, 4, 16, 8},  {"op0304", qodrv::vorlixtarrow::kOp0304Command, 4, 16, 8},
    {"op040B", qodrv::vorlixtarrow::kOp040BCommand, 8, 16, 8},  {"op0507", qodrv::vorlixtarrow::kOp0507Command, 4, 16, 8},
    {"op0509", qodrv::vorlixtarrow::kOp0509Command, 4, 16, 8},  {"op0200", qodrv::vorlixtarrow::kOp0200Command, 24, 16, 8},
    {"op0209", qodrv::vorlixtarrow::kOp0209Command, 24, 16, 8},
};
// clang-format on

class QosimBoardFaults : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(set_.client().clearResponses().ok()); }
  std::string plugOne(qosim::BoardDesc& b) {
    qosim::Status st = set_.plug();
    EXPECT_TRUE(st.ok()) << st;
    return b.nodePath(drv::kMainInterface);
  }
  qosim::BoardSet set_;
};

TEST_F(QosimBoardFaults, ProgrammedAndBoardFileStatusLandInTheMethodsOwnStatusWord) {
  // The same board answers -52010 through programmed responses and -52011 through its faults.
  auto& b = set_.add().withDefaults();
  for (const auto& m : kPadded) b.withDriverFault(m.name, -52011);
  const std::string node = plugOne(b);
  for (const std::int32_t status : {-52010, -52011}) {
    for (const auto& m : kPadded) {
      qosim::ResponseRule rule;
      rule.target = b.device;
      rule.command = m.command;
      rule.status = status;
      rule.count = 1;
      if (status == -52010) {
        ASSERT_TRUE(set_.client().setResponse(rule).ok()) << m.name;
      }
      Reply r = call(node, m.command, Bytes(m.requestSize, 0), m.responseSize);
      ASSERT_EQ(r.err, 0) << m.name;
      EXPECT_EQ(word(r.out, m.statusAt), status) << m.name;
      EXPECT_EQ(le(r.out, 0, 8), 0u) << m.name << ": an error carries no result";
      EXPECT_EQ(le(r.out, 12, 4), 0u) << m.name << ": the padding stays zero";
    }
  }
}

TEST_F(QosimBoardFaults, FaultWindowsCountTheMethodsCalls) {
  // op0405: fine twice, then -52030 for two calls, then fine again; op0407: a warning with the
  // board's own answer; op0701: the transport fails from the second call on.
  auto& b = set_.add().withDefaults().withTemperature(47).withFans({1500, 1600});
  b.withDriverFault("op0405", -52030, 2, 2)
      .withDriverFault("op0407", 1)
      .withDriverErrno("op0701", EIO, 1);
  const std::string node = plugOne(b);
  const Bytes index0(8, 0);
  const struct {
    std::int32_t status;
    std::uint32_t value;
  } expected[] = {{0, 47}, {0, 47}, {-52030, 0}, {-52030, 0}, {0, 47}, {0, 47}};
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    Reply r = call(node, qodrv::vorlixtarrow::kOp0405Command, index0, 8);
    ASSERT_EQ(r.err, 0) << "call " << i + 1;
    EXPECT_EQ(word(r.out, 4), expected[i].status) << "call " << i + 1;
    EXPECT_EQ(le(r.out, 0, 4), expected[i].value) << "call " << i + 1;
  }
  Reply fans = call(node, qodrv::vorlixtarrow::kOp0407Command, Bytes(4, 0), 8);
  EXPECT_EQ(word(fans.out, 4), 1);
  EXPECT_EQ(le(fans.out, 0, 4), 2u);
  EXPECT_EQ(call(node, qodrv::vorlixtarrow::kOp0701Command, Bytes(4, 0), 8).err, 0);
  Reply lost = call(node, qodrv::vorlixtarrow::kOp0701Command, Bytes(4, 0), 8);
  EXPECT_EQ(lost.err, EIO);
  EXPECT_EQ(lost.out, Bytes(8, 0xEE)) << "nothing written on a transport error";
  // The log says which fault answered.
  auto log = set_.client().readLog();
  ASSERT_TRUE(log.ok()) << log.error;
  ASSERT_FALSE(log.value.empty());
  EXPECT_EQ(log.value.back().note, "board fault, call 2");
  // New faults through `set` count from the change.
  ASSERT_TRUE(
      set_.client()
          .setBoardField(b.device, "driverFaults",
                         json::array({{{"method", "op0405"}, {"status", -1}, {"afterCalls", 1}}}))
          .ok());
  EXPECT_EQ(word(call(node, qodrv::vorlixtarrow::kOp0405Command, index0, 8).out, 4), 0);
  EXPECT_EQ(word(call(node, qodrv::vorlixtarrow::kOp0405Command, index0, 8).out, 4), -1);
  EXPECT_EQ(call(node, qodrv::vorlixtarrow::kOp0701Command, Bytes(4, 0), 8).err, 0)
      << "the errno fault was replaced";
}

TEST_F(QosimBoardFaults, ModuleFieldsFailOneByOne) {
  const struct {
    const char* failing;
    std::int32_t id, serial, revision;  // expected status words of op0600, op0601, op0602
    // clang-format off
  } cases[] = {
      {"serial", 0, -52024, 0},
      {"revision", 0, 0, -52024},
      {"id", -52024, 0, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    qosim::BoardSet set;
    auto& b = set.add().withDefaults().withModuleFieldFailure(0x5C710104, 2, 0x00A10042, c.failing);
    ASSERT_TRUE(set.plug().ok()) << c.failing;
    const std::string node = b.nodePath(drv::kMainInterface);
    const struct {
      std::uint32_t command;
      std::int32_t status;
      std::uint32_t value;
    } reads[] = {{qodrv::vorlixtarrow::kOp0600Command, c.id, 0x5C710104},
                 {qodrv::vorlixtarrow::kOp0601Command, c.serial, 0x00A10042},
                 {qodrv::vorlixtarrow::kOp0602Command, c.revision, 2}};
    for (const auto& rd : reads) {
      Reply r = call(node, rd.command, Bytes(4, 0), 8);
      ASSERT_EQ(r.err, 0);
      EXPECT_EQ(word(r.out, 4), rd.status) << c.failing << " " << std::hex << rd.command;
      EXPECT_EQ(le(r.out, 0, 4), rd.status ? 0u : rd.value)
          << c.failing << " " << std::hex << rd.command;
    }
    auto model = set.client().getBoard(b.device);
    ASSERT_TRUE(model.ok()) << model.error;
    EXPECT_EQ(model.value.at("module").at(c.failing), json({{"status", -52024}}));
  }
}

TEST_F(QosimBoardFaults, CommandsNoMethodOwnsFailWithEnotty) {
  auto& b = set_.add().withDefaults().withRouting();
  const std::string node = plugOne(b);
  const std::string routing = b.nodePath(drv::kRoutingInterface);
  // A programmed answer for every command does not make an unowned one succeed.
  qosim::ResponseRule rule;
  rule.status = 3;
  ASSERT_TRUE(set_.client().setResponse(rule).ok());
  const struct {
    const std::string* node;
    std::uint32_t command;
    // clang-format off
  } unowned[] = {
      {&node, 0x80200A06},     // a group the main interface does not have
      {&node, 0x0020830B},     // op830B's number without its write direction
      {&node, qodrv::routing::kGetTopographyNameCommand},     // a routing method on the main interface
      {&routing, qodrv::vorlixtarrow::kOp0405Command},  // a main-interface method on the routing interface
      {&routing, 0x00208009},  // the routing number left out
  };
  // clang-format on
  for (const auto& u : unowned) {
    Reply r = call(*u.node, u.command, Bytes(16, 0), 16);
    EXPECT_EQ(r.err, ENOTTY) << std::hex << u.command;
    EXPECT_EQ(r.out, Bytes(16, 0xEE)) << std::hex << u.command;
  }
  // Programming an answer for such a command is refused; an errno may be injected.
  qosim::ResponseRule unownedRule;
  unownedRule.command = 0x80200A06;
  unownedRule.status = -1;
  EXPECT_NE(set_.client().setResponse(unownedRule).error.find("fails with ENOTTY"),
            std::string::npos);
  // Owned methods still get the programmed status; an injected errno still wins for any command.
  EXPECT_EQ(word(call(node, qodrv::vorlixtarrow::kOp0405Command, Bytes(8, 0), 8).out, 4), 3);
  ASSERT_TRUE(set_.client().injectError(EIO, 1, 0x80200A06).ok());
  EXPECT_EQ(call(node, 0x80200A06, {}, 0).err, EIO);
  auto log = set_.client().readLog();
  ASSERT_TRUE(log.ok());
  EXPECT_NE(std::find_if(log.value.begin(), log.value.end(),
                         [](const qosim::LogEntry& e) {
                           return e.errnoValue == ENOTTY && e.method.empty();
                         }),
            log.value.end());
}

// ---- board file validation ----------------------------------------------------------------------

using qotest::checkBoards;
using qotest::Outcome;

// A board file's entry for one interface, {"name": "..."}.
std::string interfaceEntry(const char* name) { return std::string(R"({"name": ")") + name + "\"}"; }

std::string machine(const std::string& extra, bool routing = false) {
  return R"({"boards": [{"device": "qovorlix7", "interfaces": [)" +
         interfaceEntry(qodrv::vorlixtarrow::kInterfaceName) +
         (routing ? ", " + interfaceEntry(qodrv::routing::kInterfaceName) : "") + "], " + extra +
         "}]}";
}

TEST(QosimFaultyBoardFile, FaultsAndStringsAreValidatedNamingTheEntry) {
  const std::string longText(256, 'x');
  const struct {
    std::string extra;
    std::string message;
    // clang-format off
  } cases[] = {
      {R"("driverFaults": {"method": "op0405"})", "\"driverFaults\": must be an array"},
      {R"("driverFaults": [{"status": -1}])", "entry 0: \"method\" is missing"},
      {R"("driverFaults": [{"method": "op0999", "status": -1}])",
       "\"driverFaults\" entry 0 (op0999): no interface of the board (qovorlixtarrowk_vorlixtarrow) has a method"},
      {R"("driverFaults": [{"method": "op0405", "status": -1}, {"method": "getTopographyName", "status": -1}])",
       "entry 1 (getTopographyName): no interface of the board"},
      {R"("driverFaults": [{"method": "op0405", "status": -1, "interface": ")" +
           std::string(qodrv::routing::kInterfaceName) + R"("}])",
       "named \"" + std::string(qodrv::routing::kInterfaceName) + "\""},
      {R"("driverFaults": [{"method": "op0405"}])", "give either \"status\""},
      {R"("driverFaults": [{"method": "op0405", "status": -1, "errno": 5}])", "give either \"status\""},
      {R"("driverFaults": [{"method": "op0405", "status": 0}])", "\"status\" 0 is no fault"},
      {R"("driverFaults": [{"method": "op0405", "errno": 600}])", "\"errno\": 600 is larger than 511"},
      {R"("driverFaults": [{"method": "op0405", "status": -1, "count": 0}])", "\"count\" must be positive or -1"},
      {R"("driverFaults": [{"method": "op0405", "status": -1, "after": 2}])", "unknown key \"after\""},
      {R"("driverFaults": [{"method": "op0405", "status": "bad"}])", "\"bad\" is not a number"},
      {R"("driverFaults": [{"method": "op0405", "then": "explode"}])", "\"then\": must be \"unplug\" or \"crash\""},
      {R"("driverFaults": [{"method": "op0405", "then": "crash", "restartMs": 70000}])", "\"restartMs\""},
      {R"("module": {"id": 1, "serial": {"status": 5}})", "\"serial\": \"status\" of a failing read must be negative"},
      {R"("module": {"id": 1, "revision": {"unreadable": false}})", "a failing read is {\"unreadable\": true}"},
      {R"("module": {"id": 1, "revision": {"value": 1}})", "unknown key \"value\""},
      {R"("description": ")" + longText + "\"", "\"description\": is longer than 255 bytes"},
      {R"("primaryName": ")" + longText + "\"", "\"primaryName\": is longer than 255 bytes"},
      {R"("enumeration": {"strings": {"9": ")" + longText + "\"}}", "string 9: is longer than 255 bytes"},
      {R"("enumeration": {"strings": {"5": "x"}})", "is the board's \"description\""},
  };
  // clang-format on
  for (const auto& c : cases) {
    Outcome o = checkBoards(machine(c.extra));
    EXPECT_EQ(o.status, 65) << c.extra << "\n" << o.output;
    EXPECT_NE(o.output.find(c.message), std::string::npos) << c.extra << "\n" << o.output;
    EXPECT_EQ(std::count(o.output.begin(), o.output.end(), '\n'), 1) << "one line: " << o.output;
  }
  const std::string fits(255, 'x');
  Outcome good = checkBoards(
      machine(R"("description": ")" + fits +
                  R"(", "module": {"id": 1, "revision": {"unreadable": true}, "serial": 7},
         "driverFaults": [{"method": "getTopographyName", "interface": ")" +
                  qodrv::routing::kInterfaceName + R"(", "errno": 5, "count": 1},
                          {"method": "op0405", "status": 1, "afterCalls": 3, "comment": "warning"}])",
              true));
  EXPECT_EQ(good.status, 0) << good.output;
  EXPECT_NE(good.output.find("driver fault getTopographyName: errno 5 from call 1 for 1 call"),
            std::string::npos)
      << good.output;
  EXPECT_NE(good.output.find("driver fault op0405: status 1 from call 4"), std::string::npos)
      << good.output;
  EXPECT_NE(good.output.find("module revision unreadable: status -52024"), std::string::npos)
      << good.output;
}

TEST(QosimFaultyBoardFile, TheExampleMachinesAreValid) {
  for (const char* file : {"/sim/boards/faulty.json", "/sim/boards/default.json"}) {
    std::ifstream in(std::string(QO_SOURCE_DIR) + file);
    ASSERT_TRUE(in) << file;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Outcome o = checkBoards(text);
    EXPECT_EQ(o.status, 0) << file << "\n" << o.output;
    const json j = json::parse(text);
    for (const auto& b : j.at("boards")) {
      // Dated values are host timestamps (seconds from 1904): dates in 2020..2030.
      for (const char* dated : {"dated0", "dated1"})
        if (b.contains(dated)) {
          const double seconds = b.at(dated).at("seconds").get<double>();
          EXPECT_GT(seconds, 3660681600.0) << file << " " << dated;  // 2020-01-01
          EXPECT_LT(seconds, 3976214400.0) << file << " " << dated;  // 2030-01-01
        }
    }
  }
}

}  // namespace
