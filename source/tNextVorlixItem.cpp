#include "source/tNextVorlixItem.h"

#include <exception>
#include <new>

#include "qo/err/Exception.h"
#include "qoapal/component.h"
#include "source/Constants.h"
#include "sysapicpp/HResultException.h"

namespace VorlixSysapiExpert {

using nQOVORLIXATOMICSAE_23_3::kComponentName;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus;

namespace {

constexpr HRESULT kOutOfMemory = static_cast<HRESULT>(0x8007000Eu);

sysapicpp::tRaiseContext at(int line) {
  return sysapicpp::tRaiseContext{kNextVorlixItemSource, line, kComponentName};
}

// The master bag: a new, empty dynamic bag; its allocation failure is the host's out-of-memory.
// Raised without a details text: there is no memory to write one.
sysapicpp::PropertyBagHandle newMasterBag() {
  try {
    return sysapicpp::PropertyBagHandle::createDynamic();
  } catch (const std::bad_alloc&) {
    throw sysapicpp::HResultException(kOutOfMemory);
  }
}

// op0406's answer selects the two host properties 0x1073000 and 0x1900B000.
struct tOp0406Mapping {
  std::int32_t result;
  std::uint32_t kind;
  std::uint32_t code;
};
constexpr tOp0406Mapping kOp0406Table[] = {{-304313, 0x10000, 2}, {-304312, 0x10000, 1}};

}  // namespace

std::int32_t firmwareStateOf(bool busy, std::int32_t percent, bool second, bool failed) {
  if (busy) return percent == 0 ? -1 : -2;
  if (second || failed) return 5;
  if (percent == 0) return -1;
  if (percent == 100) return 2;
  return 5;
}

tNextVorlixItem::tNextVorlixItem(std::string name, tDeviceListHolder& holder,
                                 iFirmwareLibrary& firmware)
    : name_(std::move(name)), holder_(&holder), firmwareLibrary_(firmware), bag_(newMasterBag()) {
  collectStaticProperties();
}

tNextVorlixItem::~tNextVorlixItem() {
  // The updater joins its worker before the item's strings go.
  boost::unique_lock<boost::mutex> lock(firmwareLock_);
  firmwareUpdater_.reset();
}

// 2 for the tags of kDynamicTags, 1 for any other: an element of an indexed tag (fan 1's speed,
// 0x1063001) and the fans' states (written with the fans, never answered as dynamic) included.
int tNextVorlixItem::getTagUpdateKind(std::uint32_t tag) { return tagUpdateKindOf(tag); }

void tNextVorlixItem::invalidate() {
  // Nothing prepared to discard; the lock orders invalidation with bag copies.
  boost::unique_lock<boost::mutex> lock(itemLock_);
}

void tNextVorlixItem::prepareProperties() {
  boost::unique_lock<boost::mutex> lock(itemLock_);
  try {
    {
      tStatus status;
      holder_->refreshDeviceList(&status);
      qoerr::throwIfFailed(status);
    }
    {
      boost::unique_lock<boost::recursive_mutex> holderLock(holder_->lock());
      if (qokeldevenum::iKelDevice* device = holder_->findDevice(name_)) {
        const char* primary = device->getPrimaryName();
        const char* secondary = device->getSecondaryName();
        std::string shown = name_;
        if (primary != nullptr && *primary != '\0')
          shown = primary;
        else if (secondary != nullptr && *secondary != '\0')
          shown = secondary;
        bag_.systemApi().setString(tags::kUserName, shown);
      }
    }
    std::shared_ptr<tProxy> proxy = openDriverProxy();
    tStatus status;
    const auto result = static_cast<std::int32_t>(proxy->op0406(status));
    qoerr::throwIfFailed(status);
    std::uint32_t kind = 1, code = 0;
    for (const tOp0406Mapping& row : kOp0406Table) {
      if (row.result == result) {
        kind = row.kind;
        code = row.code;
        break;
      }
    }
    bag_.systemApi().setUInt32(tags::kOp0406Kind, kind);
    bag_.vorlix().setUInt32(tags::kOp0406Code, code);
  } catch (const std::exception&) {
    // A board that vanished keeps its last values.
  } catch (const qoerr::ExceptionBase&) {
  }
}

ImxSysPropertyBag* tNextVorlixItem::getPropertyBag() {
  boost::unique_lock<boost::mutex> lock(itemLock_);
  return bag_.clone();
}

std::string tNextVorlixItem::getName() { return name_; }

void tNextVorlixItem::setOption(std::uint32_t) {}

void tNextVorlixItem::commitProperties(const std::string&, std::int32_t, std::string&) {
  invalidate();
  throw sysapicpp::NotImplException(at(kLineCommit));
}

void tNextVorlixItem::extendedOperation1(sysapicpp::PropertyBagHandle&, std::set<std::uint32_t>&,
                                         std::string&) {
  throw sysapicpp::NotImplException(at(kLineExtended1));
}

void tNextVorlixItem::extendedOperation2(sysapicpp::PropertyBagHandle&, std::int32_t&,
                                         std::string&) {
  throw sysapicpp::NotImplException(at(kLineExtended2));
}

void tNextVorlixItem::diagnosticOperation1(std::int32_t) {
  throw sysapicpp::NotImplException(at(kLineDiagnosticOperation1));
}

void tNextVorlixItem::runDiagnostic(std::int32_t mode, std::string&) {
  if (mode != 0) throw sysapicpp::InvalidModeException(at(kLineInvalidMode));
  std::shared_ptr<tProxy> proxy = openDriverProxy();
  tStatus status;
  const std::uint8_t passed = proxy->op0400(status);
  qoerr::throwIfFailed(status);
  if (passed == 0) throw sysapicpp::FailException(at(kLineDiagnosticFailed));
}

void tNextVorlixItem::diagnosticOperation3(std::string&) {
  throw sysapicpp::NotImplException(at(kLineDiagnosticOperation3));
}

std::string tNextVorlixItem::beginFirmwareUpdate() {
  boost::unique_lock<boost::mutex> lock(firmwareLock_);
  if (!firmwareUpdater_) {
    std::string target;
    getProductCatalog().getModelText(productId_, moduleId_, moduleRevision_, false, target);
    firmwareUpdater_ = std::make_unique<FirmwareUpdater>(name_, target, firmwareLibrary_);
  }
  return name_;
}

void tNextVorlixItem::updateFirmware(const std::string& confirmingName, bool flag,
                                     const std::string&, sysapicpp::BinaryImageHandle& image) {
  boost::unique_lock<boost::mutex> lock(firmwareLock_);
  if (confirmingName != name_) throw sysapicpp::InvalidArgException(at(kLineWrongItemName));
  // No update without the updater that beginFirmwareUpdate makes.
  if (!firmwareUpdater_) throw sysapicpp::FirmwareWrongStateException(at(kLineNoFirmwareUpdater));
  firmwareUpdater_->start(image, flag ? 1 : 0);
}

void tNextVorlixItem::firmwareOperation3(const std::string&, bool, const std::string&) {
  throw sysapicpp::NotImplException(at(kLineFirmwareOperation3));
}

void tNextVorlixItem::firmwareOperation4(const std::string&) {
  throw sysapicpp::NotImplException(at(kLineFirmwareOperation4));
}

void tNextVorlixItem::getFirmwareUpdateStatus(std::int32_t& state, std::int32_t& percent,
                                              std::string& text) {
  boost::unique_lock<boost::mutex> lock(firmwareLock_);
  if (!firmwareUpdater_) {
    state = 2;
    return;
  }
  bool busy = false, second = false;
  std::int32_t reported = 0;
  firmwareUpdater_->getProgress(busy, reported, second, text);
  state = firmwareStateOf(busy, reported, second, !text.empty());
  percent = reported;
}

std::shared_ptr<tNextVorlixItem::tProxy> tNextVorlixItem::openDriverProxy() {
  if (interfacePath_.empty()) throw sysapicpp::ItemNotExistException(at(kLineNoInterface));
  auto proxy = std::make_shared<tProxy>();
  tStatus status;
  proxy->open(interfacePath_.c_str(), &status);
  qoerr::throwIfFailed(status);
  return proxy;
}

sysapicpp::SharedPtrHelper<sysapicpp::Item> makeDeviceItem(const std::string& name,
                                                           tDeviceListHolder& holder) {
  return sysapicpp::SharedPtrHelper<sysapicpp::Item>(new tNextVorlixItem(name, holder));
}

}  // namespace VorlixSysapiExpert
