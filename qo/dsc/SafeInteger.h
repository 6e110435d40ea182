// Growth of vectors whose element count must stay addressable by a 32-bit host index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "qo/dsc/exception.h"

namespace qo::dsc {

// Line reported when a vector would reach kMaxVectorCapacity elements.
inline constexpr std::uint32_t kSafeIntegerLine = 125;
// A capacity that reaches this value is refused.
inline constexpr std::size_t kMaxVectorCapacity = 0xFFFFFFFFu;

// The capacity to grow to from `current` so that `wanted` elements fit: `current` when it is
// already enough, otherwise twice `current` (at least `wanted`), kept below kMaxVectorCapacity.
// Raises OutOfRange when `wanted` itself reaches kMaxVectorCapacity.
constexpr std::size_t checkedGrowCapacity(std::size_t current, std::size_t wanted) {
  if (wanted >= kMaxVectorCapacity) {
    throw exception::OutOfRange(kSafeIntegerLine, exception::kSafeIntegerSource);
  }
  if (wanted <= current) return current;
  std::size_t grown = current < kMaxVectorCapacity / 2 ? current * 2 : kMaxVectorCapacity - 1;
  if (grown >= kMaxVectorCapacity) grown = kMaxVectorCapacity - 1;
  return grown < wanted ? wanted : grown;
}

// Appends `value`, growing the capacity through checkedGrowCapacity. On OutOfRange (or
// std::bad_alloc) the vector is left unchanged.
template <typename T>
void checkedPushBack(std::vector<T>& vector, T value) {
  if (vector.size() == vector.capacity()) {
    vector.reserve(checkedGrowCapacity(vector.capacity(), vector.size() + 1));
  }
  vector.push_back(std::move(value));
}

using WideStringVector = std::vector<std::wstring>;

}  // namespace qo::dsc
