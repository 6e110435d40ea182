#include "qo/dsc/Utf8.h"

#include <iterator>

#include "qo/dsc/exception.h"

namespace qo::dsc {
namespace {

// Lines reported by the exceptions raised here.
constexpr std::uint32_t kLineInvalidSequence = 58;
constexpr std::uint32_t kLineDecodeBufferOverflow = 74;
constexpr std::uint32_t kLineEncodeBufferOverflow = 61;
constexpr std::uint32_t kLineEncodeNullArgument = 39;

const unsigned char* bytesOf(std::string_view text) noexcept {
  return reinterpret_cast<const unsigned char*>(text.data());
}

[[noreturn]] void raiseInvalidSequence() {
  throw exception::InvalidSequence(kLineInvalidSequence, exception::kUtf8ToWideSource);
}

// The form a lead byte below `below` opens: the sequence length, the bits of the value it
// carries, and for its length's lowest lead the smallest second byte giving the shortest form
// (0xE0, 0xF0, 0xF8 and 0xFC open overlong forms with a smaller one).
struct tLeadForm {
  unsigned below;
  std::size_t length;
  unsigned valueBits;
  unsigned lowestLead;
  unsigned minSecond;
};
constexpr tLeadForm kLeadForms[] = {
    {0xE0, 2, 0x1F, 0xC2, 0x80}, {0xF0, 3, 0x0F, 0xE0, 0xA0}, {0xF8, 4, 0x07, 0xF0, 0x90},
    {0xFC, 5, 0x03, 0xF8, 0x88}, {0xFE, 6, 0x01, 0xFC, 0x84},
};

// Decodes a text already validated by utf8CountCharacters.
void decodeValidated(std::string_view text, wchar_t* out) noexcept {
  const unsigned char* p = bytesOf(text);
  std::size_t left = text.size();
  while (left != 0) {
    if (*p < 0x80) {
      *out++ = static_cast<wchar_t>(*p++);
      --left;
      continue;
    }
    char32_t cp = 0;
    const std::size_t n = utf8DecodeOne(p, left, cp);
    *out++ = static_cast<wchar_t>(cp);  // at most 0x7FFFFFFF: fits
    p += n;
    left -= n;
  }
}

void encodeMeasured(std::wstring_view wide, char* out) noexcept {
  for (const wchar_t c : wide) {
    out += utf8EncodeOne(static_cast<std::uint32_t>(c), out);
  }
}

}  // namespace

std::size_t utf8DecodeOne(const unsigned char* data, std::size_t size,
                          char32_t& codePoint) noexcept {
  if (size == 0) return 0;
  const unsigned lead = data[0];
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  if (lead < 0xC2) return 0;  // continuation byte, or the overlong leads 0xC0 / 0xC1
  const tLeadForm* form = kLeadForms;
  while (form != std::end(kLeadForms) && lead >= form->below) ++form;
  if (form == std::end(kLeadForms)) return 0;
  const std::size_t length = form->length;
  if (size < length) return 0;
  if (data[1] < (lead == form->lowestLead ? form->minSecond : 0x80u)) return 0;
  char32_t value = lead & form->valueBits;
  for (std::size_t i = 1; i < length; ++i) {
    if ((data[i] & 0xC0u) != 0x80u) return 0;
    value = (value << 6) | (data[i] & 0x3Fu);
  }
  codePoint = value;
  return length;
}

std::size_t utf8EncodedLength(std::uint32_t value) noexcept {
  if (value < 0x80u) return 1;
  if (value < 0x800u) return 2;
  if (value < 0x10000u) return 3;
  if (value < 0x200000u) return 4;
  if (value < 0x4000000u) return 5;
  if (value < 0x80000000u) return 6;
  return 1;  // "?"
}

std::size_t utf8EncodeOne(std::uint32_t value, char* out) noexcept {
  const std::size_t length = utf8EncodedLength(value);
  if (length == 1) {
    out[0] = value < 0x80u ? static_cast<char>(value) : '?';
    return 1;
  }
  static constexpr unsigned char kLeadMark[kMaxUtf8SequenceLength + 1] = {0,    0,    0xC0, 0xE0,
                                                                          0xF0, 0xF8, 0xFC};
  for (std::size_t i = length - 1; i > 0; --i) {
    out[i] = static_cast<char>(0x80u | (value & 0x3Fu));
    value >>= 6;
  }
  out[0] = static_cast<char>(kLeadMark[length] | value);
  return length;
}

std::size_t utf8CountCharacters(std::string_view text) {
  const unsigned char* p = bytesOf(text);
  std::size_t left = text.size();
  std::size_t count = 0;
  while (left != 0) {
    if (*p < 0x80) {
      ++p;
      --left;
    } else {
      char32_t cp = 0;
      const std::size_t n = utf8DecodeOne(p, left, cp);
      if (n == 0) raiseInvalidSequence();
      p += n;
      left -= n;
    }
    ++count;
  }
  return count;
}

std::wstring utf8ToWide(std::string_view text) {
  const std::size_t count = utf8CountCharacters(text);
  std::wstring wide(count, L'\0');
  decodeValidated(text, wide.data());
  return wide;
}

std::size_t utf8ToWide(std::string_view text, wchar_t* out, std::size_t outSize) {
  const std::size_t count = utf8CountCharacters(text);
  if (out == nullptr || outSize == 0 || count > outSize - 1) {
    throw exception::BufferOverflow(kLineDecodeBufferOverflow, exception::kUtf8ToWideSource);
  }
  decodeValidated(text, out);
  out[count] = L'\0';
  return count;
}

std::size_t wideUtf8Length(std::wstring_view wide) noexcept {
  // A wide string holds at most SIZE_MAX / 4 characters, so six bytes each cannot overflow.
  std::size_t length = 0;
  for (const wchar_t c : wide) length += utf8EncodedLength(static_cast<std::uint32_t>(c));
  return length;
}

std::string wideToUtf8(std::wstring_view wide) {
  std::string text(wideUtf8Length(wide), '\0');
  encodeMeasured(wide, text.data());
  return text;
}

std::string wideToUtf8(const wchar_t* wide) {
  if (wide == nullptr) {
    throw exception::InvalidArgument(kLineEncodeNullArgument, exception::kWideToUtf8Source);
  }
  return wideToUtf8(std::wstring_view(wide));
}

std::size_t wideToUtf8(std::wstring_view wide, char* out, std::size_t outSize) {
  const std::size_t length = wideUtf8Length(wide);
  if (out == nullptr || outSize == 0 || length > outSize - 1) {
    throw exception::BufferOverflow(kLineEncodeBufferOverflow, exception::kWideToUtf8Source);
  }
  encodeMeasured(wide, out);
  out[length] = '\0';
  return length;
}

std::size_t clampUtf8Length(const char* data, std::size_t size, std::size_t limit) noexcept {
  if (size <= limit) return size;
  std::size_t cut = limit;  // data[cut] is the first byte left out
  while (cut > 0 && (static_cast<unsigned char>(data[cut]) & 0xC0u) == 0x80u) --cut;
  return cut;
}

std::string_view clampUtf8(std::string_view text) noexcept {
  return text.substr(0, clampUtf8Length(text.data(), text.size(), kMaxHostTextBytes));
}

void clampUtf8(std::string& text) noexcept {
  const std::size_t length = clampUtf8Length(text.data(), text.size(), kMaxHostTextBytes);
  if (length < text.size()) text.resize(length);  // shrinking never allocates
}

}  // namespace qo::dsc
