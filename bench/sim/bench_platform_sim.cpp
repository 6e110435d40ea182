// The platform layer against the simulated machine. Runs only inside `qosim run`:
//
//   build-bench/sim/qosim run -- build-bench/bench/qo_sim_bench
//
// 1. What tDeviceInterfaceProxy::call adds to a request: the proxy's call and a bare ioctl
//    written here (same node, same command, same blocks) are timed alternately in one loop, so
//    both see the same simulator and machine load; the counters give their medians and the ratio
//    proxy / bare (target: at most 1.05).
// 2. How soon tNotificationDispatcher::wait returns after a /dev/qo entry appears: an entry
//    created directly in /dev/qo (what the driver does), and a whole board plugged through the
//    control socket (what hotplug does: /proc tree, node, then the entry). A waiting thread
//    stamps every event; the counters give the median and the 99th percentile of the samples.
// 3. What a generated method adds to the transport's call: op0405 through
//    tInterfaceProxy_vorlixtarrow against the same request sent with call() and blocks packed by
//    hand, alternately (target: ratio of medians at most 1.05).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "bench/sim/BenchBoards.h"
#include "bench/sim/BenchFailure.h"
#include "QosimClient.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/protons/device_notification/linux/tNotificationDispatcher.h"
#include "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy.h"
#include "qoapal/status/tStatus.h"
#include "codegen/qovorlixatomicsae/tInterfaceProxy_vorlixtarrow.h"
#include "qodrv/qoDriverConstants.h"

namespace {

namespace apal = nQOVORLIXATOMICSAE_23_3::nQOAPAL000;
namespace drv = apal::driver;
using Clock = std::chrono::steady_clock;

constexpr unsigned long kCommand =
    qodrv::vorlixtarrow::kOp0403Command;  // op0403: write direction; 12-byte request, 4-byte
                                          // response
constexpr std::size_t kBlockBytes = 64;

// Set when a benchmark could not measure; main then fails, so a broken run is never mistaken for
// figures.
std::atomic<bool> gFailed{false};

void fail(benchmark::State& state, const std::string& why) {
  gFailed.store(true);
  qobench::skip(state, why);
}

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Value at quantile q (0..1) of sorted samples, by the nearest-rank rule.
double quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  std::size_t rank = static_cast<std::size_t>(q * static_cast<double>(sorted.size()) + 0.999999);
  rank = std::clamp<std::size_t>(rank, 1, sorted.size());
  return sorted[rank - 1];
}

// One board plugged for the whole run (unplugged at exit).
struct Machine {
  qosim::BoardSet boards;
  std::string nodePath;
  std::string error;

  Machine() {
    auto& board = qobench::benchBoard(boards.add());
    qosim::Status st = boards.plug();
    if (!st.ok()) error = "cannot plug the benchmark board: " + st.error;
    nodePath = board.nodePath(drv::kMainInterface);
  }
};

Machine& machine() {
  static Machine m;
  return m;
}

// ---- 1. the proxy's call against a bare ioctl -------------------------------------------------

struct CallFixture {
  std::vector<std::uint8_t> input = std::vector<std::uint8_t>(kBlockBytes, 0x5A);
  std::vector<std::uint8_t> output = std::vector<std::uint8_t>(kBlockBytes);
  int bareFd = -1;
  apal::tDeviceInterfaceProxy proxy;
  std::string error;

  CallFixture() {
    if (!machine().error.empty()) {
      error = machine().error;
      return;
    }
    bareFd = ::open(machine().nodePath.c_str(), O_RDWR | O_CLOEXEC);
    if (bareFd < 0) error = "cannot open " + machine().nodePath + ": " + std::strerror(errno);
    apal::tStatus status;
    proxy.open(machine().nodePath.c_str(), &status);
    if (status.isFatal()) error = "the proxy cannot open the node: " + std::to_string(status.code);
  }
  ~CallFixture() {
    if (bareFd >= 0) ::close(bareFd);
  }

