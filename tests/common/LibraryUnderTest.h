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

// The three interfaces a configuration host asks of an expert besides the expert itself, each
// holding one reference of its own.
struct ExpertInterfaces {
  hostabi::ImxSysExpertPlugPlay* plugPlay = nullptr;
  hostabi::ImxSysExpertDiagnostic* diagnostic = nullptr;
  hostabi::ImxSysExpertFirmware* firmware = nullptr;

  // Asks `expert` for the three; the first refusal, or kS_OK.
  hostabi::HRESULT ask(hostabi::ImxSysExpert2* expert) {
    void* p = nullptr;
    hostabi::HRESULT hr = hostabi::queryInterface(expert, hostabi::kIID_ImxSysExpertPlugPlay, &p);
    plugPlay = static_cast<hostabi::ImxSysExpertPlugPlay*>(p);
    if (hr != hostabi::kS_OK) return hr;
    hr = hostabi::queryInterface(expert, hostabi::kIID_ImxSysExpertDiagnostic, &p);
    diagnostic = static_cast<hostabi::ImxSysExpertDiagnostic*>(p);
    if (hr != hostabi::kS_OK) return hr;
    hr = hostabi::queryInterface(expert, hostabi::kIID_ImxSysExpertFirmware, &p);
    firmware = static_cast<hostabi::ImxSysExpertFirmware*>(p);
    return hr;
  }
  // Releases the ones held.
  void release() {
    for (void* itf : {static_cast<void*>(plugPlay), static_cast<void*>(diagnostic),
                      static_cast<void*>(firmware)})
      if (itf != nullptr) hostabi::release(itf);
    plugPlay = nullptr;
    diagnostic = nullptr;
    firmware = nullptr;
  }
};

}  // namespace testsupport
