#include "oom_sweep.h"

#include <cstdio>
#include <map>

namespace oom {
namespace {

long gLastSeen = 0;

int failedParts() {
  const ::testing::TestResult* r =
      ::testing::UnitTest::GetInstance()->current_test_info()->result();
  int failed = 0;
  for (int i = 0; i < r->total_part_count(); ++i)
    failed += r->GetTestPartResult(i).failed() ? 1 : 0;
  return failed;
}

std::map<std::string, long>& tally() {
  static std::map<std::string, long> points;
  return points;
}

const char* outcomeName(Outcome o) {
  return o == Outcome::kSucceeded     ? "succeeded"
         : o == Outcome::kOutOfMemory ? "out of memory"
                                      : "other";
}

// Prints the points of every operation swept in this process and their total.
class Tally : public ::testing::Environment {
 public:
  void TearDown() override {
    long total = 0;
    for (const auto& [operation, points] : tally()) {
      std::printf("[ oom ] %-40s %6ld points\n", operation.c_str(), points);
      total += points;
    }
    std::printf("[ oom ] %-40s %6ld points (malloc family %s)\n", "total", total,
                heapFunctionsCovered() ? "failed too" : "not replaced: operator new only");
  }
};
const auto* const kTally = ::testing::AddGlobalTestEnvironment(new Tally);

}  // namespace

void noteSeen(long seen) { gLastSeen = seen; }

long sweep(const std::string& operation, const Run& run, bool mayAllocateNothing) {
  const int failedBefore = failedParts();
  run(0);  // loads what a first run loads, so the counted run is like every later one
  gLastSeen = 0;
  const Outcome clean = run(0);
  const long count = gLastSeen;
  EXPECT_EQ(clean, Outcome::kSucceeded) << operation << ": the clean run";
  if (!mayAllocateNothing) {
    EXPECT_GT(count, 0) << operation << ": no allocation seen";
  }
  if (clean != Outcome::kSucceeded) return 0;
  long points = 0;
  for (long n = 1; n <= count; ++n) {
    const Outcome o = run(n);
    ++points;
    EXPECT_NE(o, Outcome::kOther) << operation << ": allocation " << n << " of " << count;
    const Outcome after = run(0);
    EXPECT_EQ(after, Outcome::kSucceeded)
        << operation << ": the unarmed run after failing allocation " << n << " (" << outcomeName(o)
        << ")";
    if (failedParts() != failedBefore) {  // the first broken point is the one to read
      ADD_FAILURE() << operation << ": broken by failing allocation " << n << " of " << count;
      break;
    }
  }
  tally()[operation] += points;
  std::printf("[ oom ] %s: %ld allocations, %ld points\n", operation.c_str(), count, points);
  return points;
}

}  // namespace oom
