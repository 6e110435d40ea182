// The device expert's presence operation: what the plug-and-play worker runs after every device
// node event. It does not trust the event: it compares the item cache's names with a fresh
// enumeration (through a factory of its own, never the cache's, so the two never share a factory
// lock), queues the difference on the cache and tells the host.
//
// One pass, in this order: the cache is refreshed (it applies the notices earlier passes queued,
// so each change is told once even to a host that makes no requests); old names = getName() of
// every cached item; new names = the
// factory's getItemNames(); both sorted byte-wise; removed = old - new, added = new - old; then
//   cache.notifyItemsChange(2, removed); sink.notify(2, removed);
//   cache.notifyItemsChange(1, added);   cache.refresh();   sink.notify(1, served);
// where served = the added names the cache now holds an item for: a board no item can be built
// for is not announced (it would be announced again at every pass). The four notices are made
// even when a list is empty. Removals are applied at the cache's next refresh (a host request,
// or the next pass); the host hears of them on the worker thread, synchronously through its
// sink.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qoapal/protons/device_notification/tPnPThread.h"
#include "qodrv/qoDriverConstants.h"
#include "sysapicpp/NotificationHandler.h"
#include "sysapicpp/cache/ItemCacheInterface.h"
#include "sysapicpp/cache/ItemFactory.h"

namespace VorlixSysapiExpert::DevicePresenceNotifier {

// The one device interface whose nodes the notifier watches.
inline constexpr const char* kWatchedInterfaces[] = {qodrv::vorlixtarrow::kInterfaceName};

struct Op {
  std::unique_ptr<sysapicpp::ItemFactory> factory;  // owned; the presence notifier's own
  sysapicpp::ItemCacheInterface* cache;             // not owned
  sysapicpp::NotificationHandler* sink;             // not owned

  // One comparison pass (see above). Exceptions of the factory, the cache or the items
  // propagate; the worker abandons the pass.
  void operator()();
};

// removed = sorted(old) - sorted(new), added = sorted(new) - sorted(old) (byte-wise order), as
// sets: a name listed twice counts once.
void difference(std::vector<std::string> oldNames, std::vector<std::string> newNames,
                std::vector<std::string>& removed, std::vector<std::string>& added);

}  // namespace VorlixSysapiExpert::DevicePresenceNotifier
