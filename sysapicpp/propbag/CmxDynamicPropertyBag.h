// The library's property bag: an ordered map from 32-bit tag to one typed value (CmxPropertyValue),
// the set of tags changed since the last ClearChanged, and a hold depth. Implements
// ImxSysPropertyBag4 and, through it, ImxSysPropertyBag, ImxSysPropertyBag2 and ImxSysPropertyBag3;
// all four identities answer with the one sub-object.
//
// Every operation takes the bag's recursive lock for its duration, so a bag may be shared between
// threads; hold()/release() keep the lock across several calls on one thread. No exception leaves
// an operation: memory exhaustion is E_OUTOFMEMORY (0x8007000E) and leaves the bag as it was.
//
// Setters (codes 1 to 7): an absent tag gets a new value; a present tag of the same type is
// overwritten in place (a string by a fresh copy); either way the tag is marked changed and the
// result is S_OK. A present tag of another type gives 0x80040370 and nothing changes.
// Getters: 0x80040371 when absent, 0x80040370 when of another type; the out-value is written in
// every case (0, a zero GUID or timestamp, or a null string when the result is a failure).
// A null out-pointer gives E_POINTER. Wide strings are stored exactly as given (the bag does not
// interpret characters: lone surrogates or values above 0x10FFFF come back unchanged).
//
// GetTimestampParts breaks a timestamp down in the local time zone (year, month 1..12, day, hour,
// minute, second; the fraction is dropped); a zero timestamp leaves all six parts at -1. A
// timestamp too far out for the system's calendar leaves the parts at -1 and gives E_FAIL.
//
// Clone makes a new bag (one reference) with every tag, type and value of this one and no changed
// tags; the new bag's strings are its own copies. It copies the entries directly (one pass under
// this bag's lock, no calls through the interface), with the same result as the generic copy
// (copyFrom) would give. When the copy cannot be completed (memory exhausted) the new bag is
// destroyed and the failure returned: a caller never receives a silently partial bag.
//
// Lock order: Clone holds only this bag's lock (the new bag is unreachable by other threads until
// it is handed out, so it is filled without its lock). copyFrom does not hold the destination's
// lock while it calls the source.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "qo/dsc/CqoCS.h"
#include "sysapicpp/com/CQOComObject.h"
#include "sysapicpp/com/guids.h"
#include "sysapicpp/interfaces/ImxSysPropertyBag.h"
#include "sysapicpp/propbag/CmxPropertyValue.h"

