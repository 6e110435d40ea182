// Conversion between UTF-8 (all text inside the library) and wide strings (32-bit characters,
// one code point each; all text at the host boundary).
//
// Decoding, one sequence at a time (continuation bytes are 0x80..0xBF):
//   lead 0x00..0x7F   1 byte
//   lead 0xC2..0xDF   2 bytes                 (0xC0 and 0xC1 are refused: overlong)
//   lead 0xE0..0xEF   3 bytes                 after 0xE0 the second byte must be >= 0xA0
//   lead 0xF0..0xF7   4 bytes                 after 0xF0 the second byte must be >= 0x90
//   lead 0xF8..0xFB   5 bytes (0x200000..)    after 0xF8 the second byte must be >= 0x88
//   lead 0xFC..0xFD   6 bytes (0x4000000..)   after 0xFC the second byte must be >= 0x84
//   lead 0x80..0xBF, 0xFE, 0xFF               refused
// The five- and six-byte forms are accepted because the encoder writes them for values from
// 0x200000 to 0x7FFFFFFF; the checks are the same as for the shorter forms (strict continuation
// bytes, shortest form only), so every accepted text is exactly what the encoder writes back
// for the decoded characters. Surrogate code points and values above 0x10FFFF are accepted in
// every form that can express them. A refused byte, a missing continuation byte or a sequence
// cut off by the end of the text raises exception::InvalidSequence; nothing is returned then.
//
// Encoding of one wide character (taken as an unsigned 32-bit value): 1 byte below 0x80,
// 2 below 0x800, 3 below 0x10000, 4 below 0x200000, 5 below 0x4000000, 6 below 0x80000000;
// a value of 0x80000000 or more is written as "?".
//
// Both directions measure first, size the result exactly, then convert. The variants writing
// into a caller's buffer raise exception::BufferOverflow before writing anything when the
// buffer cannot hold the result and its terminating NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qo::dsc {

static_assert(sizeof(wchar_t) == 4, "wide strings hold one 32-bit code point per character");

// The largest UTF-8 text handed across the host boundary, in bytes.
inline constexpr std::size_t kMaxHostTextBytes = 0xFFFFFFFFu;
// The longest sequence the encoder writes.
inline constexpr std::size_t kMaxUtf8SequenceLength = 6;

// Decodes the sequence at the start of `data` (at most `size` bytes). Returns its length and
// stores the value in `codePoint`, or returns 0 when the sequence is refused or cut off.
std::size_t utf8DecodeOne(const unsigned char* data, std::size_t size,
                          char32_t& codePoint) noexcept;

// Number of bytes the encoder writes for `value` (1..6).
std::size_t utf8EncodedLength(std::uint32_t value) noexcept;
// Writes the encoding of `value` to `out` (room for kMaxUtf8SequenceLength bytes) and returns
// its length.
std::size_t utf8EncodeOne(std::uint32_t value, char* out) noexcept;

// Number of characters in `text`; raises InvalidSequence on malformed input.
std::size_t utf8CountCharacters(std::string_view text);

std::wstring utf8ToWide(std::string_view text);
// Decodes into `out` (capacity `outSize` characters, including the terminating NUL written
// after the text) and returns the number of characters before the NUL.
std::size_t utf8ToWide(std::string_view text, wchar_t* out, std::size_t outSize);

// Number of bytes wideToUtf8 produces for `wide`.
std::size_t wideUtf8Length(std::wstring_view wide) noexcept;

std::string wideToUtf8(std::wstring_view wide);
// A NUL-terminated host string; null raises InvalidArgument.
std::string wideToUtf8(const wchar_t* wide);
// Encodes into `out` (capacity `outSize` bytes, including the terminating NUL written after
// the text) and returns the number of bytes before the NUL.
std::size_t wideToUtf8(std::wstring_view wide, char* out, std::size_t outSize);

// Length to which a text of `size` bytes is cut so that it holds at most `limit` bytes: `size`
// itself when it fits, otherwise `limit` moved back over continuation bytes (0x80..0xBF) so
// that no character is split.
std::size_t clampUtf8Length(const char* data, std::size_t size, std::size_t limit) noexcept;
// The text cut to at most kMaxHostTextBytes bytes at a character boundary.
std::string_view clampUtf8(std::string_view text) noexcept;
void clampUtf8(std::string& text) noexcept;

}  // namespace qo::dsc
