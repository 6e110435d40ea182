#include "source/SystemAPIExpert.h"

#include <new>
#include <utility>

#include "qo/err/Exception.h"
#include "qoapal/component.h"
#include "source/SystemAPIExpertInfo.h"
#include "source/tItemFactory.h"
#include "sysapicpp/ExceptionTranslation.h"
#include "sysapicpp/HResultException.h"

namespace VorlixSysapiExpert {

namespace {

// Lines reported by the operations this expert does not implement.
constexpr int kLineExtendedOperation1 = 85;
constexpr int kLineExtendedOperation2 = 90;
constexpr int kLineDiagnosticOperation1 = 100;
constexpr int kLineDiagnosticOperation3 = 105;
constexpr int kLineUnsupportedOperation1 = 135;
constexpr int kLineUnsupportedOperation2 = 146;

[[noreturn]] void raiseNotImplemented(int line) {
  throw sysapicpp::NotImplException(sysapicpp::tRaiseContext{
      kSystemAPIExpertSource, line, ::nQOVORLIXATOMICSAE_23_3::kComponentName});
}

std::unique_ptr<sysapicpp::TaskQueue> makeTaskQueue() {
  return std::make_unique<sysapicpp::ThreadedTaskQueue<2>>(kTaskWorkerName);
}

std::unique_ptr<sysapicpp::ItemFactory> requireFactory(
    const SystemAPIExpert::tFactoryMaker& makeFactory) {
  std::unique_ptr<sysapicpp::ItemFactory> factory = makeFactory();
  if (!factory) throw std::bad_alloc();
  return factory;
}

}  // namespace

std::unique_ptr<sysapicpp::ItemFactory> makeDeviceItemFactory() {
  return std::make_unique<tItemFactory>();
}

SystemAPIExpert::SystemAPIExpert(sysapicpp::SyncNotificationHandler* context)
    : SystemAPIExpert(context, &makeDeviceItemFactory) {}

SystemAPIExpert::SystemAPIExpert(sysapicpp::NotificationHandler* sink,
                                 const tFactoryMaker& makeFactory)
    : sink_(sink),
      taskQueue_(makeTaskQueue()),
      asyncHandler_(sink_, &taskQueue_),
      factoryA_(requireFactory(makeFactory)),
      cache_(factoryA_.get()),
      context_{&cache_, &asyncHandler_, &taskQueue_},
      presenceOp_{requireFactory(makeFactory), &cache_, sink_},
      notifier_(&presenceOp_, DevicePresenceNotifier::kWatchedInterfaces,
                std::size(DevicePresenceNotifier::kWatchedInterfaces)) {
  if (notifier_.status().isFatal()) throw qoerr::Exception::fromPlatformStatus(notifier_.status());
}

SystemAPIExpert::~SystemAPIExpert() {
  // No new presence pass can start, then every queued task has run and the workers are joined,
  // all while the cache and both handlers still exist.
  notifier_.shutdown();
  taskQueue_.shutdown();
}

GUID SystemAPIExpert::getExpertGuid() { return SystemAPIExpertInfo::guid(); }
std::string SystemAPIExpert::getExpertName() { return {}; }
std::string SystemAPIExpert::getExpertVersion() { return {}; }
std::string SystemAPIExpert::getExpertIdentifier() { return SystemAPIExpertInfo::identifier(); }

void SystemAPIExpert::getItemNames(std::vector<std::string>& names) {
  cache_.refresh();
  cache_.getItemNames(names);
}

void SystemAPIExpert::getAllPropertyBags(std::vector<ImxSysPropertyBag*>& bags) {
  cache_.refresh();
  const auto items = cache_.getAllItems();
  bags.reserve(bags.size() + items.size());
  for (const auto& entry : items) {
    entry->prepareProperties();
    bags.push_back(entry->getPropertyBag());
  }
}

ImxSysPropertyBag* SystemAPIExpert::getPropertyBag(const std::string& itemName) {
  const auto entry = item(itemName);
  entry->prepareProperties();
  return entry->getPropertyBag();
}

ImxSysPropertyBag* SystemAPIExpert::getPropertyBagWithRefresh(const std::string& itemName,
                                                              std::vector<std::uint32_t>& tags,
                                                              bool allowAsynchronous) {
  return sysapicpp::ItemCacheExpert::getPropertyBagWithRefresh(context_, itemName, tags,
                                                               allowAsynchronous);
}

void SystemAPIExpert::setOption(std::uint32_t) {}

void SystemAPIExpert::commitPropertyBag(const std::string& itemName, const std::string& text,
                                        std::int32_t value, std::string& resultText) {
  item(itemName)->commitProperties(text, value, resultText);
  if (!resultText.empty()) cache_.getItem(resultText)->invalidate();
}

void SystemAPIExpert::extendedOperation1(const std::string&, sysapicpp::PropertyBagHandle&,
                                         std::set<std::uint32_t>&, std::string&) {
  raiseNotImplemented(kLineExtendedOperation1);
}
void SystemAPIExpert::extendedOperation2(const std::string&, sysapicpp::PropertyBagHandle&,
                                         std::int32_t&, std::string&) {
  raiseNotImplemented(kLineExtendedOperation2);
}
void SystemAPIExpert::diagnosticOperation1(const std::string&, std::int32_t) {
  raiseNotImplemented(kLineDiagnosticOperation1);
}
void SystemAPIExpert::runDiagnostic(const std::string& itemName, std::int32_t mode,
                                    std::string& resultText) {
  item(itemName)->runDiagnostic(mode, resultText);
}
void SystemAPIExpert::diagnosticOperation3(const std::string&, std::string&) {
  raiseNotImplemented(kLineDiagnosticOperation3);
}
std::string SystemAPIExpert::beginFirmwareUpdate(const std::string& itemName, bool, std::int32_t) {
  return item(itemName)->beginFirmwareUpdate();
}
void SystemAPIExpert::updateFirmware(const std::string& itemName, const std::string& text1,
                                     bool flag, const std::string& text2,
                                     sysapicpp::BinaryImageHandle& image) {
  item(itemName)->updateFirmware(text1, flag, text2, image);
}
void SystemAPIExpert::firmwareOperation3(const std::string& itemName, const std::string& text1,
                                         bool flag, const std::string& text2) {
  item(itemName)->firmwareOperation3(text1, flag, text2);
}
void SystemAPIExpert::firmwareOperation4(const std::string& itemName, const std::string& text) {
  item(itemName)->firmwareOperation4(text);
}
void SystemAPIExpert::getFirmwareUpdateStatus(const std::string& itemName, std::int32_t& state,
                                              std::int32_t& value, std::string& text) {
  item(itemName)->getFirmwareUpdateStatus(state, value, text);
}

HRESULT SystemAPIExpert::translateException(std::string&) {
  return sysapicpp::translateDeviceException();
}

void SystemAPIExpert::unsupportedOperation1() { raiseNotImplemented(kLineUnsupportedOperation1); }
void SystemAPIExpert::unsupportedOperation2() { raiseNotImplemented(kLineUnsupportedOperation2); }

}  // namespace VorlixSysapiExpert
