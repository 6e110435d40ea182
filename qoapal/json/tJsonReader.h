// In-place JSON reader.
//
// The reader tokenizes JSON text where it lies: it never copies the text into a tree, it returns
// positions into the text and tokens {type, start, length, flag}. A reader is bound to one text
// span [begin, end) and never reads outside it, so it is safe on text that is not NUL-terminated
// (give the length) and on text that must be NUL-terminated within a bound (`bounded`).
//
// Grammar: whitespace is space, tab, line feed and carriage return. Numbers are an optional
// minus, digits, optionally a point and digits, optionally e/E, an optional sign and digits
// (a point or exponent not followed by digits ends the number before it). Strings are quoted,
// hold no control characters (bytes below 32), only well-formed UTF-8 (any byte from 0x80 up
// with withAnyStringBytes), and the escapes \" \/
// \\ \b \f \n \r \t and \u with exactly four hexadecimal digits. Literals are true, false and
// null. A comma directly before a closing bracket is an error (kind 8).
//
// Errors: a failing call returns null and leaves in its token type 0, `start` at the position
// of the error and the error kind in `flag`:
//   1 no input (no text, only whitespace, or a position outside the text)
//   2 string expected (also: a value that starts like no value, a malformed number or literal)
//   3 object expected or not closed        4 array expected or not closed
//   5 ':' expected                          6 ',' or closing bracket expected
//   7 bad character or escape in a string (also: text ends inside a string)
//   8 comma before a closing bracket
//   9 nesting deeper than kMaximumDepth (512) containers
//  10 text not NUL-terminated within the bound given to `bounded`
//
// Nesting: containers are checked without recursion; more than kMaximumDepth open containers
// are refused with kind 9 so no input can exhaust memory or the stack.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json {

// Token types.
inline constexpr int kTypeInvalid = 0;
inline constexpr int kTypeNull = 1;
inline constexpr int kTypeBoolean = 2;
inline constexpr int kTypeNumber = 3;
inline constexpr int kTypeString = 4;
inline constexpr int kTypeArray = 5;
inline constexpr int kTypeObject = 6;

// Error kinds (in the `flag` of an invalid token).
inline constexpr int kErrorNone = 0;
inline constexpr int kErrorNoInput = 1;
inline constexpr int kErrorStringExpected = 2;
inline constexpr int kErrorObject = 3;
inline constexpr int kErrorArray = 4;
inline constexpr int kErrorColonExpected = 5;
inline constexpr int kErrorCommaOrCloseExpected = 6;
inline constexpr int kErrorBadString = 7;
inline constexpr int kErrorCommaBeforeClose = 8;
inline constexpr int kErrorTooDeep = 9;
inline constexpr int kErrorNotTerminated = 10;

struct tJsonToken {
  int type = kTypeInvalid;
  // String: the raw characters between the quotes. Other values: the value's text (containers
  // read shallowly: the opening bracket only). Error: the position of the error.
  const char* start = nullptr;
  std::size_t length = 0;
  // Number: it has a fraction or exponent. Boolean: its value. Error: the error kind.
  int flag = 0;

  bool isError() const { return type == kTypeInvalid; }
  int errorKind() const { return type == kTypeInvalid ? flag : kErrorNone; }
};

class tJsonReader {
 public:
  static constexpr int kMaximumDepth = 512;

  // No input: every read fails with kind 1.
  tJsonReader() noexcept = default;
  // A NUL-terminated text (null: no input).
  explicit tJsonReader(const char* text) noexcept;
  // Exactly `length` bytes at `data`; no NUL terminator needed (a NUL byte inside is simply an
  // invalid character).
  tJsonReader(const char* data, std::size_t length) noexcept;
  // A text that must be NUL-terminated within its first `maxLength` bytes; when it is not,
  // every read fails with kind 10 and nothing past `maxLength` bytes is read.
  static tJsonReader bounded(const char* text, std::size_t maxLength) noexcept;

