#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"

#include <algorithm>
#include <ctime>
#include <iterator>
#include <tuple>
#include <new>
#include <utility>
#include <vector>

#include "qo/dsc/osdep/AbsTimeToString.h"
#include "sysapicpp/ExceptionTranslation.h"
#include "sysapicpp/HResultException.h"
#include "sysapicpp/com/CQOComPtr.h"
#include "sysapicpp/enum/CmxSysEnumPropertyTagsSTL.h"
#include "sysapicpp/interfaces/ImxSysEnumPropertyTag.h"

using sysapicpp::CmxTemplatePropertyValue;
using sysapicpp::CQOComPtr;
using sysapicpp::kPropertyNotPresent;
using sysapicpp::kPropertyTypeMismatch;
using sysapicpp::propertyValueAs;

namespace {

bool isZero(const mxSysAttrTimestampUTC& t) noexcept { return t.fraction == 0 && t.seconds == 0; }

// Reads every tag of `tags` (which may be null: no tags) into `out`.
HRESULT drainTags(ImxSysEnumPropertyTag* tags, std::vector<std::uint32_t>& out) {
  if (tags == nullptr) return S_OK;
  constexpr unsigned kChunk = 64;
  unsigned buffer[kChunk];
  for (;;) {
    unsigned fetched = 0;
    const HRESULT hr = tags->Next(kChunk, buffer, &fetched);
    if (hr < 0) return hr;
    if (fetched > kChunk) return E_UNEXPECTED;  // an enumerator that overran our buffer
    out.insert(out.end(), buffer, buffer + fetched);
    if (hr != S_OK || fetched < kChunk) return S_OK;
  }
}

// The changed tags of a source with the second interface into `changed` (none without it).
HRESULT changedTagsOf(ImxSysPropertyBag2* source2, std::set<std::uint32_t>& changed) {
  if (source2 == nullptr) return S_OK;
  CQOComPtr<ImxSysEnumPropertyTag> changedTags;
  HRESULT hr = source2->GetChangedTags(changedTags.out());
  if (hr < 0) return hr;
  std::vector<std::uint32_t> list;
  hr = drainTags(changedTags.get(), list);
  if (hr < 0) return hr;
  changed.insert(list.begin(), list.end());
  return S_OK;
}

// Every tag of a source (in its order: ascending) into `tags`.
HRESULT tagsOf(ImxSysPropertyBag* source, std::vector<std::uint32_t>& tags) {
  CQOComPtr<ImxSysEnumPropertyTag> allTags;
  const HRESULT hr = source->GetTags(allTags.out());
  if (hr < 0) return hr;
  tags.reserve(64);
  return drainTags(allTags.get(), tags);
}

// A timestamp of a source: through its second interface when it has one, else from its
// calendar parts in local time (left zero for a year before 1904).
HRESULT timestampOf(ImxSysPropertyBag* source, ImxSysPropertyBag2* source2, unsigned tag,
                    mxSysAttrTimestampUTC& value) {
  if (source2 != nullptr) return source2->GetTimestamp(tag, &value);
  int parts[6] = {-1, -1, -1, -1, -1, -1};
  const HRESULT hr = source->GetTimestampParts(tag, parts);
  if (hr >= 0 && parts[0] > 1903) {
    std::tm t{};
    t.tm_year = parts[0] - 1900;
    t.tm_mon = parts[1] - 1;
    t.tm_mday = parts[2];
    t.tm_hour = parts[3];
    t.tm_min = parts[4];
    t.tm_sec = parts[5];
    t.tm_isdst = -1;
    value = qo::dsc::localTimeToTimestamp(t);
  }
  return hr;
}

// Reads the value of `tag`, of type `type`, from a source and hands it to `put` as the value
// type the bag stores; E_FAIL for a type the bag does not know.
template <class Put>
HRESULT copyValue(ImxSysPropertyBag* source, ImxSysPropertyBag2* source2, unsigned tag, int type,
                  Put& put) {
  HRESULT hr = E_FAIL;
  switch (type) {
    case sysapicpp::kPropertyTypeBool: {
      int v = 0;
      hr = source->GetBool(tag, &v);
      return hr >= 0 ? put(bool{v != 0}) : hr;
    }
    case sysapicpp::kPropertyTypeInt32: {
      int v = 0;
      hr = source->GetInt32(tag, &v);
      return hr >= 0 ? put(int{v}) : hr;
    }
    case sysapicpp::kPropertyTypeUInt32: {
      unsigned v = 0;
      hr = source->GetUInt32(tag, &v);
      return hr >= 0 ? put(unsigned{v}) : hr;
    }
    case sysapicpp::kPropertyTypeDouble: {
      double v = 0;
      hr = source->GetDouble(tag, &v);
      return hr >= 0 ? put(double{v}) : hr;
    }
    case sysapicpp::kPropertyTypeGuid: {
      GUID v{};
      hr = source->GetGuid(tag, &v);
      return hr >= 0 ? put(_GUID{v}) : hr;
    }
    case sysapicpp::kPropertyTypeString: {
      wchar_t* v = nullptr;
      hr = source->GetString(tag, &v);
      CqoBStr owned(v);  // the source's fresh string becomes this bag's own copy
      return hr >= 0 ? put(std::move(owned)) : hr;
    }
    case sysapicpp::kPropertyTypeTimestamp: {
      mxSysAttrTimestampUTC v{0, 0};
      hr = timestampOf(source, source2, tag, v);
      return hr >= 0 ? put(mxSysAttrTimestampUTC{v}) : hr;
    }
    default:
      return hr;
  }
}

}  // namespace

