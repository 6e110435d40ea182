// The configuration face end to end, inside the simulated machine: the built library loaded with
// dlopen and driven through the exported factory, as the configuration host does.
//
// 1. GetPropertyBag of one board against the driver traffic it cannot avoid, written here:
//    open the board's node, one op0406 call, close. Timed alternately in one loop; counters:
//    medians and the ratio expert / bare (target: at most 1.5).
// 2. GetItemNames with 32 boards when nothing changed: every enumeration-library operation is
//    made to fail (a call would make GetItemNames fail) and the driver's request log is cleared
//    first; counters: driver calls and failed calls seen during the loop (target: both 0).
// 3. Hotplug latency: from the board plug request (which creates the /dev/qo entry) to the
//    host's kind-1 notice naming the board; counters: median and 99th percentile.
// 4. CPU time of an idle expert's threads over 10 s (the process's CPU time while the calling
//    thread sleeps).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bench/sim/BenchBoards.h"
#include "bench/sim/BenchFailure.h"
#include "bench/sim/PairedMedians.h"
#include "QosimClient.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qovorlixatomicsae/sysapi_host.h"
#include "tools/common/host_client.h"
#include "tools/common/host_library.h"
#include "qodrv/qoDriverConstants.h"

namespace {

using namespace hostabi;
using Clock = std::chrono::steady_clock;
namespace drv = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double quantile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  std::size_t rank = static_cast<std::size_t>(q * static_cast<double>(samples.size()) + 0.999999);
  rank = std::clamp<std::size_t>(rank, 1, samples.size());
  return samples[rank - 1];
}

// The library and one initialized expert with a recording sink.
struct Host {
  HostLibrary lib;
  ImxSysExpert2* expert = nullptr;
  ImxSysExpertPlugPlay* plugPlay = nullptr;
  RecordingSink sink;
  std::string error;

  Host() {
    if (!lib.open(QO_LIBRARY_PATH)) {
      error = lib.error();
      return;
    }
    const CreateExpertFn create = lib.expertFactory();
    void* p = nullptr;
    if (create == nullptr || create(&p) != kS_OK) {
      error = "the expert cannot be created";
      return;
    }
    expert = static_cast<ImxSysExpert2*>(p);
    queryInterface(expert, kIID_ImxSysExpertPlugPlay, &p);
    plugPlay = static_cast<ImxSysExpertPlugPlay*>(p);
    expert->vtbl->Initialize(expert);
    plugPlay->vtbl->SetNotificationSink(plugPlay, sink.asSink());
    HRESULT hr = 0;
    if (itemNames(expert, &hr).empty()) error = "no boards: " + hresultText(hr);
  }
  ~Host() {
    if (expert != nullptr) {
      expert->vtbl->Shutdown(expert);
      release(plugPlay);
      release(expert);
    }
    lib.close();
  }
};

// ---- 1. GetPropertyBag against its unavoidable driver traffic --------------------------------

bool bareOp0406(const std::string& node) {
  const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  std::uint32_t request[1] = {0};
  std::uint32_t response[2] = {0, 0};
  drv::tCallBlock block{};
  block.input = reinterpret_cast<std::uint64_t>(request);
  block.output = reinterpret_cast<std::uint64_t>(response);
  block.inputSize = sizeof request;
  block.outputSize = sizeof response;
  const bool ok = ::ioctl(fd, qodrv::vorlixtarrow::kOp0406Command, &block) == 0;
  benchmark::DoNotOptimize(response);
  ::close(fd);
  return ok;
}

void BM_GetPropertyBagOverDriverTraffic(benchmark::State& state) {
  Host host;
  if (!host.error.empty()) return qobench::skip(state, host.error);
  // KEL0 is qovorlix0's main interface node.
  const std::string node = std::string("/dev/qo/") + "qovorlix0\\qovorlixtarrowk_vorlixtarrow\\0";
  if (!bareOp0406(node)) return qobench::skip(state, "cannot call op0406 on " + node);
  const HostText name("KEL0");
  std::vector<double> expertSamples, bareSamples;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    void* bag = nullptr;
    const HRESULT hr = host.expert->vtbl->GetPropertyBag(host.expert, name, &bag);
    const auto t1 = Clock::now();
    if (hr != kS_OK) return qobench::skip(state, "GetPropertyBag: " + hresultText(hr));
    release(bag);
    const auto t2 = Clock::now();
    bareOp0406(node);
    const auto t3 = Clock::now();
    expertSamples.push_back(micros(t1 - t0));
    bareSamples.push_back(micros(t3 - t2));
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
  qobench::pairedMedians(state, "expert_median_us", quantile(expertSamples, 0.5),
                         quantile(bareSamples, 0.5), "ratio");
}
BENCHMARK(BM_GetPropertyBagOverDriverTraffic)->Apply(qobench::manualTimeMicros<2000>);

