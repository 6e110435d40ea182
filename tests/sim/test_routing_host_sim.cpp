// The routing adaptor end to end: the built shared library loaded with dlopen, driven through
// its 22 exports exactly as a routing host drives them, against the simulated driver's routing
// (topographies vorlix-matrix-a and vorlix-matrix-b of codegen/topographies).
#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QosimClient.h"
#include "tests/common/LibraryUnderTest.h"
#include "tests/common/RoutingRequestCases.h"
#include "tests/common/RoutingResults.h"
#include "qodrv/qoDriverConstants.h"
#include "tools/common/routing_host_abi.h"

namespace {

using routingabi::hostAllocate;
using routingabi::HostStatus;

struct Demotions {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::int32_t> reasons;
  std::vector<std::string> threads;
  std::vector<pthread_t> ids;
};

void* nullAllocate(void*, std::size_t) { return nullptr; }

void onDemotion(void* context, std::int32_t reason, routingabi::JsonStatus* status) {
  auto* d = static_cast<Demotions*>(context);
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  // The status is the library's: a host may write into it; it is released afterwards.
  if (status != nullptr && status->reallocator != nullptr) status->reallocator(status, 600);
  std::lock_guard<std::mutex> lock(d->mutex);
  d->reasons.push_back(reason);
  d->threads.emplace_back(name);
  d->ids.push_back(pthread_self());
  d->arrived.notify_all();
}

// A host that ends its session from inside the session's demotion function.
struct SelfDestroyingHost {
  routingabi::Exports* x = nullptr;
  void* session = nullptr;
  std::mutex mutex;
  std::condition_variable done;
  bool destroyed = false;
};

void destroyOnDemotion(void* context, std::int32_t, routingabi::JsonStatus*) {
  auto* host = static_cast<SelfDestroyingHost*>(context);
  host->x->destroySession(host->session);
  std::lock_guard<std::mutex> lock(host->mutex);
  host->destroyed = true;
  host->done.notify_all();
}

// Threads of this process with the notification thread's name (the kernel keeps 15 bytes).
int notificationThreads() {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    n += name == "qovorlixatomics" ? 1 : 0;
  }
  return n;
}

using testsupport::take;
using testsupport::ticketOf;

class RoutingHost : public ::testing::Test {
 protected:
  // The library stays loaded until the process ends (never closed: a session a failed test left
  // open keeps its notification thread running in it).
  static void SetUpTestSuite() {
    library_ = new testsupport::LibraryUnderTest;
    ASSERT_TRUE(library_->load()) << library_->error();
    std::string missing;
    ASSERT_TRUE(x_.load(*library_, &missing)) << missing;
  }

  // A fresh board with routing and the given topography; its routing node path.
  std::string plugBoard(const std::string& topography) {
    auto& b = set_.add().withDefaults().withRouting().withTopographyName(topography);
    const qosim::Status st = set_.plug();
    EXPECT_TRUE(st.ok()) << st;
    device_ = b.device;
    return b.nodePath(qodrv::routing::kInterfaceName);
  }

  void* open(const std::string& node, Demotions* demotions = nullptr) {
    HostStatus st;
    void* s = demotions != nullptr ? x_.createSessionWithDemotionFunc(node.c_str(), &hostAllocate,
                                                                      &onDemotion, demotions, &st)
                                   : x_.createSession(node.c_str(), &hostAllocate, &st);
    EXPECT_EQ(st.code(), 0) << st.text();
    return s;
  }

  // calculateRoute with one seed; the routes text.
  std::string calculate(void* session, const std::string& from, const std::string& to,
                        HostStatus& st, const char* modifiers = "{}") {
    const std::string seeds = R"([{"terminal":")" + from + R"(","cost":1,"constraints":{}}])";
    const std::string destinations = R"([")" + to + R"("])";
    char* out = nullptr;
    x_.calculateRoute(session, seeds.c_str(), destinations.c_str(), modifiers, &out, &st);
    return take(out);
  }

  static testsupport::LibraryUnderTest* library_;
  static routingabi::Exports x_;
  qosim::BoardSet set_;
  std::string device_;
};
testsupport::LibraryUnderTest* RoutingHost::library_ = nullptr;
routingabi::Exports RoutingHost::x_;

