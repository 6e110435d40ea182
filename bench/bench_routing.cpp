// calculateRoute with 32 destinations over the board family's largest topography (over 1000
// terminals), in process against FakeRoutingDriver: the session (names and ids resolved through
// the topography's terminal index) against the literal per-name walk written here (every name
// compared with every terminal in table order, a fresh iterator each time, full case folding
// whenever the bytes differ; every result's destination found the same way). Both produce the
// same text, checked before timing. Target: the session at least 20 times faster.
//
// BM_Scaling_CalculateRoute: the same 32-destination request over each built-in topography
// (23, 193 and 1161 terminals). The fake driver answers at a cost independent of the topography,
// so the figures are the library's own time per call (parsing, name and id resolution, the
// result text); resolution through the terminal index should keep them flat.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qo/dsc/FoldCase.h"
#include "qo/err/Exception.h"
#include "qoapal/json/tJsonWriter.h"
#include "qoarkra/ARKRoutingAdaptor.h"
#include "qoroco/RoCoUtils.h"
#include "tests/common/FakeRoutingDriver.h"

namespace {

namespace json = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json;
using nQOVORLIXATOMICSAE_23_3::tRouteResult;
using nQOVORLIXATOMICSAE_23_3::tRouteSeed;

using qotest::hostAllocate;

const qoark::tTopographyInfo& largest() { return qotest::largestTopography(); }

// The literal walk of the request parser: a fresh iterator over all terminals per name.
class LiteralResolver final : public qoroco::iTerminalResolver {
 public:
  explicit LiteralResolver(qoark::ARKRoutingAdaptorSession& s) : session_(s) {}
  std::uint32_t resolveTerminalName(std::string_view raw) const override {
    qoark::ARKTerminalIterator it(session_);
    qoerr::tOwnedJsonStatus st;
    for (; !it.isEnd(); it.next()) {
      const char* name = it.getStringAttribute("name", &st.get());
      const std::string_view candidate(name);
      if (candidate == raw || qo::dsc::foldEquals(candidate, raw)) {
        return it.getU32Attribute("id", &st.get());
      }
    }
    return 0;
  }

