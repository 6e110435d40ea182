// Standard installation directories. The library finds its installed data (for example the
// I/O module description files under the data root directory) through a table of 19 named
// directories with fixed defaults for a Linux x86-64 installation. An optional relocation
// library of the platform, "libqorelocations.so.0", may move them: when it loads and exports
// get_relocated_dir, every directory is asked from it once and an answer greater than 0
// replaces the default. Without that library the defaults stand; that is not an error.
//
// The table is built once per process on first use (concurrent first calls build it once) and
// is only read afterwards; the returned paths stay valid until the library is unloaded.
// A process-wide JsonStatus records the outcome of building the table; every lookup copies it
// into the caller's status by the severity rule, together with its JSON text.
//
// Relocation library contract (the platform's, not this library's):
//   int get_relocated_dir(const char* name, char* buffer, size_t size);
// called with size 255 and a 255-byte buffer. A result above 0 means "relocated" and the
// buffer holds the path; the path need not be NUL-terminated when it fills all 255 bytes. A
// result above 0 with an empty path keeps the default (an empty directory is no relocation).
//
// Locks: only the one-time initialisation; nothing is held while a caller runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

#include "qoapal/status/JsonStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

namespace stdpath {

inline constexpr char kSourceName[] = "qosysq/stdpath/stdpath";
inline constexpr unsigned kLineNullName = 84;
inline constexpr unsigned kLineUnknownName = 88;

inline constexpr char kRelocationLibrary[] = "libqorelocations.so.0";
inline constexpr char kRelocationSymbol[] = "get_relocated_dir";
inline constexpr std::size_t kRelocationBufferSize = 255;
inline constexpr std::size_t kDirectoryCount = 19;

using tGetRelocatedDir = int (*)(const char* name, char* buffer, std::size_t size);

// The names and defaults, in table order.
struct tDefaultDirectory {
  const char* name;
  const char* path;
};
extern const tDefaultDirectory kDefaultDirectories[kDirectoryCount];

}  // namespace stdpath

// The path of the standard directory `name` ("datarootdir", "bindir", ...), or null on
// failure: -52008 for an unknown name, -52005 for a null name. The table's construction status
// is merged into *status first. Does nothing (null) when *status holds an error.
const char* getStandardDirectory(const char* name, JsonStatus* status) noexcept;

// The data root directory ("/usr/share" unless relocated). Throws qoerr::Exception carrying
// the status when it cannot be found.
std::string getDataRootDirectory();

namespace stdpath::detail {

// One directory table, filled from the defaults and the relocation library `library`.
class tDirectoryTable {
 public:
  struct tEntry {
    const char* name;
    char path[kRelocationBufferSize + 1];
  };

  tDirectoryTable() noexcept = default;
  tDirectoryTable(const tDirectoryTable&) = delete;
  tDirectoryTable& operator=(const tDirectoryTable&) = delete;

  // Inserts the defaults, then asks the relocation library (loaded and unloaded here) for every
  // name. A library that cannot be loaded, or lacks the symbol, leaves the defaults.
  void build(const char* library) noexcept;
  // The path of `name`, or null when the table has no such entry.
  const char* find(const char* name) const noexcept;
  const JsonStatus& constructionStatus() const noexcept { return construction_.get(); }

 private:
  tEntry entries_[kDirectoryCount] = {};
  tOwnedJsonStatus construction_;
};

// A lazily built table: the process-wide one uses the fixed library name; tests build their
// own with stand-in relocation libraries.
class tStandardDirectories {
 public:
  explicit tStandardDirectories(const char* relocationLibrary) noexcept
      : library_(relocationLibrary) {}
  tStandardDirectories(const tStandardDirectories&) = delete;
  tStandardDirectories& operator=(const tStandardDirectories&) = delete;

  const char* get(const char* name, JsonStatus* status) noexcept;
  // How many times the table was built (1 after first use).
  unsigned buildCount() const noexcept { return builds_.load(); }

 private:
  const char* library_;
  std::once_flag once_;
  std::atomic<unsigned> builds_{0};
  tDirectoryTable table_;
};

// The process-wide table (relocation library "libqorelocations.so.0").
tStandardDirectories& processDirectories() noexcept;

}  // namespace stdpath::detail
}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
