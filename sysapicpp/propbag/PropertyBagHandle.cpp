#include "sysapicpp/propbag/PropertyBagHandle.h"

#include <limits>
#include <new>

#include "qo/dsc/Utf8.h"
#include "sysapicpp/HResultException.h"
#include "sysapicpp/com/CqoBStr.h"
#include "sysapicpp/com/guids.h"
#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"

namespace sysapicpp {

namespace {

tRaiseContext context(int line) noexcept {
  return tRaiseContext{kPropertyBagHandleSource, line, nQOVORLIXATOMICSAE_23_3::kComponentName};
}

[[noreturn]] void raiseNoInterface() {
  throw UnexpectedException(context(kPropertyBagNoInterfaceLine));
}

void checkGet(HRESULT result) {
  if (result < 0) throw HResultException(result);
}

}  // namespace

PropertyBagHandle::PropertyBagHandle(IUnknown* object) {
  if (object == nullptr) raiseNoInterface();
  void* answered = nullptr;
  const HRESULT hr = object->QueryInterface(&IID_ImxSysPropertyBag4, &answered);
  if (hr < 0 || answered == nullptr) raiseNoInterface();
  bag_.reset(static_cast<ImxSysPropertyBag4*>(answered));
}

PropertyBagHandle PropertyBagHandle::adopt(ImxSysPropertyBag4* bag) noexcept {
  PropertyBagHandle handle;
  handle.bag_.reset(bag);
  return handle;
}

PropertyBagHandle PropertyBagHandle::createDynamic() {
  ImxSysPropertyBag4* bag = nullptr;
  if (CmxDynamicPropertyBag::create(&bag) < 0) throw std::bad_alloc();
  return adopt(bag);
}

ImxSysPropertyBag4* PropertyBagHandle::checkedBag(int line) const {
  if (!bag_) throw UnexpectedException(context(line));
  return bag_.get();
}

ImxSysPropertyBag* PropertyBagHandle::clone() const {
  // Released on every path, also that of a bag that answered a failure and a pointer anyway.
  CQOComPtr<ImxSysPropertyBag> copy;
  const HRESULT hr = checkedBag(kPropertyBagNoInterfaceLine)->Clone(copy.out());
  if (hr < 0) throw HResultException(hr, context(kPropertyBagCopyFailedLine));
  if (!copy) raiseNoInterface();
  void* answered = nullptr;
  const HRESULT qi = copy->QueryInterface(&IID_ImxSysPropertyBag, &answered);
  copy.reset();
  if (qi < 0 || answered == nullptr) raiseNoInterface();
  return static_cast<ImxSysPropertyBag*>(answered);
}

std::uint32_t PropertyBagHandle::indexedTag(std::uint32_t baseTag, std::uint32_t index) {
  if (index > kMaxPropertyIndex || baseTag > std::numeric_limits<std::uint32_t>::max() - index) {
    throw FailException(context(kPropertyBagIndexLimitLine));
  }
  return baseTag + index;
}

void PropertyBagHandle::checkSet(HRESULT result) const {
  if (result < 0) throw HResultException(result, context(kPropertyBagSetterFailedLine));
}

// --- Setters -----------------------------------------------------------------------------------

void PropertyBagHandle::setBool(std::uint32_t tag, bool value) const {
  checkSet(checkedBag(kPropertyBagSetterFailedLine)->SetBool(tag, value ? 1 : 0));
}
void PropertyBagHandle::setInt32(std::uint32_t tag, std::int32_t value) const {
  checkSet(checkedBag(kPropertyBagSetterFailedLine)->SetInt32(tag, value));
}
void PropertyBagHandle::setUInt32(std::uint32_t tag, std::uint32_t value) const {
  checkSet(checkedBag(kPropertyBagSetterFailedLine)->SetUInt32(tag, value));
}
void PropertyBagHandle::setDouble(std::uint32_t tag, double value) const {
  checkSet(checkedBag(kPropertyBagSetterFailedLine)->SetDouble(tag, value));
}
void PropertyBagHandle::setGuid(std::uint32_t tag, const GUID& value) const {
  checkSet(checkedBag(kPropertyBagSetterFailedLine)->SetGuid(tag, value));
}
void PropertyBagHandle::setString(std::uint32_t tag, std::string_view utf8) const {
  ImxSysPropertyBag4* bag = checkedBag(kPropertyBagSetterFailedLine);
  const std::wstring wide = qo::dsc::utf8ToWide(utf8);
  checkSet(bag->SetString(tag, wide.c_str()));
}
void PropertyBagHandle::setWideString(std::uint32_t tag, const wchar_t* value) const {
  checkSet(checkedBag(kPropertyBagSetterFailedLine)->SetString(tag, value));
}
void PropertyBagHandle::setTimestamp(std::uint32_t tag, const mxSysAttrTimestampUTC& value) const {
  checkSet(checkedBag(kPropertyBagSetterFailedLine)->SetTimestamp(tag, &value));
}

// --- Getters -----------------------------------------------------------------------------------

bool PropertyBagHandle::hasTag(std::uint32_t tag) const {
  const HRESULT hr = checkedBag(kPropertyBagNoInterfaceLine)->HasTag(tag);
  checkGet(hr);
  return hr == S_OK;
}

bool PropertyBagHandle::getBool(std::uint32_t tag) const {
  int v = 0;
  checkGet(checkedBag(kPropertyBagNoInterfaceLine)->GetBool(tag, &v));
  return v != 0;
}

std::int32_t PropertyBagHandle::getInt32(std::uint32_t tag) const {
  int v = 0;
  checkGet(checkedBag(kPropertyBagNoInterfaceLine)->GetInt32(tag, &v));
  return v;
}

std::uint32_t PropertyBagHandle::getUInt32(std::uint32_t tag) const {
  unsigned v = 0;
  checkGet(checkedBag(kPropertyBagNoInterfaceLine)->GetUInt32(tag, &v));
  return v;
}

double PropertyBagHandle::getDouble(std::uint32_t tag) const {
  double v = 0;
  checkGet(checkedBag(kPropertyBagNoInterfaceLine)->GetDouble(tag, &v));
  return v;
}

GUID PropertyBagHandle::getGuid(std::uint32_t tag) const {
  GUID v{};
  checkGet(checkedBag(kPropertyBagNoInterfaceLine)->GetGuid(tag, &v));
  return v;
}

std::wstring PropertyBagHandle::getWideString(std::uint32_t tag) const {
  wchar_t* v = nullptr;
  const HRESULT hr = checkedBag(kPropertyBagNoInterfaceLine)->GetString(tag, &v);
  CqoBStr owned(v);
  checkGet(hr);
  if (owned.isNull()) return std::wstring();
  return std::wstring(owned.get(), owned.size());
}

std::string PropertyBagHandle::getString(std::uint32_t tag) const {
  return qo::dsc::wideToUtf8(getWideString(tag));
}

mxSysAttrTimestampUTC PropertyBagHandle::getTimestamp(std::uint32_t tag) const {
  mxSysAttrTimestampUTC v{0, 0};
  checkGet(checkedBag(kPropertyBagNoInterfaceLine)->GetTimestamp(tag, &v));
  return v;
}

}  // namespace sysapicpp