TEST_F(RoutingHost, TheCallingOrderOfARoutingHostWorksEndToEnd) {
  EXPECT_EQ(x_.getAPIVersion(), 3);
  const std::string node = plugBoard("vorlix-matrix-a");
  void* session = open(node);
  ASSERT_NE(session, nullptr);
  HostStatus st;
  char* out = nullptr;
  x_.getHandledConstraints(session, &out, &st);
  EXPECT_EQ(take(out), R"(["inversionNeeded"])");

  void* it = x_.getAllTerminals(session, &st);
  std::vector<std::string> names;
  bool front3Masked = false;
  while (!x_.TerminalIterator_isEnd(it)) {
    const std::string name = x_.TerminalIterator_getStringAttribute(it, "name", &st);
    if (name == "Front3")
      front3Masked = x_.TerminalIterator_getBoolAttribute(it, "isMaskedOut", &st);
    names.push_back(name);
    x_.TerminalIterator_next(it, &st);
  }
  x_.TerminalIterator_destroy(it);
  ASSERT_EQ(st.code(), 0) << st.text();
  EXPECT_EQ(names.size(), 23u);
  EXPECT_TRUE(front3Masked);

  // Names resolve with full case folding: "GROSSTAKT" is "Großtakt".
  const std::string routes = calculate(session, "front0", "FPGAIN3", st);
  ASSERT_EQ(st.code(), 0) << st.text();
  EXPECT_NE(routes.find(R"("destination":"FpgaIn3")"), std::string::npos) << routes;
  EXPECT_NE(routes.find(R"("indexOfStartingSeed":0)"), std::string::npos) << routes;
  const std::uint32_t ticket = ticketOf(routes);
  ASSERT_NE(ticket, 0u) << routes;
  x_.reserveRoute(session, ticket, &out, &st);
  EXPECT_EQ(out, nullptr);
  x_.programRoute(session, ticket, &st);
  x_.getRouteTerminalPath(session, ticket, &out, &st);
  ASSERT_EQ(st.code(), 0) << st.text();
  EXPECT_EQ(take(out), R"(["Front0","MuxA","MuxB","FpgaIn3"])");
  const std::string clock = calculate(session, "CLOCKIN", "grosstakt", st);
  EXPECT_NE(clock.find(R"("destination":"Großtakt")"), std::string::npos) << clock;
  x_.destroyRoute(session, ticketOf(clock));
  x_.unprogramRoute(session, ticket);
  x_.unreserveRoute(session, ticket);
  x_.beginExceptionalRouteDestruction(session, 1, 2);
  x_.destroyRoute(session, ticket);
  x_.getRouteTerminalPath(session, ticket, &out, &st);  // the route is gone
  EXPECT_LT(st.code(), 0);
  take(out);
  x_.destroySession(session);
}

TEST_F(RoutingHost, AReservationInTheWayIsReportedWithItsHolder) {
  const std::string node = plugBoard("vorlix-matrix-a");
  void* first = open(node);
  void* second = open(node);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  HostStatus st;
  // Both routes drive MuxA; the first one reserved wins.
  const std::uint32_t held = ticketOf(calculate(first, "Front0", "FpgaIn3", st));
  const std::uint32_t wanted = ticketOf(calculate(second, "Front1", "FpgaIn0", st));
  ASSERT_NE(held, 0u);
  ASSERT_NE(wanted, 0u);
  char* out = nullptr;
  x_.reserveRoute(first, held, &out, &st);
  ASSERT_EQ(st.code(), 0) << st.text();
  HostStatus conflict;
  x_.reserveRoute(second, wanted, &out, &conflict);
  EXPECT_EQ(conflict.code(), qodrv::routing::kStatusReservationConflict) << conflict.text();
  EXPECT_EQ(take(out), R"([{"sessionId":)" +
                           std::to_string(reinterpret_cast<std::uintptr_t>(first)) +
                           R"(,"ticket":)" + std::to_string(held) + "}]");
  x_.destroySession(second);
  x_.destroySession(first);
}

