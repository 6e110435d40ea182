// The routing adaptor in process: a session over an in-process driver (FakeRoutingDriver) and
// test topographies, driven through the C exports exactly as a routing host calls them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qo/dsc/FoldCase.h"
#include "qo/dsc/Utf8.h"
#include "qoarkra/ARKRoutingAdaptor.h"
#include "qoarkra/TopographyInfoRegistration.h"
#include "qo/err/Exception.h"
#include "tests/common/FakeRoutingDriver.h"
#include "tests/common/RoutingRequestCases.h"
#include "qodrv/qoDriverConstants.h"

using qoroco::JsonStatus;

extern "C" {
std::uint32_t qoroco_ra_qovorlixatomicsae_calculateRoute(void*, const char*, const char*,
                                                         const char*, char**, JsonStatus*);
void qoroco_ra_qovorlixatomicsae_reserveRoute(void*, std::uint32_t, char**, JsonStatus*);
void qoroco_ra_qovorlixatomicsae_programRoute(void*, std::uint32_t, JsonStatus*);
void qoroco_ra_qovorlixatomicsae_getRouteTerminalPath(void*, std::uint32_t, char**, JsonStatus*);
void qoroco_ra_qovorlixatomicsae_getHandledConstraints(void*, char**, JsonStatus*);
void* qoroco_ra_qovorlixatomicsae_getAllTerminals(void*, JsonStatus*);
void qoroco_ra_qovorlixatomicsae_TerminalIterator_next(void*, JsonStatus*);
bool qoroco_ra_qovorlixatomicsae_TerminalIterator_isEnd(void*);
const char* qoroco_ra_qovorlixatomicsae_TerminalIterator_getStringAttribute(void*, const char*,
                                                                            JsonStatus*);
bool qoroco_ra_qovorlixatomicsae_TerminalIterator_getBoolAttribute(void*, const char*, JsonStatus*);
std::uint32_t qoroco_ra_qovorlixatomicsae_TerminalIterator_getU32Attribute(void*, const char*,
                                                                           JsonStatus*);
void qoroco_ra_qovorlixatomicsae_TerminalIterator_resetTerminal(void*, const char*, JsonStatus*);
std::uint32_t qoroco_ra_qovorlixatomicsae_TerminalIterator_calculateResetTerminal(void*, void*,
                                                                                  const char*,
                                                                                  JsonStatus*);
void qoroco_ra_qovorlixatomicsae_TerminalIterator_destroy(void*);
void qoroco_ra_qovorlixatomicsae_destroySession(void*);
}

namespace {

using qoark::tTerminalInfo;
using qoark::tTopographyInfo;

// clang-format off
const tTerminalInfo kTerminals[] = {
    {"PXI_Trig0", 10, 1, 0, "public", "PXI", 0, "PXI_Trig", 0, "PXI_Trig0", 0},
    {"Stra\xc3\x9f" "e", 11, 0, 1, "public", "none", 3, "", 0, "Strasse", 1},
    {"Dup", 12, 0, 0, "public", "none", 0, "", 0, "Dup", 0},
    {"DUP", 13, 0, 0, "public", "none", 0, "", 1, "Dup", 0},
    {"\xff\xfe" "Bad", 14, 0, 0, "private", "none", 0, "", 0, "Bad", 0},
    {"\xef\xac\x83x", 15, 0, 0, "public", "none", 0, "", 0, "ffix", 0},
    {"A", 16, 0, 0, "public", "none", 0, "", 0, "A", 0},
    {"\xc4\xb0", 17, 0, 0, "public", "none", 0, "", 0, "I", 0},
};
// clang-format on
const tTopographyInfo kTopography{"test-matrix", std::size(kTerminals), kTerminals};
const tTopographyInfo kEmpty{"empty", 0, nullptr};

// The literal walk: table order, bytes first, then full case folding of well-formed texts.
std::uint32_t literalWalk(const tTopographyInfo& topography, std::string_view name) {
  for (std::uint64_t i = 0; i < topography.terminalCount; ++i) {
    const std::string_view candidate = topography.terminals[i].name;
    if (candidate == name) return topography.terminals[i].id;
    std::string a, b;
    if (qoark::tTerminalIndex::foldedKey(candidate, a) &&
        qoark::tTerminalIndex::foldedKey(name, b) && qo::dsc::foldEquals(candidate, name)) {
      return topography.terminals[i].id;
    }
  }
  return 0;
}

int gAllocations = 0;
void* countingAllocate(void* previous, std::size_t size) {
  ++gAllocations;
  return std::realloc(previous, size);
}
void* failingAllocate(void*, std::size_t) { return nullptr; }

struct Status {
  qoerr::tOwnedJsonStatus owned;
  explicit Status(std::int32_t code = 0) : owned(code) {}
  JsonStatus* operator&() { return &owned.get(); }
  std::int32_t code() const { return owned->code; }
  std::string text() const { return owned->json ? owned->json : ""; }
  // The member after the origin members (what the request parser adds).
  std::string debug() const {
    const std::string t = text();
    const auto at = t.find("\"qoroco_debug\":");
    return at == std::string::npos ? "" : t.substr(at + 15, t.size() - at - 16);
  }
};

class RoutingSession : public ::testing::Test {
 protected:
  void SetUp() override { gAllocations = 0; }
  void TearDown() override { std::free(out_); }
  void* handle() { return static_cast<qoroco::RoutingAdaptorSessionInterface*>(&session_); }
  std::uint32_t calculate(const char* seeds, const char* destinations, const char* modifiers,
                          Status& status) {
    return qoroco_ra_qovorlixatomicsae_calculateRoute(handle(), seeds, destinations, modifiers,
                                                      &out_, &status);
  }
  std::string out() const { return out_ ? out_ : "<null>"; }

