// Cost of an AddRef/Release pair on a library object (the expert object; atomic compare-and-swap
// counts), single-threaded and with two threads on one object.
// Baseline in the same run: the same pair done under one process-wide CQOMutex with the same
// rules (never below zero, never wraps), i.e. what a single global reference-count lock costs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <limits>

#include "qo/dsc/CQOMutex.h"
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

// Baseline: the same count rules under one process-wide lock.
struct LockedCount {
  std::int32_t count = 1;
  std::uint32_t addRef() {
    CQOMutexLock guard(gLock);
    if (count >= 0 && count < std::numeric_limits<std::int32_t>::max()) ++count;
    return static_cast<std::uint32_t>(count);
  }
  std::uint32_t release() {
    CQOMutexLock guard(gLock);
    if (count >= 1) --count;
    return static_cast<std::uint32_t>(count);
  }
  static constinit CQOMutex gLock;
};
constinit CQOMutex LockedCount::gLock;
LockedCount gLocked;

void BM_GlobalLockBaselineAddRefRelease(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(gLocked.addRef());
    benchmark::DoNotOptimize(gLocked.release());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GlobalLockBaselineAddRefRelease);
BENCHMARK(BM_GlobalLockBaselineAddRefRelease)->Threads(2)->UseRealTime();

}  // namespace