TEST_F(RoutingHost, ADemotionReachesTheHostOnTheSessionThread) {
  const std::string node = plugBoard("vorlix-matrix-a");
  Demotions demotions;
  void* session = open(node, &demotions);
  ASSERT_NE(session, nullptr);
  HostStatus st;
  const std::uint32_t ticket = ticketOf(calculate(session, "Front0", "FpgaIn3", st));
  char* out = nullptr;
  x_.reserveRoute(session, ticket, &out, &st);
  ASSERT_EQ(st.code(), 0) << st.text();
  // Messages the session must ignore: an unknown kind and another subscription's cookie.
  qosim::NotifySpec unknownKind;
  unknownKind.node = set_.board(0).nodeName(qodrv::routing::kInterfaceName);
  unknownKind.wireKind = 3;
  ASSERT_TRUE(set_.client().notify(unknownKind).ok());
  qosim::NotifySpec foreign = unknownKind;
  foreign.wireKind = 1;
  foreign.cookie = 0x1234;
  ASSERT_TRUE(set_.client().notify(foreign).ok());
  const auto answer =
      set_.client().request({{"cmd", "demote"}, {"device", device_}, {"ticket", ticket}});
  ASSERT_TRUE(answer.ok()) << answer.error;
  std::unique_lock<std::mutex> lock(demotions.mutex);
  ASSERT_TRUE(demotions.arrived.wait_for(lock, std::chrono::seconds(5),
                                         [&] { return !demotions.reasons.empty(); }));
  EXPECT_EQ(demotions.reasons.front(), 101);
  EXPECT_EQ(demotions.threads.front(), "qovorlixatomics");  // the kernel keeps 15 bytes
  EXPECT_FALSE(pthread_equal(demotions.ids.front(), pthread_self()));
  lock.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  lock.lock();
  EXPECT_EQ(demotions.reasons.size(), 1u);  // the ignored messages called nothing
  lock.unlock();
  x_.destroySession(session);
}