  qotest::FakeRoutingDriver driver_;
  qoark::ARKRoutingAdaptorSession session_{driver_, kTopography, &countingAllocate};
  char* out_ = nullptr;
};

constexpr char kSeed[] = R"([{"terminal":"PXI_Trig0","cost":5,"constraints":{}}])";

TEST_F(RoutingSession, NamesResolveToTheFirstTerminalTheLiteralWalkFinds) {
  struct Case {
    const char* name;
    std::uint32_t id;
  };
  // clang-format off
  const Case cases[] = {
      {"pxi_trig0", 10}, {"PXI_TRIG0", 10}, {"STRASSE", 11}, {"strasse", 11},
      {"dup", 12}, {"DUP", 12},  // "Dup" comes first and folds equal
      {"\xff\xfe" "Bad", 14}, {"\xff\xfe" "bad", 0},  // not UTF-8: bytes only, no throw
      {"FFIX", 15}, {"ffi" "X", 15}, {"i\xcc\x87", 17}, {"I", 0}, {"a", 16}, {"nope", 0},
      {"", 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(session_.resolveTerminalName(c.name), c.id) << c.name;
    EXPECT_EQ(literalWalk(kTopography, c.name), c.id) << c.name;
  }
}

TEST_F(RoutingSession, ResultsCarryNamesCostsSeedsAndConstraints) {
  Status st;
  driver_.calculateValue = 0xABCDEF01;
  driver_.results =
      std::vector<nQOVORLIXATOMICSAE_23_3::tRouteResult>{{3, 11, -1, 1, 1}, {4, 999, 7, 0, 0}};
  const std::uint32_t value = calculate(
      R"([{"terminal":"pxi_trig0","cost":2.9,"constraints":{"inversionNeeded":true}},
          {"terminal":"a","cost":-1,"constraints":{"other":1,"inversionNeeded":false}}])",
      R"(["STRASSE","nope"])", R"({"required":{"calculateIgnoresReservations":true}})", st);
  ASSERT_EQ(st.code(), 0) << st.text();
  EXPECT_EQ(value, 0xABCDEF01u);
  EXPECT_EQ(out(),
            R"([{"ticket":3,"destination":"Straße","cost":4294967295,"indexOfStartingSeed":1,)"
            R"("constraints":{"inversionNeeded":true}},{"ticket":4,"destination":"","cost":7,)"
            R"("indexOfStartingSeed":0,"constraints":{}}])");
  ASSERT_EQ(driver_.lastSeeds.size(), 2u);
  EXPECT_EQ(driver_.lastSeeds[0].terminalId, 10u);
  EXPECT_EQ(driver_.lastSeeds[0].cost, 2u);
  EXPECT_EQ(driver_.lastSeeds[0].inversionNeeded, 1);
  EXPECT_EQ(driver_.lastSeeds[1].terminalId, 16u);
  EXPECT_EQ(driver_.lastSeeds[1].cost, 4294967295u);
  EXPECT_EQ(driver_.lastSeeds[1].inversionNeeded, 0);
  EXPECT_EQ(driver_.lastDestinations, (std::vector<std::uint32_t>{11, 0}));
  EXPECT_EQ(driver_.lastFlags, 1u);
  EXPECT_EQ(driver_.lastResultCapacity, 4u);
  EXPECT_EQ(driver_.lastSessionId, session_.sessionId());
}

