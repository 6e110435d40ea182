// The library as a host holds it: loaded by path with dlopen (RTLD_NOW: every reference is bound
// at load, so an unresolved one fails the load and not some later call; RTLD_LOCAL: its symbols
// stay out of the process's global namespace), its exports found by name, closed when the holder
// goes. It lives with the hosts' helpers so that a reference host can load with it without
// depending on tests/; the reference hosts, the benchmarks and the test hosts
// (tests/common/LibraryUnderTest.h) all load the library with it.
#pragma once

#include <dlfcn.h>

#include <string>

#include "qovorlixatomicsae/sysapi_host.h"

namespace hostabi {

class HostLibrary {
 public:
  HostLibrary() = default;
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;
  ~HostLibrary() { close(); }

  // Loads the library at `path` (an earlier one is closed first); false with error() saying why.
  bool open(const std::string& path) {
    close();
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char* why = handle_ == nullptr ? ::dlerror() : nullptr;
    error_ = handle_ != nullptr ? "" : why != nullptr ? why : "?";
    return handle_ != nullptr;
  }
  void close() {
    if (handle_ != nullptr) ::dlclose(handle_);
    handle_ = nullptr;
  }

  void* handle() const { return handle_; }
  // The loader's reason when the last open failed.
  const std::string& error() const { return error_; }
  // An export by name; null when it is missing or nothing is loaded.
  void* symbol(const char* name) const {
    return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
  }
  // The expert factory (kFactoryName); null when the library does not export it.
  CreateExpertFn expertFactory() const {
    return reinterpret_cast<CreateExpertFn>(symbol(kFactoryName));
  }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace hostabi