TEST_F(RoutingHost, ASessionDestroyedFromItsDemotionFunctionLeavesNoThread) {
  const std::string node = plugBoard("vorlix-matrix-a");
  const int before = notificationThreads();
  SelfDestroyingHost host;
  host.x = &x_;
  HostStatus st;
  host.session =
      x_.createSessionWithDemotionFunc(node.c_str(), &hostAllocate, &destroyOnDemotion, &host, &st);
  ASSERT_NE(host.session, nullptr) << st.text();
  // Bounded waits: a thread takes its name, and disappears, on its own schedule.
  auto waitForThreads = [](int n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (notificationThreads() != n && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return notificationThreads();
  };
  EXPECT_EQ(waitForThreads(before + 1), before + 1);
  const std::uint32_t ticket = ticketOf(calculate(host.session, "Front0", "FpgaIn3", st));
  char* out = nullptr;
  x_.reserveRoute(host.session, ticket, &out, &st);
  ASSERT_EQ(st.code(), 0) << st.text();
  const auto answer =
      set_.client().request({{"cmd", "demote"}, {"device", device_}, {"ticket", ticket}});
  ASSERT_TRUE(answer.ok()) << answer.error;
  {
    std::unique_lock<std::mutex> lock(host.mutex);
    ASSERT_TRUE(host.done.wait_for(lock, std::chrono::seconds(10), [&] { return host.destroyed; }));
  }
  // The thread leaves its loop by itself once the demotion function has returned.
  EXPECT_EQ(waitForThreads(before), before);
  // The library keeps working: another session on the same node, ended by the host thread
  // (which also joins the retired thread).
  void* again = open(node);
  ASSERT_NE(again, nullptr);
  EXPECT_NE(calculate(again, "Front0", "FpgaIn3", st).find("\"ticket\":"), std::string::npos)
      << st.text();
  x_.destroySession(again);
  EXPECT_EQ(notificationThreads(), before);
}

TEST_F(RoutingHost, ALongPathIsFetchedWithOneRetryAndLaterCallsStartLarger) {
  const std::string node = plugBoard("vorlix-matrix-b");
  void* session = open(node);
  ASSERT_NE(session, nullptr);
  HostStatus st;
  const std::uint32_t ticket = ticketOf(calculate(session, "Front0", "DelayOut", st));
  ASSERT_NE(ticket, 0u) << st.text();
  ASSERT_TRUE(set_.client().clearLog().ok());
  char* out = nullptr;
  x_.getRouteTerminalPath(session, ticket, &out, &st);
  ASSERT_EQ(st.code(), 0) << st.text();
  std::string expected = R"(["Front0",)";
  for (int i = 0; i < 40; ++i) expected += "\"Delay" + std::to_string(i) + "\",";
  EXPECT_EQ(take(out), expected + R"("DelayOut"])");
  auto countPathRequests = [&] {
    const auto log = set_.client().readLog(true);
    int n = 0;
    for (const auto& e : log.value)
      n += e.command == qodrv::routing::kGetRouteTerminalPathCommand ? 1 : 0;
    return n;
  };
  const int first = countPathRequests();
  EXPECT_GE(first, 1);
  EXPECT_LE(first, 2);
  x_.getRouteTerminalPath(session, ticket, &out, &st);
  ASSERT_EQ(st.code(), 0) << st.text();
  take(out);
  EXPECT_EQ(countPathRequests(), 1);
  x_.destroySession(session);
}

TEST_F(RoutingHost, SessionsOnBadNodesFailWithClearCodes) {
  const std::string node = plugBoard("vorlix-none");
  HostStatus unknown;
  EXPECT_EQ(x_.createSession(node.c_str(), &hostAllocate, &unknown), nullptr);
  EXPECT_EQ(unknown.code(), -50003);
  EXPECT_NE(unknown.text().find(R"("qoark_debug":"Topography not found: vorlix-none")"),
            std::string::npos)
      << unknown.text();

  HostStatus tooLong;
  const std::string path(300, 'x');
  EXPECT_EQ(x_.createSession(path.c_str(), &hostAllocate, &tooLong), nullptr);
  EXPECT_EQ(tooLong.code(), -52005);

  HostStatus missing;
  EXPECT_EQ(x_.createSession("/dev/qo/none", &hostAllocate, &missing), nullptr);
  EXPECT_EQ(missing.code(), -52006) << missing.text();

  HostStatus held(-7);
  EXPECT_EQ(x_.createSession(node.c_str(), &hostAllocate, &held), nullptr);
  EXPECT_EQ(held.code(), -7);
  EXPECT_EQ(held.text(), "");
}

// A driver that fills the whole name buffer without a NUL: the name is taken from within the
// buffer (never read past it) and, being no topography's name, refused as unknown.
TEST_F(RoutingHost, ATopographyNameWithoutItsEndIsReadWithinTheBuffer) {
  auto& b = set_.add()
                .withDefaults()
                .withRouting()
                .withTopographyName("vorlix-matrix-a")
                .withField("routingFaults", nlohmann::json{{"unterminatedName", true}});
  ASSERT_TRUE(set_.plug().ok());
  HostStatus st;
  EXPECT_EQ(
      x_.createSession(b.nodePath(qodrv::routing::kInterfaceName).c_str(), &hostAllocate, &st),
      nullptr);
  EXPECT_EQ(st.code(), -50003);
  const std::string text = st.text();
  const std::string prefix = "Topography not found: ";
  const auto at = text.find(prefix);
  ASSERT_NE(at, std::string::npos) << text;
  const std::string name = text.substr(at + prefix.size(), text.find('"', at) - at - prefix.size());
  EXPECT_EQ(name.rfind("vorlix-matrix-avorlix-matrix-a", 0), 0u) << name;
  EXPECT_LE(name.size(), 128u) << name;
}

TEST_F(RoutingHost, RefusedRequestsAndAllocationFailuresReachTheHostStatus) {
  const std::string node = plugBoard("vorlix-matrix-a");
  void* session = open(node);
  ASSERT_NE(session, nullptr);
  for (const qotest::RequestCase& c : qotest::kRequestDiagnostics) {
    HostStatus st;
    char* out = nullptr;
    EXPECT_EQ(x_.calculateRoute(session, c.seeds, c.destinations, c.modifiers, &out, &st), 0u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(st.code(), -52005);
    const std::string text = st.text();
    const std::string tail =
        std::string(R"(,"component":"qovorlixatomicsae","qoroco_debug":)") + c.debug + "}";
    ASSERT_GE(text.size(), tail.size()) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  }
  x_.destroySession(session);

  HostStatus st;
  void* starved = x_.createSession(node.c_str(), &nullAllocate, &st);
  ASSERT_NE(starved, nullptr) << st.text();
  char* out = nullptr;
  x_.getHandledConstraints(starved, &out, &st);
  EXPECT_EQ(st.code(), -52000);
  EXPECT_NE(st.text().find(R"("error_constant":"qoapalerr_memoryFull")"), std::string::npos);
  EXPECT_EQ(out, nullptr);
  x_.destroySession(starved);
}

}  // namespace
