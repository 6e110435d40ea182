// In-place JSON writer.
//
// The writer edits JSON text inside a flat "editable buffer": a byte buffer of fixed size that
// holds the JSON text, then NUL bytes, and the marker character 'J' in its last byte. The free
// room is the number of NUL bytes between the text's terminating NUL and the marker, so a buffer
// of 8 bytes holding "{}" has 4 bytes of room. An empty editable buffer holds "{}" or "[]".
//
// Positions: every writer takes and returns an insertion point, which is the position of the
// closing bracket of the container being filled. New members are inserted right before it: the
// tail of the text (the closing brackets) moves up and the member is written into the gap. A
// comma goes before the new member unless the container is still empty ("{}", "[]", whitespace
// allowed inside). A null member name writes a bare array element.
//
// Room: when there is not enough room, the writer calls the writer context's grow function,
// which enlarges the buffer (keeping it editable) and returns the same insertion point in the
// new buffer; it keeps asking as long as the room is short and each grow makes more room. A
// writer returns null when the member cannot be written; the text is then left unchanged.
//
// Escaping: backspace, tab, line feed, form feed, carriage return, quotation mark and backslash
// become two-character escapes; other bytes below 32 and 127 become \u00XX; well-formed UTF-8
// is copied; a byte that starts no well-formed UTF-8 sequence becomes \ufffd, so the text is
// always valid JSON.
//
// Preconditions: the position must be one returned by initEditable or another writer on the
// same buffer (or that position moved by the grow function). The writers check that it points
// at a closing bracket and that the buffer's marker follows the text, and otherwise return null.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json {

inline constexpr char kEditableMarker = 'J';

// Enlarges the buffer holding `position`; returns the same position in the enlarged buffer, or
// null when it cannot grow (the buffer is then left as it was).
using tJsonGrowFunction = char* (*)(void* growContext, char* position);

struct tJsonWriterContext {
  tJsonGrowFunction grow = nullptr;  // null: the buffer has a fixed size
  void* growContext = nullptr;
};

// Copies `text` into `buffer` (or keeps the buffer's own NUL-terminated text when `text` is
// null), fills the rest with NUL bytes and puts the marker in the last byte. Fails (null) when
// the buffer is null, text length + 1 >= size, or the text does not end with a closing bracket
// ('}' or ']', trailing whitespace allowed). Returns the position of that closing bracket.
char* initEditable(char* buffer, std::size_t size, const char* text);

// Number of free bytes between the terminating NUL of the text at `position` and the marker.
// Returns 0 when the marker is not found (the buffer is then not editable).
std::size_t freeRoom(const char* position);

// The escaped length of a string (without the quotes), as the writer writes it.
std::size_t escapedLength(const char* value);

// Member writers. `context` may be null (no growth). A null string value is written as "".
char* addString(const tJsonWriterContext* context, char* position, const char* name,
                const char* value);
char* addBool(const tJsonWriterContext* context, char* position, const char* name, bool value);
char* addInt(const tJsonWriterContext* context, char* position, const char* name,
             std::int32_t value);  // "%i"
char* addUnsigned(const tJsonWriterContext* context, char* position, const char* name,
                  std::uint32_t value);  // "%u"
char* addU64(const tJsonWriterContext* context, char* position, const char* name,
             std::uint64_t value);  // "%lu"
char* addI64(const tJsonWriterContext* context, char* position, const char* name,
             std::int64_t value);  // "%li"
// Writes `rawJson` as it stands (unquoted, unescaped); null writes `null`.
char* addRaw(const tJsonWriterContext* context, char* position, const char* name,
             const char* rawJson);
// Writes the name, a colon and an empty object (or array); returns the position of the new
// container's closing bracket, i.e. the insertion point inside it.
char* beginObject(const tJsonWriterContext* context, char* position, const char* name);
char* beginArray(const tJsonWriterContext* context, char* position, const char* name);
// Steps past the closing bracket at `position` (back to the enclosing container's insertion
// point when nothing follows). Null when `position` is not at a closing bracket.
char* endValue(char* position);

// A JSON text held in a growable heap buffer in editable form, e.g. a result list built with
// the writers above. Its grow function doubles the buffer and re-marks it. Never throws: an
// allocation failure shows as a null insertion point or a null from a writer.
class tJsonGrowableBuffer {
 public:
  // Starts with `initialText` ("[]" or "{}" typically) in a buffer of at least `initialSize`.
  explicit tJsonGrowableBuffer(const char* initialText = "[]",
                               std::size_t initialSize = 256) noexcept;
  tJsonGrowableBuffer(const tJsonGrowableBuffer&) = delete;
  tJsonGrowableBuffer& operator=(const tJsonGrowableBuffer&) = delete;
  tJsonGrowableBuffer(tJsonGrowableBuffer&& other) noexcept;
  tJsonGrowableBuffer& operator=(tJsonGrowableBuffer&& other) noexcept;
  ~tJsonGrowableBuffer();

  // Writer context whose grow function enlarges this buffer. Valid while this object lives
  // at the same address.
  const tJsonWriterContext* context() const noexcept { return &context_; }
  // The insertion point of the top-level container as it is right after construction (null
  // when the initial text was not accepted or memory ran out). Writers return the following
  // insertion points; keep those, not this one, once writing has started.
  char* insertionPoint() const noexcept {
    return initialOffset_ >= 0 && buffer_ != nullptr ? buffer_ + initialOffset_ : nullptr;
  }
  const char* text() const noexcept { return buffer_; }
  std::size_t size() const noexcept { return size_; }
  // Upper bound of a buffer (bytes); growth beyond it fails.
  static constexpr std::size_t kMaximumSize = std::size_t{1} << 30;

  static char* grow(void* self, char* position) noexcept;

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::ptrdiff_t initialOffset_ = -1;
  tJsonWriterContext context_{};
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json
