// Checked narrowing of sizes. A host string carries a 32-bit length, so a wide string longer
// than 0xFFFFFFFF characters cannot become one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "qo/dsc/exception.h"

namespace qo::dsc {

// Line reported when a value does not fit its target type.
inline constexpr std::uint32_t kNumericCastLine = 67;

// `value` converted to `To`; raises OutOfRange when it does not fit.
template <typename To, typename From>
constexpr To numericCast(From value) {
  static_assert(std::is_integral_v<To> && std::is_integral_v<From>,
                "numericCast converts between integer types");
  if (!std::in_range<To>(value)) {
    throw exception::OutOfRange(kNumericCastLine, exception::kNumericCastSource);
  }
  return static_cast<To>(value);
}

// The most characters a host string can hold.
inline constexpr std::size_t kMaxHostStringLength = 0xFFFFFFFFu;

// The 32-bit length of a host string holding `length` characters; raises OutOfRange when the
// length does not fit.
constexpr std::uint32_t hostStringLength(std::size_t length) {
  return numericCast<std::uint32_t>(length);
}

}  // namespace qo::dsc
