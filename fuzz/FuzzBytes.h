// Helpers shared by the fuzz targets: an abort that the fuzzer reports as a crash with the
// input that caused it, and a reader that turns the input into numbers, flags and byte runs
// (zeros once the input is used up, so every input is a complete run).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace qofuzz {

// An invariant of the code under test; a failure is a finding, not a rejected input.
inline void check(bool condition) {
  if (!condition) std::abort();
}

class tBytes {
 public:
  tBytes(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

  bool empty() const noexcept { return at_ >= size_; }
  std::size_t left() const noexcept { return empty() ? 0 : size_ - at_; }

  std::uint8_t u8() noexcept { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t u16() noexcept { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
  std::uint32_t u32() noexcept { return u16() | (static_cast<std::uint32_t>(u16()) << 16); }
  std::uint64_t u64() noexcept { return u32() | (static_cast<std::uint64_t>(u32()) << 32); }

  // Copies the next `size` bytes to `out` (zeros past the end of the input).
  void fill(void* out, std::size_t size) noexcept {
    auto* p = static_cast<std::uint8_t*>(out);
    const std::size_t n = size < left() ? size : left();
    if (n != 0) std::memcpy(p, data_ + at_, n);
    if (size > n) std::memset(p + n, 0, size - n);
    at_ += n;
  }

  // Up to `max` bytes, the length taken from the input.
  std::string text(std::size_t max) {
    const std::size_t n = u8() % (max + 1);
    std::string s(n < left() ? n : left(), '\0');
    fill(s.data(), s.size());
    return s;
  }

  // The rest of the input.
  std::string_view rest() noexcept {
    const std::size_t n = left();
    const char* start = reinterpret_cast<const char*>(data_) + (size_ - n);
    at_ = size_;
    return {start, n};
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace qofuzz