TEST_F(RoutingSession, CostsAreReadOrRefused) {
  struct Case {
    const char* cost;
    long long expected;  // -1: refused as "cost field missing or invalid"
  };
  const Case cases[] = {{"2.9", 2},
                        {"-1", 4294967295LL},
                        {"1e3", 1000},
                        {"-0.5", 0},
                        {"4294967295", 4294967295LL},
                        {"4294967296", 0},
                        {"-1.5", -1},
                        {"4294967296.0", -1},
                        {"1e400", -1},
                        {"4294967295.9", 4294967295LL},
                        // Too small for a double: truncated toward zero. Beyond 64 bits: wrapped.
                        {"1e-400", 0},
                        {"-2.5e-999", 0},
                        {"0.0000e-99999", 0},
                        {"18446744073709551621", 5},
                        {"-18446744073709551617", 4294967295LL},
                        {"36893488147419103232", 0}};
  for (const Case& c : cases) {
    Status st;
    const std::string seeds =
        std::string(R"([{"terminal":"A","cost":)") + c.cost + R"(,"constraints":{}}])";
    calculate(seeds.c_str(), R"(["A"])", "{}", st);
    if (c.expected < 0) {
      EXPECT_EQ(st.code(), -52005) << c.cost;
      EXPECT_EQ(st.debug(), std::string(R"({"msg":"cost field missing or invalid","json":)") +
                                seeds.substr(1, seeds.size() - 2) + "}")
          << c.cost;
    } else {
      ASSERT_EQ(st.code(), 0) << c.cost << st.text();
      EXPECT_EQ(driver_.lastSeeds.at(0).cost, static_cast<std::uint32_t>(c.expected)) << c.cost;
    }
  }
}

TEST_F(RoutingSession, EveryRequestDiagnosticIsExact) {
  for (const qotest::RequestCase& c : qotest::kRequestDiagnostics) {
    Status st;
    EXPECT_EQ(calculate(c.seeds, c.destinations, c.modifiers, st), 0u);
    EXPECT_EQ(st.code(), -52005) << c.debug;
    EXPECT_EQ(st.text().rfind(R"({"error_constant":"qoapalerr_invalidParameter",)"
                              R"("file":"qoroco/RoCoUtils","line":)",
                              0),
              0u)
        << st.text();
    EXPECT_NE(st.text().find(R"(,"component":"qovorlixatomicsae","qoroco_debug":)"),
              std::string::npos)
        << st.text();
    EXPECT_EQ(st.debug(), c.debug);
  }
  EXPECT_EQ(driver_.calculateCalls, 0);
}

TEST_F(RoutingSession, NothingToRouteAnswersAnEmptyListWithoutTheDriver) {
  struct Case {
    const char* seeds;
    const char* destinations;
    const char* modifiers;
  };
  // clang-format off
  const Case cases[] = {
      {"[]", R"(["A"])", "{}"},
      {R"({"terminal":"A"})", R"(["A"])", "{}"},
      {"[1, ", R"(["A"])", "{}"},  // not a well-formed array: nothing
      {kSeed, "[]", "{}"},
      {kSeed, R"(["A"])", R"({"required":{"mystery":true}})"},
      {kSeed, R"(["A"])", R"({"required":{"mode":"x"}})"},
  };
  // clang-format on
  for (const Case& c : cases) {
    Status st;
    std::free(out_);
    out_ = nullptr;
    EXPECT_EQ(calculate(c.seeds, c.destinations, c.modifiers, st), 0u);
    EXPECT_EQ(st.code(), 0) << st.text();
    EXPECT_EQ(out(), "[]");
  }
  // Optional modifiers that are not handled change nothing.
  Status st;
  calculate(kSeed, R"(["A"])",
            R"({"optional":{"mystery":true,"n":1,"calculateIgnoresReservations":true},)"
            R"("required":{"calculateIgnoresReservations":false}})",
            st);
  EXPECT_EQ(st.code(), 0);
  EXPECT_EQ(driver_.calculateCalls, 1);
  EXPECT_EQ(driver_.lastFlags, 0u);
}

