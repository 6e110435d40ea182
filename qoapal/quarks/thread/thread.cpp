#include "qoapal/quarks/thread/thread.h"

#include <sched.h>
#include <sys/prctl.h>

#include <cstring>
#include <cxxabi.h>
#include <exception>

#include "qoapal/component.h"
#include "qoapal/quarks/thread/iThread.h"
#include "qoapal/trace/qosdbg.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::thread {

namespace {
constexpr unsigned kLineEscapedException = 700;
}  // namespace

int schedulingPolicyFor(int priority) noexcept { return priority > 0 ? SCHED_RR : SCHED_OTHER; }

int schedulingPriorityFor(int priority) noexcept { return priority > 0 ? priority : 0; }

bool createThread(pthread_t* id, void* (*entry)(void*), void* argument, int priority,
                  tStatus* status) noexcept {
  if (status == nullptr || status->isFatal()) return false;
  if (id == nullptr || entry == nullptr) {
    status->setCode(nQOAPALS100::tStatus::kInvalidParameter, kComponentName, kSourceName,
                    kLineCreate);
    return false;
  }
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    status->setCode(nQOAPALS100::tStatus::kOsFault, kComponentName, kSourceName, kLineAttributes);
    return false;
  }
  sched_param parameter{};
  parameter.sched_priority = schedulingPriorityFor(priority);
  // The policy first: the priority is checked against the policy's range.
  if (pthread_attr_setschedpolicy(&attributes, schedulingPolicyFor(priority)) != 0 ||
      pthread_attr_setschedparam(&attributes, &parameter) != 0 ||
      pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED) != 0) {
    pthread_attr_destroy(&attributes);
    status->setCode(nQOAPALS100::tStatus::kOsFault, kComponentName, kSourceName, kLineCreate);
    return false;
  }
  const int created = pthread_create(id, &attributes, entry, argument);
  pthread_attr_destroy(&attributes);
  if (created != 0) {
    status->setCode(nQOAPALS100::tStatus::kOsFault, kComponentName, kSourceName, kLineCreate);
    return false;
  }
  return true;
}

void setCurrentThreadName(const char* name) noexcept {
  if (name == nullptr) return;
  // The kernel copies at most 16 bytes and terminates them itself.
  ::prctl(PR_SET_NAME, reinterpret_cast<unsigned long>(name), 0UL, 0UL, 0UL);
}

void currentThreadName(char (&name)[kKernelNameLength + 1]) noexcept {
  char buffer[kKernelNameLength + 1] = {};
  if (::prctl(PR_GET_NAME, reinterpret_cast<unsigned long>(buffer), 0UL, 0UL, 0UL) != 0)
    buffer[0] = '\0';
  buffer[kKernelNameLength] = '\0';
  std::memcpy(name, buffer, sizeof buffer);
}

void runBody(iThread* body) {
  if (body == nullptr) return;
  try {
    body->run();
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must finish unwinding
  } catch (const std::exception& e) {
    reportAssertionFailure(kComponentName, kSourceName, kLineEscapedException, e.what());
  } catch (...) {
    reportAssertionFailure(kComponentName, kSourceName, kLineEscapedException,
                           "exception escaped a thread body");
  }
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::thread
