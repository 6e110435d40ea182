// The simulated driver's routing side, driven through the generated routing proxy exactly as a
// routing session drives it: shortest paths against routes computed by hand on the small
// topography, reservations of two sessions (conflicts, avoidance, taking a route while ignoring
// reservations and the demotion notice that follows), terminal paths longer than the first
// buffer, the request log's decoded arrays, the hostile answers, and the agreement of the
// simulator's terminal tables with the library's topography records.
#include <linux/netlink.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "QosimClient.h"
#include "codegen/qovorlixatomicsae/tInterfaceProxy_routing.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/status/tStatus.h"
#include "qoarkra/TopographyInfo.h"
#include "qotopo/qoTopographyTables.h"
#include "qodrv/qoDriverConstants.h"

namespace {

namespace ns = nQOVORLIXATOMICSAE_23_3;
namespace drv = ns::nQOAPAL000::driver;
using nlohmann::json;
using ns::nQOAPAL000::tStatus;
using Ids = std::vector<std::uint32_t>;

constexpr std::int32_t kUnknownTicket = qodrv::routing::kStatusUnknownTicket,
                       kNotReserved = qodrv::routing::kStatusNotReserved,
                       kNoRoute = qodrv::routing::kStatusNoRoute;
constexpr std::int32_t kConflict = qodrv::routing::kStatusReservationConflict, kTooSmall = -52019,
                       kBadArgument = -52005;

// One routing session: its own open node (file) and session id.
struct Session {
  Session(const std::string& path, std::uint64_t sessionId) : id(sessionId) {
    tStatus st;
    proxy.openDefault(path.c_str(), &st);
    EXPECT_EQ(st.code, 0) << path;
  }
  struct Calc {
    std::int32_t status = 0;
    std::uint32_t value = 0, count = 0;
    std::vector<ns::tRouteResult> results;
  };
  Calc calculate(std::vector<ns::tRouteSeed> seeds, Ids destinations, std::uint32_t flags = 0,
                 std::uint32_t capacity = 8) {
    Calc c;
    c.results.assign(capacity, ns::tRouteResult{});
    tStatus st;
    c.value =
        proxy.calculateRoute(id, seeds.data(), static_cast<std::uint32_t>(seeds.size()),
                             destinations.data(), static_cast<std::uint32_t>(destinations.size()),
                             flags, c.results.data(), capacity, &c.count, st);
    c.status = st.code;
    return c;
  }
  std::int32_t route(std::uint32_t from, std::uint32_t to, std::uint32_t flags = 0,
                     std::uint32_t* ticket = nullptr) {
    Calc c = calculate({{from, 0, 0}}, {to}, flags);
    if (ticket) *ticket = c.count ? static_cast<std::uint32_t>(c.results[0].ticket) : 0;
    return c.status;
  }
  std::int32_t reserve(std::uint32_t ticket, std::vector<ns::tRouteConflict>* conflicts = nullptr,
                       std::uint32_t* count = nullptr) {
    std::vector<ns::tRouteConflict> local(8);
    std::vector<ns::tRouteConflict>& c = conflicts ? *conflicts : local;
    std::uint32_t n = 0;
    tStatus st;
    proxy.reserveRoute(ticket, c.data(), static_cast<std::uint32_t>(c.size()), &n, st);
    if (count) *count = n;
    return st.code;
  }
  template <class Method>
  std::int32_t ticketCall(Method m, std::uint32_t ticket) {
    tStatus st;
    (proxy.*m)(ticket, st);
    return st.code;
  }
  std::int32_t path(std::uint32_t ticket, std::uint32_t capacity, Ids& ids, std::uint32_t& count) {
    ids.assign(capacity + 4, 0xEEEEEEEEu);
    tStatus st;
    proxy.getRouteTerminalPath(ticket, ids.data(), capacity, &count, st);
    return st.code;
  }
  // Registers for demotion notices the way a session does (cookie, netlink port, kind).
  bool subscribe(std::uint64_t cookie, std::uint32_t port) {
    drv::tSubscribeNotification sub{cookie, port, 0x80000000u};
    return ::ioctl(proxy.descriptor(), drv::kSubscribeNotification, &sub) == 0;
  }