TEST_F(RoutingSession, BrokenModifiersKeepTheirMembersAndStringsCompareAsBytes) {
  // Broken modifiers texts: the members before the break count (and a cut-off member may
  // have been required); texts that open no object mean no modifiers.
  struct ModifierCase {
    const char* modifiers;
    int driverFlags;  // -1: answered "[]" without the driver
  };
  // clang-format off
  const ModifierCase modifierCases[] = {
      {R"({"required":{"mystery":true})", -1},
      {R"({"required":{"mystery":true)", -1},
      {R"({"required":{"calculateIgnoresReservations":true,"myst)", -1},
      {R"({"optional":{}, "requ)", -1},
      {R"({"required":{"calculateIgnoresReservations":true})", 1},
      {R"({"optional":{"calculateIgnoresReservations":true} ,)", 1},
      {R"({"required":{"calculateIgnoresReservations":true,)", 1},
      {"{", 0}, {"", 0}, {"5", 0}, {R"([{"required":{"mystery":true}}])", 0}, {"null", 0},
      {"{\"optional\":{\"\xff\":true},\"required\":{\"calculateIgnoresReservations\":true}}", 1},
  };
  // clang-format on
  for (const ModifierCase& c : modifierCases) {
    Status st;
    std::free(out_);
    out_ = nullptr;
    const int callsBefore = driver_.calculateCalls;
    calculate(kSeed, R"(["A"])", c.modifiers, st);
    EXPECT_EQ(st.code(), 0) << c.modifiers << st.text();
    if (c.driverFlags < 0) {
      EXPECT_EQ(out(), "[]") << c.modifiers;
      EXPECT_EQ(driver_.calculateCalls, callsBefore) << c.modifiers;
    } else {
      EXPECT_EQ(driver_.calculateCalls, callsBefore + 1) << c.modifiers;
      EXPECT_EQ(driver_.lastFlags, static_cast<std::uint32_t>(c.driverFlags)) << c.modifiers;
    }
  }
  // Names and unused members that are not UTF-8 compare by bytes instead of emptying the
  // request: an unknown name is id 0, a terminal's own bytes are that terminal.
  Status bytes;
  calculate(
      "[{\"terminal\":\"\xff\xfe"
      "Bad\",\"srcDeviceToken\":\"\x80\",\"cost\":3,"
      "\"constraints\":{}}]",
      "[\"\xff\xfe"
      "bad\",\"A\"]",
      "{}", bytes);
  ASSERT_EQ(bytes.code(), 0) << bytes.text();
  EXPECT_EQ(driver_.lastSeeds.at(0).terminalId, 14u);
  EXPECT_EQ(driver_.lastDestinations, (std::vector<std::uint32_t>{0, 16}));
}

TEST_F(RoutingSession, DriverCountsBeyondTheBufferAreMalformedAnswers) {
  Status a;
  driver_.resultCountAnswer = 3;  // capacity is 2 for one destination
  calculate(kSeed, R"(["A"])", "{}", a);
  EXPECT_EQ(a.code(), -52024);
  EXPECT_EQ(out(), "[]");

  Status b;
  driver_.reserveStatus = qodrv::routing::kStatusReservationConflict;
  driver_.conflicts.assign(8, {1, 2});
  driver_.conflictCountAnswer = 9;
  char* conflicts = nullptr;
  qoroco_ra_qovorlixatomicsae_reserveRoute(handle(), 3, &conflicts, &b);
  EXPECT_EQ(b.code(), -52024);
  EXPECT_EQ(conflicts, nullptr);

  Status c;
  driver_.path = {10, 11};
  driver_.pathCountAnswer = 100;  // says 100 without -52019
  char* path = nullptr;
  qoroco_ra_qovorlixatomicsae_getRouteTerminalPath(handle(), 3, &path, &c);
  EXPECT_EQ(c.code(), -52024);
  EXPECT_EQ(path, nullptr);
}

