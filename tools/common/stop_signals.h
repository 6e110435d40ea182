// SIGINT and SIGTERM for a host's waiting commands: blocked in every thread before the library
// starts any (so no library thread takes them), then taken where the command waits.
#pragma once

#include <signal.h>

#include <ctime>

namespace hostabi {

inline sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// Call before loading the library.
inline void blockStopSignals() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Waits for SIGINT/SIGTERM, at most `ms` milliseconds when `ms` >= 0; the signal, or 0.
inline int waitForStop(int ms = -1) {
  const sigset_t set = stopSignals();
  if (ms < 0) {
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    return signal;
  }
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  const int signal = sigtimedwait(&set, nullptr, &ts);
  return signal > 0 ? signal : 0;
}

}  // namespace hostabi