std::array<CQOInterfaceEntry, 5> CmxDynamicPropertyBag::qoBuildInterfaceTable(
    CmxDynamicPropertyBag* self) noexcept {
  return {{qoInterfaceEntry<ImxSysPropertyBag4>(IID_ImxSysPropertyBag, self),
           qoInterfaceEntry<ImxSysPropertyBag4>(IID_ImxSysPropertyBag2, self),
           qoInterfaceEntry<ImxSysPropertyBag4>(IID_ImxSysPropertyBag3, self),
           qoInterfaceEntry<ImxSysPropertyBag4>(IID_ImxSysPropertyBag4, self),
           kQoInterfaceTableEnd}};
}

CmxDynamicPropertyBag::CmxDynamicPropertyBag() = default;

CmxDynamicPropertyBag::~CmxDynamicPropertyBag() {
  // A bag released while its holder still holds it: give the lock back before it is destroyed.
  if (lock_.isHeldByCurrentThread()) {
    for (std::int32_t n = lock_.recursionCount(); n > 0; --n) lock_.unlock();
  }
}

HRESULT CmxDynamicPropertyBag::create(CQOComObject<CmxDynamicPropertyBag>** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  CQOComObject<CmxDynamicPropertyBag>* bag = nullptr;
  HRESULT hr = E_OUTOFMEMORY;
  try {
    hr = CQOComObject<CmxDynamicPropertyBag>::CreateInstance(&bag);
  } catch (...) {
    return sysapicpp::classifyCurrentException();
  }
  if (hr < 0) return hr;
  bag->AddRef();
  *out = bag;
  return S_OK;
}

HRESULT CmxDynamicPropertyBag::create(ImxSysPropertyBag4** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  CQOComObject<CmxDynamicPropertyBag>* bag = nullptr;
  const HRESULT hr = create(&bag);
  if (hr >= 0) *out = bag;
  return hr;
}

std::size_t CmxDynamicPropertyBag::tagCount() const noexcept {
  CqoCSLock guard(lock_);
  return values_.size();
}

std::int32_t CmxDynamicPropertyBag::holdDepth() const noexcept {
  CqoCSLock guard(lock_);
  return holdDepth_;
}

