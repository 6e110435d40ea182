// Cost of an AddRef/Release pair on a library object (the expert object, counts under the
// process-wide reference-count lock), single-threaded and with two threads on one object.
// Baseline in the same run: the same pair done with an atomic compare-and-swap count that obeys
// the same rules (never below zero, never wraps), i.e. what the lock-free alternative would cost.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <limits>

#include "source/ExpertObject.h"

extern "C" HRESULT createVorlixAtomicSysApiExpert(void** expert);

namespace {

// One expert object shared by every benchmark thread; created on first use, released at exit.
struct SharedExpert {
  IUnknown* itf = nullptr;
  SharedExpert() {
    void* p = nullptr;
    if (createVorlixAtomicSysApiExpert(&p) == S_OK) itf = static_cast<ImxSysExpert2*>(p);
  }
  ~SharedExpert() {
    if (itf) itf->Release();
  }
};
IUnknown* sharedExpert() {
  static SharedExpert e;
  return e.itf;
}

void BM_ExpertAddRefRelease(benchmark::State& state) {
  IUnknown* e = sharedExpert();
  if (e == nullptr) {
    state.SkipWithError("expert creation failed");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(e->AddRef());
    benchmark::DoNotOptimize(e->Release());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExpertAddRefRelease);
BENCHMARK(BM_ExpertAddRefRelease)->Threads(2)->UseRealTime();

// Baseline: the same count rules with atomic instructions only.
struct AtomicCount {
  std::atomic<std::int32_t> count{1};
  std::uint32_t addRef() {
    std::int32_t c = count.load(std::memory_order_relaxed);
    while (c >= 0 && c < std::numeric_limits<std::int32_t>::max() &&
           !count.compare_exchange_weak(c, c + 1, std::memory_order_relaxed)) {
    }
    return static_cast<std::uint32_t>(c + 1);
  }
  std::uint32_t release() {
    std::int32_t c = count.load(std::memory_order_relaxed);
    while (c >= 1 && !count.compare_exchange_weak(c, c - 1, std::memory_order_acq_rel)) {
    }
    return static_cast<std::uint32_t>(c - 1);
  }
};
AtomicCount gAtomic;

void BM_AtomicBaselineAddRefRelease(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(gAtomic.addRef());
    benchmark::DoNotOptimize(gAtomic.release());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AtomicBaselineAddRefRelease);
BENCHMARK(BM_AtomicBaselineAddRefRelease)->Threads(2)->UseRealTime();

}  // namespace