TEST_F(RoutingSession, DriverErrorsReachTheHostWithTheirResultTexts) {
  Status st;
  driver_.calculateStatus = -52031;
  calculate(kSeed, R"(["A"])", "{}", st);
  EXPECT_EQ(st.code(), -52031);
  EXPECT_EQ(out(), "[]");
  EXPECT_NE(st.text().find(
                R"("file":"objects/codegen/qovorlixatomicsae/tInterfaceProxy_routing","line":97)"),
            std::string::npos)
      << st.text();

  Status conflict;
  driver_.reserveStatus = qodrv::routing::kStatusReservationConflict;
  driver_.conflicts = {{0x1122334455667788ull, -2}, {42, 7}};
  char* conflicts = nullptr;
  qoroco_ra_qovorlixatomicsae_reserveRoute(handle(), 3, &conflicts, &conflict);
  EXPECT_EQ(conflict.code(), qodrv::routing::kStatusReservationConflict);
  ASSERT_NE(conflicts, nullptr);
  EXPECT_STREQ(
      conflicts,
      R"([{"sessionId":1234605616436508552,"ticket":4294967294},{"sessionId":42,"ticket":7}])");
  std::free(conflicts);

  // Without a place for the list the driver's code still reaches the host.
  Status noList;
  qoroco_ra_qovorlixatomicsae_reserveRoute(handle(), 3, nullptr, &noList);
  EXPECT_EQ(noList.code(), qodrv::routing::kStatusReservationConflict) << noList.text();
}

TEST_F(RoutingSession, ALongPathIsFetchedWithOneRetryAndRaisesTheSharedCapacity) {
  const std::uint32_t before = qoark::ARKRoutingAdaptorSession::pathCapacity();
  driver_.path.assign(before + 8, 16);
  driver_.path.back() = 999;
  Status st;
  qoroco_ra_qovorlixatomicsae_getRouteTerminalPath(handle(), 1, &out_, &st);
  ASSERT_EQ(st.code(), 0) << st.text();
  EXPECT_EQ(driver_.pathCapacities, (std::vector<std::uint32_t>{before, before + 8}));
  std::string expected = "[";
  for (std::uint32_t i = 0; i + 1 < before + 8; ++i) expected += "\"A\",";
  EXPECT_EQ(out(), expected + "\"\"]");
  qotest::FakeRoutingDriver other;
  qoark::ARKRoutingAdaptorSession second(other, kTopography, &countingAllocate);
  other.path = {10};
  char* path = nullptr;
  second.getRouteTerminalPath(1, &path);
  EXPECT_EQ(other.pathCapacities, (std::vector<std::uint32_t>{before + 8}));
  EXPECT_STREQ(path, R"(["PXI_Trig0"])");
  std::free(path);
}

TEST_F(RoutingSession, AStatusHoldingAnErrorMakesEveryCheckingExportANoOp) {
  Status st(-1);
  EXPECT_EQ(calculate(kSeed, R"(["A"])", "{}", st), 0u);
  qoroco_ra_qovorlixatomicsae_programRoute(handle(), 1, &st);
  qoroco_ra_qovorlixatomicsae_getHandledConstraints(handle(), &out_, &st);
  EXPECT_EQ(qoroco_ra_qovorlixatomicsae_getAllTerminals(handle(), &st), nullptr);
  EXPECT_EQ(st.code(), -1);
  EXPECT_EQ(st.text(), "");
  EXPECT_EQ(out_, nullptr);
  EXPECT_EQ(driver_.calculateCalls + static_cast<int>(driver_.ticketCalls.size()), 0);
  EXPECT_EQ(gAllocations, 0);

  Status warning(1);
  qoroco_ra_qovorlixatomicsae_programRoute(handle(), 1, &warning);
  EXPECT_EQ(driver_.ticketCalls, (std::vector<std::string>{"program 1"}));
  driver_.ticketStatus = -52006;
  qoroco_ra_qovorlixatomicsae_programRoute(handle(), 2, &warning);
  EXPECT_EQ(warning.code(), -52006);
  const std::string first = warning.text();
  driver_.ticketStatus = -52031;
  qoroco_ra_qovorlixatomicsae_programRoute(handle(), 3, &warning);
  EXPECT_EQ(warning.code(), -52006);
  EXPECT_EQ(warning.text(), first);
}

