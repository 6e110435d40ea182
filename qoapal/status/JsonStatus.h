// JsonStatus: a status record with a JSON details text. Carried by every exception of the
// library and passed by the routing host as the status argument of its exports, so its layout
// is part of that C interface (24 bytes, x86-64). Same severity rule as tStatus.
//
// The JSON text lives in an editable buffer (see qoapal/json/tJsonWriter.h): the text, NUL
// bytes, and 'J' in the last byte. Members are appended in place before the closing brace. The
// buffer is only ever (re)allocated or released through the record's own reallocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

struct tStatus;

// A constant origin of a status: where it was set and which error constant it names.
struct tJsonStatusOrigin {
  const char* file;  // e.g. "routingAdaptorInterface/routingAdaptorExports"
  std::uint64_t line;
  const char* component;      // null: no "component" member
  const char* errorConstant;  // e.g. "nQOAPALS100::tStatus::kMemoryFull"
};

struct JsonStatus {
  // int reallocator(JsonStatus* self, int newSize): makes `json` hold at least newSize bytes;
  // newSize 0 releases the buffer. Non-zero on success.
  using Reallocator = int (*)(JsonStatus* self, int newSize);

  std::int32_t code;
  std::uint32_t capacity;
  Reallocator reallocator;
  char* json;

  // Severity rule; when taken and a buffer exists, the text is reset to "{}".
  bool setCode(std::int32_t newCode);
  // Replaces the text with `text` ("{}" when null), growing through the reallocator to at least
  // strlen(text) + 2. Returns false when the buffer could not grow (text left unchanged).
  bool setText(const char* text);
  // setCode, and when taken: text "{}" then "error_constant", "file", "line" and, when the
  // origin names one, "component". Returns whether the code was taken.
  bool setError(std::int32_t newCode, const tJsonStatusOrigin& origin);
  // setCode with other's code; when taken, moves other's buffer over if both use the same
  // reallocator (this record's old buffer released through its reallocator, other left with
  // capacity 0 and json null), otherwise copies the text with setText.
  void mergeFrom(JsonStatus& other);
  // setCode with the tStatus code (narrowed); when taken and the tStatus is full: "file" and
  // "line" (unsigned) when it names a file, then "component" when it names one.
  void fromPlatformStatus(const tStatus& status);

  // Member appenders: insert before the closing brace, growing through the reallocator
  // (about twice the capacity each step). A record without a buffer gets one first.
  // They return false when there is no room and the buffer cannot grow.
  bool addString(const char* name, const char* value);
  bool addInt(const char* name, std::int32_t value);
  bool addUnsigned(const char* name, std::uint32_t value);
  bool addU64(const char* name, std::uint64_t value);
  bool addBool(const char* name, bool value);
  bool addRaw(const char* name, const char* rawJson);

  // The JSON text, or null when the record has no buffer.
  const char* text() const { return json; }
};

static_assert(sizeof(JsonStatus) == 24);
static_assert(offsetof(JsonStatus, code) == 0);
static_assert(offsetof(JsonStatus, capacity) == 4);
static_assert(offsetof(JsonStatus, reallocator) == 8);
static_assert(offsetof(JsonStatus, json) == 16);
static_assert(std::is_standard_layout_v<JsonStatus> && std::is_trivially_copyable_v<JsonStatus>);

// The library's own reallocator: 0 frees; not larger than the capacity succeeds unchanged;
// negative fails; otherwise the capacity becomes 512 or the next power of two not below
// newSize, the old text (or "{}") is copied in editable form and the old buffer freed.
int libraryReallocator(JsonStatus* self, int newSize);

// Writer-context grow function of a record's buffer (context: the JsonStatus): asks the
// record's reallocator for capacity * 2 - 2 bytes (at most INT_MAX; no call when that is no
// larger than the capacity) and re-marks the buffer. Null when the record cannot grow.
char* growJsonStatusBuffer(void* status, char* position);

// A JsonStatus owned by library code (exceptions, internal records): built with the library's
// reallocator and no buffer, deep-copied on copy, released on destruction.
class tOwnedJsonStatus {
 public:
  tOwnedJsonStatus() noexcept;
  explicit tOwnedJsonStatus(std::int32_t code) noexcept;
  tOwnedJsonStatus(const tOwnedJsonStatus& other) noexcept;  // a failed text copy keeps the code
  tOwnedJsonStatus(tOwnedJsonStatus&& other) noexcept;
  tOwnedJsonStatus& operator=(const tOwnedJsonStatus& other) noexcept;
  tOwnedJsonStatus& operator=(tOwnedJsonStatus&& other) noexcept;
  ~tOwnedJsonStatus();

  JsonStatus& get() noexcept { return status_; }
  const JsonStatus& get() const noexcept { return status_; }
  JsonStatus* operator->() noexcept { return &status_; }
  const JsonStatus* operator->() const noexcept { return &status_; }

 private:
  JsonStatus status_;
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