  std::uint64_t id;
  ns::tInterfaceProxy_routing proxy;
};

// A netlink socket bound to its own port: where the demotion notices arrive.
struct Listener {
  Listener() {
    fd = ::socket(drv::kNetlinkFamily, SOCK_RAW | SOCK_CLOEXEC, drv::kNetlinkProtocol);
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    socklen_t len = sizeof addr;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      port = addr.nl_pid;
  }
  ~Listener() {
    if (fd >= 0) ::close(fd);
  }
  // The cookie of the next notice, or 0 when none arrives within `ms`.
  std::uint64_t next(int ms = 2000, std::uint32_t* ticket = nullptr) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return 0;
    std::uint8_t buf[128] = {};
    if (::recv(fd, buf, sizeof buf, 0) < 48) return 0;
    std::uint64_t cookie;
    std::memcpy(&cookie, buf + 24, 8);
    if (ticket) std::memcpy(ticket, buf + 36 + 8, 4);  // payload: u64 session, i32 ticket
    return cookie;
  }
  int fd = -1;
  std::uint32_t port = 0;
};

class QosimRouting : public ::testing::Test {
 protected:
  void plug(const std::string& topography, json faults = nullptr) {
    auto& b = set_.add().withDefaults().withRouting().withTopographyName(topography);
    if (!faults.is_null()) b.withField("routingFaults", faults);
    board_ = &b;
    qosim::Status st = set_.plug();
    ASSERT_TRUE(st.ok()) << st;
    path_ = b.nodePath(drv::kRoutingInterface);
  }
  json routes() {
    auto r = set_.client().request({{"cmd", "routes"}, {"device", board_->device}});
    EXPECT_TRUE(r.ok()) << r.error;
    return r.ok() ? r.value.at("routes") : json::array();
  }

  qosim::BoardSet set_;
  qosim::BoardDesc* board_ = nullptr;
  std::string path_;
};

// vorlix-matrix-a ids: Front0..3 1..4 (Front3 masked out), ClockIn 30, Großtakt 31, SyncIn 32
// (alias of ClockIn), StarOut 21, FpgaIn0..3 40..43, MuxA 60, MuxB 61.
TEST_F(QosimRouting, ShortestPathsMatchRoutesComputedByHand) {
  plug("vorlix-matrix-a");
  Session s(path_, 0x5E55104A);
  struct Case {
    const char* what;
    std::vector<ns::tRouteSeed> seeds;
    Ids destinations;
    std::int32_t status;
    std::uint32_t unrouted;
    // Per result: destination, cost, seed index, inversion, path.
    std::vector<std::tuple<std::uint32_t, std::int32_t, std::int32_t, std::uint8_t, Ids>> expected;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"two switches beat the slow direct edge (7 < 20)", {{1, 0, 0}}, {43}, 0, 0, {{43, 7, 0, 0, {1, 60, 61, 43}}}},
      {"one switch", {{1, 0, 0}}, {40}, 0, 0, {{40, 3, 0, 0, {1, 60, 40}}}},
      {"the nearer of two seeds", {{2, 0, 0}, {3, 0, 0}}, {43}, 0, 0, {{43, 3, 1, 0, {3, 61, 43}}}},
      {"seed costs count", {{2, 0, 0}, {3, 10, 0}}, {43}, 0, 0, {{43, 8, 0, 0, {2, 60, 61, 43}}}},
      {"inversion carried from the seed", {{1, 5, 1}}, {40}, 0, 0, {{40, 8, 0, 1, {1, 60, 40}}}},
      {"an alias seed routes from its canonical terminal", {{32, 0, 0}}, {21}, 0, 0,
       {{21, 4, 0, 0, {30, 31, 61, 21}}}},
      {"unreachable and unknown destinations are counted", {{1, 0, 0}}, {30, 40, 0, 9999}, 0, 3,
       {{40, 3, 0, 0, {1, 60, 40}}}},
      {"a masked-out seed reaches nothing", {{4, 0, 0}}, {42}, kNoRoute, 1, {}},
      {"nor is a masked-out destination reached", {{1, 0, 0}}, {4}, kNoRoute, 1, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = s.calculate(c.seeds, c.destinations);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.value, c.unrouted);
    ASSERT_EQ(r.count, c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      const auto& [dest, cost, seed, inv, path] = c.expected[i];
      const ns::tRouteResult& got = r.results[i];
      EXPECT_GT(got.ticket, 0);
      EXPECT_EQ(got.destinationTerminalId, dest);
      EXPECT_EQ(got.cost, cost);
      EXPECT_EQ(got.seedIndex, seed);
      EXPECT_EQ(got.inversionNeeded, inv);
      Ids ids;
      std::uint32_t n = 0;
      EXPECT_EQ(s.path(static_cast<std::uint32_t>(got.ticket), 32, ids, n), 0);
      ids.resize(n);
      EXPECT_EQ(ids, path);
    }
  }
  // Bad requests: no seeds, no destinations, no room for results.
  EXPECT_EQ(s.calculate({}, {40}).status, kBadArgument);
  EXPECT_EQ(s.calculate({{1, 0, 0}}, {}).status, kBadArgument);
  EXPECT_EQ(s.calculate({{1, 0, 0}}, {40}, 0, 0).status, kBadArgument);
  // Only as many routes as the caller has room for; the rest count as unrouted.
  auto r = s.calculate({{1, 0, 0}}, {40, 41, 43}, 0, 2);
  EXPECT_EQ(r.count, 2u);
  EXPECT_EQ(r.value, 1u);
}