// ---- 2. GetItemNames with 32 boards, nothing changed -----------------------------------------

void BM_GetItemNamesUnchanged32(benchmark::State& state) {
  // The machine's own boards, topped up to 32 items.
  std::size_t present = 0;
  {
    Host before;
    if (!before.error.empty()) return qobench::skip(state, before.error);
    present = itemNames(before.expert).size();
  }
  if (present > 32) return qobench::skip(state, "the machine has more than 32 items");
  qosim::BoardSet boards;
  for (std::size_t i = present; i < 32; ++i) qobench::benchBoard(boards.add());
  if (!boards.plug().ok()) return qobench::skip(state, "cannot plug the boards");
  Host host;
  if (!host.error.empty()) return qobench::skip(state, host.error);
  // Let the presence notifier settle (its confirming pass), then look once.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  if (itemNames(host.expert).size() != 32) return qobench::skip(state, "expected 32 items");
  auto& client = boards.client();
  static const char* const kOperations[] = {"hasChanged", "refresh", "getAllKelDevices"};
  for (const char* op : kOperations) client.enumFault("", op, -52024);
  client.clearLog();
  int failed = 0;
  for (auto _ : state) {
    HRESULT hr = 0;
    const auto names = itemNames(host.expert, &hr);
    if (hr != kS_OK || names.size() != 32) ++failed;
  }
  const auto log = client.readLog();
  for (const char* op : kOperations) client.enumFault("", op, std::nullopt);
  state.counters["driver_calls"] = log.ok() ? static_cast<double>(log.value.size()) : -1;
  state.counters["failed_calls"] = failed;
}
BENCHMARK(BM_GetItemNamesUnchanged32)->Unit(benchmark::kMicrosecond);

// ---- 3. Hotplug: /dev/qo entry to the host's notice ------------------------------------------

constexpr auto kPastConfirmingPasses = std::chrono::milliseconds(300);

void BM_BoardPluggedToHostNotice(benchmark::State& state) {
  Host host;
  if (!host.error.empty()) return qobench::skip(state, host.error);
  std::vector<double> samples;
  for (auto _ : state) {
    qosim::BoardSet set(qosim::Client::connect().value);
    qobench::benchBoard(set.add());
    const auto t0 = Clock::now();
    if (!set.plug().ok()) return qobench::skip(state, "cannot plug");
    const std::string item = "KEL" + set.board(0).device.substr(std::string("qovorlix").size());
    const bool seen = host.sink.waitFor(
        [&](const RecordingSink::Notice& n) {
          return n.kind == 1 && std::find(n.names.begin(), n.names.end(), item) != n.names.end();
        },
        5000);
    const auto t1 = Clock::now();
    if (!seen) return qobench::skip(state, "no notice for " + item);
    samples.push_back(micros(t1 - t0));
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    // Unplugged only once the confirming passes (20 ms and 200 ms after the event) are over: a
    // pass that listed the board just before it went would find no board to make its item for.
    std::this_thread::sleep_for(kPastConfirmingPasses);
    if (!set.unplug().ok()) return qobench::skip(state, "cannot unplug " + item);
    if (!host.sink.waitFor([&](const RecordingSink::Notice& n) { return n.kind == 2; }, 5000))
      return qobench::skip(state, "no removal notice for " + item);
    host.sink.clear();
    std::this_thread::sleep_for(kPastConfirmingPasses);
  }
  state.counters["median_us"] = quantile(samples, 0.5);
  state.counters["p99_us"] = quantile(samples, 0.99);
}
BENCHMARK(BM_BoardPluggedToHostNotice)->Apply(qobench::manualTimeMicros<40>);

// ---- 4. An idle expert's CPU time -------------------------------------------------------------

double processCpuMicros() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

void BM_IdleExpertCpuOver10s(benchmark::State& state) {
  Host host;
  if (!host.error.empty()) return qobench::skip(state, host.error);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (auto _ : state) {
    const double before = processCpuMicros();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    state.counters["cpu_us_per_10s"] = processCpuMicros() - before;
  }
}
BENCHMARK(BM_IdleExpertCpuOver10s)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
