#include "qo/dsc/FoldCase.h"

#include <cstdint>

#include "qo/dsc/Utf8.h"
#include "qo/dsc/exception.h"

namespace qo::dsc {
namespace {

struct CaseFoldRange {
  char32_t first;
  char32_t last;
  std::uint32_t offset;  // position of `first` in kCaseFoldIndex
};

struct CaseFoldMapping {
  std::uint8_t count;
  char32_t folded[kMaxFoldedLength];
};

#include "qo/dsc/CaseFoldTable.inc"

constexpr std::uint32_t kLineFoldInvalidSequence = 88;

// Walks a UTF-8 text one folded code point at a time.
class FoldedReader {
 public:
  explicit FoldedReader(std::string_view text) noexcept
      : p_(reinterpret_cast<const unsigned char*>(text.data())), left_(text.size()) {}

  // Stores the next folded code point in `cp`; false at the end of the text.
  bool next(char32_t& cp) {
    if (pos_ == count_) {
      if (left_ == 0) return false;
      char32_t decoded = 0;
      const std::size_t n = utf8DecodeOne(p_, left_, decoded);
      if (n == 0) {
        throw exception::InvalidSequence(kLineFoldInvalidSequence, exception::kUtf8ToWideSource);
      }
      p_ += n;
      left_ -= n;
      count_ = foldCase(decoded, folded_);
      pos_ = 0;
    }
    cp = folded_[pos_++];
    return true;
  }

 private:
  const unsigned char* p_;
  std::size_t left_;
  char32_t folded_[kMaxFoldedLength] = {};
  std::size_t count_ = 0;
  std::size_t pos_ = 0;
};

}  // namespace

std::size_t foldCase(char32_t codePoint, char32_t (&out)[kMaxFoldedLength]) noexcept {
  out[0] = codePoint;
  if (codePoint < kCaseFoldRanges[0].first) return 1;
  for (const CaseFoldRange& range : kCaseFoldRanges) {
    if (codePoint < range.first) break;  // the ranges are in ascending order
    if (codePoint > range.last) continue;
    const std::uint16_t entry = kCaseFoldIndex[range.offset + (codePoint - range.first)];
    if (entry == 0) return 1;
    const CaseFoldMapping& mapping = kCaseFoldMappings[entry - 1];
    for (std::size_t i = 0; i < mapping.count; ++i) out[i] = mapping.folded[i];
    return mapping.count;
  }
  return 1;
}

bool foldEquals(std::string_view a, std::string_view b) {
  if (a == b) {
    // Identical bytes fold identically; still refuse malformed input consistently.
    utf8CountCharacters(a);
    return true;
  }
  FoldedReader left(a);
  FoldedReader right(b);
  for (;;) {
    char32_t x = 0;
    char32_t y = 0;
    const bool hasX = left.next(x);
    const bool hasY = right.next(y);
    if (!hasX || !hasY) return hasX == hasY;
    if (x != y) return false;
  }
}

}  // namespace qo::dsc
