// Host wide strings. One heap block (from malloc) holds a 32-bit unsigned length in characters,
// the characters, and a 32-bit zero; the string pointer points at the first character, four bytes
// into the block. Strings given to the host are fresh blocks the host frees the same way.
//
// Allocation gives a null string when the block size (length + 2) * 4 does not fit in 32 bits or
// the heap is exhausted; callers report that as E_OUTOFMEMORY.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

class CqoBStr {
 public:
  // --- Raw block operations -------------------------------------------------------------------
  // Copies a NUL-terminated wide string; a null source gives a null string.
  static wchar_t* alloc(const wchar_t* text) noexcept;
  // Copies `length` characters from `text` (which need not be terminated; embedded NULs are
  // kept); a null source gives a null string.
  static wchar_t* alloc(const wchar_t* text, std::size_t length) noexcept;
  // Frees a string made by alloc (or by a host using the same convention); null does nothing.
  static void free(wchar_t* text) noexcept;
  // The length prefix of a host string; 0 for a null string.
  static std::uint32_t length(const wchar_t* text) noexcept;
  // Block size in bytes for a string of `length` characters; nothing when it does not fit 32 bits.
  static std::optional<std::uint32_t> blockSize(std::size_t length) noexcept;

  // --- Owner ----------------------------------------------------------------------------------
  CqoBStr() noexcept = default;
  // Takes ownership of a host string.
  explicit CqoBStr(wchar_t* owned) noexcept : p_(owned) {}
  // Copy of a NUL-terminated wide string; throws std::bad_alloc when the copy cannot be made.
  explicit CqoBStr(const wchar_t* text);
  CqoBStr(const CqoBStr& other);
  CqoBStr(CqoBStr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  CqoBStr& operator=(const CqoBStr& other);
  CqoBStr& operator=(CqoBStr&& other) noexcept;
  ~CqoBStr() { free(p_); }

  wchar_t* get() const noexcept { return p_; }
  std::uint32_t size() const noexcept { return length(p_); }
  bool isNull() const noexcept { return p_ == nullptr; }
  // Gives up ownership (e.g. to hand the string to the host).
  wchar_t* detach() noexcept { return std::exchange(p_, nullptr); }
  // Frees the current string and takes ownership of `owned`.
  void reset(wchar_t* owned = nullptr) noexcept;

 private:
  wchar_t* p_ = nullptr;
};

static_assert(sizeof(CqoBStr) == sizeof(wchar_t*));
