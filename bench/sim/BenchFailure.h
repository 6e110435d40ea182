// A simulated-machine benchmark that cannot measure marks the whole run failed: qo_sim_bench then
// exits with 1, so a broken run is never mistaken for figures.
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <string>

namespace qobench {

inline std::atomic<bool>& runFailed() {
  static std::atomic<bool> failed{false};
  return failed;
}

inline void skip(benchmark::State& state, const std::string& why) {
  runFailed().store(true);
  state.SkipWithError(why.c_str());
}

}  // namespace qobench