TEST_F(QosimRouting, ReservationsOfAnotherSessionConflictOrAreAvoided) {
  plug("vorlix-matrix-a");
  Session a(path_, 0xA0A0A0A0A0A0A0A0u), b(path_, 0xB0B0B0B0B0B0B0B0u);
  std::uint32_t ta = 0, tb = 0, tb2 = 0, ta2 = 0;
  ASSERT_EQ(a.route(1, 40, 0, &ta), 0);  // Front0 -> MuxA -> FpgaIn0
  ASSERT_EQ(b.route(2, 41, 0, &tb), 0);  // Front1 -> MuxA -> FpgaIn1: MuxA in common
  ASSERT_EQ(a.reserve(ta), 0);
  EXPECT_EQ(a.reserve(ta), 0);  // again: nothing changes
  {
    // Another open file with A's session id is another session (ids are host addresses).
    Session twin(path_, a.id);
    EXPECT_EQ(twin.route(2, 41), kNoRoute);
  }

  std::vector<ns::tRouteConflict> conflicts(8, ns::tRouteConflict{1, 1});
  std::uint32_t count = 0;
  EXPECT_EQ(b.reserve(tb, &conflicts, &count), kConflict);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(conflicts[0].sessionId, a.id);
  EXPECT_EQ(conflicts[0].ticket, static_cast<std::int32_t>(ta));
  EXPECT_EQ(conflicts[1].sessionId, 1u);  // nothing beyond the count
  // No room: the count still tells how many there are.
  std::vector<ns::tRouteConflict> none;
  EXPECT_EQ(b.reserve(tb, &none, &count), kConflict);
  EXPECT_EQ(count, 1u);

  // A new calculation avoids what A drives; FpgaIn1 is reachable only through MuxA.
  EXPECT_EQ(b.route(2, 41), kNoRoute);
  auto detour = b.calculate({{2, 0, 0}}, {43});  // Front1 -> MuxA(A's) -> MuxB: avoided
  EXPECT_EQ(detour.status, kNoRoute);
  // The same session shares its own terminals freely.
  ASSERT_EQ(a.route(1, 41, 0, &ta2), 0);
  EXPECT_EQ(a.reserve(ta2), 0);
  // After A lets go, B gets through.
  EXPECT_EQ(a.ticketCall(&ns::tInterfaceProxy_routing::unreserveRoute, ta), 0);
  EXPECT_EQ(a.ticketCall(&ns::tInterfaceProxy_routing::destroyRoute, ta2), 0);
  ASSERT_EQ(b.route(2, 41, 0, &tb2), 0);
  EXPECT_EQ(b.reserve(tb2), 0);

  // Ticket state machine and unknown tickets.
  using P = ns::tInterfaceProxy_routing;
  EXPECT_EQ(a.ticketCall(&P::programRoute, ta), kNotReserved);
  EXPECT_EQ(b.ticketCall(&P::programRoute, tb2), 0);
  EXPECT_EQ(b.ticketCall(&P::unreserveRoute, tb2),
            qodrv::routing::kStatusRouteProgrammed);  // programmed: unprogram first
  EXPECT_EQ(b.ticketCall(&P::unprogramRoute, tb2), 0);
  EXPECT_EQ(b.ticketCall(&P::destroyRoute, tb2), 0);
  for (auto m : {&P::programRoute, &P::unprogramRoute, &P::unreserveRoute, &P::destroyRoute})
    EXPECT_EQ(b.ticketCall(m, tb2), kUnknownTicket);
  EXPECT_EQ(b.reserve(tb2), kUnknownTicket);
}

