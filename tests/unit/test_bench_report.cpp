// scripts/bench-report over hand-made results: a target not met is reported as "not met" and
// does not fail the run; a benchmark that could not measure (an error, a missing figure or file)
// fails it and is listed; GetPropertyBag's own system calls are judged exactly.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/common/FileText.h"

namespace {

namespace fs = std::filesystem;
using Counters = std::map<std::string, double>;
using Runs = std::map<std::string, Counters>;  // benchmark name -> fields (real_time in us)

// Every figure the report reads, each meeting its target, creation linear and the rest flat.
Runs goodRuns() {
  // clang-format off
  Runs r = {
      {"BM_GetPropertyBagOverDriverTraffic", {{"ratio", 1.2}}},
      {"BM_Ratio_BagHandOut", {{"ratio", 1.5}}},
      {"BM_TaskQueueThroughput", {{"items_per_second", 1e6}}},
      {"BM_PlainQueueThroughput_Baseline", {{"items_per_second", 1e6}}},
      {"BM_TaskQueueEnqueueToStart", {{"p50_ns", 5000}, {"p99_ns", 9000}}},
      {"BM_PlainQueueEnqueueToStart_Baseline", {{"p50_ns", 5000}, {"p99_ns", 9000}}},
      {"BM_ProxyOverBareIoctl", {{"ratio_median", 1.0}}},
      {"BM_GeneratedOverTransportCall", {{"ratio_median", 1.0}}},
      {"BM_CalculateRouteOverBareRequest", {{"ratio_median", 1.1}}},
      {"BM_CalculateRoute32_LiteralWalk", {{"real_time", 2000}}},
      {"BM_CalculateRoute32_Index", {{"real_time", 20}}},
      {"BM_Ratio_ReadRouteRequest", {{"ratio", 0.4}}},
      {"BM_Ratio_WriteStatus_JsonStatus", {{"ratio", 0.4}}},
      {"BM_Ratio_WriteStatus_EditableBuffer", {{"ratio", 0.3}}},
      {"BM_BoardPluggedToHostNotice", {{"p99_us", 4000}}},
      {"BM_IdleExpertCpuOver10s", {{"cpu_us_per_10s", 50}}},
      {"BM_GetItemNamesUnchanged32", {{"driver_calls", 0}}},
      {"BM_FakeExpert_GetItemNames", {{"cpu_time", 0.1}}},
      {"BM_FakeExpert_GetPropertyBag", {{"cpu_time", 3}}},
  };
  // clang-format on
  for (int n : {1, 8, 32, 128}) {
    const std::string a = "/" + std::to_string(n);
    r["BM_Scaling_ItemCreation" + a] = {{"median_us", 500.0 * n}};
    r["BM_Scaling_PresencePass" + a] = {{"median_us", 200.0 * n}};
    r["BM_Scaling_GetItemNamesUnchanged" + a] = {{"median_us", 1.0}, {"overhead_us", 0.5}};
  }
  for (int t : {23, 193, 1161})
    r["BM_Scaling_CalculateRoute/" + std::to_string(t)] = {{"real_time", 20}};
  return r;
}

const char* kExactBagCalls = R"({"openat": 1.0, "ioctl": 1.0, "close": 1.0})";

struct Outcome {
  int exitStatus = -1;
  std::string report;
};

void writeJson(const fs::path& path, const Runs& runs, const std::string& errored) {
  std::ofstream f(path);
  f << "{\"benchmarks\": [";
  const char* sep = "";
  for (const auto& [name, fields] : runs) {
    f << sep << "{\"name\": \"" << name
      << "\", \"time_unit\": \"us\", \"real_time\": 1, \"cpu_time\": 1";
    for (const auto& [k, v] : fields) f << ", \"" << k << "\": " << v;
    if (name == errored) f << ", \"error_occurred\": true, \"error_message\": \"cannot plug\"";
    f << "}";
    sep = ", ";
  }
  f << "]}";
}

Outcome runReport(const Runs& runs, const std::string& errored, const std::string& bagCalls,
                  bool withSyscalls) {
  const fs::path dir =
      fs::temp_directory_path() / ("qo-bench-report-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "results");
  std::ofstream(dir / "CMakeCache.txt")
      << "CMAKE_BUILD_TYPE:STRING=Release\nCMAKE_CXX_COMPILER:FILEPATH=c++\n";
  writeJson(dir / "results" / "qo_bench.json", runs, errored);
  writeJson(dir / "results" / "qo_sim_bench.json", {}, "");
  writeJson(dir / "results" / "scaling.json", {}, "");
  if (withSyscalls)
    std::ofstream(dir / "results" / "syscalls.json")
        << R"({"calls": 5, "operations": {"GetPropertyBag": {"library": )" << bagCalls
        << R"(, "library_sources": {"newfstatat from tNextVorlixItem::prepareProperties": 1.0}}}})";
  const std::string command = std::string(QO_SOURCE_DIR) + "/scripts/bench-report --build " +
                              dir.string() + " --results " + (dir / "results").string() +
                              " --out " + (dir / "REPORT.md").string() + " 2>/dev/null";
  Outcome o;
  const int status = std::system(command.c_str());
  o.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  o.report = testsupport::readFile(dir / "REPORT.md");
  fs::remove_all(dir);
  return o;
}

TEST(BenchReport, VerdictsAndFailures) {
  struct Case {
    const char* what;
    std::function<void(Runs&)> change;
    std::string errored;
    std::string bagCalls;
    bool withSyscalls;
    int exitStatus;
    std::vector<std::string> expected;  // texts the report must hold
    std::vector<std::string> absent;    // and must not
  };
  const std::string extraCall = R"({"openat": 1.0, "ioctl": 1.0, "close": 1.0, "newfstatat": 1.0})";
  // clang-format off
  const std::vector<Case> cases = {
      {"everything met", [](Runs&) {}, "", kExactBagCalls, true, 0,
       {"\"Creation linear, unchanged flat, name resolution flat\": **met**", "| 60-tag bag hand-out vs a plain std::map copy | `BM_Ratio_BagHandOut` | 1.5 x | <= 2 x | met |",
        "exactly open, ioctl (op0406), close: **yes**"},
       {"not met", "could not measure"}},
      {"a ratio over its bound is not met, and the run still passes",
       [](Runs& r) { r["BM_Ratio_BagHandOut"]["ratio"] = 2.7; }, "", kExactBagCalls, true, 0,
       {"| `BM_Ratio_BagHandOut` | 2.7 x | <= 2 x | **not met** |"}, {"could not measure"}},
      {"quadratic creation is not linear",
       [](Runs& r) { r["BM_Scaling_ItemCreation/128"]["median_us"] = 500.0 * 128 * 16; }, "",
       kExactBagCalls, true, 0, {"**not met** (see the rows above)"}, {}},
      {"a benchmark that could not measure fails the run", [](Runs&) {},
       "BM_BoardPluggedToHostNotice", kExactBagCalls, true, 1,
       {"**could not measure**", "BM_BoardPluggedToHostNotice: cannot plug"}, {}},
      {"a missing figure fails the run", [](Runs& r) { r.erase("BM_IdleExpertCpuOver10s"); }, "",
       kExactBagCalls, true, 1, {"BM_IdleExpertCpuOver10s did not run"}, {}},
      {"no system-call counts fail the run", [](Runs&) {}, "", kExactBagCalls, false, 1,
       {"The system calls could not be counted."}, {}},
      {"an extra library call in GetPropertyBag is named with its origin", [](Runs&) {}, "",
       extraCall, true, 0, {"exactly open, ioctl (op0406), close: **no**", "newfstatat from tNextVorlixItem::prepareProperties"},
       {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Runs runs = goodRuns();
    c.change(runs);
    const Outcome o = runReport(runs, c.errored, c.bagCalls, c.withSyscalls);
    EXPECT_EQ(o.exitStatus, c.exitStatus);
    for (const std::string& text : c.expected)
      EXPECT_NE(o.report.find(text), std::string::npos) << text;
    for (const std::string& text : c.absent)
      EXPECT_EQ(o.report.find(text), std::string::npos) << text;
  }
}

}  // namespace
