#include "qoapal/status/JsonStatus.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "qoapal/json/tJsonWriter.h"
#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {
namespace {

// The smallest editable buffer: "{}", its NUL and the marker.
constexpr std::size_t kMinimumEditable = 4;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool takesCode(std::int32_t current, std::int32_t incoming) {
  if (current == 0) return incoming != 0;
  return current > 0 && incoming < 0;
}

bool hasBuffer(const JsonStatus& s) { return s.json != nullptr && s.capacity >= kMinimumEditable; }

// Writes text[0, length) into the buffer in editable form; length + 2 <= capacity.
void writeEditable(JsonStatus& s, const char* text, std::size_t length) {
  std::memmove(s.json, text, length);
  std::memset(s.json + length, 0, s.capacity - 1 - length);
  s.json[s.capacity - 1] = json::kEditableMarker;
}

// Makes the buffer hold at least `need` bytes through the record's reallocator.
bool ensureCapacity(JsonStatus& s, std::size_t need) {
  if (s.json != nullptr && s.capacity >= need) return true;
  if (s.reallocator == nullptr || need > static_cast<std::size_t>(INT_MAX)) return false;
  if (s.reallocator(&s, static_cast<int>(need)) == 0) return false;
  return s.json != nullptr && s.capacity >= need;
}

bool setTextN(JsonStatus& s, const char* text, std::size_t length) {
  if (length > static_cast<std::size_t>(INT_MAX) - 2) return false;
  const std::size_t need = length + 2 < kMinimumEditable ? kMinimumEditable : length + 2;
  // Text taken from this record's own buffer must survive a reallocation.
  char* copy = nullptr;
  if (s.json != nullptr && text >= s.json && text < s.json + s.capacity &&
      (s.capacity < need || s.json[s.capacity - 1] != json::kEditableMarker)) {
    copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) return false;
    std::memcpy(copy, text, length);
    text = copy;
  }
  const bool ok = ensureCapacity(s, need);
  if (ok) writeEditable(s, text, length);
  std::free(copy);
  return ok;
}

}  // namespace

// A host's reallocator need not keep the editable form, so the grown buffer is re-marked.
char* growJsonStatusBuffer(void* context, char* position) {
  if (context == nullptr) return nullptr;
  auto& s = *static_cast<JsonStatus*>(context);
  if (s.reallocator == nullptr || s.json == nullptr || position < s.json ||
      position >= s.json + s.capacity) {
    return nullptr;
  }
  const std::size_t offset = static_cast<std::size_t>(position - s.json);
  const std::size_t textLength = offset + std::strlen(position);
  const std::uint64_t capacity = s.capacity;
  std::uint64_t want = capacity * 2 - 2;
  if (want > static_cast<std::uint64_t>(INT_MAX)) want = INT_MAX;
  if (want <= capacity) return nullptr;
  if (s.reallocator(&s, static_cast<int>(want)) == 0) return nullptr;
  if (s.json == nullptr || s.capacity < want) return nullptr;
  std::memset(s.json + textLength, 0, s.capacity - 1 - textLength);
  s.json[s.capacity - 1] = json::kEditableMarker;
  return s.json + offset;
}

