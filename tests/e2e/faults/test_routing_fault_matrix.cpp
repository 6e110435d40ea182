// The routing face under driver faults, through the built library loaded with dlopen as a routing
// host loads it, inside a simulated machine. Each row is one routing-interface request the library
// makes (the eleven methods and the subscription pair), reached through the host operation that
// makes it; each column one way the request fails. A cell runs on a fresh board: the host
// operation's status code (its JSON details must parse; no result handed out on failure), then
// the code of a following calculation on the same session ("next"), then a new session on another
// board and no thread of the library left running. The whole matrix is printed into the log.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "FaultMatrix.h"
#include "QosimClient.h"
#include "tests/common/LibraryUnderTest.h"
#include "tools/common/routing_host_abi.h"
#include "tests/common/RoutingResults.h"
#include "qodrv/qoDriverConstants.h"

namespace {

using faultmatrix::Column;
using routingabi::hostAllocate;
using routingabi::HostStatus;

constexpr std::int32_t kDriverError = -52030;
constexpr std::int32_t kDriverWarning = 1;
constexpr std::uint32_t kRestartMs = 200;
constexpr char kComponent[] = "qovorlixa";
constexpr int kErrnos[] = {EIO, ENODEV, ENOTTY};
constexpr const char* kErrnoNames[] = {"EIO", "ENODEV", "ENOTTY"};
constexpr char kTopography[] = "vorlix-matrix-a";
constexpr std::uint32_t kSubscribe = 0x4010FF00, kUnsubscribe = 0xFF01;

enum class Op {
  Create,
  Calculate,
  Reserve,
  Program,
  Unprogram,
  Unreserve,
  Destroy,
  Path,
  Reset,
  ResetCalc,
  Close,
  None
};

// Expected per column: "code; next code" ("-" where the host operation hands out no session).
// Driver codes pass through; transport errnos map EIO -52024, ENODEV -52006, ENOTTY -52002, a
// failed subscription is -52008 whatever the errno; the crashed driver's answer is ECONNABORTED
// (-52023) and every later request on the old descriptor ENOTCONN (-52008). Warnings are dropped
// by the session and kept by the iterator's reset. The four exports without a status report
// nothing ("-").
struct Expected {
  const char* error;
  const char* warning;
  const char* transport[3];
  const char* unplugged;
  const char* killed;
};
struct Row {
  const char* name;
  const char* method;  // board-file method name, or null for the subscription pair
  std::uint32_t command;
  Op op;
  Expected want;
};

constexpr const char* kNA = nullptr;
// A calculation-side request the library waits on: its failure reaches the host.
constexpr Expected kReported = {"-52030; next 0",
                                "0; next 0",
                                {"-52024; next 0", "-52006; next 0", "-52002; next 0"},
                                "0; next -52006",
                                "-52023; next -52008"};
// The iterator's reset keeps the driver's warning.
constexpr Expected kReportedWithWarning = {"-52030; next 0",
                                           "1; next 0",
                                           {"-52024; next 0", "-52006; next 0", "-52002; next 0"},
                                           "0; next -52006",
                                           "-52023; next -52008"};
// An export without a status: nothing reported, the session goes on.
constexpr Expected kSilent = {"-; next 0",
                              "-; next 0",
                              {"-; next 0", "-; next 0", "-; next 0"},
                              "-; next -52006",
                              "-; next -52008"};
// clang-format off
constexpr Row kRows[] = {
    {"queryU32", "queryU32", qodrv::routing::kQueryU32Command, Op::None, {kNA, kNA, {kNA, kNA, kNA}, kNA, kNA}},
    {"getTopographyName (createSession)", "getTopographyName", qodrv::routing::kGetTopographyNameCommand, Op::Create,
     {"-52030", "0; next 0", {"-52024", "-52006", "-52002"}, "-52008", "-52023"}},
    {"subscribe 0x4010FF00 (createSession)", nullptr, kSubscribe, Op::Create,
     {kNA, kNA, {"-52008", "-52008", "-52008"}, "0; next -52006", "-52008"}},
    {"calculateRoute", "calculateRoute", qodrv::routing::kCalculateRouteCommand, Op::Calculate, kReported},
    {"reserveRoute", "reserveRoute", qodrv::routing::kReserveRouteCommand, Op::Reserve, kReported},
    {"programRoute", "programRoute", qodrv::routing::kProgramRouteCommand, Op::Program, kReported},
    {"unprogramRoute", "unprogramRoute", qodrv::routing::kUnprogramRouteCommand, Op::Unprogram, kSilent},
    {"unreserveRoute", "unreserveRoute", qodrv::routing::kUnreserveRouteCommand, Op::Unreserve, kSilent},
    {"destroyRoute", "destroyRoute", qodrv::routing::kDestroyRouteCommand, Op::Destroy, kSilent},
    {"getRouteTerminalPath", "getRouteTerminalPath", qodrv::routing::kGetRouteTerminalPathCommand, Op::Path, kReported},
    {"resetTerminal (iterator)", "resetTerminal", qodrv::routing::kResetTerminalCommand, Op::Reset, kReportedWithWarning},
    {"calculateResetTerminal", "calculateResetTerminal", qodrv::routing::kCalculateResetTerminalCommand, Op::ResetCalc, kReported},
    {"unsubscribe 0xFF01 (destroySession)", nullptr, kUnsubscribe, Op::Close,
     {kNA, kNA, {"-; next 0", "-; next 0", "-; next 0"}, "-; next fails", "-; next 0"}},
};
// clang-format on

using testsupport::take;
using testsupport::ticketOf;

class RoutingFaultMatrix : public ::testing::Test {
 protected:
  void SetUp() override {
    std::thread([] {}).join();  // a sanitizer's helper thread, counted in the baseline
    threadsBefore_ = faultmatrix::threadCount();
    ASSERT_TRUE(lib_.load()) << lib_.error();
    std::string missing;
    ASSERT_TRUE(x_.load(lib_, &missing)) << missing;
    other_.add().withDefaults().withRouting().withTopographyName(kTopography);
    ASSERT_TRUE(other_.plug().ok());
  }
  void TearDown() override {
    lib_.close();
    EXPECT_TRUE(faultmatrix::noLeaks());
  }

