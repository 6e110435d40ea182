// The device expert behind the delayed expert.
//
// This is the minimal expert the library ships until the device expert proper (board enumeration,
// item cache, presence notifier, task queues, firmware updater) arrives with its own work. It
// does not pretend to know any board: every item, diagnostic and firmware operation raises
// NotImplException (E_NOTIMPL at the host). It keeps the option it is given and translates
// device-layer exceptions (qoerr::ExceptionBase) by their status number; any other exception
// passes through to the adapter's own classification.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sysapicpp/Expert.h"
#include "sysapicpp/SyncNotificationHandler.h"

namespace VorlixSysapiExpert {

class SystemAPIExpert : public sysapicpp::Expert {
 public:
  explicit SystemAPIExpert(sysapicpp::SyncNotificationHandler* context) noexcept
      : context_(context) {}
  ~SystemAPIExpert() override = default;

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

  std::uint32_t option() const noexcept { return option_.load(std::memory_order_relaxed); }
  sysapicpp::SyncNotificationHandler* context() const noexcept { return context_; }

 private:
  sysapicpp::SyncNotificationHandler* context_;  // not owned
  std::atomic<std::uint32_t> option_{0};
};

}  // namespace VorlixSysapiExpert