TEST_F(QosimRouting, IgnoringReservationsTakesTheRouteAndDemotesTheHolder) {
  plug("vorlix-matrix-a");
  Listener listener;
  ASSERT_NE(listener.port, 0u);
  Session a(path_, 0xA1), b(path_, 0xB1);
  ASSERT_TRUE(a.subscribe(0xC00C1E, listener.port)) << std::strerror(errno);
  std::uint32_t ta = 0, tb = 0;
  ASSERT_EQ(a.route(1, 40, 0, &ta), 0);
  ASSERT_EQ(a.reserve(ta), 0);
  ASSERT_EQ(a.ticketCall(&ns::tInterfaceProxy_routing::programRoute, ta), 0);

  ASSERT_EQ(b.route(2, 41), kNoRoute);
  auto taken = b.calculate({{2, 0, 0}}, {41}, 1);  // calculateIgnoresReservations
  ASSERT_EQ(taken.status, 0);
  ASSERT_EQ(taken.count, 1u);
  EXPECT_EQ(taken.results[0].cost, 4);
  tb = static_cast<std::uint32_t>(taken.results[0].ticket);
  EXPECT_EQ(listener.next(200), 0u);  // calculating takes nothing yet
  EXPECT_EQ(b.reserve(tb), 0);

  std::uint32_t demotedTicket = 0;
  EXPECT_EQ(listener.next(2000, &demotedTicket), 0xC00C1Eu);
  EXPECT_EQ(demotedTicket, ta);
  // A's route fell back to calculated: it must be reserved again before it is programmed.
  EXPECT_EQ(a.ticketCall(&ns::tInterfaceProxy_routing::programRoute, ta), kNotReserved);
  std::uint32_t count = 0;
  EXPECT_EQ(a.reserve(ta, nullptr, &count), kConflict);
  EXPECT_EQ(count, 1u);
}

TEST_F(QosimRouting, ResetTerminalsGiveRoutesThatDriveTheirTerminal) {
  plug("vorlix-matrix-a");
  Session a(path_, 0xA3), b(path_, 0xB3);
  struct Case {
    std::uint32_t id;
    std::int32_t status;
    Ids path;
  };
  const Case cases[] = {{50, 0, {50}},
                        {32, 0, {30}} /* an alias resets its canonical terminal */,
                        {9999, qodrv::routing::kStatusUnknownTerminal, {}},
                        {0, qodrv::routing::kStatusUnknownTerminal, {}},
                        {4, qodrv::routing::kStatusMaskedOut, {}} /* masked out */};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    tStatus reset;
    a.proxy.resetTerminal(c.id, 1, reset);
    EXPECT_EQ(reset.code, c.status);
    tStatus calc;
    const std::uint32_t ticket = a.proxy.calculateResetTerminal(a.id, c.id, 0, calc);
    EXPECT_EQ(calc.code, c.status);
    if (c.status != 0) continue;
    Ids ids;
    std::uint32_t n = 0;
    ASSERT_EQ(a.path(ticket, 4, ids, n), 0);
    EXPECT_EQ(Ids(ids.begin(), ids.begin() + n), c.path);
  }
  // A reset route drives its terminal: it conflicts with another session's route through it.
  std::uint32_t tb = 0;
  ASSERT_EQ(b.route(1, 40, 0, &tb), 0);
  ASSERT_EQ(b.reserve(tb), 0);
  tStatus st;
  const std::uint32_t resetMuxA = a.proxy.calculateResetTerminal(a.id, 60, 1, st);
  ASSERT_EQ(st.code, 0);
  EXPECT_EQ(a.reserve(resetMuxA), kConflict);
}