TEST_F(RoutingSession, AHostAllocatorReturningNullIsMemoryFull) {
  qoark::ARKRoutingAdaptorSession session(driver_, kTopography, &failingAllocate);
  Status st;
  qoroco_ra_qovorlixatomicsae_calculateRoute(
      static_cast<qoroco::RoutingAdaptorSessionInterface*>(&session), kSeed, R"(["A"])", "{}",
      &out_, &st);
  EXPECT_EQ(st.code(), -52000);
  EXPECT_EQ(st.text().rfind(
                R"({"error_constant":"qoapalerr_memoryFull","file":"qohtl/err/Allocator",)", 0),
            0u)
      << st.text();
  EXPECT_EQ(out_, nullptr);
}

TEST_F(RoutingSession, HandledConstraintsListTheTable) {
  Status st;
  qoroco_ra_qovorlixatomicsae_getHandledConstraints(handle(), &out_, &st);
  ASSERT_EQ(st.code(), 0);
  EXPECT_EQ(out(), R"(["inversionNeeded"])");
}

TEST_F(RoutingSession, TheIteratorReadsAttributesAndStopsAtTheEnd) {
  Status st;
  void* it = qoroco_ra_qovorlixatomicsae_getAllTerminals(handle(), &st);
  ASSERT_NE(it, nullptr);
  std::vector<std::uint32_t> ids;
  while (!qoroco_ra_qovorlixatomicsae_TerminalIterator_isEnd(it)) {
    ids.push_back(qoroco_ra_qovorlixatomicsae_TerminalIterator_getU32Attribute(it, "id", &st));
    if (ids.size() == 2) {
      EXPECT_STREQ(
          qoroco_ra_qovorlixatomicsae_TerminalIterator_getStringAttribute(it, "canonicalName", &st),
          "Strasse");
      EXPECT_TRUE(
          qoroco_ra_qovorlixatomicsae_TerminalIterator_getBoolAttribute(it, "isOwned", &st));
      EXPECT_TRUE(
          qoroco_ra_qovorlixatomicsae_TerminalIterator_getBoolAttribute(it, "isMaskedOut", &st));
      EXPECT_EQ(qoroco_ra_qovorlixatomicsae_TerminalIterator_getU32Attribute(it, "busLine", &st),
                3u);
    }
    qoroco_ra_qovorlixatomicsae_TerminalIterator_next(it, &st);
  }
  EXPECT_EQ(st.code(), 0) << st.text();
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{10, 11, 12, 13, 14, 15, 16, 17}));

  struct Bad {
    const char* kind;
    const char* name;
    int line;
  };
  for (const Bad& b : {Bad{"u32", "name", 478}, Bad{"bool", "IsOwned", 464},
                       Bad{"string", "id", 450}, Bad{"string", "name", 450}}) {
    Status bad;
    // The last one reads at the end of the table: refused instead of read out of range.
    if (std::string(b.kind) == "u32") {
      EXPECT_EQ(qoroco_ra_qovorlixatomicsae_TerminalIterator_getU32Attribute(it, b.name, &bad), 0u);
    } else if (std::string(b.kind) == "bool") {
      EXPECT_FALSE(qoroco_ra_qovorlixatomicsae_TerminalIterator_getBoolAttribute(it, b.name, &bad));
    } else {
      EXPECT_EQ(qoroco_ra_qovorlixatomicsae_TerminalIterator_getStringAttribute(it, b.name, &bad),
                nullptr);
    }
    EXPECT_EQ(bad.code(), -50003) << b.name;
    EXPECT_EQ(bad.text(), std::string(R"({"error_constant":"qopalerr_badSelector",)"
                                      R"("file":"qoarkra/ARKRoutingAdaptor","line":)") +
                              std::to_string(b.line) + R"(,"component":"qovorlixatomicsae"})");
  }
  Status end;
  EXPECT_EQ(qoroco_ra_qovorlixatomicsae_TerminalIterator_calculateResetTerminal(handle(), it,
                                                                                "default", &end),
            0u);
  EXPECT_EQ(end.code(), -50003);
  EXPECT_TRUE(driver_.resetCall.empty());
  qoroco_ra_qovorlixatomicsae_TerminalIterator_destroy(it);
}