  // The request as a driver client without the library would write it.
  bool bare() {
    drv::tCallBlock block{};
    block.input = reinterpret_cast<std::uint64_t>(input.data());
    block.output = reinterpret_cast<std::uint64_t>(output.data());
    block.inputSize = kBlockBytes;
    block.outputSize = kBlockBytes;
    block.result = 0;
    const bool ok = ::ioctl(bareFd, kCommand, &block) == 0 && block.result == kBlockBytes;
    benchmark::DoNotOptimize(block);
    return ok;
  }
  bool viaProxy() {
    apal::tStatus status;
    const std::uint32_t result =
        proxy.call(kCommand, input.data(), kBlockBytes, output.data(), kBlockBytes, &status);
    return status.code == 0 && result == kBlockBytes;
  }
};

void BM_BareIoctl(benchmark::State& state) {
  CallFixture f;
  if (!f.error.empty()) return fail(state, f.error);
  for (auto _ : state) {
    if (!f.bare()) return fail(state, "the bare ioctl failed");
  }
}
BENCHMARK(BM_BareIoctl)->Unit(benchmark::kMicrosecond);

void BM_ProxyCall(benchmark::State& state) {
  CallFixture f;
  if (!f.error.empty()) return fail(state, f.error);
  for (auto _ : state) {
    if (!f.viaProxy()) return fail(state, "the proxy's call failed");
  }
}
BENCHMARK(BM_ProxyCall)->Unit(benchmark::kMicrosecond);

// One iteration = one bare ioctl and one proxy call, in alternating order.
void BM_ProxyOverBareIoctl(benchmark::State& state) {
  CallFixture f;
  if (!f.error.empty()) return fail(state, f.error);
  for (int i = 0; i < 200; ++i) (void)(f.bare() && f.viaProxy());  // warm up both paths
  std::vector<double> bare, proxy;
  bare.reserve(static_cast<std::size_t>(state.max_iterations));
  proxy.reserve(static_cast<std::size_t>(state.max_iterations));
  bool proxyFirst = false;
  for (auto _ : state) {
    Clock::time_point t0, t1, t2;
    bool ok;
    t0 = Clock::now();
    ok = proxyFirst ? f.viaProxy() : f.bare();
    t1 = Clock::now();
    ok = (proxyFirst ? f.bare() : f.viaProxy()) && ok;
    t2 = Clock::now();
    if (!ok) return fail(state, "a request failed");
    (proxyFirst ? proxy : bare).push_back(micros(t1 - t0));
    (proxyFirst ? bare : proxy).push_back(micros(t2 - t1));
    state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
    proxyFirst = !proxyFirst;
  }
  const double bareMean =
      std::accumulate(bare.begin(), bare.end(), 0.0) / static_cast<double>(bare.size());
  const double proxyMean =
      std::accumulate(proxy.begin(), proxy.end(), 0.0) / static_cast<double>(proxy.size());
  std::sort(bare.begin(), bare.end());
  std::sort(proxy.begin(), proxy.end());
  const double bareMedian = quantile(bare, 0.5), proxyMedian = quantile(proxy, 0.5);
  state.counters["bare_median_us"] = bareMedian;
  state.counters["proxy_median_us"] = proxyMedian;
  state.counters["ratio_median"] = proxyMedian / bareMedian;
  state.counters["ratio_mean"] = proxyMean / bareMean;
  state.counters["bare_p99_us"] = quantile(bare, 0.99);
  state.counters["proxy_p99_us"] = quantile(proxy, 0.99);
}
BENCHMARK(BM_ProxyOverBareIoctl)->Iterations(20000)->UseManualTime()->Unit(benchmark::kMicrosecond);

// ---- 2. from a /dev/qo entry to a returning wait ----------------------------------------------

// A dispatcher waiting on a thread of its own ("qo-bench-wait"), stamping every event it hands
// out. Lock: `mutex` only (a leaf).
class StampedDispatcher {
 public:
  struct Stamp {
    Clock::time_point at;
    std::uint8_t kind;
    std::string device;
  };

