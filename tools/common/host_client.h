// A configuration host's everyday helpers over sysapi_host.h: host strings in and out, item names
// from an enumerator, a property bag read out as (tag, type, value) rows, a notification sink
// that records the notices it receives (and on which thread), and a binary image the host
// supplies for a firmware update. Reference hosts, end-to-end tests and benchmarks meet the
// library through these, as a real host would; no library header is included.
#pragma once

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qovorlixatomicsae/sysapi_host.h"
#include "host_cli.h"

namespace hostabi {

// The notification sink's table: IUnknown's three, then Notify(expert, kind, names).
struct ImxSysNotificationSink;
struct ImxSysNotificationSinkVtbl {
  HRESULT (*QueryInterface)(ImxSysNotificationSink* self, const Guid* iid, void** out);
  ULONG (*AddRef)(ImxSysNotificationSink* self);
  ULONG (*Release)(ImxSysNotificationSink* self);
  HRESULT (*Notify)
  (ImxSysNotificationSink* self, void* expert, std::int32_t kind, ImxSysEnumStringList* names);
};
struct ImxSysNotificationSink {
  const ImxSysNotificationSinkVtbl* vtbl;
};
static_assert(sizeof(ImxSysNotificationSinkVtbl) == 4 * sizeof(void*));

// UTF-8 as the host's 32-bit characters; a byte that is not part of a well-formed sequence
// becomes U+FFFD (never a negative or out-of-range character).
inline std::wstring wideFromUtf8(const std::string& in) {
  std::wstring out;
  for (std::size_t i = 0; i < in.size();) {
    const std::size_t n = hostcli::utf8SequenceAt(in, i);
    if (n == 0) {
      out.push_back(static_cast<wchar_t>(0xFFFD));
      ++i;
      continue;
    }
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t c = static_cast<unsigned char>(in[i]) & kLeadBits[n];
    for (std::size_t k = 1; k < n; ++k)
      c = (c << 6) | (static_cast<unsigned char>(in[i + k]) & 0x3Fu);
    out.push_back(static_cast<wchar_t>(c));
    i += n;
  }
  return out;
}

// A host string owned by the host side (freed at destruction).
class HostText {
 public:
  explicit HostText(const std::string& utf8) {
    const std::wstring wide = wideFromUtf8(utf8);
    p_ = hostStringAlloc(wide.data(), wide.size());
  }
  explicit HostText(const std::wstring& wide) : p_(hostStringAlloc(wide.data(), wide.size())) {}
  ~HostText() { hostStringFree(p_); }
  HostText(const HostText&) = delete;
  HostText& operator=(const HostText&) = delete;
  operator const wchar_t*() const { return p_; }

 private:
  wchar_t* p_ = nullptr;
};

// A returned host string as text (non-ASCII characters as \u escapes); frees it.
inline std::string takeHostText(wchar_t* text) {
  std::string out;
  if (text == nullptr) return out;
  const std::uint32_t length = hostStringLength(text);
  for (std::uint32_t i = 0; i < length; ++i) {
    const auto c = static_cast<std::uint32_t>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u%04" PRIX32, c);
      out += buf;
    }
  }
  hostStringFree(text);
  return out;
}

