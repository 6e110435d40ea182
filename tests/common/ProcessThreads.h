// The threads of the calling process as /proc shows them: tests that load the library count
// them before and after, so a thread the library left running shows.
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

}  // namespace testsupport
