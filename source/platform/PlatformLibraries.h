// The board family's closed platform libraries, loaded at first use.
//
// The device expert reaches two libraries of the platform that are not part of this library:
// the device-enumeration library (libqokeldevenum.so.1) and the firmware library
// (libqovorlixapi.so.1). This library does not link against them: each is loaded by its
// SONAME through qodynlib (every symbol resolved at load) the first time one of its entry
// points is used, never when this library is loaded. So the library loads, and its routing
// exports work, on a machine without them.
//
// Error when a library is missing (the documented error code): if the library cannot be
// loaded, or lacks one of its entry points, every use throws sysapicpp::HResultException
// (class PlatformLibraryMissingException) with HRESULT 0x8007007E ("the specified module could
// not be found"). Its details text holds the raise site and what is missing:
//   {"file": "source/platform/PlatformLibraries", "line": <n>, "component": "qovorlixatomicsae",
//    "library": "libqokeldevenum.so.1", "symbol": "qokeldevenum_initialize" (missing symbol
//    only), "dlerror": "<the system's error text>"}
// and its message (what()) the same in words.
//
// Load once, retry on failure: a successful load is kept for the rest of the process (the
// library is never unloaded, so objects it handed out can never outlive its code); a failed
// load is not remembered, so a library installed later is found by the next use. Loading is
// serialised per library; once loaded, the entry points are read without a lock.
//
// Status records: the enumeration library reports into its own tStatus, which has exactly the
// layout of nQOAPAL000::tStatus (checked below); platformStatus() views one as the other.
//
// Locks: one mutex per library, held only while loading it (a leaf: nothing else is locked
// under it, no caller code runs under it).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "platform/include/qokeldevenum/qokeldevenum.h"
#include "platform/include/qovorlixapi/qovorlixapi.h"
#include "qoapal/status/tStatus.h"
#include "sysapicpp/HResultException.h"

namespace VorlixSysapiExpert {

inline constexpr char kPlatformLibrariesSource[] = "source/platform/PlatformLibraries";

// A platform library or one of its entry points is missing: HRESULT 0x8007007E.
class PlatformLibraryMissingException : public sysapicpp::HResultException {
 public:
  static constexpr HRESULT kCode = static_cast<HRESULT>(0x8007007Eu);
  // `symbol` null: the library itself could not be loaded.
  PlatformLibraryMissingException(const sysapicpp::tRaiseContext& context, const char* library,
                                  const char* symbol, const char* systemText) noexcept;
};

// One platform library with a fixed list of entry points, loaded at first use.
class tLazyPlatformLibrary {
 public:
  // `name`: a SONAME (searched the system's way) or a path. The symbol names must be constant.
  tLazyPlatformLibrary(std::string name, std::initializer_list<const char*> symbols);
  tLazyPlatformLibrary(const tLazyPlatformLibrary&) = delete;
  tLazyPlatformLibrary& operator=(const tLazyPlatformLibrary&) = delete;

  // The entry point number `index` (in the order given at construction); loads the library
  // first when it is not loaded yet. Throws PlatformLibraryMissingException.
  void* entryPoint(std::size_t index);
  // The same for a library already loaded, never loading and never throwing: null when the
  // library is not loaded or has no such entry point. For paths that must not throw.
  void* loadedEntryPoint(std::size_t index) const noexcept;
  // Whether the library is loaded (no load attempt).
  bool loaded() const noexcept { return loaded_.load(std::memory_order_acquire); }
  // How many times loading was tried (successful or not).
  unsigned loadAttempts() const noexcept { return attempts_.load(); }
  const std::string& name() const noexcept { return name_; }

 private:
  void load();

  const std::string name_;
  const std::vector<const char*> symbolNames_;
  std::mutex loadMutex_;             // serialises loading; a leaf lock
  std::atomic<bool> loaded_{false};  // set (release) after entryPoints_ is complete
  std::vector<void*> entryPoints_;   // written once under loadMutex_ before loaded_
  std::atomic<unsigned> attempts_{0};
};

// The device-enumeration library. Each call returns the library's status (0 = success).
class tEnumerationLibrary {
 public:
  explicit tEnumerationLibrary(std::string name = qokeldevenum::kLibraryName);

  std::int32_t initialize();
  std::int32_t getAllKelDevices(qokeldevenum::iKelDeviceList*& list);
  // Never loads the library and never throws: without a loaded library there is nothing to
  // finalize (0 is returned).
  std::int32_t finalize() noexcept;

  tLazyPlatformLibrary& library() noexcept { return library_; }

 private:
  tLazyPlatformLibrary library_;
};

// The firmware library. Each call returns the library's status (0 = success, -304425 from the
// progress call: nothing to report, outputs untouched).
class tFirmwareLibrary {
 public:
  explicit tFirmwareLibrary(std::string name = qovorlixapi::kLibraryName);

  std::int32_t updateFirmware(const char* device, const char* target, std::uint64_t size,
                              const void* data, int flag);
  std::int32_t getFirmwareUpdateProgress(const char* device, std::int32_t* percent,
                                         std::uint8_t* first, std::uint8_t* second);

  tLazyPlatformLibrary& library() noexcept { return library_; }

 private:
  tLazyPlatformLibrary library_;
};

// The process-wide accessors (constructed on first call; nothing is loaded until an entry
// point is used).
tEnumerationLibrary& enumerationLibrary();
tFirmwareLibrary& firmwareLibrary();

// The library's status record seen as the enumeration library's: the two are the same record.
namespace detail {
using tLibraryStatus = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus;
using tPlatformStatus = qokeldevenum::tStatus;
static_assert(sizeof(tLibraryStatus) == sizeof(tPlatformStatus));
static_assert(offsetof(tLibraryStatus, structSize) == offsetof(tPlatformStatus, structSize));
static_assert(offsetof(tLibraryStatus, code) == offsetof(tPlatformStatus, code));
static_assert(offsetof(tLibraryStatus, component) == offsetof(tPlatformStatus, component));
static_assert(sizeof(tLibraryStatus::component) == sizeof(tPlatformStatus::component));
static_assert(offsetof(tLibraryStatus, file) == offsetof(tPlatformStatus, file));
static_assert(sizeof(tLibraryStatus::file) == sizeof(tPlatformStatus::file));
static_assert(offsetof(tLibraryStatus, line) == offsetof(tPlatformStatus, line));
static_assert(offsetof(tLibraryStatus, detail) == offsetof(tPlatformStatus, detail));
static_assert(sizeof(tLibraryStatus::detail) == sizeof(tPlatformStatus::detail));
static_assert(tLibraryStatus::kFullSize == tPlatformStatus::kFullSize);
}  // namespace detail

inline qokeldevenum::tStatus* platformStatus(nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus* status) {
  return reinterpret_cast<qokeldevenum::tStatus*>(status);
}

}  // namespace VorlixSysapiExpert
