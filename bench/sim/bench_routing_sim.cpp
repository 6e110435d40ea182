// One calculateRoute round trip through the routing session against the bare driver request it
// sends (the same seed and destination ids, the same result buffer, sent with the generated
// proxy on a second descriptor of the same node), timed alternately in one loop on a board with
// the board family's largest topography. The session adds parsing, name resolution through the
// terminal index, the result text and the host allocation. Target: ratio of medians at most 1.5.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/sim/BenchBoards.h"
#include "bench/sim/BenchFailure.h"
#include "bench/sim/PairedMedians.h"
#include "QosimClient.h"
#include "codegen/qovorlixatomicsae/tInterfaceProxy_routing.h"
#include "qo/err/Exception.h"
#include "qoarkra/ARKRoutingAdaptor.h"
#include "qodrv/qoDriverConstants.h"

namespace {

namespace rt = nQOVORLIXATOMICSAE_23_3;
using Clock = std::chrono::steady_clock;

void* allocate(void* previous, std::size_t size) { return std::realloc(previous, size); }

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double median(std::vector<double>& v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void BM_CalculateRouteOverBareRequest(benchmark::State& state) {
  qosim::BoardSet boards;
  auto& board =
      qobench::benchBoard(boards.add()).withRouting().withTopographyName("vorlix-matrix-x");
  if (const qosim::Status st = boards.plug(); !st.ok()) {
    qobench::skip(state, st.error);
    return;
  }
  const std::string node = board.nodePath(qodrv::routing::kInterfaceName);
  std::unique_ptr<qoark::ARKRoutingAdaptorSession> session;
  try {
    session = std::make_unique<qoark::ARKRoutingAdaptorSession>(node.c_str(), &allocate, nullptr,
                                                                nullptr);
  } catch (const qoerr::Exception& e) {
    qobench::skip(state, e.what());
    return;
  }
  rt::tInterfaceProxy_routing bare;
  rt::nQOAPAL000::tStatus openStatus;
  bare.open(node.c_str(), &openStatus);
  if (openStatus.isFatal()) {
    qobench::skip(state, "cannot open the routing node");
    return;
  }
  const char* seeds = R"([{"terminal":"FrontIO0","cost":1,"constraints":{}}])";
  const char* destinations = R"(["FPGAIN3"])";
  const rt::tRouteSeed seed{session->resolveTerminalName("FrontIO0"), 1, 0};
  const std::uint32_t destination = session->resolveTerminalName("FPGAIN3");
  char* out = nullptr;
  auto viaSession = [&] {
    try {
      return session->calculateRoute(seeds, destinations, "{}", &out) == 0;
    } catch (const std::exception&) {
      return false;
    }
  };
  auto viaBare = [&] {
    rt::tRouteResult results[2] = {};
    std::uint32_t count = 0;
    rt::nQOAPAL000::tStatus st;
    bare.calculateRoute(session->sessionId(), &seed, 1, &destination, 1, 0, results, 2, &count, st);
    return st.isNotFatal();
  };
  for (int i = 0; i < 100; ++i) (void)(viaSession() && viaBare());
  std::vector<double> a, b;
  bool sessionFirst = false;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    bool ok = sessionFirst ? viaSession() : viaBare();
    const Clock::time_point t1 = Clock::now();
    ok = (sessionFirst ? viaBare() : viaSession()) && ok;
    const Clock::time_point t2 = Clock::now();
    if (!ok) {
      std::free(out);
      return qobench::skip(state, "a calculateRoute failed");
    }
    (sessionFirst ? a : b).push_back(micros(t1 - t0));
    (sessionFirst ? b : a).push_back(micros(t2 - t1));
    state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
    sessionFirst = !sessionFirst;
  }
  std::free(out);
  qobench::pairedMedians(state, "session_median_us", median(a), median(b), "ratio_median");
}
BENCHMARK(BM_CalculateRouteOverBareRequest)->Apply(qobench::manualTimeMicros<5000>);

}  // namespace