// A returned host string as UTF-8 (characters outside Unicode become U+FFFD); frees it.
inline std::string takeHostUtf8(wchar_t* text) {
  std::string out;
  if (text == nullptr) return out;
  const std::uint32_t length = hostStringLength(text);
  for (std::uint32_t i = 0; i < length; ++i) {
    auto c = static_cast<std::uint32_t>(text[i]);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  hostStringFree(text);
  return out;
}

inline std::string hresultText(HRESULT code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08" PRIX32, static_cast<std::uint32_t>(code));
  return buf;
}

// Every name of an enumerator, as UTF-8 (the enumerator is not released here).
inline std::vector<std::string> namesOf(ImxSysEnumStringList* names) {
  std::vector<std::string> out;
  if (names == nullptr) return out;
  for (;;) {
    wchar_t* name = nullptr;
    unsigned fetched = 0;
    const HRESULT hr = names->vtbl->Next(names, 1, &name, &fetched);
    if (hr < 0 || fetched == 0) break;
    out.push_back(takeHostUtf8(name));
  }
  return out;
}

// The expert's item names; the result code is stored in *result when given.
inline std::vector<std::string> itemNames(ImxSysExpert2* expert, HRESULT* result = nullptr) {
  void* list = nullptr;
  const HRESULT hr = expert->vtbl->GetItemNames(expert, &list);
  if (result != nullptr) *result = hr;
  if (hr != kS_OK || list == nullptr) return {};
  auto* names = static_cast<ImxSysEnumStringList*>(list);
  std::vector<std::string> out = namesOf(names);
  release(names);
  return out;
}

// One property of a bag.
struct BagRow {
  unsigned tag;
  int type;
  std::string value;  // as text (strings quoted UTF-8, control characters as \x escapes)
  double number = 0;  // bool, integer and double values
  std::string text;   // string values as UTF-8, unquoted; timestamps as ISO 8601 UTC
};

inline const char* typeName(int type) {
  switch (type) {
    case 1:
      return "bool";
    case 2:
      return "int32";
    case 3:
      return "uint32";
    case 4:
      return "double";
    case 5:
      return "guid";
    case 6:
      return "string";
    case 7:
      return "timestamp";
    default:
      return "?";
  }
}

// A string property: UTF-8 in `text`, quoted in `value` with control bytes as \x escapes (the
// UTF-8 is well formed, so nothing else needs escaping).
inline void readBagString(ImxSysPropertyBag* bag, BagRow& row) {
  wchar_t* v = nullptr;
  bag->vtbl->GetString(bag, row.tag, &v);
  row.text = takeHostUtf8(v);
  char buf[8];
  for (const unsigned char c : row.text) {
    if (c >= 0x20 && c != 0x7F) {
      row.value += static_cast<char>(c);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      row.value += buf;
    }
  }
  row.value = "\"" + row.value + "\"";
}

// A timestamp property: "YYYY-MM-DD hh:mm:ss UTC" in `value`, ISO 8601 in `text`.
inline void readBagTimestamp(ImxSysPropertyBag* bag, BagRow& row) {
  int parts[6];
  bag->vtbl->GetTimestampParts(bag, row.tag, parts);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d UTC", parts[0], parts[1], parts[2],
                parts[3], parts[4], parts[5]);
  row.value = buf;
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts[0], parts[1], parts[2],
                parts[3], parts[4], parts[5]);
  row.text = buf;
}

// The value of `row.tag` read from `bag` into `row` by its type (value, number, text).
inline void readBagValue(ImxSysPropertyBag* bag, BagRow& row) {
  const unsigned tag = row.tag;
  char buf[96];
  switch (row.type) {
    case 1: {
      int v = 0;
      bag->vtbl->GetBool(bag, tag, &v);
      row.value = v ? "true" : "false";
      row.number = v ? 1 : 0;
      break;
    }
    case 2: {
      int v = 0;
      bag->vtbl->GetInt32(bag, tag, &v);
      row.value = std::to_string(v);
      row.number = v;
      break;
    }
    case 3: {
      unsigned v = 0;
      bag->vtbl->GetUInt32(bag, tag, &v);
      std::snprintf(buf, sizeof buf, "%u (0x%X)", v, v);
      row.value = buf;
      row.number = v;
      break;
    }
    case 4: {
      double v = 0;
      bag->vtbl->GetDouble(bag, tag, &v);
      std::snprintf(buf, sizeof buf, "%.3f", v);
      row.value = buf;
      row.number = v;
      break;
    }
    case 5: {
      Guid g{};
      bag->vtbl->GetGuid(bag, tag, &g);
      std::snprintf(buf, sizeof buf, "{%08" PRIX32 "-%04X-%04X-...}", g.data1, g.data2, g.data3);
      row.value = buf;
      break;
    }
    case 6:
      readBagString(bag, row);
      break;
    case 7:
      readBagTimestamp(bag, row);
      break;
    default:
      row.value = "?";
  }
}

// Every property of a bag, ascending by tag, its value as text.
inline std::vector<BagRow> bagRows(ImxSysPropertyBag* bag) {
  std::vector<BagRow> rows;
  void* tagsPointer = nullptr;
  if (bag->vtbl->GetTags(bag, &tagsPointer) != kS_OK || tagsPointer == nullptr) return rows;
  auto* tags = static_cast<ImxSysEnumPropertyTag*>(tagsPointer);
  for (;;) {
    unsigned tag = 0, fetched = 0;
    if (tags->vtbl->Next(tags, 1, &tag, &fetched) < 0 || fetched == 0) break;
    BagRow row{tag, 0, {}, 0, {}};
    bag->vtbl->GetType(bag, tag, &row.type);
    readBagValue(bag, row);
    rows.push_back(std::move(row));
  }
  release(tags);
  return rows;
}

// A notification sink that records every notice; waiters can block until a notice matches.
// Optionally runs a call-back inside Notify (on the library's thread).
class RecordingSink {
 public:
  struct Notice {
    std::int32_t kind;
    std::vector<std::string> names;
    std::thread::id thread;
  };

  RecordingSink() : itf_{&kTable, this} {}
  RecordingSink(const RecordingSink&) = delete;
  RecordingSink& operator=(const RecordingSink&) = delete;

