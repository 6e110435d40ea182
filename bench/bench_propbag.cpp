// Handing out an item's property bag: the item keeps a master bag of about sixty tags and gives
// the host a copy made by the bag's Clone (the generic copy through the bag's own operations).
// Baseline in the same run: copying a plain std::map holding the same values (std::variant with
// std::wstring strings). BM_Ratio_BagHandOut runs both alternately in batches and reports the
// bag's time, the map's time and their ratio.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <variant>

#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"
#include "sysapicpp/propbag/PropertyBagHandle.h"

namespace {

using tPlainValue = std::variant<bool, std::int32_t, std::uint32_t, double, GUID, std::wstring,
                                 mxSysAttrTimestampUTC>;
using tPlainMap = std::map<std::uint32_t, tPlainValue>;

// Sixty tags shaped like a board's properties: 16 strings, 20 signed, 10 unsigned, 8 booleans,
// 4 doubles, 2 timestamps.
struct Sample {
  sysapicpp::PropertyBagHandle bag = sysapicpp::PropertyBagHandle::createDynamic();
  tPlainMap plain;

  Sample() {
    std::uint32_t tag = 0x1001000;
    auto next = [&] { return tag += 0x1000; };
    const wchar_t* texts[] = {L"qovorlix2",
                              L"KEL0",
                              L"*.zip",
                              L"Unknown",
                              L"1.2.3b45",
                              L"Fictional Instruments Ltd.",
                              L"VRX-7A32 Reconfigurable I/O",
                              L"0012AB34",
                              L"PXIe-VRX7A32",
                              L"qo0",
                              L"libqovorlixtarrowu.so",
                              L"/proc/driver/qo/qo0/deviceInterfaces/routing_routing",
                              L"FPGA Temperature",
                              L"Baseboard Fan 0",
                              L"Baseboard Fan 1",
                              L"VRX-IO8 Analog Module"};
    for (const wchar_t* t : texts) {
      const std::uint32_t k = next();
      bag.get()->SetString(k, t);
      plain.emplace(k, std::wstring(t));
    }
    for (int i = 0; i < 20; ++i) {
      const std::uint32_t k = next();
      bag.get()->SetInt32(k, i * 7 - 3);
      plain.emplace(k, std::int32_t{i * 7 - 3});
    }
    for (unsigned i = 0; i < 10; ++i) {
      const std::uint32_t k = next();
      bag.get()->SetUInt32(k, 0x7A32u + i);
      plain.emplace(k, std::uint32_t{0x7A32u + i});
    }
    for (int i = 0; i < 8; ++i) {
      const std::uint32_t k = next();
      bag.get()->SetBool(k, i & 1);
      plain.emplace(k, (i & 1) != 0);
    }
    for (int i = 0; i < 4; ++i) {
      const std::uint32_t k = next();
      bag.get()->SetDouble(k, 41.5 + i);
      plain.emplace(k, 41.5 + i);
    }
    for (int i = 0; i < 2; ++i) {
      const std::uint32_t k = next();
      const mxSysAttrTimestampUTC ts{0, 3786825600 + i};
      bag.get()->SetTimestamp(k, &ts);
      plain.emplace(k, ts);
    }
  }
};

const Sample& sample() {
  static const Sample s;
  return s;
}

// One hand-out: the copy with one reference, then the host's release.
std::size_t handOutBag(const sysapicpp::PropertyBagHandle& master) {
  ImxSysPropertyBag* copy = master.clone();
  return copy->Release();
}

std::size_t copyPlain(const tPlainMap& plain) {
  tPlainMap copy(plain);
  return copy.size();
}

// Wall-clock nanoseconds per iteration of the loop as a counter.
template <class F>
void timeLoop(benchmark::State& state, F&& body) {
  using Clock = std::chrono::steady_clock;
  const auto t0 = Clock::now();
  for (auto _ : state) body();
  const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
  state.counters["ns_per_op"] =
      state.iterations() > 0 ? ns / static_cast<double>(state.iterations()) : 0;
}

void BM_BagHandOut(benchmark::State& state) {
  const Sample& s = sample();
  timeLoop(state, [&] { benchmark::DoNotOptimize(handOutBag(s.bag)); });
  state.counters["tags"] = static_cast<double>(s.plain.size());
}
BENCHMARK(BM_BagHandOut);

void BM_PlainMapCopy(benchmark::State& state) {
  const Sample& s = sample();
  timeLoop(state, [&] { benchmark::DoNotOptimize(copyPlain(s.plain)); });
}
BENCHMARK(BM_PlainMapCopy);

void BM_Ratio_BagHandOut(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  constexpr int kBatch = 64;
  const Sample& s = sample();
  double bagNs = 0, plainNs = 0;
  std::int64_t operations = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (int i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(handOutBag(s.bag));
    const auto t1 = Clock::now();
    for (int i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(copyPlain(s.plain));
    const auto t2 = Clock::now();
    const double a = std::chrono::duration<double, std::nano>(t1 - t0).count();
    const double b = std::chrono::duration<double, std::nano>(t2 - t1).count();
    bagNs += a;
    plainNs += b;
    operations += kBatch;
    state.SetIterationTime((a + b) * 1e-9);
  }
  state.counters["bag_ns"] = bagNs / static_cast<double>(operations);
  state.counters["map_ns"] = plainNs / static_cast<double>(operations);
  state.counters["ratio"] = plainNs > 0 ? bagNs / plainNs : 0;
}
BENCHMARK(BM_Ratio_BagHandOut)->UseManualTime();

}  // namespace