  // The same reader, except that strings may hold any bytes from 0x80 up, UTF-8 or not (control
  // characters and the escape rules still hold). For texts whose strings are compared as bytes
  // and never decoded for output, such as a host's route requests.
  tJsonReader withAnyStringBytes() const noexcept {
    tJsonReader reader = *this;
    reader.anyStringBytes_ = true;
    return reader;
  }

  const char* begin() const noexcept { return begin_; }
  const char* end() const noexcept { return end_; }

  // Reads the value at `position` (leading whitespace skipped) completely, containers included;
  // returns the position after it.
  const char* readValue(const char* position, tJsonToken& token) const noexcept;
  // Reads the value at `position` shallowly (for an object or array only the opening bracket
  // is checked); returns the position of its first character.
  const char* peekValue(const char* position, tJsonToken& token) const noexcept;

  // Member iteration. `firstMember` takes the position of an object, `nextMember` the position
  // of the current member's value (which it skips). Both return the position of the member's
  // value with `key` holding the key string and `found` true; at the end of the object `found`
  // is false and the position after the closing brace is returned. Null on a syntax error, with
  // the error in `key`.
  const char* firstMember(const char* objectPosition, tJsonToken& key, bool& found) const noexcept;
  const char* nextMember(const char* valuePosition, tJsonToken& key, bool& found) const noexcept;

  // Element iteration: the position of the first / next element, null at the end of the array
  // or on a syntax error (told apart by `error`, when given: kind 0 at the end).
  const char* firstElement(const char* arrayPosition, tJsonToken* error = nullptr) const noexcept;
  const char* nextElement(const char* elementPosition, tJsonToken* error = nullptr) const noexcept;

  // The value position of the first member whose decoded key equals `name`, or null.
  const char* findMember(const char* objectPosition, const char* name) const noexcept;

  // The raw string (between the quotes, escapes not decoded) at `position`, its length in
  // `*length`; `defaultValue` (length strlen, 0 for null) when the value is not a string.
  const char* getString(const char* position, const char* defaultValue,
                        std::size_t* length) const noexcept;
  // Numbers: integers in decimal; numbers with fraction or exponent are read as doubles
  // (independently of the C locale) and truncated toward zero. The integer value, saturated to
  // the range of a 64-bit signed integer, is taken modulo 2^32 (so -1 read unsigned is
  // 4294967295). Any other value, or an error, gives `defaultValue`.
  std::int32_t getInt(const char* position, std::int32_t defaultValue) const noexcept;
  std::uint32_t getUnsigned(const char* position, std::uint32_t defaultValue) const noexcept;
  bool getBool(const char* position, bool defaultValue) const noexcept;

  // Decodes the raw string `raw[0, length)` (escapes replaced, \u escapes and surrogate pairs
  // turned into UTF-8) into `out`, NUL-terminated. The decoded text never needs more than
  // `length` + 1 bytes. Fails (false) on a bad or truncated escape, an unpaired surrogate, or
  // when `outSize` is too small; nothing is written at or past out + outSize. `*outLength`
  // (optional) receives the decoded length; a \u0000 escape decodes to a NUL byte inside it.
  static bool decodeString(const char* raw, std::size_t length, char* out, std::size_t outSize,
                           std::size_t* outLength = nullptr) noexcept;
  // Whether the raw string decodes to exactly the NUL-terminated `name`.
  static bool decodedEquals(const char* raw, std::size_t length, const char* name) noexcept;

 private:
  const char* checkPosition(const char* position, tJsonToken& token) const noexcept;
  const char* skipSpace(const char* p) const noexcept;
  const char* parse(const char* p, tJsonToken& token, bool deep) const noexcept;
  const char* skipMemberName(const char* p, tJsonToken& token) const noexcept;
  const char* memberHead(const char* p, tJsonToken& key, bool& found) const noexcept;
  bool integerValue(const char* position, std::int64_t& value) const noexcept;

  const char* begin_ = nullptr;
  const char* end_ = nullptr;
  int failure_ = kErrorNoInput;  // kind reported for every read when the input is unusable
  bool anyStringBytes_ = false;  // strings are not checked for UTF-8
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json
