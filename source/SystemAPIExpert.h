// The device expert proper: what the delayed expert creates on first real use and forwards every
// expert operation to. It owns, for its whole life and in this construction order:
//   the task queue (an AutoTaskQueue over a ThreadedTaskQueue<2>, workers
//   "qovorlixatomicsae::Worker"); the asynchronous notification handler bound to the host's
//   handler and that queue; item factory A and the item cache over it; the cache context; the
//   presence operation with item factory B; the presence notifier (tPnPThread, its notification
//   thread and worker).
// Every item operation refreshes the cache, looks the item up by name (0x80040375 when absent)
// and asks the item; the expert keeps no per-board state and adds no lock of its own.
//
// Destruction, in this order: the presence notifier stops (notification thread cancelled and
// joined, then the worker); the task queue is shut down (pending tasks run, workers joined)
// while the handlers and the cache they use still exist; then factory B, the cache, factory A,
// the asynchronous handler and the queue object go. The destructor must run on a host thread,
// never on one of the threads it joins (the adapter sees to that).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qoapal/protons/device_notification/tPnPThread.h"
#include "source/DevicePresenceNotifier.h"
#include "sysapicpp/AsyncNotificationHandler.h"
#include "sysapicpp/Expert.h"
#include "sysapicpp/SyncNotificationHandler.h"
#include "sysapicpp/cache/ItemCache.h"
#include "sysapicpp/cache/ItemCacheExpert.h"
#include "sysapicpp/cache/ItemFactory.h"
#include "sysapicpp/tasks/TaskQueue.h"

namespace VorlixSysapiExpert {

inline constexpr char kSystemAPIExpertSource[] = "source/VorlixSysAPIExpert";
inline constexpr char kTaskWorkerName[] = "qovorlixatomicsae::Worker";

class SystemAPIExpert : public sysapicpp::Expert {
 public:
  // Makes one item factory; called twice (the cache's and the presence notifier's).
  using tFactoryMaker = std::function<std::unique_ptr<sysapicpp::ItemFactory>()>;

  // Production: device-item factories over the family's enumeration library.
  explicit SystemAPIExpert(sysapicpp::SyncNotificationHandler* context);
  SystemAPIExpert(sysapicpp::NotificationHandler* sink, const tFactoryMaker& makeFactory);
  ~SystemAPIExpert() override;
  SystemAPIExpert(const SystemAPIExpert&) = delete;
  SystemAPIExpert& operator=(const SystemAPIExpert&) = delete;

  GUID getExpertGuid() override;
  std::string getExpertName() override;
  std::string getExpertVersion() override;
  std::string getExpertIdentifier() override;

  void getItemNames(std::vector<std::string>& names) override;
  void getAllPropertyBags(std::vector<ImxSysPropertyBag*>& bags) override;
  ImxSysPropertyBag* getPropertyBag(const std::string& itemName) override;
  ImxSysPropertyBag* getPropertyBagWithRefresh(const std::string& itemName,
                                               std::vector<std::uint32_t>& tags,
                                               bool allowAsynchronous) override;
  // Does nothing: the option means nothing to this expert (the delayed expert remembers it).
  void setOption(std::uint32_t value) override;
  void commitPropertyBag(const std::string& itemName, const std::string& text, std::int32_t value,
                         std::string& resultText) override;
  void extendedOperation1(const std::string& itemName, sysapicpp::PropertyBagHandle& bag,
                          std::set<std::uint32_t>& tags, std::string& errorText) override;
  void extendedOperation2(const std::string& itemName, sysapicpp::PropertyBagHandle& bag,
                          std::int32_t& result, std::string& text) override;
  void diagnosticOperation1(const std::string& itemName, std::int32_t value) override;
  void runDiagnostic(const std::string& itemName, std::int32_t mode,
                     std::string& resultText) override;
  void diagnosticOperation3(const std::string& itemName, std::string& text) override;
  std::string beginFirmwareUpdate(const std::string& itemName, bool flag,
                                  std::int32_t value) override;
  void updateFirmware(const std::string& itemName, const std::string& text1, bool flag,
                      const std::string& text2, sysapicpp::BinaryImageHandle& image) override;
  void firmwareOperation3(const std::string& itemName, const std::string& text1, bool flag,
                          const std::string& text2) override;
  void firmwareOperation4(const std::string& itemName, const std::string& text) override;
  void getFirmwareUpdateStatus(const std::string& itemName, std::int32_t& state,
                               std::int32_t& value, std::string& text) override;
  // Maps a qoerr::ExceptionBase in flight by its status number; leaves errorText empty; any other
  // exception propagates.
  HRESULT translateException(std::string& errorText) override;

  // Present in the expert's table, called by nobody: not implemented.
  void unsupportedOperation1();
  void unsupportedOperation2();

  // Inspection for tests and diagnostics.
  sysapicpp::ItemCache& cache() noexcept { return cache_; }
  const nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tPnPThread<DevicePresenceNotifier::Op>&
  presenceNotifier() const noexcept {
    return notifier_;
  }

 private:
  sysapicpp::SharedPtrHelper<sysapicpp::Item> item(const std::string& name) {
    return sysapicpp::ItemCacheExpert::refreshedItem(context_, name);
  }

  sysapicpp::NotificationHandler* sink_;  // not owned
  sysapicpp::AutoTaskQueue taskQueue_;
  sysapicpp::AsyncNotificationHandler asyncHandler_;
  std::unique_ptr<sysapicpp::ItemFactory> factoryA_;
  sysapicpp::ItemCache cache_;
  sysapicpp::CacheContext context_;
  DevicePresenceNotifier::Op presenceOp_;
  nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tPnPThread<DevicePresenceNotifier::Op> notifier_;
};

// The production item factory (device items over the enumeration library).
std::unique_ptr<sysapicpp::ItemFactory> makeDeviceItemFactory();

}  // namespace VorlixSysapiExpert