TEST_F(QosimRouting, DemoteRequestNotifiesTheRegisteredSessionAndClosingReleasesRoutes) {
  plug("vorlix-matrix-a");
  Listener listener;
  auto a = std::make_unique<Session>(path_, 0xA2);
  ASSERT_TRUE(a->subscribe(0xD00D, listener.port));
  std::uint32_t ta = 0;
  ASSERT_EQ(a->route(1, 40, 0, &ta), 0);
  ASSERT_EQ(a->reserve(ta), 0);
  auto r = set_.client().request({{"cmd", "demote"}, {"device", board_->device}, {"ticket", ta}});
  ASSERT_TRUE(r.ok()) << r.error;
  ASSERT_EQ(r.value.at("notified").size(), 1u);
  EXPECT_EQ(listener.next(), 0xD00Du);
  EXPECT_EQ(routes().at(0).at("state"), "calculated");
  EXPECT_FALSE(
      set_.client().request({{"cmd", "demote"}, {"device", board_->device}, {"ticket", 999}}).ok());
  // Without a ticket every subscribed session hears it, with or without routes.
  ASSERT_TRUE(set_.client().request({{"cmd", "demote"}, {"device", board_->device}}).ok());
  EXPECT_EQ(listener.next(), 0xD00Du);

  a.reset();  // the session's file is closed: its routes go with it (release arrives
              // asynchronously)
  json left = routes();
  for (int i = 0; i < 200 && !left.empty(); ++i) {
    ::usleep(10000);
    left = routes();
  }
  EXPECT_TRUE(left.empty()) << left;
}

TEST_F(QosimRouting, LongPathsNeedTheReportedSizeAndTheLogShowsTheArrays) {
  plug("vorlix-matrix-b");
  Session s(path_, 0x77);
  ASSERT_TRUE(set_.client().clearLog().ok());
  auto c = s.calculate({{1, 3, 0}, {2, 0, 1}}, {450, 101});  // Front0, Front1 -> DelayOut, FpgaIn1
  ASSERT_EQ(c.status, 0);
  ASSERT_EQ(c.count, 2u);
  EXPECT_EQ(c.results[0].cost, 3 + 41);
  const auto ticket = static_cast<std::uint32_t>(c.results[0].ticket);

  Ids expected{1};
  for (std::uint32_t i = 400; i < 440; ++i) expected.push_back(i);
  expected.push_back(450);
  struct Try {
    std::uint32_t capacity;
    std::int32_t status;
  };
  for (Try t : {Try{32, kTooSmall}, Try{41, kTooSmall}, Try{42, 0}, Try{100, 0}}) {
    SCOPED_TRACE(t.capacity);
    Ids ids;
    std::uint32_t n = 0;
    EXPECT_EQ(s.path(ticket, t.capacity, ids, n), t.status);
    EXPECT_EQ(n, 42u);
    if (t.status == 0) {
      EXPECT_EQ(Ids(ids.begin(), ids.begin() + 42), expected);
      EXPECT_EQ(ids[42], 0xEEEEEEEEu);
    } else {
      EXPECT_EQ(ids[0], 0xEEEEEEEEu);  // nothing written
    }
  }
  Ids ids;
  std::uint32_t n = 0;
  EXPECT_EQ(s.path(0x7FFFFFF0, 100, ids, n), kUnknownTicket);

  auto log = set_.client().readLog();
  ASSERT_TRUE(log.ok()) << log.error;
  const qosim::LogEntry* calc = nullptr;
  for (const auto& e : log.value)
    if (e.method == "calculateRoute") calc = &e;
  ASSERT_NE(calc, nullptr);
  const json& arrays = calc->decoded.at("arrays");
  EXPECT_EQ(arrays.at("seeds"), json::parse(R"([
      {"terminalId": 1, "cost": 3, "inversionNeeded": false, "terminal": "Front0"},
      {"terminalId": 2, "cost": 0, "inversionNeeded": true, "terminal": "Front1"}])"));
  EXPECT_EQ(
      arrays.at("destinations"),
      json::parse(
          R"([{"terminalId": 450, "terminal": "DelayOut"}, {"terminalId": 101, "terminal": "FpgaIn1"}])"));
  ASSERT_EQ(arrays.at("results").size(), 2u);
  EXPECT_EQ(arrays.at("results")[0].at("ticket"), ticket);
  EXPECT_EQ(arrays.at("results")[0].at("destination"), "DelayOut");
  EXPECT_EQ(arrays.at("results")[1].at("seedIndex"), 1);
  EXPECT_EQ(arrays.at("results")[1].at("inversionNeeded"), true);
}

