// The host's property-bag interfaces: ImxSysPropertyBag : IUnknown, ImxSysPropertyBag2 :
// ImxSysPropertyBag, ImxSysPropertyBag3 : ImxSysPropertyBag2, ImxSysPropertyBag4 :
// ImxSysPropertyBag3. The host reaches all 28 operations after IUnknown's three through one table
// in the order below, so they are declared once, flattened, in ImxSysPropertyBag; the successors
// add no entries. Code that talks to a bag it did not make calls the operations from
// ClearChanged on (ClearChanged, GetChangedTags, GetTimestamp, SetTimestamp, hold, release,
// ClearChangedTag, MarkChanged) only through a pointer obtained for ImxSysPropertyBag2 or later.
//
// Value type codes (GetType): 1 boolean, 2 signed 32-bit, 3 unsigned 32-bit, 4 double, 5 GUID,
// 6 wide string, 7 UTC timestamp. Results: 0x80040371 the tag is not present, 0x80040370 the
// tag holds a value of another type.
#pragma once

#include <cstddef>

#include "qo/dsc/osdep/AbsTimeToString.h"
#include "sysapicpp/interfaces/IUnknown.h"
#include "sysapicpp/interfaces/ImxSysEnumPropertyTag.h"

// The host's 16-byte UTC timestamp {u64 fraction of a second, i64 seconds since 1904}.
using mxSysAttrTimestampUTC = qo::dsc::mxSysAttrTimestampUTC;
static_assert(sizeof(mxSysAttrTimestampUTC) == 16);
static_assert(offsetof(mxSysAttrTimestampUTC, fraction) == 0 &&
              offsetof(mxSysAttrTimestampUTC, seconds) == 8);

class ImxSysPropertyBag : public IUnknown {
 public:
  virtual HRESULT GetTags(ImxSysEnumPropertyTag** tags) = 0;                           //  1
  virtual HRESULT HasTag(unsigned tag) = 0;                                            //  2
  virtual HRESULT GetType(unsigned tag, int* type) = 0;                                //  3
  virtual HRESULT RemoveTag(unsigned tag) = 0;                                         //  4
  virtual HRESULT RemoveAll() = 0;                                                     //  5
  virtual HRESULT SetBool(unsigned tag, int value) = 0;                                //  6
  virtual HRESULT SetInt32(unsigned tag, int value) = 0;                               //  7
  virtual HRESULT SetUInt32(unsigned tag, unsigned value) = 0;                         //  8
  virtual HRESULT SetDouble(unsigned tag, double value) = 0;                           //  9
  virtual HRESULT SetGuid(unsigned tag, GUID value) = 0;                               // 10
  virtual HRESULT SetString(unsigned tag, const wchar_t* value) = 0;                   // 11
  virtual HRESULT Reserved12() = 0;                                                    // 12
  virtual HRESULT GetBool(unsigned tag, int* value) = 0;                               // 13
  virtual HRESULT GetInt32(unsigned tag, int* value) = 0;                              // 14
  virtual HRESULT GetUInt32(unsigned tag, unsigned* value) = 0;                        // 15
  virtual HRESULT GetDouble(unsigned tag, double* value) = 0;                          // 16
  virtual HRESULT GetGuid(unsigned tag, GUID* value) = 0;                              // 17
  virtual HRESULT GetString(unsigned tag, wchar_t** value) = 0;                        // 18
  virtual HRESULT GetTimestampParts(unsigned tag, int parts[6]) = 0;                   // 19
  virtual HRESULT Clone(ImxSysPropertyBag** copy) = 0;                                 // 20
  virtual HRESULT ClearChanged() = 0;                                                  // 21
  virtual HRESULT GetChangedTags(ImxSysEnumPropertyTag** tags) = 0;                    // 22
  virtual HRESULT GetTimestamp(unsigned tag, mxSysAttrTimestampUTC* value) = 0;        // 23
  virtual HRESULT SetTimestamp(unsigned tag, const mxSysAttrTimestampUTC* value) = 0;  // 24
  virtual HRESULT hold() = 0;                                                          // 25
  virtual HRESULT release() = 0;                                                       // 26
  virtual HRESULT ClearChangedTag(unsigned tag, int* anyLeft) = 0;                     // 27
  virtual HRESULT MarkChanged(unsigned tag) = 0;                                       // 28

 protected:
  ~ImxSysPropertyBag() = default;
};

class ImxSysPropertyBag2 : public ImxSysPropertyBag {
 protected:
  ~ImxSysPropertyBag2() = default;
};

class ImxSysPropertyBag3 : public ImxSysPropertyBag2 {
 protected:
  ~ImxSysPropertyBag3() = default;
};

class ImxSysPropertyBag4 : public ImxSysPropertyBag3 {
 protected:
  ~ImxSysPropertyBag4() = default;
};

// Sizes of the values that cross the table by value or through out-pointers.
static_assert(sizeof(int) == 4 && sizeof(unsigned) == 4 && sizeof(double) == 8);
static_assert(sizeof(GUID) == 16 && sizeof(wchar_t) == 4);
// One table pointer, nothing else: the interface pointer is the object's table word.
static_assert(sizeof(ImxSysPropertyBag4) == sizeof(void*));
