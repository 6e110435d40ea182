// The routing face when memory runs out: every allocation of each export's work, one at a time,
// fails on the calling thread. Each call succeeds or leaves -52000 with a JSON text in the host's
// status, hands out no session, iterator or text on failure, and the next call works.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "QosimClient.h"
#include "oom_sweep.h"
#include "tests/common/LibraryUnderTest.h"
#include "tools/common/routing_host_abi.h"
#include "qodrv/qoDriverConstants.h"

namespace {

using oom::Outcome;
using routingabi::hostAllocate;
using routingabi::HostStatus;

constexpr std::int32_t kMemoryFull = -52000;

// The status after one call: success, or -52000 with a JSON object naming the error.
Outcome classify(const HostStatus& st) {
  if (st.code() == 0) return Outcome::kSucceeded;
  if (st.code() != kMemoryFull) {
    ADD_FAILURE() << "code " << st.code() << " " << st.text();
    return Outcome::kOther;
  }
  const auto json = nlohmann::json::parse(st.text(), nullptr, false);
  EXPECT_TRUE(json.is_object()) << st.text();
  if (json.is_object()) {
    EXPECT_TRUE(json.contains("file")) << st.text();
  }
  return Outcome::kOutOfMemory;
}

std::uint32_t ticketOf(const std::string& routes) {
  const auto json = nlohmann::json::parse(routes, nullptr, false);
  if (!json.is_array() || json.empty()) return 0;
  return json[0].value("ticket", 0u);
}

std::string take(char*& text) {
  std::string s = text != nullptr ? text : "";
  std::free(text);
  text = nullptr;
  return s;
}

class RoutingOutOfMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.load()) << lib_.error();
    std::string missing;
    ASSERT_TRUE(x_.load(lib_, &missing)) << missing;
    auto& b = set_.add().withDefaults().withRouting().withTopographyName("vorlix-matrix-a");
    ASSERT_TRUE(set_.plug().ok());
    node_ = b.nodePath(qodrv::routing::kInterfaceName);
    HostStatus st;
    session_ = x_.createSession(node_.c_str(), &hostAllocate, &st);
    ASSERT_NE(session_, nullptr) << st.text();
  }
  void TearDown() override {
    x_.destroySession(session_);
    lib_.close();
  }
  template <typename F>
  static auto armed(long failAt, F call) {
    oom::Armed a(failAt);
    auto result = call();
    oom::noteSeen(a.seen());
    return result;
  }

  // calculateRoute from Front0 to FpgaIn3, armed; the routes text.
  std::string calculate(long failAt, HostStatus& st) {
    char* out = nullptr;
    armed(failAt, [&] {
      return x_.calculateRoute(session_, R"([{"terminal":"Front0","cost":1,"constraints":{}}])",
                               R"(["FpgaIn3"])", "{}", &out, &st);
    });
    return take(out);
  }
  testsupport::LibraryUnderTest lib_;
  routingabi::Exports x_;
  qosim::BoardSet set_;
  std::string node_;
  void* session_ = nullptr;
};

TEST_F(RoutingOutOfMemory, SessionsAreMadeWholeOrNotAtAll) {
  oom::sweep("routing: createSession", [&](long n) {
    HostStatus st;
    void* s = armed(n, [&] { return x_.createSession(node_.c_str(), &hostAllocate, &st); });
    if (st.code() != 0) {
      EXPECT_EQ(s, nullptr);
    } else {
      EXPECT_NE(s, nullptr);
    }
    x_.destroySession(s);
    return classify(st);
  });
  oom::sweep(
      "routing: destroySession",
      [&](long n) {
        HostStatus st;
        void* s = x_.createSession(node_.c_str(), &hostAllocate, &st);
        EXPECT_NE(s, nullptr) << st.text();
        armed(n, [&] {
          x_.destroySession(s);
          return 0;
        });
        return classify(st);
      },
      true);
}

TEST_F(RoutingOutOfMemory, RouteOperationsAnswerOrReportOutOfMemory) {
  oom::sweep(
      "routing: getHandledConstraints",
      [&](long n) {
        HostStatus st;
        char* out = nullptr;
        armed(n, [&] {
          x_.getHandledConstraints(session_, &out, &st);
          return 0;
        });
        if (st.code() == 0) {
          EXPECT_EQ(take(out), R"(["inversionNeeded"])");
        } else {
          EXPECT_EQ(out, nullptr);
        }
        return classify(st);
      },
      !oom::heapFunctionsCovered());  // only the host's allocate and the JSON writer: malloc
  oom::sweep("routing: calculateRoute", [&](long n) {
    HostStatus st;
    const std::string routes = calculate(n, st);
    const std::uint32_t ticket = ticketOf(routes);
    if (st.code() == 0) {
      EXPECT_NE(ticket, 0u) << routes;
    } else {
      EXPECT_TRUE(routes.empty() || routes == "[]") << routes;
    }
    if (ticket != 0) x_.destroyRoute(session_, ticket);
    return classify(st);
  });
  // Reserve, program and read the path of one route, then take it down.
  oom::sweep("routing: reserve/program/path", [&](long n) {
    HostStatus st;
    const std::uint32_t ticket = ticketOf(calculate(0, st));
    EXPECT_NE(ticket, 0u) << st.text();
    char* conflicts = nullptr;
    char* path = nullptr;
    armed(n, [&] {
      x_.reserveRoute(session_, ticket, &conflicts, &st);
      x_.programRoute(session_, ticket, &st);
      x_.getRouteTerminalPath(session_, ticket, &path, &st);
      x_.unprogramRoute(session_, ticket);
      x_.unreserveRoute(session_, ticket);
      x_.destroyRoute(session_, ticket);
      return 0;
    });
    EXPECT_EQ(conflicts, nullptr);
    const std::string text = take(path);
    if (st.code() == 0) {
      EXPECT_EQ(text, R"(["Front0","MuxA","MuxB","FpgaIn3"])");
    }
    // Whatever failed, the route is gone: a calculation of the same route is not in the way.
    x_.unprogramRoute(session_, ticket);
    x_.unreserveRoute(session_, ticket);
    x_.destroyRoute(session_, ticket);
    return classify(st);
  });
}

TEST_F(RoutingOutOfMemory, TheTerminalWalkAnswersOrReportsOutOfMemory) {
  oom::sweep("routing: terminal iterator", [&](long n) {
    HostStatus st;
    int terminals = 0;
    armed(n, [&] {
      void* it = x_.getAllTerminals(session_, &st);
      while (it != nullptr && st.code() == 0 && !x_.TerminalIterator_isEnd(it)) {
        x_.TerminalIterator_getStringAttribute(it, "name", &st);
        x_.TerminalIterator_getBoolAttribute(it, "isMaskedOut", &st);
        x_.TerminalIterator_next(it, &st);
        ++terminals;
      }
      x_.TerminalIterator_destroy(it);
      return 0;
    });
    if (st.code() == 0) {
      EXPECT_EQ(terminals, 23);
    }
    return classify(st);
  });
}

}  // namespace
