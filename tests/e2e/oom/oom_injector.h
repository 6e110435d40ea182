// An allocation-failure injector for host tests. The test program replaces the global allocation
// functions (oom_injector.cpp); the library, loaded with dlopen, binds its operator new (and,
// without a sanitizer, malloc/calloc/realloc) to them. While a thread is armed, its allocations
// are counted and exactly the chosen one fails; other threads and disarmed code are untouched,
// so a sweep over one operation is deterministic.
#pragma once

namespace oom {

// True when malloc, calloc and realloc fail too (not only operator new). Under AddressSanitizer
// the heap functions belong to the sanitizer and are not replaced.
bool heapFunctionsCovered();

// Counts the calling thread's allocations while alive; the allocation numbered `failAt`
// (from 1) fails, 0 fails none.
class Armed {
 public:
  explicit Armed(long failAt);
  ~Armed();
  Armed(const Armed&) = delete;
  Armed& operator=(const Armed&) = delete;
  // Allocations asked for so far in this scope (the failed one included).
  long seen() const;
  bool failed() const;
};

// Counts the allocations of every other thread while alive (the library's workers: the arming
// thread is left alone); the one numbered `failAt` fails. Deterministic as long as only the
// operation under test keeps the workers busy.
class ArmedWorkers {
 public:
  explicit ArmedWorkers(long failAt);
  ~ArmedWorkers();
  ArmedWorkers(const ArmedWorkers&) = delete;
  ArmedWorkers& operator=(const ArmedWorkers&) = delete;
  long seen() const;
};

}  // namespace oom