class CmxDynamicPropertyBag : public virtual CQOComObjectRootEx<CQOComMultiThreadModelNoCS>,
                              public ImxSysPropertyBag4 {
 public:
  static std::array<CQOInterfaceEntry, 5> qoBuildInterfaceTable(
      CmxDynamicPropertyBag* self) noexcept;

  // A new empty bag with one reference for the caller. `out` null: E_POINTER; memory exhausted:
  // E_OUTOFMEMORY.
  static HRESULT create(CQOComObject<CmxDynamicPropertyBag>** out) noexcept;
  static HRESULT create(ImxSysPropertyBag4** out) noexcept;

  // --- ImxSysPropertyBag4, in table order ----------------------------------------------------
  HRESULT GetTags(ImxSysEnumPropertyTag** tags) override;
  HRESULT HasTag(unsigned tag) override;
  HRESULT GetType(unsigned tag, int* type) override;
  HRESULT RemoveTag(unsigned tag) override;
  HRESULT RemoveAll() override;
  HRESULT SetBool(unsigned tag, int value) override;
  HRESULT SetInt32(unsigned tag, int value) override;
  HRESULT SetUInt32(unsigned tag, unsigned value) override;
  HRESULT SetDouble(unsigned tag, double value) override;
  HRESULT SetGuid(unsigned tag, GUID value) override;
  HRESULT SetString(unsigned tag, const wchar_t* value) override;
  HRESULT Reserved12() override;
  HRESULT GetBool(unsigned tag, int* value) override;
  HRESULT GetInt32(unsigned tag, int* value) override;
  HRESULT GetUInt32(unsigned tag, unsigned* value) override;
  HRESULT GetDouble(unsigned tag, double* value) override;
  HRESULT GetGuid(unsigned tag, GUID* value) override;
  HRESULT GetString(unsigned tag, wchar_t** value) override;
  HRESULT GetTimestampParts(unsigned tag, int parts[6]) override;
  HRESULT Clone(ImxSysPropertyBag** copy) override;
  HRESULT ClearChanged() override;
  HRESULT GetChangedTags(ImxSysEnumPropertyTag** tags) override;
  HRESULT GetTimestamp(unsigned tag, mxSysAttrTimestampUTC* value) override;
  HRESULT SetTimestamp(unsigned tag, const mxSysAttrTimestampUTC* value) override;
  HRESULT hold() override;
  HRESULT release() override;
  HRESULT ClearChangedTag(unsigned tag, int* anyLeft) override;
  HRESULT MarkChanged(unsigned tag) override;

  // --- Library side --------------------------------------------------------------------------
  // Replaces this bag's contents with a copy of `source` (any object answering
  // ImxSysPropertyBag):
  //  1. null source: E_POINTER. This bag is emptied.
  //  2. When the source answers ImxSysPropertyBag2 its changed tags are collected
  //     (GetChangedTags).
  //  3. Every tag of GetTags is copied with its type (GetType) and value (the getter of that
  //     type). Timestamps are read with GetTimestamp when the source answers ImxSysPropertyBag2,
  //     otherwise rebuilt from GetTimestampParts (local time; a year of 1903 or earlier, including
  //     the -1 of a zero timestamp, gives a zero timestamp).
  //  4. This bag's changed tags become the collected set.
  // An unknown type code fails with E_FAIL; any failing source call fails with its result;
  // memory exhaustion with E_OUTOFMEMORY. After a failure this bag holds what was copied so far
  // (callers that hand bags out discard it). Copying a bag into itself changes nothing.
  HRESULT copyFrom(ImxSysPropertyBag* source) noexcept;

  // Diagnostics and tests.
  std::size_t tagCount() const noexcept;
  std::int32_t holdDepth() const noexcept;

 protected:
  CmxDynamicPropertyBag();
  ~CmxDynamicPropertyBag();

 private:
  template <class T>
  HRESULT setValue(unsigned tag, T&& value) noexcept;
  // Stores `value` without marking the tag changed (used by the copy, which sets the changed tags
  // itself at the end). Same type rules as setValue.
  template <class T>
  HRESULT putValue(unsigned tag, T&& value) noexcept;
  template <class T>
  HRESULT putValueLocked(unsigned tag, T&& value) noexcept;
  template <class T>
  const sysapicpp::CmxTemplatePropertyValue<T>* find(unsigned tag, HRESULT& result) const noexcept;
  HRESULT makeTagEnumerator(const std::set<std::uint32_t>& tags,
                            ImxSysEnumPropertyTag** out) noexcept;
  // Appends a copy of every entry of `source` (whose lock the caller holds) to this bag, which no
  // other thread can reach yet. Tags stay in order, so no search is needed; strings are copied
  // as blocks. E_OUTOFMEMORY when a copy cannot be made (this bag then holds a prefix).
  HRESULT copyEntriesOf(const CmxDynamicPropertyBag& source) noexcept;

  mutable CqoCS lock_;
  // One tag and its value. The bag's tags are one contiguous array of these, kept sorted by
  // ascending tag (binary search for lookup; a copy reserves once and appends in order). Each
  // value is its own allocation, so a value never moves when tags are inserted or removed.
  struct tEntry {
    std::uint32_t tag;
    std::unique_ptr<sysapicpp::CmxPropertyValue> value;
  };
  using tValues = std::vector<tEntry>;
  // The first entry whose tag is not below `tag`.
  tValues::iterator lowerBound(std::uint32_t tag) const noexcept;
  // The entry of `tag`, or null. The pointer is valid until the next insertion or removal (the
  // caller holds the lock and uses it at once). Reads in ascending tag order (the copy: GetType,
  // then the getter, then the next tag) find their entry from the previous one without a search;
  // the remembered position is an index that is checked against the size and the tag before use,
  // so insertions and removals never leave it dangling.
  tEntry* findEntry(std::uint32_t tag) const noexcept;
  bool contains(std::uint32_t tag) const noexcept { return findEntry(tag) != nullptr; }

  mutable tValues values_;
  std::set<std::uint32_t> changed_;
  std::int32_t holdDepth_ = 0;
  mutable std::size_t lastIndex_ = 0;  // index of the last entry found (a hint only)
};
