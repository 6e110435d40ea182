#include "qoapal/protons/enumeration/linuxU/tDeviceInterfaceIterator.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qoapal/component.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/protons/enumeration/linuxU/linuxDevEnumHelper.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {
namespace {

using Codes = nQOAPALS100::tStatus;
namespace helper = linuxDevEnumHelper;

// glob skips a directory it cannot open, also when opening it ran out of memory: that would pass
// for an entry that is not there. Its error hook (a plain function) notes exhaustion here.
thread_local bool tGlobOutOfMemory = false;
int noteGlobError(const char*, int error) {
  if (error == ENOMEM) tGlobOutOfMemory = true;
  return 0;  // other unreadable directories are skipped, as before
}

bool blocked(const tStatus* status) { return status == nullptr || status->isFatal(); }

void fail(tStatus* status, std::int64_t code, std::uint64_t line) {
  status->setCode(code, kComponentName, kDeviceInterfaceIteratorSource, line);
}

bool isDirectory(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

tDeviceInterfaceIterator::tDeviceInterfaceIterator(const char* interfaceName, tStatus* status) {
  match(interfaceName, nullptr, status);
}

tDeviceInterfaceIterator::tDeviceInterfaceIterator(const char* interfaceName,
                                                   const char* deviceName, tStatus* status) {
  if (deviceName == nullptr) {
    // A null device would silently widen the match to every device.
    if (!blocked(status)) fail(status, Codes::kInvalidParameter, __LINE__);
    return;
  }
  match(interfaceName, deviceName, status);
}

tDeviceInterfaceIterator::~tDeviceInterfaceIterator() {
  if (matched_) ::globfree(&matches_);
}

void tDeviceInterfaceIterator::match(const char* interfaceName, const char* deviceName,
                                     tStatus* status) noexcept {
  if (blocked(status)) return;
  char pattern[helper::kPatternSize];
  if (!helper::buildMatchPattern(pattern, sizeof pattern, deviceName, interfaceName, status)) {
    return;
  }
  tGlobOutOfMemory = false;
  int result = ::glob(pattern, GLOB_ONLYDIR, &noteGlobError, &matches_);
  if (tGlobOutOfMemory) result = GLOB_NOSPACE;
  if (result == 0) {
    matched_ = true;
    cursor_ = 0;
    // The matcher treats "directories only" as a hint; keep the promise here.
    skipNonDirectories();
    return;
  }
  // A failed match may still have allocated its list.
  ::globfree(&matches_);
  matches_ = glob_t{};
  if (result == GLOB_NOSPACE) {
    fail(status, Codes::kMemoryFull, __LINE__);
  } else if (result != GLOB_NOMATCH) {
    fail(status, Codes::kEnumerationFailed, __LINE__);
  }
}

void tDeviceInterfaceIterator::skipNonDirectories() noexcept {
  while (!isEnd() && !isDirectory(matches_.gl_pathv[cursor_])) ++cursor_;
}

bool tDeviceInterfaceIterator::isEnd() const noexcept {
  return !matched_ || cursor_ >= matches_.gl_pathc;
}

void tDeviceInterfaceIterator::next() noexcept {
  if (isEnd()) return;
  ++cursor_;
  skipNonDirectories();
}

const char* tDeviceInterfaceIterator::entryPath() const noexcept {
  return isEnd() ? nullptr : matches_.gl_pathv[cursor_];
}

std::size_t tDeviceInterfaceIterator::readInterfacePath(char (&buffer)[kInterfacePathSize],
                                                        tStatus* status) noexcept {
  if (blocked(status)) return 0;
  const char* entry = entryPath();
  if (entry == nullptr) {
    fail(status, Codes::kNotFound, __LINE__);
    return 0;
  }
  char path[helper::kPatternSize];
  const int length = std::snprintf(path, sizeof path, "%s/%s", entry, driver::kInterfacePathFile);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
    fail(status, Codes::kInvalidParameter, __LINE__);
    return 0;
  }
  char contents[helper::kMaxFileRead];
  const long count = helper::readSmallFile(path, contents, status);
  if (count < 0) return 0;
  if (static_cast<std::size_t>(count) > driver::kMaxInterfacePath) {
    fail(status, Codes::kBufferTooSmall, __LINE__);
    return 0;
  }
  std::memcpy(buffer, contents, static_cast<std::size_t>(count));
  buffer[count] = '\0';
  return static_cast<std::size_t>(count) + 1;
}

void tDeviceInterfaceIterator::readDeviceFile(const char* group, const char* name,
                                              void* destination, std::size_t capacity,
                                              std::size_t* outSize, tStatus* status) noexcept {
  if (blocked(status)) return;
  if (outSize != nullptr) *outSize = 0;
  const char* entry = entryPath();
  if (entry == nullptr) {
    fail(status, Codes::kNotFound, __LINE__);
    return;
  }
  if (!helper::isPlainEntryName(group) || !helper::isPlainEntryName(name)) {
    fail(status, Codes::kInvalidParameter, __LINE__);
    return;
  }
  // Remove the last two components (deviceInterfaces/<entry>) to reach the device directory.
  const char* last = std::strrchr(entry, '/');
  const char* cut = nullptr;
  for (const char* p = last; p != nullptr && p > entry;) {
    --p;
    if (*p == '/') {
      cut = p;
      break;
    }
  }
  if (cut == nullptr) {
    fail(status, Codes::kNotFound, __LINE__);
    return;
  }
  char path[helper::kPatternSize];
  const int length = std::snprintf(path, sizeof path, "%.*s/%s/%s", static_cast<int>(cut - entry),
                                   entry, group, name);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
    fail(status, Codes::kInvalidParameter, __LINE__);
    return;
  }
  char contents[helper::kMaxFileRead];
  const long count = helper::readSmallFile(path, contents, status);
  if (count < 0) return;
  const auto size = static_cast<std::size_t>(count);
  if (outSize != nullptr) *outSize = size;
  if (destination == nullptr || capacity < size) {
    fail(status, Codes::kBufferTooSmall, __LINE__);
    return;
  }
  if (size != 0) std::memcpy(destination, contents, size);
}

void tDeviceInterfaceIterator::readBusProperty(const char* name, void* destination,
                                               std::size_t capacity, std::size_t* outSize,
                                               tStatus* status) noexcept {
  readDeviceFile(driver::kBusPropertiesDir, name, destination, capacity, outSize, status);
}

void tDeviceInterfaceIterator::getDeviceName(std::string& out, tStatus* status) noexcept {
  if (blocked(status)) return;
  out.clear();
  const char* entry = entryPath();
  if (entry == nullptr) {
    fail(status, Codes::kNotFound, __LINE__);
    return;
  }
  helper::deviceNameFromEntryPath(entry, out, status);
}

std::pair<const char*, const char*> tDeviceInterfaceIterator::splitEntryName(char* name) noexcept {
  return helper::splitEntryName(name);
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
