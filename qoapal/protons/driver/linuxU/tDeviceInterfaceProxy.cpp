#include "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "qoapal/component.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {
namespace {

using Codes = nQOAPALS100::tStatus;

bool blocked(const tStatus* status) { return status == nullptr || status->isFatal(); }

void failErrno(tStatus* status, int errnoValue, std::uint64_t line) {
  // A failing call that left errno 0 is still a failure.
  status->setCode(errnoValue == 0 ? Codes::kOsFault : statusFromErrno(errnoValue), kComponentName,
                  kDeviceInterfaceProxySource, line);
}

}  // namespace

iInterfaceProxy::~iInterfaceProxy() = default;

tDeviceInterfaceProxy::~tDeviceInterfaceProxy() {
  if (fd_ != -1) ::close(fd_);
}

void tDeviceInterfaceProxy::close() noexcept {
  if (!isOpen()) return;
  ::close(fd_);
  fd_ = -1;
}

std::uint32_t tDeviceInterfaceProxy::call(unsigned long command, const void* input,
                                          std::uint32_t inputSize, void* output,
                                          std::uint32_t outputSize, tStatus* status) noexcept {
  if (blocked(status)) return 0;
  tCallBlock block{};
  block.input = reinterpret_cast<std::uintptr_t>(input);
  block.output = reinterpret_cast<std::uintptr_t>(output);
  block.inputSize = inputSize;
  block.outputSize = outputSize;
  block.result = 0;
  if (::ioctl(fd_, command, &block) == -1) failErrno(status, errno, __LINE__);
  return static_cast<std::uint32_t>(block.result);
}

ssize_t tDeviceInterfaceProxy::read(void* buffer, std::size_t size, tStatus* status) noexcept {
  if (blocked(status)) return -1;
  const ssize_t count = ::read(fd_, buffer, size);
  if (count == -1) failErrno(status, errno, __LINE__);
  return count;
}

ssize_t tDeviceInterfaceProxy::write(const void* data, std::size_t size, tStatus* status) noexcept {
  if (blocked(status)) return -1;
  const ssize_t count = ::write(fd_, data, size);
  if (count == -1) failErrno(status, errno, __LINE__);
  return count;
}

void* tDeviceInterfaceProxy::mapMemory(std::uint32_t windowIndex, std::size_t length,
                                       std::uint32_t access, tMemoryMapping* mapping,
                                       tStatus* status) noexcept {
  if (blocked(status)) return nullptr;
  if (mapping == nullptr) {
    status->setCode(Codes::kInvalidParameter, kComponentName, kDeviceInterfaceProxySource,
                    __LINE__);
    return nullptr;
  }
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  const off_t offset = static_cast<off_t>(windowIndex & 0xFFFFu) * static_cast<off_t>(pageSize);
  const int protection = access == kMapReadWrite ? (PROT_READ | PROT_WRITE) : PROT_READ;
  void* address = ::mmap(nullptr, length, protection, MAP_SHARED, fd_, offset);
  if (address == MAP_FAILED) {
    const int error = errno;
    mapping->address = nullptr;
    mapping->length = length;
    failErrno(status, error, __LINE__);
    return nullptr;
  }
  mapping->address = address;
  mapping->length = length;
  return address;
}

void tDeviceInterfaceProxy::unmapMemory(tMemoryMapping* mapping) noexcept {
  if (mapping == nullptr || mapping->address == nullptr) return;
  ::munmap(mapping->address, mapping->length);
  mapping->address = nullptr;
}

bool tDeviceInterfaceProxy::isOpen() const noexcept { return fd_ != -1; }

void tDeviceInterfaceProxy::openDefault(const char* path, tStatus* status) noexcept {
  open(path, status);
}

void tDeviceInterfaceProxy::open(const char* path, tStatus* status) noexcept {
  if (blocked(status)) return;
  if (path == nullptr) {
    status->setCode(Codes::kInvalidParameter, kComponentName, kDeviceInterfaceProxySource,
                    __LINE__);
    return;
  }
  close();
  const int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd == -1) {
    failErrno(status, errno, __LINE__);
    return;
  }
  fd_ = fd;
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
