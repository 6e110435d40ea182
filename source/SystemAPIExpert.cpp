#include "source/SystemAPIExpert.h"

#include "source/SystemAPIExpertInfo.h"
#include "sysapicpp/ExceptionTranslation.h"
#include "sysapicpp/HResultException.h"

namespace VorlixSysapiExpert {

namespace {
constexpr char kSourceName[] = "source/VorlixSysAPIExpert";
}  // namespace

GUID SystemAPIExpert::getExpertGuid() { return SystemAPIExpertInfo::guid(); }
std::string SystemAPIExpert::getExpertName() { return SystemAPIExpertInfo::name(); }
std::string SystemAPIExpert::getExpertVersion() { return SystemAPIExpertInfo::version(); }
std::string SystemAPIExpert::getExpertIdentifier() { return SystemAPIExpertInfo::identifier(); }

void SystemAPIExpert::getItemNames(std::vector<std::string>&) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
void SystemAPIExpert::getAllPropertyBags(std::vector<ImxSysPropertyBag*>&) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
ImxSysPropertyBag* SystemAPIExpert::getPropertyBag(const std::string&) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
ImxSysPropertyBag* SystemAPIExpert::getPropertyBagWithRefresh(const std::string&,
                                                              std::vector<std::uint32_t>&, bool) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
void SystemAPIExpert::setOption(std::uint32_t value) {
  option_.store(value, std::memory_order_relaxed);
}
void SystemAPIExpert::commitPropertyBag(const std::string&, const std::string&, std::int32_t,
                                        std::string&) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
void SystemAPIExpert::extendedOperation1(const std::string&, sysapicpp::PropertyBagHandle&,
                                         std::set<std::uint32_t>&, std::string&) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
void SystemAPIExpert::extendedOperation2(const std::string&, sysapicpp::PropertyBagHandle&,
                                         std::int32_t&, std::string&) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
void SystemAPIExpert::diagnosticOperation1(const std::string&, std::int32_t) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
void SystemAPIExpert::runDiagnostic(const std::string&, std::int32_t, std::string&) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
void SystemAPIExpert::diagnosticOperation3(const std::string&, std::string&) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
std::string SystemAPIExpert::beginFirmwareUpdate(const std::string&, bool, std::int32_t) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
void SystemAPIExpert::updateFirmware(const std::string&, const std::string&, bool,
                                     const std::string&, sysapicpp::BinaryImageHandle&) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
void SystemAPIExpert::firmwareOperation3(const std::string&, const std::string&, bool,
                                         const std::string&) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
void SystemAPIExpert::firmwareOperation4(const std::string&, const std::string&) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}
void SystemAPIExpert::getFirmwareUpdateStatus(const std::string&, std::int32_t&, std::int32_t&,
                                              std::string&) {
  SYSAPICPP_RAISE(sysapicpp::NotImplException);
}

HRESULT SystemAPIExpert::translateException(std::string&) {
  return sysapicpp::translateDeviceException();
}

}  // namespace VorlixSysapiExpert