// --- Helpers -----------------------------------------------------------------------------------

template <class T>
HRESULT CmxDynamicPropertyBag::putValueLocked(unsigned tag, T&& value) noexcept {
  try {
    // The copy writes tags in ascending order: a tag above the last one goes to the end directly.
    if (values_.empty() || values_.back().tag < tag) {
      auto made = std::make_unique<CmxTemplatePropertyValue<T>>(std::move(value));
      values_.push_back(tEntry{tag, std::move(made)});
      return S_OK;
    }
    const auto it = lowerBound(tag);
    if (it->tag == tag) {
      auto* v = propertyValueAs<T>(it->value.get());
      if (v == nullptr) return kPropertyTypeMismatch;
      v->value() = std::move(value);
      return S_OK;
    }
    auto made = std::make_unique<CmxTemplatePropertyValue<T>>(std::move(value));
    values_.insert(it, tEntry{tag, std::move(made)});
    return S_OK;
  } catch (...) {
    return sysapicpp::classifyCurrentException();
  }
}

template <class T>
HRESULT CmxDynamicPropertyBag::putValue(unsigned tag, T&& value) noexcept {
  CqoCSLock guard(lock_);
  return putValueLocked<T>(tag, std::move(value));
}

template <class T>
HRESULT CmxDynamicPropertyBag::setValue(unsigned tag, T&& value) noexcept {
  CqoCSLock guard(lock_);
  try {
    const auto it = lowerBound(tag);
    if (it != values_.end() && it->tag == tag) {
      auto* v = propertyValueAs<T>(it->value.get());
      if (v == nullptr) return kPropertyTypeMismatch;
      changed_.insert(tag);  // first: if this fails, nothing has changed
      v->value() = std::move(value);
      return S_OK;
    }
    auto made = std::make_unique<CmxTemplatePropertyValue<T>>(std::move(value));
    const auto inserted = values_.insert(it, tEntry{tag, std::move(made)});
    try {
      changed_.insert(tag);
    } catch (...) {
      values_.erase(inserted);
      throw;
    }
    return S_OK;
  } catch (...) {
    return sysapicpp::classifyCurrentException();
  }
}

CmxDynamicPropertyBag::tValues::iterator CmxDynamicPropertyBag::lowerBound(
    std::uint32_t tag) const noexcept {
  return std::lower_bound(values_.begin(), values_.end(), tag,
                          [](const tEntry& e, std::uint32_t t) { return e.tag < t; });
}

CmxDynamicPropertyBag::tEntry* CmxDynamicPropertyBag::findEntry(std::uint32_t tag) const noexcept {
  const std::size_t n = values_.size();
  const std::size_t last = lastIndex_;
  if (last < n) {
    if (values_[last].tag == tag) return &values_[last];
    if (last + 1 < n && values_[last + 1].tag == tag) {
      lastIndex_ = last + 1;
      return &values_[last + 1];
    }
  }
  const auto it = lowerBound(tag);
  if (it == values_.end() || it->tag != tag) return nullptr;
  lastIndex_ = static_cast<std::size_t>(it - values_.begin());
  return &*it;
}

template <class T>
const CmxTemplatePropertyValue<T>* CmxDynamicPropertyBag::find(unsigned tag,
                                                               HRESULT& result) const noexcept {
  const tEntry* e = findEntry(tag);
  if (e == nullptr) {
    result = kPropertyNotPresent;
    return nullptr;
  }
  const auto* v = propertyValueAs<T>(e->value.get());
  result = v != nullptr ? S_OK : kPropertyTypeMismatch;
  return v;
}

HRESULT CmxDynamicPropertyBag::makeTagEnumerator(const std::set<std::uint32_t>& tags,
                                                 ImxSysEnumPropertyTag** out) noexcept {
  if (tags.empty()) return S_FALSE;
  return CmxSysEnumPropertyTagsSTL::create(tags, out);
}

// --- Tags --------------------------------------------------------------------------------------

