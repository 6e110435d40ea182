// Allocation that reports exhaustion into a tStatus instead of throwing. Platform code allocates
// through these helpers so a failed allocation becomes kMemoryFull (-52000) in the caller's
// status, reported from "qoapal/protons/cppNewDelete/memoryAllocation".
//
// Every helper does nothing and returns null when the status is null or already holds an error.
// Memory from allocateWithStatus / allocateArrayWithStatus is released with freeAllocation.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

inline constexpr char kMemoryAllocationSource[] = "qoapal/protons/cppNewDelete/memoryAllocation";

// `size` bytes (suitably aligned for any fundamental type) or null. A size of 0 gives a unique
// non-null block, like operator new.
void* allocateWithStatus(std::size_t size, tStatus* status) noexcept;

// Room for `count` elements of `elementSize` bytes each, or null. A product that does not fit
// in size_t can never be allocated: it sets kMemoryFull without asking the allocator.
void* allocateArrayWithStatus(std::size_t count, std::size_t elementSize, tStatus* status) noexcept;

// Releases a block from either helper above; null is ignored.
void freeAllocation(void* block) noexcept;

// Typed forms for the platform's own records. The object is constructed in place; its
// constructor must not throw (the platform layer never throws).
template <typename T, typename... Args>
T* newWithStatus(tStatus* status, Args&&... args) noexcept {
  static_assert(std::is_nothrow_constructible_v<T, Args...>,
                "objects built with a status must be constructible without throwing");
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  void* block = allocateWithStatus(sizeof(T), status);
  if (block == nullptr) return nullptr;
  return ::new (block) T(std::forward<Args>(args)...);
}

template <typename T>
void deleteWithStatus(T* object) noexcept {
  if (object == nullptr) return;
  object->~T();
  freeAllocation(object);
}

// Array of `count` value-initialised elements of a trivially destructible type (so it can be
// released with freeAllocation alone).
template <typename T>
T* newArrayWithStatus(std::size_t count, tStatus* status) noexcept {
  static_assert(std::is_trivially_destructible_v<T> && std::is_nothrow_default_constructible_v<T>);
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  void* block = allocateArrayWithStatus(count, sizeof(T), status);
  // Also tells the compiler the loop below cannot run past the address space.
  if (block == nullptr || count > static_cast<std::size_t>(-1) / sizeof(T)) return nullptr;
  T* elements = static_cast<T*>(block);
  for (std::size_t i = 0; i < count; ++i) ::new (static_cast<void*>(elements + i)) T();
  return elements;
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
