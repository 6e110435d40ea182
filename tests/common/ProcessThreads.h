// The threads and open descriptors of the calling process as /proc shows them: tests that load
// the library count them before and after, so a thread the library left running or a
// descriptor it left open shows.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstddef>
#include <thread>

namespace testsupport {

// Threads of this process (each one is an entry of /proc/self/task).
inline std::size_t threadCount() {
  std::size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count;
}

// The thread count once it is at most `bound`, or the count when `wait` runs out. A joined
// thread's /proc entry goes only after the join has returned (the kernel clears the thread's id
// word, which ends the join, before it releases the task), so a count taken right after
// joining can still see it; a thread really left running stays past any wait.
inline std::size_t threadCountSettled(std::size_t bound,
                                      std::chrono::milliseconds wait = std::chrono::seconds(2)) {
  const auto end = std::chrono::steady_clock::now() + wait;
  std::size_t count = threadCount();
  while (count > bound && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    count = threadCount();
  }
  return count;
}

// Open descriptors of this process (each one is an entry of /proc/self/fd; the one of the
// directory being read is not counted).
inline std::size_t descriptorCount() {
  std::size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count > 0 ? count - 1 : 0;
}

}  // namespace testsupport
