// What the JSON reader and writer share: strict UTF-8 well-formedness (JSON text is UTF-8 without
// overlong forms, UTF-16 surrogates or code points above U+10FFFF) and the two-character escapes.
#pragma once

#include <cstddef>

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json {

// JSON's two-character escapes: the letter after the backslash and the byte it stands for. The
// reader takes every one; the writer escapes each byte here but the solidus, which it writes as
// it is.
struct tShortEscape {
  unsigned char letter;
  unsigned char byte;
};
inline constexpr tShortEscape kShortEscapes[] = {{'"', '"'},  {'\\', '\\'}, {'/', '/'},
                                                 {'b', '\b'}, {'f', '\f'},  {'n', '\n'},
                                                 {'r', '\r'}, {'t', '\t'}};

// Length of the well-formed UTF-8 sequence starting at p (lead byte >= 0x80) and ending before
// `end`, or 0 when it is malformed or cut off.
inline std::size_t wellFormedUtf8Length(const unsigned char* p, const unsigned char* end) {
  const unsigned char c = p[0];
  std::size_t n;
  unsigned char low = 0x80, high = 0xbf;  // range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    if (c == 0xe0) low = 0xa0;
    if (c == 0xed) high = 0x9f;  // no UTF-16 surrogates
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    if (c == 0xf0) low = 0x90;
    if (c == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) < n) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if ((p[i] & 0xc0) != 0x80) return 0;
  }
  return n;
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json