 private:
  qoark::ARKRoutingAdaptorSession& session_;
};

const char* literalNameOf(qoark::ARKRoutingAdaptorSession& s, std::uint32_t id) {
  qoark::ARKTerminalIterator it(s);
  qoerr::tOwnedJsonStatus st;
  for (; !it.isEnd(); it.next()) {
    if (it.getU32Attribute("id", &st.get()) == id) return it.getStringAttribute("name", &st.get());
  }
  return "";
}

// calculateRoute as the literal walk does it: parse, one driver request, results named by walk.
std::string literalCalculate(qoark::ARKRoutingAdaptorSession& s, qotest::FakeRoutingDriver& d,
                             const char* seedsJson, const char* destinationsJson) {
  const LiteralResolver resolver(s);
  const std::vector<tRouteSeed> seeds = qoroco::parseSeeds(resolver, seedsJson);
  const std::vector<std::uint32_t> dests = qoroco::parseDestinations(resolver, destinationsJson);
  const qoroco::tModifiers m = qoroco::parseModifiers("{}");
  std::vector<tRouteResult> results(2 * dests.size());
  std::uint32_t count = 0;
  qotest::tStatus st;
  d.calculateRoute(s.sessionId(), seeds.data(), static_cast<std::uint32_t>(seeds.size()),
                   dests.data(), static_cast<std::uint32_t>(dests.size()), m.flags, results.data(),
                   static_cast<std::uint32_t>(results.size()), &count, st);
  results.resize(count);
  json::tJsonGrowableBuffer list("[]");
  const json::tJsonWriterContext* c = list.context();
  char* p = list.insertionPoint();
  for (const tRouteResult& r : results) {
    p = json::beginObject(c, p, nullptr);
    p = json::addUnsigned(c, p, "ticket", static_cast<std::uint32_t>(r.ticket));
    p = json::addString(c, p, "destination", literalNameOf(s, r.destinationTerminalId));
    p = json::addUnsigned(c, p, "cost", static_cast<std::uint32_t>(r.cost));
    p = json::addUnsigned(c, p, "indexOfStartingSeed", static_cast<std::uint32_t>(r.seedIndex));
    p = json::beginObject(c, p, "constraints");
    if (r.inversionNeeded != 0) p = json::addBool(c, p, "inversionNeeded", true);
    p = json::endValue(json::endValue(p));
  }
  return list.text();
}

struct Request {
  std::string seeds;
  std::string destinations;
};

// 32 destinations spread over the table, written in another letter case than the table's.
Request request(const qoark::tTopographyInfo& t) {
  Request r;
  r.seeds =
      std::string(R"([{"terminal":")") + t.terminals[0].name + R"(","cost":1,"constraints":{}}])";
  r.destinations.push_back('[');  // (assigning "[" trips GCC 12's -Wrestrict false positive)
  for (std::uint64_t i = 0; i < 32; ++i) {
    std::string name = t.terminals[(i * 37 + 11) % t.terminalCount].name;
    for (char& ch : name) {
      if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    }
    r.destinations.append(i ? ",\"" : "\"").append(name).append("\"");
  }
  r.destinations += "]";
  return r;
}

struct Fixture {
  qotest::FakeRoutingDriver driver;
  qoark::ARKRoutingAdaptorSession session{driver, largest(), &hostAllocate};
  Request req = request(largest());
  char* out = nullptr;
  ~Fixture() { std::free(out); }
  std::string indexed() {
    session.calculateRoute(req.seeds.c_str(), req.destinations.c_str(), "{}", &out);
    return out;
  }
  std::string literal() {
    return literalCalculate(session, driver, req.seeds.c_str(), req.destinations.c_str());
  }
};

void BM_CalculateRoute32_Index(benchmark::State& state) {
  Fixture f;
  if (f.indexed() != f.literal()) {
    state.SkipWithError("the indexed and the literal results differ");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(f.indexed());
  state.counters["terminals"] = static_cast<double>(largest().terminalCount);
}
BENCHMARK(BM_CalculateRoute32_Index)->Unit(benchmark::kMicrosecond);

void BM_CalculateRoute32_LiteralWalk(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) benchmark::DoNotOptimize(f.literal());
}
BENCHMARK(BM_CalculateRoute32_LiteralWalk)->Unit(benchmark::kMicrosecond);

const qoark::tTopographyInfo* topographyWithTerminals(std::uint64_t terminals) {
  for (const qoark::tTopographyInfo* t : qoark::builtinTopographies()) {
    if (t->terminalCount == terminals) return t;
  }
  return nullptr;
}

void BM_Scaling_CalculateRoute(benchmark::State& state) {
  const qoark::tTopographyInfo* topography =
      topographyWithTerminals(static_cast<std::uint64_t>(state.range(0)));
  if (topography == nullptr) {
    state.SkipWithError("no built-in topography has that many terminals");
    return;
  }
  qotest::FakeRoutingDriver driver;
  driver.calculateValue = 0;  // no destination left without a route
  qoark::ARKRoutingAdaptorSession session{driver, *topography, &hostAllocate};
  const Request req = request(*topography);
  char* out = nullptr;
  std::uint32_t unrouted = 0;
  for (auto _ : state) {
    unrouted += session.calculateRoute(req.seeds.c_str(), req.destinations.c_str(), "{}", &out);
    benchmark::DoNotOptimize(out);
  }
  const bool answered = out != nullptr && std::strstr(out, "\"ticket\"") != nullptr;
  std::free(out);
  if (!answered || unrouted != 0) {
    state.SkipWithError("calculateRoute did not route every destination");
    return;
  }
  state.counters["terminals"] = static_cast<double>(topography->terminalCount);
}
BENCHMARK(BM_Scaling_CalculateRoute)->Arg(23)->Arg(193)->Arg(1161)->Unit(benchmark::kMicrosecond);

}  // namespace
