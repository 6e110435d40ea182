// The threads and open descriptors of the calling process as /proc shows them: tests that load
// the library count them before and after, so a thread the library left running or a
// descriptor it left open shows.
#pragma once

#include <dirent.h>

#include <cstddef>

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