  void* asSink() { return &itf_; }
  int references() {
    std::lock_guard<std::mutex> g(lock_);
    return refs_;
  }
  std::vector<Notice> notices() {
    std::lock_guard<std::mutex> g(lock_);
    return notices_;
  }
  // Waits up to `ms` for a notice satisfying `match`; true when one came.
  bool waitFor(const std::function<bool(const Notice&)>& match, int ms) {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, std::chrono::milliseconds(ms), [&] {
      for (const Notice& n : notices_)
        if (match(n)) return true;
      return false;
    });
  }
  void clear() {
    std::lock_guard<std::mutex> g(lock_);
    notices_.clear();
  }
  std::function<void(void* expert, const Notice&)> onNotice;

 private:
  // The interface pointer handed out, followed by its owner.
  struct Interface {
    const ImxSysNotificationSinkVtbl* vtbl;
    RecordingSink* owner;
  };
  static RecordingSink* from(ImxSysNotificationSink* self) {
    return reinterpret_cast<Interface*>(self)->owner;
  }
  static HRESULT queryInterface(ImxSysNotificationSink*, const Guid*, void** out) {
    if (out != nullptr) *out = nullptr;
    return static_cast<HRESULT>(0x80004002u);
  }
  static ULONG addRefEntry(ImxSysNotificationSink* self) {
    RecordingSink* s = from(self);
    std::lock_guard<std::mutex> g(s->lock_);
    return static_cast<ULONG>(++s->refs_);
  }
  static ULONG releaseEntry(ImxSysNotificationSink* self) {
    RecordingSink* s = from(self);
    std::lock_guard<std::mutex> g(s->lock_);
    return static_cast<ULONG>(--s->refs_);
  }
  static HRESULT notifyEntry(ImxSysNotificationSink* self, void* expert, std::int32_t kind,
                             ImxSysEnumStringList* names) {
    RecordingSink* s = from(self);
    Notice notice{kind, namesOf(names), std::this_thread::get_id()};
    if (s->onNotice) s->onNotice(expert, notice);
    {
      std::lock_guard<std::mutex> g(s->lock_);
      s->notices_.push_back(std::move(notice));
    }
    s->changed_.notify_all();
    return kS_OK;
  }
  static constexpr ImxSysNotificationSinkVtbl kTable = {&queryInterface, &addRefEntry,
                                                        &releaseEntry, &notifyEntry};

  Interface itf_;
  std::mutex lock_;
  std::condition_variable changed_;
  int refs_ = 1;
  std::vector<Notice> notices_;
};

// A firmware image supplied by the host.
class HostImage {
 public:
  HostImage(std::string name, std::vector<unsigned char> data)
      : itf_{&kTable, this}, name_(std::move(name)), data_(std::move(data)) {}
  HostImage(const HostImage&) = delete;
  HostImage& operator=(const HostImage&) = delete;
  ImxSysBinaryImage* asImage() { return reinterpret_cast<ImxSysBinaryImage*>(&itf_); }
  int references() const { return refs_; }

 private:
  struct Interface {
    const ImxSysBinaryImageVtbl* vtbl;
    HostImage* owner;
  };
  static HostImage* from(ImxSysBinaryImage* self) {
    return reinterpret_cast<Interface*>(self)->owner;
  }
  static HRESULT queryInterface(ImxSysBinaryImage* self, const Guid* iid, void** out) {
    if (iid != nullptr && (std::memcmp(iid, &kIID_ImxSysBinaryImage, sizeof(Guid)) == 0 ||
                           std::memcmp(iid, &kIID_IUnknown, sizeof(Guid)) == 0)) {
      ++from(self)->refs_;
      *out = self;
      return kS_OK;
    }
    *out = nullptr;
    return static_cast<HRESULT>(0x80004002u);
  }
  static ULONG addRefEntry(ImxSysBinaryImage* self) {
    return static_cast<ULONG>(++from(self)->refs_);
  }
  static ULONG releaseEntry(ImxSysBinaryImage* self) {
    return static_cast<ULONG>(--from(self)->refs_);
  }
  static HRESULT getSize(ImxSysBinaryImage* self, unsigned* size) {
    *size = static_cast<unsigned>(from(self)->data_.size());
    return kS_OK;
  }
  static HRESULT getData(ImxSysBinaryImage* self, void** data) {
    *data = from(self)->data_.data();
    return kS_OK;
  }
  static HRESULT getName(ImxSysBinaryImage* self, wchar_t** name) {
    const std::wstring wide = wideFromUtf8(from(self)->name_);
    *name = hostStringAlloc(wide.data(), wide.size());
    return *name != nullptr ? kS_OK : kE_OUTOFMEMORY;
  }
  static constexpr ImxSysBinaryImageVtbl kTable = {&queryInterface, &addRefEntry, &releaseEntry,
                                                   &getSize,        &getData,     &getName};

  Interface itf_;
  std::atomic<int> refs_{1};
  std::string name_;
  std::vector<unsigned char> data_;
};

}  // namespace hostabi
