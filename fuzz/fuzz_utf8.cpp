// Decodes arbitrary bytes. Accepted input must encode back to exactly the same bytes, and the
// buffer variant must agree with the string variant. Cutting with clampUtf8Length at any limit
// must never split a character of an accepted text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "qo/dsc/FoldCase.h"
#include "qo/dsc/Utf8.h"
#include "qo/dsc/exception.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Whether `pos` is the start of a character (or the end) of an accepted text.
bool atBoundary(std::string_view text, std::size_t pos) {
  return pos == text.size() || (static_cast<unsigned char>(text[pos]) & 0xC0u) != 0x80u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::wstring wide;
  bool accepted = true;
  try {
    wide = qo::dsc::utf8ToWide(text);
  } catch (const qo::dsc::exception::InvalidSequence&) {
    accepted = false;
  }

  // The clamp never reads past the text and never grows it.
  const std::size_t limit = size == 0 ? 0 : data[0] % (size + 1);
  const std::size_t cut = qo::dsc::clampUtf8Length(text.data(), text.size(), limit);
  check(cut <= size);
  check(size <= limit ? cut == size : cut <= limit);

  if (!accepted) return 0;

  check(wide.size() == qo::dsc::utf8CountCharacters(text));
  check(qo::dsc::wideToUtf8(wide) == text);
  check(qo::dsc::wideUtf8Length(wide) == size);

  // The cut is at a character boundary, at most one sequence before the limit, and the
  // remaining text is still accepted.
  check(atBoundary(text, cut));
  if (size > limit) check(limit - cut < qo::dsc::kMaxUtf8SequenceLength);
  const std::wstring head = qo::dsc::utf8ToWide(text.substr(0, cut));
  check(wide.compare(0, head.size(), head) == 0);

  // Buffer variants agree with the string variants.
  std::wstring buffer(wide.size() + 1, L'\0');
  check(qo::dsc::utf8ToWide(text, buffer.data(), buffer.size()) == wide.size());
  check(buffer.compare(0, wide.size(), wide) == 0);
  std::string narrow(size + 1, '\0');
  check(qo::dsc::wideToUtf8(wide, narrow.data(), narrow.size()) == size);
  check(narrow.compare(0, size, text) == 0);

  // A text equals its own folding, character by character (folding is idempotent).
  std::wstring folded;
  for (const wchar_t c : wide) {
    char32_t out[qo::dsc::kMaxFoldedLength];
    const std::size_t n = qo::dsc::foldCase(static_cast<char32_t>(c), out);
    for (std::size_t i = 0; i < n; ++i) folded.push_back(static_cast<wchar_t>(out[i]));
  }
  const std::string foldedText = qo::dsc::wideToUtf8(folded);
  check(qo::dsc::foldEquals(text, foldedText));
  check(qo::dsc::foldEquals(foldedText, text));
  return 0;
}
