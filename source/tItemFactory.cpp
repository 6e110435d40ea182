#include "source/tItemFactory.h"

#include <exception>
#include <new>

#include "qo/err/Exception.h"
#include "qoapal/component.h"
#include "qoapal/trace/qosdbg.h"
#include "source/Constants.h"
#include "source/platform/PlatformLibraries.h"
#include "source/tNextVorlixItem.h"
#include "sysapicpp/HResultException.h"

namespace VorlixSysapiExpert {

using nQOVORLIXATOMICSAE_23_3::kComponentName;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus;

namespace {

constexpr std::uint32_t kAttributeDeviceNumber = 1;
constexpr std::uint32_t kAttributeProduct = 2;
constexpr int kLineLibraryCall = 61;
constexpr int kLineItemLeftOut = 190;

void throwLibraryStatus(std::int32_t code) {
  throw qoerr::Exception::withError(
      code, {kItemFactorySource, kLineLibraryCall, kComponentName, nullptr});
}

// Called in a handler: memory exhaustion is no fault of one board and ends the call instead of
// leaving the board out, so a caller never takes a short list for the machine's boards.
void rethrowIfOutOfMemory(std::int64_t code) {
  if (code == nQOVORLIXATOMICSAE_23_3::nQOAPALS100::tStatus::kMemoryFull) throw;
}

}  // namespace

tAttributeAccess::tAttributeAccess(qokeldevenum::iKelDevice* device) {
  tStatus status;
  session_ = device->openSession(0, platformStatus(&status));
  qoerr::throwIfFailed(status);
  if (!session_) throwLibraryStatus(qokeldevenum::kNotFound);
  reader_ = session_->getAttributeReader(0, platformStatus(&status));
  if (status.code < 0 || !reader_) {
    session_->release();
    qoerr::throwIfFailed(status);
    throwLibraryStatus(qokeldevenum::kNotFound);
  }
}

tAttributeAccess::~tAttributeAccess() {
  reader_->release();
  session_->release();
}

std::uint32_t tAttributeAccess::read(std::uint32_t attribute) {
  tStatus status;
  std::uint32_t value = reader_->readU32(attribute, platformStatus(&status));
  qoerr::throwIfFailed(status);
  return value;
}

std::string tAttributeAccess::readString(std::uint32_t attribute, std::size_t capacity) {
  std::vector<char> buffer(capacity == 0 ? 1 : capacity, '\0');
  tStatus status;
  reader_->readString(attribute, buffer.data(), buffer.size(), platformStatus(&status));
  qoerr::throwIfFailed(status);
  buffer.back() = '\0';
  return std::string(buffer.data());
}

std::string itemNameOf(std::uint32_t deviceNumber) {
  return kItemNamePrefix + std::to_string(deviceNumber);
}

std::uint32_t readDeviceAttribute(qokeldevenum::iKelDevice* device, std::uint32_t attribute) {
  tAttributeAccess access(device);
  return access.read(attribute);
}

tDeviceListHolder::tDeviceListHolder(tEnumerationLibrary& library) : library_(library) {
  if (std::int32_t code = library_.initialize(); code != 0) throwLibraryStatus(code);
  qokeldevenum::iKelDeviceList* list = nullptr;
  if (std::int32_t code = library_.getAllKelDevices(list); code != 0 || !list) {
    // The library stays initialised once for this holder: balance it.
    library_.finalize();
    throwLibraryStatus(code != 0 ? code : static_cast<std::int32_t>(qokeldevenum::kNotFound));
  }
  list_ = list;
}

tDeviceListHolder::~tDeviceListHolder() {
  {
    boost::unique_lock<boost::recursive_mutex> guard(lock_);
    if (list_) list_->release();
    list_ = nullptr;
    library_.finalize();
  }
  devices_.clear();
}

void tDeviceListHolder::refreshLocked(tStatus* changedStatus, tStatus* refreshStatus) {
  const bool hasChanged = list_->hasChanged(platformStatus(changedStatus));
  if (changedStatus->isFatal() || (!hasChanged && !incomplete_)) return;
  list_->refresh(platformStatus(refreshStatus));
  if (refreshStatus->isFatal()) return;
  devices_.clear();
  incomplete_ = true;
  const std::uint32_t count = list_->count();
  for (std::uint32_t index = 0; index < count; ++index) {
    try {
      tStatus status;
      qokeldevenum::iKelDevice* device = list_->deviceAt(index, 0, platformStatus(&status));
      qoerr::throwIfFailed(status);
      if (device) devices_.push_back(device);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const qoerr::ExceptionBase& e) {
      rethrowIfOutOfMemory(e.code());  // otherwise a board whose list entry fails is skipped
    } catch (const std::exception&) {
    }
  }
  incomplete_ = false;
}

void tDeviceListHolder::refreshDeviceList(tStatus* status) {
  boost::unique_lock<boost::recursive_mutex> guard(lock_);
  tStatus ignoredChange;
  refreshLocked(&ignoredChange, status);
}

std::vector<qokeldevenum::iKelDevice*> tDeviceListHolder::devices() {
  boost::unique_lock<boost::recursive_mutex> guard(lock_);
  return devices_;
}

qokeldevenum::iKelDevice* tDeviceListHolder::findDevice(const std::string& name) {
  boost::unique_lock<boost::recursive_mutex> guard(lock_);
  for (qokeldevenum::iKelDevice* device : devices_) {
    try {
      if (itemNameOf(readDeviceAttribute(device, kAttributeDeviceNumber)) == name) return device;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const qoerr::ExceptionBase& e) {
      rethrowIfOutOfMemory(e.code());
    } catch (const std::exception&) {
    }
  }
  return nullptr;
}

tItemFactory::tItemFactory(tItemMaker maker, tEnumerationLibrary& library)
    : holder_(library), maker_(std::move(maker)) {}

tItemFactory::tItemFactory(tEnumerationLibrary& library)
    : tItemFactory(productionItemMaker(), library) {}

tItemFactory::tItemMaker tItemFactory::productionItemMaker() { return makeDeviceItem; }

tItemFactory::~tItemFactory() = default;

void tItemFactory::getItemNames(std::vector<std::string>& names) {
  tStatus changedStatus, refreshStatus;
  {
    boost::unique_lock<boost::recursive_mutex> guard(holder_.lock_);
    holder_.refreshLocked(&changedStatus, &refreshStatus);
  }
  qoerr::throwIfFailed(changedStatus);
  qoerr::throwIfFailed(refreshStatus);

  const std::vector<qokeldevenum::iKelDevice*> devices = holder_.devices();
  tProductCatalog& catalog = getProductCatalog();
  for (qokeldevenum::iKelDevice* device : devices) {
    try {
      tAttributeAccess access(device);
      const std::uint32_t product = access.read(kAttributeProduct);
      const std::uint32_t number = access.read(kAttributeDeviceNumber);
      std::string productName, fpgaPart;
      if (catalog.getProductName(product, productName, fpgaPart))
        names.push_back(itemNameOf(number));
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const qoerr::ExceptionBase& e) {
      rethrowIfOutOfMemory(e.code());  // otherwise a board that cannot be read is not listed
    } catch (const std::exception&) {
    }
  }
}

std::vector<sysapicpp::SharedPtrHelper<sysapicpp::Item>> tItemFactory::createItems(
    const std::vector<std::string>& names) {
  std::vector<sysapicpp::SharedPtrHelper<sysapicpp::Item>> items;
  items.reserve(names.size());
  // A board whose item cannot be made (it vanished, a property read fails) is left out with a
  // trace line; the others are served. It is not remembered: the next comparison of the cache
  // with a fresh enumeration asks for it again. Memory exhaustion is no fault of one board and
  // ends the call (the items made so far are released with `items`).
  for (const std::string& name : names) {
    std::int64_t code = 0;
    try {
      items.push_back(maker_(name, holder_));
      std::lock_guard<std::mutex> lock(leftOutLock_);
      leftOut_.erase(name);
      continue;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const qoerr::ExceptionBase& e) {
      rethrowIfOutOfMemory(e.code());
      code = e.code();
    } catch (const sysapicpp::HResultException& e) {
      if (e.code() == E_OUTOFMEMORY) throw;  // a host string or bag that could not be made
      code = e.code();
    } catch (const std::exception&) {
      code = -1;
    }
    if (firstLeftOut(name, code))
      nQOVORLIXATOMICSAE_23_3::nQOAPAL000::printLine({kItemFactorySource, kLineItemLeftOut, "\n"},
                                                     "item %s left out: %lld", name.c_str(),
                                                     static_cast<long long>(code));
  }
  return items;
}

bool tItemFactory::firstLeftOut(const std::string& name, std::int64_t code) {
  std::lock_guard<std::mutex> lock(leftOutLock_);
  auto [it, inserted] = leftOut_.try_emplace(name, code);
  if (inserted) return true;
  const bool changed = it->second != code;
  it->second = code;
  return changed;
}

}  // namespace VorlixSysapiExpert
