// Library-side access to a property bag.
//
// PropertyBagHandle holds one reference to a bag's ImxSysPropertyBag4 interface, taken from any
// object by asking it for that identity; an object that does not answer (or a null object)
// raises UnexpectedException (context "sysapicpp/propbag/PropertyBagHandle", line 39). The
// reference is released when the handle is destroyed; copies of a handle add references.
//
// The typed setters call the bag's setter of that type and turn a failing result into an
// HResultException with that code (context line 292). Indexed tags are the base tag plus the
// element index: indexedTag() refuses an index above 4094 (or a sum beyond 32 bits) with
// FailException (context line 314), before anything is written. The getters throw a plain
// HResultException carrying the bag's failing result (0x80040371 absent, 0x80040370 other type).
//
// The typed accessors SystemAPIPropertyBagAccessor (the host's standard tags, 0x10xxxxx),
// VorlixPropertyBagAccessor (the board family's tags, 0x19xxxxxx) and RoutingPropertyBagAccessor
// (routing tags, 0x16xxxxxx) derive virtually from PropertyBagHandle;
// CompositePropertyBagAccessor3 combines the three over one handle (one reference).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sysapicpp/com/CQOComPtr.h"
#include "sysapicpp/com/types.h"
#include "sysapicpp/interfaces/IUnknown.h"
#include "sysapicpp/interfaces/ImxSysPropertyBag.h"

namespace sysapicpp {

inline constexpr char kPropertyBagHandleSource[] = "sysapicpp/propbag/PropertyBagHandle";
// Lines reported in the raise contexts of this file.
inline constexpr int kPropertyBagNoInterfaceLine = 39;
inline constexpr int kPropertyBagCopyFailedLine = 231;
inline constexpr int kPropertyBagSetterFailedLine = 292;
inline constexpr int kPropertyBagIndexLimitLine = 314;
// The largest element index of an indexed tag.
inline constexpr std::uint32_t kMaxPropertyIndex = 4094;

class PropertyBagHandle {
 public:
  // An empty handle (no bag).
  PropertyBagHandle() noexcept = default;
  // Asks `object` for ImxSysPropertyBag4 and keeps the reference it answers with.
  explicit PropertyBagHandle(IUnknown* object);
  PropertyBagHandle(const PropertyBagHandle& other) noexcept = default;
  PropertyBagHandle(PropertyBagHandle&& other) noexcept = default;
  PropertyBagHandle& operator=(const PropertyBagHandle& other) noexcept = default;
  PropertyBagHandle& operator=(PropertyBagHandle&& other) noexcept = default;
  virtual ~PropertyBagHandle() = default;

  // Takes over one reference the caller already holds (null gives an empty handle).
  static PropertyBagHandle adopt(ImxSysPropertyBag4* bag) noexcept;
  // A handle on a new, empty CmxDynamicPropertyBag; std::bad_alloc when it cannot be made.
  static PropertyBagHandle createDynamic();

  ImxSysPropertyBag4* get() const noexcept { return bag_.get(); }
  explicit operator bool() const noexcept { return static_cast<bool>(bag_); }

  // A copy of the bag made by its Clone, answered for ImxSysPropertyBag, with one reference for
  // the caller. A failing Clone raises HResultException with its result (line 231); a copy that
  // is null or does not answer for ImxSysPropertyBag raises UnexpectedException (line 39).
  ImxSysPropertyBag* clone() const;

  // base + index; FailException (line 314) when index > 4094 or the sum leaves 32 bits.
  static std::uint32_t indexedTag(std::uint32_t baseTag, std::uint32_t index);

  // --- Setters (HResultException, line 292, on a failing result) -------------------------------
  void setBool(std::uint32_t tag, bool value) const;
  void setInt32(std::uint32_t tag, std::int32_t value) const;
  void setUInt32(std::uint32_t tag, std::uint32_t value) const;
  void setDouble(std::uint32_t tag, double value) const;
  void setGuid(std::uint32_t tag, const GUID& value) const;
  // `utf8` is converted to a wide string (qo::dsc::exception::InvalidSequence when malformed).
  void setString(std::uint32_t tag, std::string_view utf8) const;
  void setWideString(std::uint32_t tag, const wchar_t* value) const;
  void setTimestamp(std::uint32_t tag, const mxSysAttrTimestampUTC& value) const;

  // --- Getters (plain HResultException with the bag's failing result) -----------------------
  bool hasTag(std::uint32_t tag) const;
  bool getBool(std::uint32_t tag) const;
  std::int32_t getInt32(std::uint32_t tag) const;
  std::uint32_t getUInt32(std::uint32_t tag) const;
  double getDouble(std::uint32_t tag) const;
  GUID getGuid(std::uint32_t tag) const;
  std::wstring getWideString(std::uint32_t tag) const;  // a null string reads as empty
  std::string getString(std::uint32_t tag) const;       // UTF-8
  mxSysAttrTimestampUTC getTimestamp(std::uint32_t tag) const;

 private:
  ImxSysPropertyBag4* checkedBag(int line) const;
  void checkSet(HRESULT result) const;

  CQOComPtr<ImxSysPropertyBag4> bag_;
};

// The host's standard tags (0x10xxxxx).
class SystemAPIPropertyBagAccessor : public virtual PropertyBagHandle {
 public:
  explicit SystemAPIPropertyBagAccessor(const PropertyBagHandle& handle)
      : PropertyBagHandle(handle) {}
};

// The board family's own tags (0x19xxxxxx).
class VorlixPropertyBagAccessor : public virtual PropertyBagHandle {
 public:
  explicit VorlixPropertyBagAccessor(const PropertyBagHandle& handle) : PropertyBagHandle(handle) {}
};

// Routing tags (0x16xxxxxx).
class RoutingPropertyBagAccessor : public virtual PropertyBagHandle {
 public:
  explicit RoutingPropertyBagAccessor(const PropertyBagHandle& handle)
      : PropertyBagHandle(handle) {}
};

// The three accessors over one shared handle.
class CompositePropertyBagAccessor3 : public SystemAPIPropertyBagAccessor,
                                      public VorlixPropertyBagAccessor,
                                      public RoutingPropertyBagAccessor {
 public:
  explicit CompositePropertyBagAccessor3(const PropertyBagHandle& handle)
      : PropertyBagHandle(handle),
        SystemAPIPropertyBagAccessor(handle),
        VorlixPropertyBagAccessor(handle),
        RoutingPropertyBagAccessor(handle) {}

  SystemAPIPropertyBagAccessor& systemApi() noexcept { return *this; }
  VorlixPropertyBagAccessor& vorlix() noexcept { return *this; }
  RoutingPropertyBagAccessor& routing() noexcept { return *this; }
};

}  // namespace sysapicpp