TEST_F(QosimRouting, HostileAnswersReportCountsBeyondWhatWasWritten) {
  plug("vorlix-matrix-a", {{"extraResults", 5}, {"extraPathIds", 100}, {"unterminatedName", true}});
  Session s(path_, 0x99);
  auto c = s.calculate({{1, 0, 0}}, {40}, 0, 2);
  EXPECT_EQ(c.count, 6u);  // one written
  EXPECT_EQ(c.results[1].ticket, 0);
  Ids ids;
  std::uint32_t n = 0;
  EXPECT_EQ(s.path(static_cast<std::uint32_t>(c.results[0].ticket), 4, ids, n), 0);
  EXPECT_EQ(n, 103u);
  EXPECT_EQ(ids[3], 0xEEEEEEEEu);
  char name[ns::kTopographyNameSize + 1];
  std::memset(name, 0, sizeof name);
  tStatus st;
  s.proxy.getTopographyName(name, ns::kTopographyNameSize, st);
  EXPECT_EQ(st.code, 0);
  EXPECT_EQ(std::strlen(name), ns::kTopographyNameSize);  // all 128 bytes, no NUL among them
}

// The library's records and the simulator's graph come from the same descriptions.
TEST(QosimTopographies, SimulatorTablesEqualTheLibraryRecords) {
  const auto records = qoark::builtinTopographies();
  ASSERT_EQ(records.size(), std::size(qotopo::kTopographies));
  bool large = false;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const qoark::tTopographyInfo& r = *records[i];
    const qotopo::Topography& t = qotopo::kTopographies[i];
    SCOPED_TRACE(t.name);
    EXPECT_STREQ(r.name, t.name);
    ASSERT_EQ(r.terminalCount, t.terminalCount);
    large = large || t.terminalCount > 1000;
    for (std::size_t k = 0; k < t.terminalCount; ++k) {
      const qoark::tTerminalInfo& a = r.terminals[k];
      const qotopo::Terminal& b = t.terminals[k];
      ASSERT_STREQ(a.name, b.name);
      ASSERT_EQ(a.id, b.id);
      EXPECT_EQ(a.isExternal, b.isExternal);
      EXPECT_EQ(a.isOwned, b.isOwned);
      EXPECT_EQ(a.isAlias, b.isAlias);
      EXPECT_EQ(a.isMaskedOut, b.isMaskedOut);
      EXPECT_STREQ(a.canonicalName, b.canonicalName);
      EXPECT_STREQ(a.busType, b.busType);
      EXPECT_EQ(a.busLine, b.busLine);
    }
  }
  EXPECT_TRUE(large);
}

}  // namespace
