// tDemotionNotification: a routing session's subscription to the driver's demotion
// notifications. It registers through the routing proxy's descriptor (the subscription request
// of the driver contract: cookie = this object's address, the reader's netlink port id, the
// kind) and keeps the host's demotion function and context for the session's handler.
//
// Registration and unregistration happen in the session's constructor and destructor only;
// the notification thread only reads the function and context, which are fixed before it can
// see a message of this subscription.
#pragma once

#include <cstdint>

#include "qoapal/protons/io_notification/linuxU/tIONotification.h"
#include "qoapal/status/JsonStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

class tDemotionNotification : public tIONotification {
 public:
  using tFunction = void (*)(void* context, std::int32_t reason, JsonStatus* status);

  tDemotionNotification(tFunction demote, void* context) noexcept
      : function_(demote), context_(context) {}
  ~tDemotionNotification() override = default;
  tDemotionNotification(const tDemotionNotification&) = delete;
  tDemotionNotification& operator=(const tDemotionNotification&) = delete;

  // Stores proxy and kind and sends the subscription; a refusal sets -52008 (kSourceName, line
  // kLineRegister). Does nothing when *status holds an error.
  void registerNotification(tIONotificationReader& reader, tDeviceInterfaceProxy& proxy,
                            std::uint32_t kind, tStatus* status) override;
  // When registered and the proxy is open, sends the unsubscription (result ignored); clears
  // the registered flag in every case.
  void unregisterNotification() override;

  bool isRegistered() const noexcept { return registered_; }
  std::uint32_t kind() const noexcept { return kind_; }
  tFunction function() const noexcept { return function_; }
  void* context() const noexcept { return context_; }

 private:
  tDeviceInterfaceProxy* proxy_ = nullptr;
  std::uint32_t kind_ = 0;
  bool registered_ = false;
  tFunction function_;
  void* context_;
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
