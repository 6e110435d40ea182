#include "sysapicpp/com/CqoBStr.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>
#include <new>

namespace {
constexpr std::size_t kPrefixChars = 1;  // the 32-bit length prefix occupies one wchar_t slot
static_assert(sizeof(wchar_t) == sizeof(std::uint32_t));
}  // namespace

std::optional<std::uint32_t> CqoBStr::blockSize(std::size_t length) noexcept {
  constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
  // (length + 2) * 4 <= kMax, written so that nothing can overflow.
  if (length > kMax / sizeof(wchar_t) - 2) return std::nullopt;
  return static_cast<std::uint32_t>((length + 2) * sizeof(wchar_t));
}

wchar_t* CqoBStr::alloc(const wchar_t* text, std::size_t length) noexcept {
  if (text == nullptr) return nullptr;
  const std::optional<std::uint32_t> size = blockSize(length);
  if (!size) return nullptr;
  auto* block = static_cast<std::uint32_t*>(std::malloc(*size));
  if (block == nullptr) return nullptr;
  block[0] = static_cast<std::uint32_t>(length);
  wchar_t* chars = reinterpret_cast<wchar_t*>(block + kPrefixChars);
  if (length != 0) std::memcpy(chars, text, length * sizeof(wchar_t));
  chars[length] = L'\0';
  return chars;
}

wchar_t* CqoBStr::alloc(const wchar_t* text) noexcept {
  if (text == nullptr) return nullptr;
  return alloc(text, std::wcslen(text));
}

void CqoBStr::free(wchar_t* text) noexcept {
  if (text == nullptr) return;
  std::free(reinterpret_cast<std::uint32_t*>(text) - kPrefixChars);
}

std::uint32_t CqoBStr::length(const wchar_t* text) noexcept {
  if (text == nullptr) return 0;
  return reinterpret_cast<const std::uint32_t*>(text)[-1];
}

CqoBStr::CqoBStr(const wchar_t* text) : p_(alloc(text)) {
  if (text != nullptr && p_ == nullptr) throw std::bad_alloc();
}

CqoBStr::CqoBStr(const CqoBStr& other) : p_(alloc(other.p_, length(other.p_))) {
  if (other.p_ != nullptr && p_ == nullptr) throw std::bad_alloc();
}

CqoBStr& CqoBStr::operator=(const CqoBStr& other) {
  if (this != &other) {
    CqoBStr copy(other);
    *this = std::move(copy);
  }
  return *this;
}

CqoBStr& CqoBStr::operator=(CqoBStr&& other) noexcept {
  if (this != &other) reset(std::exchange(other.p_, nullptr));
  return *this;
}

void CqoBStr::reset(wchar_t* owned) noexcept {
  wchar_t* old = std::exchange(p_, owned);
  if (old != owned) free(old);
}