namespace {

// The insertion point of the record's JSON object (its closing brace), giving the record a
// buffer first and repairing a text that is not an editable object. Null when out of memory.
char* insertionPoint(JsonStatus& s) {
  if (!hasBuffer(s) && !setTextN(s, "{}", 2)) return nullptr;
  const std::size_t capacity = s.capacity;
  std::size_t length = ::strnlen(s.json, capacity - 1);
  bool object = length < capacity - 1;
  std::size_t last = length;
  if (object) {
    std::size_t first = 0;
    while (first < length && isSpace(s.json[first])) ++first;
    while (last > first && isSpace(s.json[last - 1])) --last;
    object = last - first >= 2 && s.json[first] == '{' && s.json[last - 1] == '}';
  }
  if (!object) {
    writeEditable(s, "{}", 2);
    return s.json + 1;
  }
  if (s.json[capacity - 1] != json::kEditableMarker) {
    std::memset(s.json + length, 0, capacity - 1 - length);
    s.json[capacity - 1] = json::kEditableMarker;
  }
  return s.json + last - 1;
}

template <class Add>
bool append(JsonStatus& s, Add&& add) {
  char* position = insertionPoint(s);
  if (position == nullptr) return false;
  const json::tJsonWriterContext context{&growJsonStatusBuffer, &s};
  return add(&context, position) != nullptr;
}

// A bounded copy of a fixed-size text field (which may lack its NUL).
template <std::size_t N>
struct tFieldText {
  char text[N + 1];
  explicit tFieldText(const char (&field)[N]) {
    const std::size_t n = ::strnlen(field, N);
    std::memcpy(text, field, n);
    text[n] = '\0';
  }
};

}  // namespace

int libraryReallocator(JsonStatus* self, int newSize) {
  if (self == nullptr) return 0;
  if (newSize == 0) {
    std::free(self->json);
    self->json = nullptr;
    self->capacity = 0;
    return 1;
  }
  if (newSize < 0) return 0;
  const std::size_t size = static_cast<std::size_t>(newSize);
  const std::size_t capacity = self->json != nullptr ? self->capacity : 0;
  if (size <= capacity) return 1;
  std::size_t newCapacity = 512;
  while (newCapacity < size) newCapacity *= 2;  // at most 2^31: fits the u32 capacity
  char* buffer = static_cast<char*>(std::malloc(newCapacity));
  if (buffer == nullptr) return 0;
  const char* text = "{}";
  std::size_t length = 2;
  if (self->json != nullptr && capacity > 0) {
    text = self->json;
    length = ::strnlen(self->json, capacity - 1);
  }
  std::memcpy(buffer, text, length);
  std::memset(buffer + length, 0, newCapacity - 1 - length);
  buffer[newCapacity - 1] = json::kEditableMarker;
  std::free(self->json);
  self->json = buffer;
  self->capacity = static_cast<std::uint32_t>(newCapacity);
  return 1;
}

bool JsonStatus::setCode(std::int32_t newCode) {
  if (!takesCode(code, newCode)) return false;
  code = newCode;
  if (hasBuffer(*this)) {
    writeEditable(*this, "{}", 2);
  } else if (json != nullptr && capacity > 0) {
    json[0] = '\0';  // too small for "{}": at least drop the old text
  }
  return true;
}

bool JsonStatus::setText(const char* text) {
  if (text == nullptr) text = "{}";
  return setTextN(*this, text, std::strlen(text));
}

bool JsonStatus::setError(std::int32_t newCode, const tJsonStatusOrigin& origin) {
  if (!setCode(newCode)) return false;
  if (!setText("{}")) return true;
  addString("error_constant", origin.errorConstant);
  addString("file", origin.file);
  append(*this, [&](const json::tJsonWriterContext* c, char* p) {
    return json::addI64(c, p, "line", static_cast<std::int64_t>(origin.line));
  });
  if (origin.component != nullptr) addString("component", origin.component);
  return true;
}

void JsonStatus::mergeFrom(JsonStatus& other) {
  if (&other == this) return;  // merging a record into itself changes nothing
  if (!setCode(other.code)) return;
  if (reallocator != nullptr && reallocator == other.reallocator) {
    if (json != nullptr) reallocator(this, 0);
    json = other.json;
    capacity = other.json != nullptr ? other.capacity : 0;
    other.json = nullptr;
    other.capacity = 0;
    return;
  }
  if (other.json == nullptr || other.capacity == 0) {
    setText(nullptr);
    return;
  }
  const std::size_t length = ::strnlen(other.json, other.capacity);
  if (length == other.capacity) {
    setText(nullptr);  // no terminated text in the other buffer
  } else {
    setTextN(*this, other.json, length);
  }
}

