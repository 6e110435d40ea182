// What the interface-proxy tests share: what they read off a class's virtual layout under the
// Itanium C++ ABI (g++ and clang on Linux), the slot a virtual member function occupies and
// whether a base is virtual, and a round trip of bytes through a proxy open on a FIFO.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy.h"
#include "qoapal/status/tStatus.h"

namespace proxytest {

// A pointer to a virtual member function holds 1 + the byte offset of its slot in the virtual
// table; -1 for a member that is not virtual.
template <typename F>
std::ptrdiff_t slotOf(F member) {
  static_assert(sizeof(F) == 2 * sizeof(std::uintptr_t));
  std::uintptr_t words[2];
  std::memcpy(words, &member, sizeof words);
  if ((words[0] & 1u) == 0) return -1;  // not virtual
  return static_cast<std::ptrdiff_t>((words[0] - 1) / sizeof(void*));
}

// A virtual base cannot be reached from the base by static_cast.
template <typename Base, typename Derived>
constexpr bool staticDowncastWorks = requires(Base* base) {
  static_cast<Derived*>(base);
};

// What comes back through `proxy`, open on a FIFO, after writing `text` (at most 15 bytes) to
// it: the text itself when the write and the read each moved all of it and `status` is clear.
inline std::string echoed(nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tDeviceInterfaceProxy& proxy,
                          const std::string& text,
                          nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus& status) {
  const auto length = static_cast<ssize_t>(text.size());
  if (proxy.write(text.data(), text.size(), &status) != length) return "<write failed>";
  char reply[16] = {};
  if (proxy.read(reply, sizeof reply, &status) != length) return "<read failed>";
  if (status.code != 0) return "<status " + std::to_string(status.code) + ">";
  return reply;
}

}  // namespace proxytest
