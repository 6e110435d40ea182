// The check every test touching the simulated machine's own trees makes first: that it runs
// inside the machine (qosim run) and that the trees it is about to change are the machine's
// private tmpfs mounts, never the host's.
#pragma once

#include <gtest/gtest.h>

#include <linux/magic.h>
#include <sys/statfs.h>

#include <cstdlib>
#include <initializer_list>

namespace simcheck {

inline ::testing::AssertionResult insideMachine(std::initializer_list<const char*> mounts) {
  const char* control = std::getenv("QOSIM_CONTROL");
  if (control == nullptr || *control == '\0')
    return ::testing::AssertionFailure()
           << "these tests run inside the simulated machine (qosim run): QOSIM_CONTROL is not set";
  for (const char* mount : mounts) {
    struct statfs info;
    if (::statfs(mount, &info) != 0) return ::testing::AssertionFailure() << mount << " is missing";
    if (info.f_type != static_cast<decltype(info.f_type)>(TMPFS_MAGIC))
      return ::testing::AssertionFailure()
             << mount << " is not the simulated machine's private tmpfs";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace simcheck