  StampedDispatcher() : dispatcher_(names_, 1, &status_) {
    if (status_.isFatal()) return;
    thread_ = std::thread([this] {
      ::pthread_setname_np(::pthread_self(), "qo-bench-wait");
      for (;;) {
        bool changed = false;
        apal::tDeviceNodeEvent event;
        dispatcher_.wait(&changed, &event, &status_);
        const Clock::time_point at = Clock::now();
        std::lock_guard lock(mutex_);
        if (!changed) {
          ended_ = true;
          arrived_.notify_all();
          return;
        }
        stamps_.push_back({at, event.kind, event.device});
        arrived_.notify_all();
      }
    });
  }
  ~StampedDispatcher() {
    dispatcher_.cancel();
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return thread_.joinable(); }

  // The stamp of the next event of `kind` for `device` (others are dropped); false after 5 s.
  bool next(std::uint8_t kind, const std::string& device, Clock::time_point& at) {
    std::unique_lock lock(mutex_);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (;;) {
      while (!stamps_.empty()) {
        Stamp s = std::move(stamps_.front());
        stamps_.pop_front();
        if (s.kind == kind && s.device == device) {
          at = s.at;
          return true;
        }
      }
      if (ended_ || arrived_.wait_until(lock, deadline) == std::cv_status::timeout) return false;
    }
  }

 private:
  const char* names_[1] = {drv::kMainInterface};
  apal::tStatus status_;
  apal::tNotificationDispatcher dispatcher_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Stamp> stamps_;
  bool ended_ = false;
};

void reportLatencies(benchmark::State& state, std::vector<double> samples, const char* prefix) {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  const std::string p = prefix;
  state.counters[p + "median_us"] = quantile(samples, 0.5);
  state.counters[p + "p99_us"] = quantile(samples, 0.99);
  state.counters[p + "max_us"] = samples.back();
}

// The driver's way: an entry appears in /dev/qo (a link to the board's node, as the simulator
// makes them). Timed from just before symlink() to the stamp of the waiting thread.
void BM_EntryCreatedToWake(benchmark::State& state) {
  if (!machine().error.empty()) return fail(state, machine().error);
  StampedDispatcher waiter;
  if (!waiter.ok()) return fail(state, "the dispatcher could not be built");
  const std::string device = "qobench" + std::to_string(::getpid());
  const std::string entry =
      std::string(drv::kNodeDirectory) + "/" + device + "\\" + drv::kMainInterface + "\\0";
  ::unlink(entry.c_str());
  std::vector<double> samples;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    if (::symlink(machine().nodePath.c_str(), entry.c_str()) != 0)
      return fail(state, "cannot create the /dev/qo entry");
    Clock::time_point woke;
    if (!waiter.next(apal::tDeviceNodeEvent::kCreated, device, woke))
      return fail(state, "the creation was not reported within 5 s");
    samples.push_back(micros(woke - t0));
    state.SetIterationTime(std::chrono::duration<double>(woke - t0).count());
    ::unlink(entry.c_str());
    if (!waiter.next(apal::tDeviceNodeEvent::kDeleted, device, woke))
      return fail(state, "the deletion was not reported within 5 s");
  }
  reportLatencies(state, std::move(samples), "");
}
BENCHMARK(BM_EntryCreatedToWake)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Hotplug's way: a whole board plugged through the control socket. Timed from just before the
// plug request to the stamp; plug_call_* is the plug request's own round trip (the simulator
// writes the /proc tree and the node before the entry), for comparison.
void BM_BoardPluggedToWake(benchmark::State& state) {
  if (!machine().error.empty()) return fail(state, machine().error);
  StampedDispatcher waiter;
  if (!waiter.ok()) return fail(state, "the dispatcher could not be built");
  auto connected = qosim::Client::connect();
  if (!connected.ok()) return fail(state, connected.error);
  qosim::Client& client = connected.value;
  std::vector<double> samples, plugCalls;
  for (auto _ : state) {
    qosim::BoardDesc board;
    board.device = qosim::uniqueDeviceName();
    qobench::benchBoard(board);
    const Clock::time_point t0 = Clock::now();
    const qosim::Status st = client.plug(board);
    const Clock::time_point returned = Clock::now();
    if (!st.ok()) return fail(state, ("plug failed: " + st.error));
    Clock::time_point woke;
    if (!waiter.next(apal::tDeviceNodeEvent::kCreated, board.device, woke))
      return fail(state, "the plug was not reported within 5 s");
    samples.push_back(micros(woke - t0));
    plugCalls.push_back(micros(returned - t0));
    state.SetIterationTime(std::chrono::duration<double>(woke - t0).count());
    if (!client.unplug(board.device).ok()) return fail(state, "unplug failed");
    if (!waiter.next(apal::tDeviceNodeEvent::kDeleted, board.device, woke))
      return fail(state, "the unplug was not reported within 5 s");
  }
  reportLatencies(state, std::move(samples), "");
  reportLatencies(state, std::move(plugCalls), "plug_call_");
}
BENCHMARK(BM_BoardPluggedToWake)->Iterations(200)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

