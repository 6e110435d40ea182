// Raw driver requests for the simulator's own tests: an ioctl with a call block on a device node,
// its reply bytes (pre-filled with 0xEE so that what the driver left alone shows), and the
// little-endian reads those tests decode replies with at literal offsets.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "QosimClient.h"
#include "qoapal/driver/qoDriverContract.h"

namespace rawnode {

using qosim::Bytes;

inline std::uint64_t le(const Bytes& b, std::size_t off, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < size; ++i) v |= static_cast<std::uint64_t>(b.at(off + i)) << (8 * i);
  return v;
}
inline std::int32_t word(const Bytes& b, std::size_t off) {
  return static_cast<std::int32_t>(le(b, off, 4));
}

struct Reply {
  int err = 0;  // errno of a failed open or ioctl
  Bytes out;
};

// One open node, for tests that send several requests on the same descriptor.
class NodeCaller {
 public:
  explicit NodeCaller(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
  ~NodeCaller() {
    if (fd_ >= 0) ::close(fd_);
  }
  NodeCaller(const NodeCaller&) = delete;
  NodeCaller& operator=(const NodeCaller&) = delete;
  bool ok() const { return fd_ >= 0; }
  Reply call(std::uint32_t cmd, const Bytes& in, std::size_t outSize) const {
    namespace drv = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver;
    Reply r;
    r.out.assign(outSize, 0xEE);
    drv::tCallBlock block{};
    block.input = reinterpret_cast<std::uint64_t>(in.data());
    block.inputSize = static_cast<std::uint32_t>(in.size());
    block.output = reinterpret_cast<std::uint64_t>(r.out.data());
    block.outputSize = static_cast<std::uint32_t>(outSize);
    if (::ioctl(fd_, cmd, &block) != 0) r.err = errno;
    return r;
  }

 private:
  int fd_;
};

// One request on a node opened for it alone.
inline Reply call(const std::string& path, std::uint32_t cmd, const Bytes& in,
                  std::size_t outSize) {
  const NodeCaller node(path);
  if (!node.ok()) {
    Reply r;
    r.err = errno;
    r.out.assign(outSize, 0xEE);
    return r;
  }
  return node.call(cmd, in, outSize);
}

}  // namespace rawnode
