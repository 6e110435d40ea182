// The sweep: an operation is run once clean to count its allocations on the calling thread, then
// once per allocation with exactly that one failing. After every point the operation runs again
// unarmed and must succeed, so a failure that left the library broken is caught at the point
// that caused it. Points are tallied per operation; the program prints the tally at its end.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "oom_injector.h"

namespace oom {

enum class Outcome { kSucceeded, kOutOfMemory, kOther };

// One run of an operation. `failAt` is 0 for a clean run. The run arms the injector (Armed)
// around the library call only, checks the out-values itself and returns what it saw.
using Run = std::function<Outcome(long failAt)>;

// The allocations of one clean run; each later run receives the same count back through
// Armed::seen, so a run reports it with `noteSeen`.
void noteSeen(long seen);

// Sweeps `run`; the number of points swept (0 and a test failure when the clean run fails, or
// allocates nothing although it must, which would mean the injector does not see the library).
long sweep(const std::string& operation, const Run& run, bool mayAllocateNothing = false);

}  // namespace oom