  // The host operation's code with what went wrong beside it: unparsable JSON details, a result
  // handed out on failure.
  static std::string codeOf(HostStatus& st, bool handedOut) {
    std::string seen = std::to_string(st.code());
    if (st.code() != 0) {
      // The details name where the code was set: file, line and the library's component (as a
      // platform status holds it, cut to 9 characters).
      const auto details = nlohmann::json::parse(st.text(), nullptr, false);
      if (!details.is_object() || !details.value("file", nlohmann::json()).is_string() ||
          !details.value("line", nlohmann::json()).is_number() ||
          details.value("component", "") != kComponent)
        seen += " (JSON details " + st.text() + ")";
    }
    if (st.code() < 0 && handedOut) seen += " (result handed out)";
    return seen;
  }

  // One calculated route on the session; 0 when it failed.
  std::uint32_t calculate(void* s, HostStatus& st, const char* from = "Front0",
                          const char* to = "FpgaIn3") {
    const std::string seeds =
        std::string(R"([{"terminal":")") + from + R"(","cost":1,"constraints":{}}])";
    const std::string destinations = std::string(R"([")") + to + R"("])";
    char* out = nullptr;
    x_.calculateRoute(s, seeds.c_str(), destinations.c_str(), "{}", &out, &st);
    const std::string routes = take(out);
    if (st.code() < 0 && routes != "[]") st.s.code = -1;  // no route handed out on failure
    return ticketOf(routes);
  }

  // The row's host operation on the session (for Create: makes it); "-" when it reports nothing.
  std::string run(const Row& row, void*& s, const std::string& node, std::uint32_t ticket,
                  void* it) {
    HostStatus st;
    char* out = nullptr;
    switch (row.op) {
      case Op::Create:
        s = x_.createSession(node.c_str(), &hostAllocate, &st);
        return codeOf(st, s != nullptr);
      case Op::Calculate: {
        const bool got = calculate(s, st) != 0;
        return codeOf(st, got);
      }
      case Op::Reserve:
        x_.reserveRoute(s, ticket, &out, &st);
        return codeOf(st, take(out) != "<null>");
      case Op::Program:
        x_.programRoute(s, ticket, &st);
        return codeOf(st, false);
      case Op::Unprogram:
        x_.unprogramRoute(s, ticket);
        return "-";
      case Op::Unreserve:
        x_.unreserveRoute(s, ticket);
        return "-";
      case Op::Destroy:
        x_.destroyRoute(s, ticket);
        return "-";
      case Op::Path:
        x_.getRouteTerminalPath(s, ticket, &out, &st);
        return codeOf(st, take(out) != "<null>");
      case Op::Reset:
        x_.TerminalIterator_resetTerminal(it, "floating", &st);
        return codeOf(st, false);
      case Op::ResetCalc: {
        const std::uint32_t value =
            x_.TerminalIterator_calculateResetTerminal(s, it, "default", &st);
        return codeOf(st, value != 0);
      }
      case Op::Close:
        x_.destroySession(s);
        s = nullptr;
        return "-";
      case Op::None:
        break;
    }
    return "?";
  }

  // The fault for the request's next call: board-file faults for the methods (the board's own
  // answer with a warning, or before unplugging), control rules for the subscription pair.
  static std::string arm(qosim::Client& client, const std::string& device, const Row& row,
                         Column column, int err) {
    if (row.method != nullptr) {
      nlohmann::json fault{{"method", row.method}, {"count", 1}};
      if (column == faultmatrix::kErrorStatus) fault["status"] = kDriverError;
      if (column == faultmatrix::kWarningStatus) fault["status"] = kDriverWarning;
      if (column == faultmatrix::kTransport) fault["errno"] = err;
      if (column == faultmatrix::kUnplugged) fault["then"] = "unplug";
      if (column == faultmatrix::kKilled) fault["then"] = "crash", fault["restartMs"] = kRestartMs;
      return client.setBoardField(device, "driverFaults", nlohmann::json::array({fault})).error;
    }
    qosim::ResponseRule rule;
    rule.target = device;
    rule.command = row.command;
    rule.count = 1;
    rule.errnoValue = err;
    // The crash needs no answer of its own; the simulator takes it as an errno rule.
    if (column == faultmatrix::kKilled)
      rule.then = "crash", rule.restartMs = kRestartMs, rule.errnoValue = ENOTCONN;
    if (column == faultmatrix::kUnplugged) rule.then = "unplug";
    return client.setResponse(rule).error;
  }

  // The request log shows the row's request on the board's node answered by the fault.
  static bool faultReached(qosim::Client& client, const std::string& node, std::uint32_t command) {
    const auto log = client.readLog();
    if (!log.ok()) return false;
    for (const qosim::LogEntry& e : log.value)
      if (e.node == node && e.command == command &&
          (e.errnoValue != 0 || e.note.find("fault") != std::string::npos ||
           e.note.find("rule") != std::string::npos))
        return true;
    return false;
  }

  // A new session on `node` calculates a route (bounded wait: a crashed driver comes back).
  bool serves(const std::string& node) {
    for (int i = 0; i < 250; ++i) {
      HostStatus st;
      void* s = x_.createSession(node.c_str(), &hostAllocate, &st);
      const bool ok =
          s != nullptr && calculate(s, st, "CLOCKIN", "grosstakt") != 0 && st.code() == 0;
      x_.destroySession(s);
      if (ok) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::string runCell(const Row& row, Column column, int err = 0) {
    qosim::BoardSet set;
    auto& board = set.add().withDefaults().withRouting().withTopographyName(kTopography);
    if (!set.plug().ok()) return "plug failed";
    const std::string node = board.nodePath(qodrv::routing::kInterfaceName);
    void* s = nullptr;
    std::uint32_t ticket = 0;
    void* it = nullptr;
    HostStatus setup;
    if (row.op != Op::Create) {
      s = x_.createSession(node.c_str(), &hostAllocate, &setup);
      if (row.op >= Op::Reserve && row.op <= Op::Path) ticket = calculate(s, setup);
      if (row.op >= Op::Program && row.op <= Op::Unreserve)
        x_.reserveRoute(s, ticket, nullptr, &setup);
      if (row.op == Op::Unprogram) x_.programRoute(s, ticket, &setup);
      if (row.op == Op::Reset || row.op == Op::ResetCalc) it = x_.getAllTerminals(s, &setup);
      if (s == nullptr || setup.code() != 0) return "setup failed: " + setup.text();
    }
    set.client().clearLog();
    if (const std::string e = arm(set.client(), board.device, row, column, err); !e.empty())
      return "fault not set: " + e;
    std::string seen = run(row, s, node, ticket, it);
    if (!faultReached(set.client(), board.nodeName(qodrv::routing::kInterfaceName), row.command))
      seen += " (the fault never met the request)";
    if (s != nullptr) {
      HostStatus next;
      calculate(s, next, "CLOCKIN", "grosstakt");
      seen += "; next " + std::to_string(next.code());
    } else if (row.op == Op::Close) {
      seen += std::string("; next ") + (serves(node) ? "0" : "fails");
    }
    x_.TerminalIterator_destroy(it);
    x_.destroySession(s);
    set.client().setBoardField(board.device, "driverFaults", nlohmann::json::array());
    set.client().clearResponses();
    if (!serves(other_.board(0).nodePath(qodrv::routing::kInterfaceName)))
      seen += " (other board not served)";
    if (column != faultmatrix::kUnplugged && !serves(node))
      seen += " (no new session on the board)";
    if (faultmatrix::threadCountSettled(threadsBefore_) > threadsBefore_)
      seen += " (a thread is left running)";
    return seen;
  }

  std::size_t threadsBefore_ = 0;
  testsupport::LibraryUnderTest lib_;
  routingabi::Exports x_;
  qosim::BoardSet other_;
};

TEST_F(RoutingFaultMatrix, EveryRoutingRequestFailingEveryWay) {
  faultmatrix::Matrix seen(
      "routing face: routing-interface requests (cell = host status code; next = a calculation on "
      "the same session)");
  int mismatches = 0;
  auto record = [&](const Row& row, int column, const std::string& got, const std::string& want) {
    seen.set(row.name, column, got == want ? got : got + " [expected " + want + "]");
    mismatches += got != want;
    EXPECT_EQ(got, want) << row.name << " " << faultmatrix::kColumns[column];
  };
  for (const Row& row : kRows) {
    if (row.op == Op::None) {
      for (int c = 0; c < faultmatrix::kColumnCount; ++c)
        seen.set(row.name, c, faultmatrix::notApplicable("the library never sends it"));
      continue;
    }
    if (row.want.error == kNA) {
      seen.set(row.name, faultmatrix::kErrorStatus, faultmatrix::notApplicable("no status word"));
      seen.set(row.name, faultmatrix::kWarningStatus, faultmatrix::notApplicable("no status word"));
    } else {
      record(row, faultmatrix::kErrorStatus, runCell(row, faultmatrix::kErrorStatus),
             row.want.error);
      record(row, faultmatrix::kWarningStatus, runCell(row, faultmatrix::kWarningStatus),
             row.want.warning);
    }
    std::string got, want;
    for (std::size_t i = 0; i < std::size(kErrnos); ++i) {
      got += std::string(i ? " " : "") + kErrnoNames[i] + ":" +
             runCell(row, faultmatrix::kTransport, kErrnos[i]);
      want += std::string(i ? " " : "") + kErrnoNames[i] + ":" + row.want.transport[i];
    }
    record(row, faultmatrix::kTransport, got, want);
    record(row, faultmatrix::kUnplugged, runCell(row, faultmatrix::kUnplugged), row.want.unplugged);
    record(row, faultmatrix::kKilled, runCell(row, faultmatrix::kKilled), row.want.killed);
  }
  seen.print();
  EXPECT_TRUE(serves(other_.board(0).nodePath(qodrv::routing::kInterfaceName)));
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
