#include "qoapal/json/tJsonWriter.h"

#include "qoapal/json/jsonUtf8.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json {
namespace {

// Length of the well-formed UTF-8 sequence at p in NUL-terminated text (never reads past the
// terminating NUL), 0 when malformed.
std::size_t utf8SequenceLength(const unsigned char* p) {
  return wellFormedUtf8Length(p, p + strnlen(reinterpret_cast<const char*>(p), 4));
}

bool isClosing(char c) { return c == '}' || c == ']'; }
bool isOpening(char c) { return c == '{' || c == '['; }
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The escape letter of each ASCII byte that has one, else 0: the writer asks per byte.
struct tEscapeLetters {
  char of[0x80];
};
constexpr tEscapeLetters makeEscapeLetters() {
  tEscapeLetters letters{};
  for (const tShortEscape& escape : kShortEscapes)
    if (escape.byte != '/') letters.of[escape.byte] = static_cast<char>(escape.letter);
  return letters;
}
constexpr tEscapeLetters kEscapeLetters = makeEscapeLetters();

// Two-character escape letter of a byte, or 0 when it has none.
char shortEscape(unsigned char c) { return c < 0x80 ? kEscapeLetters.of[c] : 0; }

bool needsLongEscape(unsigned char c) { return c < 0x20 || c == 0x7f; }

// A byte that starts no well-formed UTF-8 sequence is written as this escape, so the text
// stays valid JSON (and valid UTF-8) whatever bytes a caller passes.
constexpr char kReplacementEscape[] = "\\ufffd";
constexpr std::size_t kReplacementLength = sizeof kReplacementEscape - 1;

char* writeEscaped(char* out, const char* value) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p; ++p) {
    const unsigned char c = *p;
    if (c >= 0x80) {
      const std::size_t n = utf8SequenceLength(p);
      if (n == 0) {
        std::memcpy(out, kReplacementEscape, kReplacementLength);
        out += kReplacementLength;
      } else {
        std::memcpy(out, p, n);
        out += n;
        p += n - 1;
      }
    } else if (c >= 0x20 && c != '"' && c != '\\' && c != 0x7f) {
      *out++ = static_cast<char>(c);
    } else if (const char e = shortEscape(c)) {
      *out++ = '\\';
      *out++ = e;
    } else {
      // "\u%04x"
      *out++ = '\\';
      *out++ = 'u';
      *out++ = '0';
      *out++ = '0';
      *out++ = kHex[c >> 4];
      *out++ = kHex[c & 0xf];
    }
  }
  return out;
}

// A container is empty when only whitespace separates its closing bracket from its opening one.
bool needsComma(const char* closing) {
  const char* p = closing - 1;
  while (isSpace(*p)) --p;
  return !isOpening(*p);
}

// Counts the NUL bytes after the text's terminating NUL, stopping at `limit`. `*marker` tells
// whether the count stopped at the marker (false also when it stopped at the limit).
std::size_t countRoom(const char* textEnd, std::size_t limit, bool* corrupt) {
  std::size_t room = 0;
  while (room < limit && textEnd[1 + room] == '\0') ++room;
  *corrupt = room < limit && textEnd[1 + room] != kEditableMarker;
  return room;
}

// Makes `n` bytes of room at the insertion point (growing when needed and possible) and opens a
// gap of `n` bytes there by moving the tail up. Returns the start of the gap.
char* openGap(const tJsonWriterContext* context, char* position, std::size_t n) {
  std::size_t tail = std::strlen(position);
  bool corrupt = false;
  std::size_t room = countRoom(position + tail, n, &corrupt);
  while (room < n) {
    if (corrupt || context == nullptr || context->grow == nullptr) return nullptr;
    char* moved = context->grow(context->growContext, position);
    if (moved == nullptr || !isClosing(*moved)) return nullptr;
    position = moved;
    tail = std::strlen(position);
    const std::size_t before = room;
    room = countRoom(position + tail, n, &corrupt);
    if (room <= before) return nullptr;  // a grow that makes no room would loop forever
  }
  std::memmove(position + n, position, tail + 1);
  return position;
}