void JsonStatus::fromPlatformStatus(const tStatus& status) {
  // Codes beyond 32 bits keep their severity instead of wrapping (possibly to success).
  std::int64_t wide = status.code;
  if (wide > INT32_MAX) wide = INT32_MAX;
  if (wide < INT32_MIN) wide = INT32_MIN;
  if (!setCode(static_cast<std::int32_t>(wide))) return;
  if (!status.isFull()) return;
  const tFieldText file(status.file);
  const tFieldText component(status.component);
  if (file.text[0] != '\0') {
    addString("file", file.text);
    addU64("line", status.line);
  }
  if (component.text[0] != '\0') addString("component", component.text);
}

bool JsonStatus::addString(const char* name, const char* value) {
  return append(*this, [&](const json::tJsonWriterContext* c, char* p) {
    return json::addString(c, p, name, value);
  });
}

bool JsonStatus::addInt(const char* name, std::int32_t value) {
  return append(*this, [&](const json::tJsonWriterContext* c, char* p) {
    return json::addInt(c, p, name, value);
  });
}

bool JsonStatus::addUnsigned(const char* name, std::uint32_t value) {
  return append(*this, [&](const json::tJsonWriterContext* c, char* p) {
    return json::addUnsigned(c, p, name, value);
  });
}

bool JsonStatus::addU64(const char* name, std::uint64_t value) {
  return append(*this, [&](const json::tJsonWriterContext* c, char* p) {
    return json::addU64(c, p, name, value);
  });
}

bool JsonStatus::addBool(const char* name, bool value) {
  return append(*this, [&](const json::tJsonWriterContext* c, char* p) {
    return json::addBool(c, p, name, value);
  });
}

bool JsonStatus::addRaw(const char* name, const char* rawJson) {
  return append(*this, [&](const json::tJsonWriterContext* c, char* p) {
    return json::addRaw(c, p, name, rawJson);
  });
}

// ---------------------------------------------------------------------------------------------

namespace {
void copyText(JsonStatus& target, const JsonStatus& source) {
  if (source.json == nullptr || source.capacity == 0) return;
  const std::size_t length = ::strnlen(source.json, source.capacity);
  if (length < source.capacity) setTextN(target, source.json, length);
}

void release(JsonStatus& s) {
  if (s.json != nullptr && s.reallocator != nullptr) s.reallocator(&s, 0);
  s.json = nullptr;
  s.capacity = 0;
}
}  // namespace

tOwnedJsonStatus::tOwnedJsonStatus() noexcept : status_{0, 0, &libraryReallocator, nullptr} {}

tOwnedJsonStatus::tOwnedJsonStatus(std::int32_t code) noexcept
    : status_{code, 0, &libraryReallocator, nullptr} {}

tOwnedJsonStatus::tOwnedJsonStatus(const tOwnedJsonStatus& other) noexcept
    : status_{other.status_.code, 0, &libraryReallocator, nullptr} {
  copyText(status_, other.status_);
}

tOwnedJsonStatus::tOwnedJsonStatus(tOwnedJsonStatus&& other) noexcept : status_(other.status_) {
  other.status_.json = nullptr;
  other.status_.capacity = 0;
}

tOwnedJsonStatus& tOwnedJsonStatus::operator=(const tOwnedJsonStatus& other) noexcept {
  if (this != &other) {
    release(status_);
    status_ = {other.status_.code, 0, &libraryReallocator, nullptr};
    copyText(status_, other.status_);
  }
  return *this;
}

tOwnedJsonStatus& tOwnedJsonStatus::operator=(tOwnedJsonStatus&& other) noexcept {
  if (this != &other) {
    release(status_);
    status_ = other.status_;
    other.status_.json = nullptr;
    other.status_.capacity = 0;
  }
  return *this;
}

tOwnedJsonStatus::~tOwnedJsonStatus() { release(status_); }

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
