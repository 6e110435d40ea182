// Thread primitives of the platform layer: creating a POSIX thread with an explicit scheduling
// class, naming the calling thread, and running a thread body safely. Used by tThreadController
// (qoapal/protons/thread), which is what the rest of the library starts threads with.
//
// Failures are reported into the caller's tStatus (source "quarks/thread"); nothing throws.
#pragma once

#include <pthread.h>

#include <cstddef>

#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

class iThread;

namespace thread {

inline constexpr char kSourceName[] = "quarks/thread";
inline constexpr unsigned kLineAttributes = 594;  // pthread_attr_init failed
inline constexpr unsigned kLineCreate = 632;      // scheduling attributes or creation failed

// The kernel keeps this many bytes of a thread name (the rest is cut by the kernel).
inline constexpr std::size_t kKernelNameLength = 15;

// The scheduling class a priority selects: priority <= 0 runs under SCHED_OTHER (whose only
// priority is 0), priority > 0 under SCHED_RR with that priority (1..99 on Linux; anything
// higher is refused by the system and reported as -52008).
int schedulingPolicyFor(int priority) noexcept;
int schedulingPriorityFor(int priority) noexcept;

// Creates one joinable thread running entry(argument), with explicit scheduling attributes (the
// new thread does not inherit the creator's class). Does nothing when *status holds an error.
// Failures: -52008 at line 594 (attributes could not be initialised) or at line 632 (a
// scheduling attribute was refused, or the system refused the thread). True when created.
bool createThread(pthread_t* id, void* (*entry)(void*), void* argument, int priority,
                  tStatus* status) noexcept;

// Names the calling thread with prctl(PR_SET_NAME); the kernel keeps the first 15 bytes.
// A null name does nothing.
void setCurrentThreadName(const char* name) noexcept;

// The calling thread's name as the kernel holds it (at most 15 bytes plus the NUL).
void currentThreadName(char (&name)[kKernelNameLength + 1]) noexcept;

// Calls body->run(). An exception leaving the body is reported as an assertion failure
// (qoapal/trace) and swallowed, so a faulty body ends its own thread, never the process.
// Not noexcept: a thread cancellation still unwinds through it.
void runBody(iThread* body);

}  // namespace thread
}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