// Writes [comma] ["name":] value before the closing bracket at `position`; `valueLength` bytes
// are written by `writeValue(char*) -> char*`. Returns the new insertion point.
template <class WriteValue>
char* insertMember(const tJsonWriterContext* context, char* position, const char* name,
                   std::size_t valueLength, WriteValue&& writeValue) {
  if (position == nullptr || !isClosing(*position)) return nullptr;
  const bool comma = needsComma(position);
  const std::size_t nameLength = name != nullptr ? escapedLength(name) + 3 : 0;
  const std::size_t n = (comma ? 1 : 0) + nameLength + valueLength;
  char* out = openGap(context, position, n);
  if (out == nullptr) return nullptr;
  if (comma) *out++ = ',';
  if (name != nullptr) {
    *out++ = '"';
    out = writeEscaped(out, name);
    *out++ = '"';
    *out++ = ':';
  }
  return writeValue(out);
}

char* insertBytes(const tJsonWriterContext* context, char* position, const char* name,
                  const char* bytes, std::size_t length) {
  return insertMember(context, position, name, length, [&](char* out) {
    std::memcpy(out, bytes, length);
    return out + length;
  });
}

template <class T>
char* insertNumber(const tJsonWriterContext* context, char* position, const char* name, T value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  return insertBytes(context, position, name, digits,
                     static_cast<std::size_t>(result.ptr - digits));
}

}  // namespace

std::size_t escapedLength(const char* value) {
  std::size_t length = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p; ++p) {
    if (*p >= 0x80) {
      const std::size_t n = utf8SequenceLength(p);
      if (n == 0) {
        length += kReplacementLength;
      } else {
        length += n;
        p += n - 1;
      }
    } else if (shortEscape(*p) != 0) {
      length += 2;
    } else if (needsLongEscape(*p)) {
      length += 6;
    } else {
      length += 1;
    }
  }
  return length;
}

char* initEditable(char* buffer, std::size_t size, const char* text) {
  if (buffer == nullptr || size == 0) return nullptr;
  const char* source = text != nullptr ? text : buffer;
  const std::size_t length = text != nullptr ? std::strlen(text) : ::strnlen(buffer, size);
  if (length + 1 >= size) return nullptr;
  std::size_t first = 0;
  while (first < length && isSpace(source[first])) ++first;
  std::size_t last = length;
  while (last > first && isSpace(source[last - 1])) --last;
  if (last - first < 2 || !isOpening(source[first]) || !isClosing(source[last - 1])) {
    return nullptr;
  }
  if (source != buffer) std::memmove(buffer, source, length);
  std::memset(buffer + length, 0, size - 1 - length);
  buffer[size - 1] = kEditableMarker;
  return buffer + last - 1;
}

std::size_t freeRoom(const char* position) {
  if (position == nullptr) return 0;
  const char* end = position + std::strlen(position);
  std::size_t room = 0;
  while (end[1 + room] == '\0') ++room;
  return end[1 + room] == kEditableMarker ? room : 0;
}

char* addString(const tJsonWriterContext* context, char* position, const char* name,
                const char* value) {
  if (value == nullptr) value = "";
  return insertMember(context, position, name, escapedLength(value) + 2, [&](char* out) {
    *out++ = '"';
    out = writeEscaped(out, value);
    *out++ = '"';
    return out;
  });
}

char* addBool(const tJsonWriterContext* context, char* position, const char* name, bool value) {
  return value ? insertBytes(context, position, name, "true", 4)
               : insertBytes(context, position, name, "false", 5);
}

char* addInt(const tJsonWriterContext* context, char* position, const char* name,
             std::int32_t value) {
  return insertNumber(context, position, name, value);
}

