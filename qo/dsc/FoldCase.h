// Case folding for case-insensitive comparison of names.
//
// Inside the ranges U+0041..U+0232, U+1E00..U+1E9B, U+2160..U+216F, U+24B6..U+24CF,
// U+FB00..U+FB06 and U+FF21..U+FF3A a code point folds to its Unicode full case folding
// (CaseFolding.txt, statuses C and F), one to three code points: U+00DF gives "ss", U+0130
// gives U+0069 U+0307, U+FB03 gives "ffi". Every other code point, and a code point of those
// ranges without a folding, folds to itself. The table is generated at build time from the
// system's CaseFolding.txt by qo/dsc/tools/gen_casefold.py.
#pragma once

#include <cstddef>
#include <string_view>

namespace qo::dsc {

inline constexpr std::size_t kMaxFoldedLength = 3;

// Stores the folding of `codePoint` in `out` and returns its length (1 to 3).
std::size_t foldCase(char32_t codePoint, char32_t (&out)[kMaxFoldedLength]) noexcept;

// Whether two UTF-8 texts are equal after folding every character. Raises
// exception::InvalidSequence when either text is malformed (see Utf8.h).
bool foldEquals(std::string_view a, std::string_view b);

}  // namespace qo::dsc
