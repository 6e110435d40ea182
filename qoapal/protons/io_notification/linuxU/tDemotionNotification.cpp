#include "qoapal/protons/io_notification/linuxU/tDemotionNotification.h"

#include <sys/ioctl.h>

#include "qoapal/component.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy.h"
#include "qoapal/protons/io_notification/linuxU/tIONotificationReader.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

void tDemotionNotification::registerNotification(tIONotificationReader& reader,
                                                 tDeviceInterfaceProxy& proxy, std::uint32_t kind,
                                                 tStatus* status) {
  if (status == nullptr || status->isFatal()) return;
  proxy_ = &proxy;
  kind_ = kind;
  driver::tSubscribeNotification request{cookie(), reader.portId(), kind};
  if (proxy.descriptor() < 0 ||
      ::ioctl(proxy.descriptor(), driver::kSubscribeNotification, &request) != 0) {
    status->setCode(nQOAPALS100::tStatus::kOsFault, kComponentName, kSourceName, kLineRegister);
    return;
  }
  registered_ = true;
}

void tDemotionNotification::unregisterNotification() {
  if (registered_ && proxy_ != nullptr && proxy_->isOpen()) {
    (void)::ioctl(proxy_->descriptor(), driver::kUnsubscribeNotification,
                  static_cast<unsigned long>(kind_));
  }
  registered_ = false;
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
