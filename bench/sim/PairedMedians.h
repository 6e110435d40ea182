// A call timed against its baseline (the bare driver traffic it cannot avoid), alternately in one
// loop: the figures it reports and how it is registered. The counter names are those
// scripts/bench-report reads; the baseline's median is always bare_median_us.
#pragma once

#include <benchmark/benchmark.h>

namespace qobench {

// The two medians (microseconds) and their ratio call / baseline (0 when the baseline took no
// time) as the benchmark's counters.
inline void pairedMedians(benchmark::State& state, const char* medianName, double median,
                          double bareMedian, const char* ratioName) {
  state.counters[medianName] = median;
  state.counters["bare_median_us"] = bareMedian;
  state.counters[ratioName] = bareMedian > 0 ? median / bareMedian : 0;
}

// For BENCHMARK(...)->Apply(): a fixed number of iterations, each timed by the benchmark itself
// (SetIterationTime), reported in microseconds.
template <benchmark::IterationCount kIterations>
void manualTimeMicros(benchmark::internal::Benchmark* b) {
  b->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMicrosecond);
}

}  // namespace qobench
