// The transport under every driver-interface proxy: one descriptor on a device-interface node,
// requests exchanged with the kernel driver through ioctl with the 32-byte call block, plus
// read, write and memory mapping of the node. The call block and what the driver does with it
// are part of the driver contract, qoapal/driver/qoDriverContract.h.
//
// Every operation reports into the caller's tStatus (component "qovorlixatomicsae", source
// "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy"; system errors through the error-number
// table), never throws, and does nothing when the status is null or already holds an error
// (returning 0, -1 or null). A proxy is used by one thread at a time; separate proxies on the
// same node are independent descriptors.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

inline constexpr char kDeviceInterfaceProxySource[] =
    "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy";

using tCallBlock = driver::tCallBlock;

// One mapped window of a node: filled by mapMemory, cleared by unmapMemory.
struct tMemoryMapping {
  void* address = nullptr;
  std::size_t length = 0;
};

// Access values of mapMemory.
inline constexpr std::uint32_t kMapReadOnly = 0;
inline constexpr std::uint32_t kMapReadWrite = 1;

// The abstract root of every driver-interface proxy: only a virtual destructor. The generated
// interface classes (codegen/) and the transport below derive from it virtually, so a generated
// proxy holds one iInterfaceProxy however many interface classes it implements.
class iInterfaceProxy {
 public:
  virtual ~iInterfaceProxy() = 0;
};

// Virtual operations in slot order (the generated proxies add their methods after them):
//  0 complete destructor, 1 deleting destructor, 2 close, 3 call, 4 read, 5 write,
//  6 mapMemory, 7 unmapMemory, 8 isOpen, 9 openDefault, 10 open.
// Do not reorder; the unit tests pin these slots.
class tDeviceInterfaceProxy : public virtual iInterfaceProxy {
 public:
  tDeviceInterfaceProxy() noexcept = default;
  // Closes the descriptor when open.
  ~tDeviceInterfaceProxy() override;
  tDeviceInterfaceProxy(const tDeviceInterfaceProxy&) = delete;
  tDeviceInterfaceProxy& operator=(const tDeviceInterfaceProxy&) = delete;

  // When open: closes the descriptor (its result ignored); the proxy is closed afterwards and
  // can be opened again.
  virtual void close() noexcept;
  // Fills a call block {input, output, sizes, result 0}, issues ioctl(fd, command, &block) and
  // returns the low 32 bits of the block's result. On failure errno goes through the
  // error-number table into `status` and the result field is returned as the driver left it
  // (0 unless it wrote one). With the status in error: returns 0, sends nothing.
  virtual std::uint32_t call(unsigned long command, const void* input, std::uint32_t inputSize,
                             void* output, std::uint32_t outputSize, tStatus* status) noexcept;
  // read(2)/write(2) on the node: the signed count, or -1 with errno mapped.
  virtual ssize_t read(void* buffer, std::size_t size, tStatus* status) noexcept;
  virtual ssize_t write(const void* data, std::size_t size, tStatus* status) noexcept;
  // Maps `length` bytes of the node, shared, at offset (windowIndex & 0xFFFF) * page size,
  // read-write when access is kMapReadWrite (1), read-only otherwise. Stores address and length
  // in *mapping and returns the address; on failure stores a null address, maps errno, returns
  // null. A null mapping sets -52005.
  virtual void* mapMemory(std::uint32_t windowIndex, std::size_t length, std::uint32_t access,
                          tMemoryMapping* mapping, tStatus* status) noexcept;
  // Unmaps a mapping whose address is not null and clears the address (null mapping: nothing).
  virtual void unmapMemory(tMemoryMapping* mapping) noexcept;
  virtual bool isOpen() const noexcept;
  // Forwards to open.
  virtual void openDefault(const char* path, tStatus* status) noexcept;
  // Opens the node read-write, close-on-exec. An open proxy is closed first, so a descriptor
  // never leaks. A null path sets -52005.
  virtual void open(const char* path, tStatus* status) noexcept;

  // The descriptor, -1 while closed.
  int descriptor() const noexcept { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