TEST_F(RoutingSession, ResetTerminalSendsTheCallersWarningAndKeepsIt) {
  Status st;
  void* it = qoroco_ra_qovorlixatomicsae_getAllTerminals(handle(), &st);
  qoroco_ra_qovorlixatomicsae_TerminalIterator_next(it, &st);
  Status bad;
  qoroco_ra_qovorlixatomicsae_TerminalIterator_resetTerminal(it, "Floating", &bad);
  EXPECT_EQ(bad.code(), -50003);
  EXPECT_TRUE(driver_.resetCall.empty());

  Status warning(5);
  warning.owned->setText(R"({"file":"some/where","line":12,"component":"hostcomponent"})");
  qoroco_ra_qovorlixatomicsae_TerminalIterator_resetTerminal(it, "floating", &warning);
  EXPECT_EQ(driver_.resetCall, (std::vector<std::uint32_t>{11, 1, 5}));
  EXPECT_EQ(warning.code(), 5);
  EXPECT_EQ(warning.text(), R"({"file":"some/where","line":12,"component":"hostcomponent"})");

  driver_.resetStatus = -52031;
  Status failed;
  qoroco_ra_qovorlixatomicsae_TerminalIterator_resetTerminal(it, "default", &failed);
  EXPECT_EQ(failed.code(), -52031);
  EXPECT_EQ(failed.text(), R"({"file":"objects/codegen/qovorlixatomicsae/tInterfaceProxy_routing",)"
                           R"("line":315,"component":"qovorlixa"})");

  driver_.resetStatus = 0;
  Status calc;
  EXPECT_EQ(qoroco_ra_qovorlixatomicsae_TerminalIterator_calculateResetTerminal(handle(), it,
                                                                                "floating", &calc),
            11u);
  EXPECT_EQ(calc.code(), 0);
  Status mode;
  qoroco_ra_qovorlixatomicsae_TerminalIterator_calculateResetTerminal(handle(), it, "Default",
                                                                      &mode);
  EXPECT_EQ(mode.code(), -50003);
  qoroco_ra_qovorlixatomicsae_TerminalIterator_destroy(it);
}

TEST(RoutingIterator, AnEmptyTopographyIsAtItsEndAtOnce) {
  qotest::FakeRoutingDriver driver;
  qoark::ARKRoutingAdaptorSession session(driver, kEmpty, &countingAllocate);
  std::unique_ptr<qoroco::TerminalIteratorInterface> it(session.getAllTerminals());
  EXPECT_TRUE(it->isEnd());
  EXPECT_EQ(session.resolveTerminalName("A"), 0u);
}

TEST(TopographyRegistry, FindsTheFirstRecordAndRefusesWhatItCannotHold) {
  qoark::tTopographyRegistry registry;
  const tTopographyInfo second{"test-matrix", 1, kTerminals};
  const tTerminalInfo zero[] = {{"Z", 0, 0, 0, "", "", 0, "", 0, "", 0}};
  const tTopographyInfo withZero{"zero", 1, zero};
  EXPECT_TRUE(registry.registerTopography(&kTopography));
  EXPECT_TRUE(registry.registerTopography(&second));
  EXPECT_FALSE(registry.registerTopography(&withZero));
  EXPECT_FALSE(registry.registerTopography(nullptr));
  EXPECT_EQ(&registry.findTopography("test-matrix").record(), &kTopography);
  for (std::uint32_t i = registry.count(); i < qoark::kMaxTopographies; ++i) {
    EXPECT_TRUE(registry.registerTopography(&kEmpty));
  }
  EXPECT_FALSE(registry.registerTopography(&kEmpty));
  EXPECT_EQ(registry.count(), qoark::kMaxTopographies);
  try {
    registry.findTopography("vorlix-none");
    FAIL() << "found a topography that is not registered";
  } catch (const qoerr::Exception& e) {
    EXPECT_EQ(e.code(), -50003);
    EXPECT_STREQ(
        e.details(),
        R"({"error_constant":"qopalerr_badSelector","file":"qoarkra/TopographyInfoRegistration",)"
        R"("line":36,"component":"qovorlixatomicsae","qoark_debug":"Topography not found: vorlix-none"})");
  }
}

}  // namespace
