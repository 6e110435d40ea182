// The library under test as a test host loads it: the build tree's shared library
// (QO_LIBRARY_PATH, defined by the test program's CMake target) through the reference hosts'
// loader, and the expert its exported factory makes.
#pragma once

#include "qovorlixatomicsae/sysapi_host.h"
#include "tools/common/host_library.h"

namespace testsupport {

class LibraryUnderTest : public hostabi::HostLibrary {
 public:
  // Loads the build tree's library; false with error() saying why.
  bool load() { return open(QO_LIBRARY_PATH); }

  // A new expert (the caller owns its one reference); null when the library exports no factory
  // or the factory refuses.
  hostabi::ImxSysExpert2* newExpert() const {
    const hostabi::CreateExpertFn make = expertFactory();
    void* expert = nullptr;
    if (make == nullptr || make(&expert) != hostabi::kS_OK) return nullptr;
    return static_cast<hostabi::ImxSysExpert2*>(expert);
  }
};

}  // namespace testsupport