// ---- 3. a generated method against the transport's call ---------------------------------------

struct GeneratedFixture {
  nQOVORLIXATOMICSAE_23_3::tInterfaceProxy_vorlixtarrow proxy;
  std::string error;

  GeneratedFixture() {
    if (!machine().error.empty()) {
      error = machine().error;
      return;
    }
    apal::tStatus status;
    proxy.openDefault(machine().nodePath.c_str(), &status);
    if (status.isFatal()) error = "the proxy cannot open the node: " + std::to_string(status.code);
  }
  bool generated() {
    apal::tStatus status;
    const std::uint32_t reading = proxy.op0405(0, status);
    benchmark::DoNotOptimize(reading);
    return status.code == 0;
  }
  bool byHand() {
    struct {
      std::uint32_t sensor;
      std::int32_t status;
    } request{0, 0};
    struct {
      std::uint32_t reading;
      std::int32_t status;
    } response{};
    apal::tStatus status;
    proxy.call(qodrv::vorlixtarrow::kOp0405Command, &request, sizeof request, &response,
               sizeof response, &status);
    benchmark::DoNotOptimize(response);
    return status.code == 0 && response.status == 0;
  }
};

void BM_GeneratedOverTransportCall(benchmark::State& state) {
  GeneratedFixture f;
  if (!f.error.empty()) return fail(state, f.error);
  for (int i = 0; i < 200; ++i) (void)(f.generated() && f.byHand());
  std::vector<double> hand, generated;
  bool generatedFirst = false;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    bool ok = generatedFirst ? f.generated() : f.byHand();
    const Clock::time_point t1 = Clock::now();
    ok = (generatedFirst ? f.byHand() : f.generated()) && ok;
    const Clock::time_point t2 = Clock::now();
    if (!ok) return fail(state, "a request failed");
    (generatedFirst ? generated : hand).push_back(micros(t1 - t0));
    (generatedFirst ? hand : generated).push_back(micros(t2 - t1));
    state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
    generatedFirst = !generatedFirst;
  }
  std::sort(hand.begin(), hand.end());
  std::sort(generated.begin(), generated.end());
  state.counters["call_median_us"] = quantile(hand, 0.5);
  state.counters["generated_median_us"] = quantile(generated, 0.5);
  state.counters["ratio_median"] = quantile(generated, 0.5) / quantile(hand, 0.5);
}
BENCHMARK(BM_GeneratedOverTransportCall)
    ->Iterations(20000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  const char* control = std::getenv("QOSIM_CONTROL");
  if (control == nullptr || *control == '\0') {
    std::fprintf(stderr,
                 "qo_sim_bench runs inside the simulated machine:\n"
                 "  build-bench/sim/qosim run -- build-bench/bench/qo_sim_bench\n");
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return qobench::runFailed().load() ? 1 : 0;
}
