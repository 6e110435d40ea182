#include "qoapal/protons/enumeration/linuxU/linuxDevEnumHelper.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "qoapal/component.h"
#include "qoapal/driver/qoDriverContract.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::linuxDevEnumHelper {
namespace {

using Codes = nQOAPALS100::tStatus;
constexpr char kStringSource[] = "qoapal/protons/containers/tBasicString";
constexpr char kDeviceInterfacesMarker[] = "/deviceInterfaces/";

bool blocked(const tStatus* status) { return status == nullptr || status->isFatal(); }

bool isMatcherSpecial(char c) { return c == '\\' || c == '*' || c == '?' || c == '[' || c == ']'; }

// Appends text to buffer[used, size) keeping room for the terminating NUL; escapes the
// matcher's special characters when asked. Returns false when it does not fit.
bool append(char* buffer, std::size_t size, std::size_t& used, const char* text, bool escape) {
  for (const char* p = text; *p != '\0'; ++p) {
    const std::size_t need = (escape && isMatcherSpecial(*p)) ? 2 : 1;
    if (size - used <= need) return false;  // the NUL must still fit afterwards
    if (need == 2) buffer[used++] = '\\';
    buffer[used++] = *p;
  }
  return true;
}

}  // namespace

bool isPlainEntryName(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  if (std::strchr(name, '/') != nullptr) return false;
  return std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

bool buildMatchPattern(char* buffer, std::size_t size, const char* deviceName,
                       const char* interfaceName, tStatus* status) {
  if (blocked(status)) return false;
  if (buffer == nullptr || size == 0) {
    status->setCode(Codes::kInvalidParameter, kComponentName, kSource, __LINE__);
    return false;
  }
  buffer[0] = '\0';
  // An interface name only has to be literal text inside one entry name; "." and ".." are
  // harmless there because the entry name continues with a backslash.
  const bool interfaceOk = interfaceName != nullptr && interfaceName[0] != '\0' &&
                           std::strchr(interfaceName, '/') == nullptr;
  if (!interfaceOk || (deviceName != nullptr && !isPlainEntryName(deviceName))) {
    status->setCode(Codes::kInvalidParameter, kComponentName, kSource, __LINE__);
    return false;
  }
  std::size_t used = 0;
  const bool fits = append(buffer, size, used, driver::kProcRootSlash, false) &&
                    (deviceName == nullptr ? append(buffer, size, used, "*", false)
                                           : append(buffer, size, used, deviceName, true)) &&
                    append(buffer, size, used, "/", false) &&
                    append(buffer, size, used, driver::kDeviceInterfacesDir, false) &&
                    append(buffer, size, used, "/", false) &&
                    append(buffer, size, used, interfaceName, true) &&
                    append(buffer, size, used, "\\\\*", false);
  if (!fits) {
    buffer[0] = '\0';
    status->setCode(Codes::kInvalidParameter, kComponentName, kSource, __LINE__);
    return false;
  }
  buffer[used] = '\0';
  return true;
}

long readSmallFile(const char* path, char* buffer, tStatus* status) {
  if (blocked(status)) return -1;
  int fd = -1;
  for (int attempt = 0; attempt < kOpenAttempts && fd == -1; ++attempt) {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  }
  if (fd == -1) {
    status->setCode(Codes::kNotFound, kComponentName, kSource, __LINE__);
    return -1;
  }
  const ssize_t count = ::read(fd, buffer, kMaxFileRead);
  ::close(fd);
  if (count < 0) {
    status->setCode(Codes::kIoError, kComponentName, kSource, __LINE__);
    return -1;
  }
  return static_cast<long>(count);
}

std::pair<const char*, const char*> splitEntryName(char* name) {
  if (name == nullptr) return {nullptr, nullptr};
  char* first = std::strchr(name, driver::kEntrySeparator);
  if (first == nullptr) return {nullptr, nullptr};
  char* second = std::strchr(first + 1, driver::kEntrySeparator);
  if (second == nullptr) return {nullptr, nullptr};
  *first = '\0';
  *second = '\0';
  return {name, first + 1};
}

void deviceNameFromEntryPath(const char* path, std::string& out, tStatus* status) {
  if (blocked(status)) return;
  out.clear();
  if (path == nullptr) return;
  constexpr std::size_t kRootLength = sizeof driver::kProcRootSlash - 1;  // 16
  if (std::strncmp(path, driver::kProcRootSlash, kRootLength) == 0) path += kRootLength;
  const char* marker = std::strstr(path, kDeviceInterfacesMarker);
  const std::size_t length =
      marker != nullptr ? static_cast<std::size_t>(marker - path) : std::strlen(path);
  try {
    out.assign(path, length);
  } catch (const std::bad_alloc&) {
    status->setCode(Codes::kMemoryFull, kComponentName, kStringSource, __LINE__);
  } catch (const std::length_error&) {
    status->setCode(Codes::kMemoryFull, kComponentName, kStringSource, __LINE__);
  }
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::linuxDevEnumHelper
