// Typed property values held by a property bag. CmxPropertyValue is the polymorphic base (its
// one field is the type code); CmxTemplatePropertyValue<T> adds one field of type T. A value's
// type is fixed when it is created.
//
//   code  type             T                        stored as
//   1     boolean          bool                     one byte, 0 or 1
//   2     signed 32-bit    int                      int32
//   3     unsigned 32-bit  unsigned int             uint32
//   4     double           double                   IEEE 754 double
//   5     GUID             _GUID                    16 bytes
//   6     string           CqoBStr                  an owned host wide string (may be null)
//   7     UTC timestamp    mxSysAttrTimestampUTC    16 bytes {u64 fraction, i64 seconds}
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "sysapicpp/com/CqoBStr.h"
#include "sysapicpp/com/types.h"
#include "sysapicpp/interfaces/ImxSysPropertyBag.h"

namespace sysapicpp {

enum PropertyTypeCode : std::int32_t {
  kPropertyTypeBool = 1,
  kPropertyTypeInt32 = 2,
  kPropertyTypeUInt32 = 3,
  kPropertyTypeDouble = 4,
  kPropertyTypeGuid = 5,
  kPropertyTypeString = 6,
  kPropertyTypeTimestamp = 7,
};

// The type code of each value type, one pair a line. A type outside the seven reaches the end
// without a code, which a constant evaluation refuses: it does not compile.
template <class T>
consteval std::int32_t propertyTypeCodeOf() {
  if constexpr (std::is_same_v<T, bool>) return kPropertyTypeBool;
  if constexpr (std::is_same_v<T, int>) return kPropertyTypeInt32;
  if constexpr (std::is_same_v<T, unsigned int>) return kPropertyTypeUInt32;
  if constexpr (std::is_same_v<T, double>) return kPropertyTypeDouble;
  if constexpr (std::is_same_v<T, _GUID>) return kPropertyTypeGuid;
  if constexpr (std::is_same_v<T, CqoBStr>) return kPropertyTypeString;
  if constexpr (std::is_same_v<T, mxSysAttrTimestampUTC>) return kPropertyTypeTimestamp;
}

// Value storage sizes.
static_assert(sizeof(bool) == 1 && sizeof(int) == 4 && sizeof(unsigned int) == 4);
static_assert(sizeof(double) == 8 && sizeof(_GUID) == 16 && sizeof(mxSysAttrTimestampUTC) == 16);
static_assert(sizeof(CqoBStr) == sizeof(wchar_t*));

class CmxPropertyValue {
 public:
  virtual ~CmxPropertyValue() = default;
  std::int32_t type() const noexcept { return type_; }

 protected:
  explicit CmxPropertyValue(std::int32_t type) noexcept : type_(type) {}
  CmxPropertyValue(const CmxPropertyValue&) = default;
  CmxPropertyValue& operator=(const CmxPropertyValue&) = default;

 private:
  std::int32_t type_;
};

template <class T>
class CmxTemplatePropertyValue final : public CmxPropertyValue {
 public:
  static constexpr std::int32_t kTypeCode = propertyTypeCodeOf<T>();

  explicit CmxTemplatePropertyValue(T value) noexcept(std::is_nothrow_move_constructible_v<T>)
      : CmxPropertyValue(kTypeCode), value_(std::move(value)) {}

  const T& value() const noexcept { return value_; }
  T& value() noexcept { return value_; }

 private:
  T value_;
};

// The value as T when it is a CmxTemplatePropertyValue<T>, else null. The runtime type test reads
// the type code: only CmxTemplatePropertyValue<T> (final) sets code propertyTypeCodeOf<T>(), so
// the code identifies the dynamic type exactly (and costs one load instead of a dynamic_cast).
template <class T>
CmxTemplatePropertyValue<T>* propertyValueAs(CmxPropertyValue* value) noexcept {
  if (value == nullptr || value->type() != CmxTemplatePropertyValue<T>::kTypeCode) return nullptr;
  return static_cast<CmxTemplatePropertyValue<T>*>(value);
}

namespace detail {
template <class T>
std::unique_ptr<CmxPropertyValue> cloneAs(const CmxPropertyValue& value) {
  return std::make_unique<CmxTemplatePropertyValue<T>>(
      static_cast<const CmxTemplatePropertyValue<T>&>(value).value());
}
}  // namespace detail

// A new value of the same type and contents (a string is copied as one block). Dispatches on the
// type code (no virtual call); std::bad_alloc when memory is exhausted, std::logic_error for a
// code outside the seven (as the generic copy, the caller reports it as E_FAIL).
inline std::unique_ptr<CmxPropertyValue> clonePropertyValue(const CmxPropertyValue& value) {
  switch (value.type()) {
    case kPropertyTypeBool:
      return detail::cloneAs<bool>(value);
    case kPropertyTypeInt32:
      return detail::cloneAs<int>(value);
    case kPropertyTypeUInt32:
      return detail::cloneAs<unsigned int>(value);
    case kPropertyTypeDouble:
      return detail::cloneAs<double>(value);
    case kPropertyTypeGuid:
      return detail::cloneAs<_GUID>(value);
    case kPropertyTypeString:
      return detail::cloneAs<CqoBStr>(value);
    case kPropertyTypeTimestamp:
      return detail::cloneAs<mxSysAttrTimestampUTC>(value);
    default:
      break;
  }
  throw std::logic_error("unknown property type code");
}

}  // namespace sysapicpp