HRESULT CmxDynamicPropertyBag::GetTags(ImxSysEnumPropertyTag** tags) {
  if (tags == nullptr) return E_POINTER;
  *tags = nullptr;
  CqoCSLock guard(lock_);
  if (values_.empty()) return S_FALSE;
  std::vector<std::uint32_t> all;
  try {
    all.reserve(values_.size());
    for (const tEntry& e : values_) all.push_back(e.tag);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return CmxSysEnumPropertyTagsSTL::create(std::move(all), tags);
}

HRESULT CmxDynamicPropertyBag::HasTag(unsigned tag) {
  CqoCSLock guard(lock_);
  return contains(tag) ? S_OK : S_FALSE;
}

HRESULT CmxDynamicPropertyBag::GetType(unsigned tag, int* type) {
  if (type == nullptr) return E_POINTER;
  *type = 0;
  CqoCSLock guard(lock_);
  const tEntry* e = findEntry(tag);
  if (e == nullptr) return kPropertyNotPresent;
  *type = e->value->type();
  return S_OK;
}

HRESULT CmxDynamicPropertyBag::RemoveTag(unsigned tag) {
  CqoCSLock guard(lock_);
  const tEntry* e = findEntry(tag);
  if (e == nullptr) return kPropertyNotPresent;
  values_.erase(values_.begin() + (e - values_.data()));
  changed_.erase(tag);
  return S_OK;
}

HRESULT CmxDynamicPropertyBag::RemoveAll() {
  CqoCSLock guard(lock_);
  values_.clear();
  changed_.clear();
  return S_OK;
}

// --- Setters -----------------------------------------------------------------------------------

HRESULT CmxDynamicPropertyBag::SetBool(unsigned tag, int value) {
  return setValue<bool>(tag, value != 0);
}
HRESULT CmxDynamicPropertyBag::SetInt32(unsigned tag, int value) {
  return setValue<int>(tag, int{value});
}
HRESULT CmxDynamicPropertyBag::SetUInt32(unsigned tag, unsigned value) {
  return setValue<unsigned int>(tag, unsigned{value});
}
HRESULT CmxDynamicPropertyBag::SetDouble(unsigned tag, double value) {
  return setValue<double>(tag, double{value});
}
HRESULT CmxDynamicPropertyBag::SetGuid(unsigned tag, GUID value) {
  return setValue<_GUID>(tag, std::move(value));
}
HRESULT CmxDynamicPropertyBag::SetString(unsigned tag, const wchar_t* value) {
  CqoBStr copy(CqoBStr::alloc(value));
  if (value != nullptr && copy.isNull()) return E_OUTOFMEMORY;
  return setValue<CqoBStr>(tag, std::move(copy));
}
HRESULT CmxDynamicPropertyBag::SetTimestamp(unsigned tag, const mxSysAttrTimestampUTC* value) {
  if (value == nullptr) return E_POINTER;
  return setValue<mxSysAttrTimestampUTC>(tag, mxSysAttrTimestampUTC{*value});
}

HRESULT CmxDynamicPropertyBag::Reserved12() { return E_NOTIMPL; }

// --- Getters -----------------------------------------------------------------------------------

HRESULT CmxDynamicPropertyBag::GetBool(unsigned tag, int* value) {
  if (value == nullptr) return E_POINTER;
  *value = 0;
  CqoCSLock guard(lock_);
  HRESULT hr;
  if (const auto* v = find<bool>(tag, hr)) *value = v->value() ? 1 : 0;
  return hr;
}

HRESULT CmxDynamicPropertyBag::GetInt32(unsigned tag, int* value) {
  if (value == nullptr) return E_POINTER;
  *value = 0;
  CqoCSLock guard(lock_);
  HRESULT hr;
  if (const auto* v = find<int>(tag, hr)) *value = v->value();
  return hr;
}

HRESULT CmxDynamicPropertyBag::GetUInt32(unsigned tag, unsigned* value) {
  if (value == nullptr) return E_POINTER;
  *value = 0;
  CqoCSLock guard(lock_);
  HRESULT hr;
  if (const auto* v = find<unsigned int>(tag, hr)) *value = v->value();
  return hr;
}

HRESULT CmxDynamicPropertyBag::GetDouble(unsigned tag, double* value) {
  if (value == nullptr) return E_POINTER;
  *value = 0.0;
  CqoCSLock guard(lock_);
  HRESULT hr;
  if (const auto* v = find<double>(tag, hr)) *value = v->value();
  return hr;
}

HRESULT CmxDynamicPropertyBag::GetGuid(unsigned tag, GUID* value) {
  if (value == nullptr) return E_POINTER;
  *value = GUID{};
  CqoCSLock guard(lock_);
  HRESULT hr;
  if (const auto* v = find<_GUID>(tag, hr)) *value = v->value();
  return hr;
}

HRESULT CmxDynamicPropertyBag::GetString(unsigned tag, wchar_t** value) {
  if (value == nullptr) return E_POINTER;
  *value = nullptr;
  CqoCSLock guard(lock_);
  HRESULT hr;
  const auto* v = find<CqoBStr>(tag, hr);
  if (v == nullptr || v->value().isNull()) return hr;
  wchar_t* copy = CqoBStr::alloc(v->value().get(), v->value().size());
  if (copy == nullptr) return E_OUTOFMEMORY;
  *value = copy;
  return S_OK;
}

HRESULT CmxDynamicPropertyBag::GetTimestamp(unsigned tag, mxSysAttrTimestampUTC* value) {
  if (value == nullptr) return E_POINTER;
  *value = mxSysAttrTimestampUTC{0, 0};
  CqoCSLock guard(lock_);
  HRESULT hr;
  if (const auto* v = find<mxSysAttrTimestampUTC>(tag, hr)) *value = v->value();
  return hr;
}

HRESULT CmxDynamicPropertyBag::GetTimestampParts(unsigned tag, int parts[6]) {
  if (parts == nullptr) return E_POINTER;
  for (int i = 0; i < 6; ++i) parts[i] = -1;
  CqoCSLock guard(lock_);
  HRESULT hr;
  const auto* v = find<mxSysAttrTimestampUTC>(tag, hr);
  if (v == nullptr || isZero(v->value())) return hr;
  try {
    const std::tm t = qo::dsc::timestampToLocalTime(v->value(), false);
    parts[0] = t.tm_year + 1900;
    parts[1] = t.tm_mon + 1;
    parts[2] = t.tm_mday;
    parts[3] = t.tm_hour;
    parts[4] = t.tm_min;
    parts[5] = t.tm_sec;
  } catch (...) {
    return sysapicpp::classifyCurrentException();
  }
  return S_OK;
}

// --- Changed tags ------------------------------------------------------------------------------

HRESULT CmxDynamicPropertyBag::ClearChanged() {
  CqoCSLock guard(lock_);
  if (changed_.empty()) return S_FALSE;
  changed_.clear();
  return S_OK;
}

HRESULT CmxDynamicPropertyBag::GetChangedTags(ImxSysEnumPropertyTag** tags) {
  if (tags == nullptr) return E_POINTER;
  *tags = nullptr;
  CqoCSLock guard(lock_);
  return makeTagEnumerator(changed_, tags);
}

HRESULT CmxDynamicPropertyBag::ClearChangedTag(unsigned tag, int* anyLeft) {
  CqoCSLock guard(lock_);
  HRESULT hr = kPropertyNotPresent;
  if (contains(tag)) hr = changed_.erase(tag) != 0 ? S_OK : S_FALSE;
  if (anyLeft != nullptr) *anyLeft = changed_.empty() ? 0 : 1;
  return hr;
}

HRESULT CmxDynamicPropertyBag::MarkChanged(unsigned tag) {
  CqoCSLock guard(lock_);
  if (!contains(tag)) return kPropertyNotPresent;
  try {
    changed_.insert(tag);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

// --- Hold ----------------------------------------------------------------------------------

HRESULT CmxDynamicPropertyBag::hold() {
  if (!lock_.lock(-1)) return E_FAIL;
  ++holdDepth_;
  return S_OK;
}

HRESULT CmxDynamicPropertyBag::release() {
  // Taking the lock first means only the holding thread can find a positive depth: any other
  // thread waits here until the holder has let go completely, and then finds 0.
  CqoCSLock guard(lock_);
  if (holdDepth_ <= 0) return E_FAIL;
  --holdDepth_;
  lock_.unlock();  // the level taken by hold(); the guard gives back its own
  return S_OK;
}

// --- Copy --------------------------------------------------------------------------------------

HRESULT CmxDynamicPropertyBag::Clone(ImxSysPropertyBag** copy) {
  if (copy == nullptr) return E_POINTER;
  *copy = nullptr;
  CqoCSLock guard(lock_);
  CQOComPtr<CQOComObject<CmxDynamicPropertyBag>> bag;
  HRESULT hr = create(bag.out());
  if (hr < 0) return hr;
  // No other thread can reach the new bag until it is handed out, so it is filled without its
  // lock; the copy has no changed tags. A failed copy is released with the holder.
  hr = bag->copyEntriesOf(*this);
  if (hr < 0) return hr;
  *copy = bag.detach();
  return S_OK;
}

HRESULT CmxDynamicPropertyBag::copyEntriesOf(const CmxDynamicPropertyBag& source) noexcept {
  try {
    values_.reserve(source.values_.size());
    for (const tEntry& e : source.values_) {
      values_.push_back(tEntry{e.tag, sysapicpp::clonePropertyValue(*e.value)});
    }
    return S_OK;
  } catch (...) {
    return sysapicpp::classifyCurrentException();
  }
}

HRESULT CmxDynamicPropertyBag::copyFrom(ImxSysPropertyBag* source) noexcept {
  if (source == nullptr) return E_POINTER;
  if (static_cast<ImxSysPropertyBag*>(this) == source) return S_OK;
  // This bag is locked per write only, so that it never holds its lock while calling into the
  // source (two bags copied into each other concurrently cannot deadlock).
  try {
    {
      CqoCSLock guard(lock_);
      values_.clear();
      changed_.clear();
    }
    CQOComPtr<ImxSysPropertyBag2> source2;
    if (source->QueryInterface(&IID_ImxSysPropertyBag2, reinterpret_cast<void**>(source2.out())) <
        0) {
      // A refusal hands out no reference, whatever it left in the slot.
      static_cast<void>(source2.detach());
    }

    std::set<std::uint32_t> changed;
    HRESULT hr = changedTagsOf(source2.get(), changed);
    if (hr < 0) return hr;
    std::vector<std::uint32_t> tags;
    hr = tagsOf(source, tags);
    if (hr < 0) return hr;
    {
      // One allocation for the whole copy: the source's tags arrive in ascending order and are
      // appended one after the other.
      CqoCSLock guard(lock_);
      values_.reserve(tags.size());
    }

    for (const std::uint32_t tag : tags) {
      auto put = [this, tag](auto value) {
        return putValue<decltype(value)>(tag, std::move(value));
      };
      int type = 0;
      hr = source->GetType(tag, &type);
      if (hr < 0) return hr;
      hr = copyValue(source, source2.get(), tag, type, put);
      if (hr < 0) return hr;
    }

    {
      CqoCSLock guard(lock_);
      // Only tags that are in the bag can be marked changed.
      for (auto it = changed.begin(); it != changed.end();) {
        it = contains(*it) ? std::next(it) : changed.erase(it);
      }
      changed_ = std::move(changed);
    }
    return S_OK;
  } catch (...) {
    return sysapicpp::classifyCurrentException();
  }
}