char* addUnsigned(const tJsonWriterContext* context, char* position, const char* name,
                  std::uint32_t value) {
  return insertNumber(context, position, name, value);
}

char* addU64(const tJsonWriterContext* context, char* position, const char* name,
             std::uint64_t value) {
  return insertNumber(context, position, name, value);
}

char* addI64(const tJsonWriterContext* context, char* position, const char* name,
             std::int64_t value) {
  return insertNumber(context, position, name, value);
}

char* addRaw(const tJsonWriterContext* context, char* position, const char* name,
             const char* rawJson) {
  if (rawJson == nullptr) rawJson = "null";
  return insertBytes(context, position, name, rawJson, std::strlen(rawJson));
}

char* beginObject(const tJsonWriterContext* context, char* position, const char* name) {
  char* after = insertBytes(context, position, name, "{}", 2);
  return after != nullptr ? after - 1 : nullptr;
}

char* beginArray(const tJsonWriterContext* context, char* position, const char* name) {
  char* after = insertBytes(context, position, name, "[]", 2);
  return after != nullptr ? after - 1 : nullptr;
}

char* endValue(char* position) {
  if (position == nullptr || !isClosing(*position)) return nullptr;
  return position + 1;
}

// ---------------------------------------------------------------------------------------------

tJsonGrowableBuffer::tJsonGrowableBuffer(const char* initialText,
                                         std::size_t initialSize) noexcept {
  if (initialText == nullptr) initialText = "[]";
  const std::size_t length = std::strlen(initialText);
  std::size_t size = initialSize;
  if (size < length + 2) size = length + 2;
  if (size < 4) size = 4;
  if (size > kMaximumSize) return;
  buffer_ = static_cast<char*>(std::malloc(size));
  if (buffer_ == nullptr) return;
  size_ = size;
  char* position = initEditable(buffer_, size_, initialText);
  initialOffset_ = position != nullptr ? position - buffer_ : -1;
  context_ = {&tJsonGrowableBuffer::grow, this};
}

tJsonGrowableBuffer::tJsonGrowableBuffer(tJsonGrowableBuffer&& other) noexcept
    : buffer_(std::exchange(other.buffer_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      initialOffset_(std::exchange(other.initialOffset_, -1)),
      context_{&tJsonGrowableBuffer::grow, this} {}

tJsonGrowableBuffer& tJsonGrowableBuffer::operator=(tJsonGrowableBuffer&& other) noexcept {
  if (this != &other) {
    std::free(buffer_);
    buffer_ = std::exchange(other.buffer_, nullptr);
    size_ = std::exchange(other.size_, 0);
    initialOffset_ = std::exchange(other.initialOffset_, -1);
    context_ = {&tJsonGrowableBuffer::grow, this};
  }
  return *this;
}

tJsonGrowableBuffer::~tJsonGrowableBuffer() { std::free(buffer_); }

// GCC 12 sinks the offset computation below the free() and then warns about it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
char* tJsonGrowableBuffer::grow(void* self, char* position) noexcept {
  auto* list = static_cast<tJsonGrowableBuffer*>(self);
  if (list == nullptr || list->buffer_ == nullptr) return nullptr;
  char* const old = list->buffer_;
  const std::size_t oldSize = list->size_;
  if (position < old || position >= old + oldSize) return nullptr;
  const std::size_t offset = static_cast<std::size_t>(position - old);
  const std::size_t newSize = oldSize * 2;
  if (newSize > kMaximumSize) return nullptr;
  char* grown = static_cast<char*>(std::malloc(newSize));
  if (grown == nullptr) return nullptr;
  // The text and its NULs move over; the old marker becomes a NUL, the new last byte the marker.
  std::memcpy(grown, old, oldSize - 1);
  std::memset(grown + oldSize - 1, 0, newSize - oldSize + 1);
  grown[newSize - 1] = kEditableMarker;
  list->buffer_ = grown;
  list->size_ = newSize;
  std::free(old);
  return grown + offset;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json
