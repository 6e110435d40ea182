// tIONotification: the base of objects that subscribe to an I/O notification through a driver
// interface (for example the routing session's demotion notification). A subscription hands
// the driver the reader's netlink port id and a 64-bit cookie; every message of the
// subscription carries that cookie back (see tIONotificationReader).
//
// The cookie is this object's address. It identifies the subscription and nothing more: a
// message can come from any process that knows the port id, so a receiver compares the cookie
// with the subscriptions it knows (isCookieOf) and never turns it back into a pointer.
#pragma once

#include <cstdint>

#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

class tIONotificationReader;
class tDeviceInterfaceProxy;

class tIONotification {
 public:
  static constexpr char kSourceName[] = "qoapal/protons/io_notification/linuxU/tIONotification";
  static constexpr unsigned kLineRegister = 245;  // the subscription request was refused

  virtual ~tIONotification() = default;

  // Subscribes through `proxy`'s descriptor to notifications of `kind`, delivered to `reader`.
  virtual void registerNotification(tIONotificationReader& reader, tDeviceInterfaceProxy& proxy,
                                    std::uint32_t kind, tStatus* status) = 0;
  // Ends the subscription (when there is one); never fails.
  virtual void unregisterNotification() = 0;

  std::uint64_t cookie() const noexcept {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(this));
  }
  bool isCookieOf(std::uint64_t value) const noexcept { return value == cookie(); }

 protected:
  tIONotification() = default;
  tIONotification(const tIONotification&) = default;
  tIONotification& operator=(const tIONotification&) = default;
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
