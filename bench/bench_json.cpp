// In-place JSON reader and writer against a document-tree baseline (nlohmann::json).
//
// Reading: a route request of about 4 KB (seeds with terminal, device token, cost and
// constraints; destination terminal names; required and optional modifiers) is parsed and
// walked completely: every key and string decoded, every number read.
// Writing: a status detail of ten members (strings, signed and unsigned numbers) is built in a
// fresh JsonStatus, in a stack editable buffer, and as a nlohmann object serialised with dump().
//
// The *_Ratio benchmarks run both sides alternately in batches inside one benchmark and report
// the in-place time, the baseline time and their ratio (in-place / baseline) as counters.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "qoapal/json/tJsonReader.h"
#include "qoapal/json/tJsonWriter.h"
#include "qoapal/status/JsonStatus.h"

namespace apal = nQOVORLIXATOMICSAE_23_3::nQOAPAL000;
namespace jr = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json;

namespace {

// A route request as a routing host sends it, pretty-printed the way hosts tend to.
std::string makeRouteRequest() {
  static const char* const kKinds[] = {
      "PXI_Trig",       "PFI", "RTSI",         "PXI_Star", "ai/StartTrigger",
      "do/SampleClock", "ctr", "20MHzTimebase"};
  std::string text = "{\n  \"seeds\": [\n";
  for (int i = 0; i < 16; ++i) {
    char seed[320];
    std::snprintf(seed, sizeof seed,
                  "    {\"terminal\": \"/KEL%d/%s%d\", \"srcDeviceToken\": \"tok-%04x-Fabrikam\", "
                  "\"cost\": %s, \"constraints\": {\"inversionNeeded\": %s}}%s\n",
                  i % 3, kKinds[i % 8], i, 0x3a00 + i * 37,
                  i % 4 == 0 ? "2.5" : (i % 4 == 1 ? "1" : (i % 4 == 2 ? "17" : "4e1")),
                  i % 2 ? "true" : "false", i == 15 ? "" : ",");
    text += seed;
  }
  text += "  ],\n  \"destinations\": [";
  for (int i = 0; i < 72; ++i) {
    char name[96];
    std::snprintf(name, sizeof name, "%s\"/KEL%d/%s%d%s\"", i ? ", " : "", i % 4,
                  kKinds[(i + 3) % 8], i, i % 16 == 5 ? "\\u00e9t\\u00e9" : "");
    text += name;
    if (i % 6 == 5) text += "\n    ";
  }
  text +=
      "],\n  \"modifiers\": {\n    \"required\": {\"calculateIgnoresReservations\": true, "
      "\"preferShortPaths\": false},\n    \"optional\": {\"routeLabel\": \"Contoso rack "
      "\\\"B\\\"\\tbay 4\", \"maxHops\": 6, \"allowSharedLines\": true, \"note\": null}\n  }\n}\n";
  return text;
}

const std::string& routeRequest() {
  static const std::string text = makeRouteRequest();
  return text;
}

// --- in-place walk

std::size_t walkInPlace(const jr::tJsonReader& reader, const char* position) {
  jr::tJsonToken token;
  if (reader.peekValue(position, token) == nullptr) return 0;
  std::size_t sum = 0;
  char decoded[256];
  std::size_t n = 0;
  switch (token.type) {
    case jr::kTypeString:
      if (token.length < sizeof decoded &&
          jr::tJsonReader::decodeString(token.start, token.length, decoded, sizeof decoded, &n)) {
        sum += n;
      }
      break;
    case jr::kTypeNumber:
      sum += static_cast<std::uint32_t>(reader.getInt(position, 0));
      break;
    case jr::kTypeBoolean:
      sum += static_cast<std::size_t>(token.flag);
      break;
    case jr::kTypeObject: {
      jr::tJsonToken key;
      bool found = false;
      for (const char* value = reader.firstMember(position, key, found); value != nullptr && found;
           value = reader.nextMember(value, key, found)) {
        if (key.length < sizeof decoded &&
            jr::tJsonReader::decodeString(key.start, key.length, decoded, sizeof decoded, &n)) {
          sum += n;
        }
        sum += walkInPlace(reader, value);
      }
      break;
    }
    case jr::kTypeArray:
      for (const char* e = reader.firstElement(position); e != nullptr; e = reader.nextElement(e)) {
        sum += walkInPlace(reader, e);
      }
      break;
    default:
      break;
  }
  return sum;
}

std::size_t readInPlace(const std::string& text) {
  jr::tJsonReader reader(text.data(), text.size());
  jr::tJsonToken root;
  if (reader.readValue(reader.begin(), root) == nullptr) return 0;  // validate the whole text
  return walkInPlace(reader, reader.begin());
}

// --- baseline walk

std::size_t walkTree(const nlohmann::json& value) {
  std::size_t sum = 0;
  switch (value.type()) {
    case nlohmann::json::value_t::string:
      sum += value.get_ref<const std::string&>().size();
      break;
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
      sum += static_cast<std::uint32_t>(value.get<std::int32_t>());
      break;
    case nlohmann::json::value_t::boolean:
      sum += value.get<bool>() ? 1 : 0;
      break;
    case nlohmann::json::value_t::object:
      for (const auto& item : value.items()) {
        sum += item.key().size();
        sum += walkTree(item.value());
      }
      break;
    case nlohmann::json::value_t::array:
      for (const auto& element : value) sum += walkTree(element);
      break;
    default:
      break;
  }
  return sum;
}

std::size_t readTree(const std::string& text) { return walkTree(nlohmann::json::parse(text)); }

// --- status writing

const apal::tJsonStatusOrigin kOrigin{"routingAdaptorInterface/routingAdaptorExports", 68,
                                      "qovorlixatomicsae", "nQOAPALS100::tStatus::kMemoryFull"};

// Ten members: error_constant, file, line, component (setError) and six more.
std::size_t writeStatus() {
  apal::tOwnedJsonStatus status;
  status->setError(-52000, kOrigin);
  status->addString("device", "/dev/qo/kel0/routing");
  status->addInt("driver_status", -1074118656);
  status->addUnsigned("ticket", 3405691582u);
  status->addUnsigned("session", 17);
  status->addString("terminal", "/KEL0/PXI_Trig3");
  status->addInt("attempt", 2);
  return std::strlen(status->json);
}

std::size_t writeEditable() {
  char buffer[512];
  char* p = jr::initEditable(buffer, sizeof buffer, "{}");
  p = jr::addString(nullptr, p, "error_constant", kOrigin.errorConstant);
  p = jr::addString(nullptr, p, "file", kOrigin.file);
  p = jr::addInt(nullptr, p, "line", 68);
  p = jr::addString(nullptr, p, "component", kOrigin.component);
  p = jr::addString(nullptr, p, "device", "/dev/qo/kel0/routing");
  p = jr::addInt(nullptr, p, "driver_status", -1074118656);
  p = jr::addUnsigned(nullptr, p, "ticket", 3405691582u);
  p = jr::addUnsigned(nullptr, p, "session", 17);
  p = jr::addString(nullptr, p, "terminal", "/KEL0/PXI_Trig3");
  p = jr::addInt(nullptr, p, "attempt", 2);
  benchmark::DoNotOptimize(buffer);
  return p != nullptr ? static_cast<std::size_t>(p - buffer) : 0;
}

std::size_t writeTree() {
  nlohmann::json j = nlohmann::json::object();
  j["error_constant"] = kOrigin.errorConstant;
  j["file"] = kOrigin.file;
  j["line"] = 68;
  j["component"] = kOrigin.component;
  j["device"] = "/dev/qo/kel0/routing";
  j["driver_status"] = -1074118656;
  j["ticket"] = 3405691582u;
  j["session"] = 17u;
  j["terminal"] = "/KEL0/PXI_Trig3";
  j["attempt"] = 2;
  return j.dump().size();
}

// --- plain benchmarks

// Prints the request once so its shape can be checked: bench/qo_bench --benchmark_filter=Shape
void BM_RouteRequestShape(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(routeRequest().size());
  state.counters["bytes"] = static_cast<double>(routeRequest().size());
  state.counters["walk_sum"] = static_cast<double>(readInPlace(routeRequest()));
  state.counters["tree_walk_sum"] = static_cast<double>(readTree(routeRequest()));
}
BENCHMARK(BM_RouteRequestShape)->Iterations(1);

void BM_ReadRouteRequest_InPlace(benchmark::State& state) {
  const std::string& text = routeRequest();
  for (auto _ : state) benchmark::DoNotOptimize(readInPlace(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["request_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ReadRouteRequest_InPlace);

void BM_ReadRouteRequest_Nlohmann(benchmark::State& state) {
  const std::string& text = routeRequest();
  for (auto _ : state) benchmark::DoNotOptimize(readTree(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadRouteRequest_Nlohmann);

void BM_WriteStatus_JsonStatus(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(writeStatus());
}
BENCHMARK(BM_WriteStatus_JsonStatus);

void BM_WriteStatus_EditableBuffer(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(writeEditable());
}
BENCHMARK(BM_WriteStatus_EditableBuffer);

void BM_WriteStatus_Nlohmann(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(writeTree());
}
BENCHMARK(BM_WriteStatus_Nlohmann);

// --- ratios measured side by side

template <class InPlace, class Baseline>
void runRatio(benchmark::State& state, InPlace&& inPlace, Baseline&& baseline) {
  using Clock = std::chrono::steady_clock;
  constexpr int kBatch = 64;
  double inPlaceNs = 0, baselineNs = 0;
  std::int64_t operations = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (int i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(inPlace());
    const auto t1 = Clock::now();
    for (int i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(baseline());
    const auto t2 = Clock::now();
    const double a = std::chrono::duration<double, std::nano>(t1 - t0).count();
    const double b = std::chrono::duration<double, std::nano>(t2 - t1).count();
    inPlaceNs += a;
    baselineNs += b;
    operations += kBatch;
    state.SetIterationTime((a + b) * 1e-9);
  }
  state.counters["inplace_ns"] = inPlaceNs / static_cast<double>(operations);
  state.counters["nlohmann_ns"] = baselineNs / static_cast<double>(operations);
  state.counters["ratio"] = baselineNs > 0 ? inPlaceNs / baselineNs : 0;
}

void BM_Ratio_ReadRouteRequest(benchmark::State& state) {
  const std::string& text = routeRequest();
  runRatio(
      state, [&] { return readInPlace(text); }, [&] { return readTree(text); });
}
BENCHMARK(BM_Ratio_ReadRouteRequest)->UseManualTime();

void BM_Ratio_WriteStatus_JsonStatus(benchmark::State& state) {
  runRatio(
      state, [] { return writeStatus(); }, [] { return writeTree(); });
}
BENCHMARK(BM_Ratio_WriteStatus_JsonStatus)->UseManualTime();

void BM_Ratio_WriteStatus_EditableBuffer(benchmark::State& state) {
  runRatio(
      state, [] { return writeEditable(); }, [] { return writeTree(); });
}
BENCHMARK(BM_Ratio_WriteStatus_EditableBuffer)->UseManualTime();

}  // namespace
