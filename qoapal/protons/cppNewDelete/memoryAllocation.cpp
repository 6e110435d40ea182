#include "qoapal/protons/cppNewDelete/memoryAllocation.h"

#include "qoapal/component.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {
namespace {

using Codes = nQOAPALS100::tStatus;

bool blocked(const tStatus* status) { return status == nullptr || status->isFatal(); }

}  // namespace

void* allocateWithStatus(std::size_t size, tStatus* status) noexcept {
  if (blocked(status)) return nullptr;
  void* block = ::operator new(size, std::nothrow);
  if (block == nullptr) {
    status->setCode(Codes::kMemoryFull, kComponentName, kMemoryAllocationSource, __LINE__);
  }
  return block;
}

void* allocateArrayWithStatus(std::size_t count, std::size_t elementSize,
                              tStatus* status) noexcept {
  if (blocked(status)) return nullptr;
  std::size_t total = 0;
  if (__builtin_mul_overflow(count, elementSize, &total)) {
    status->setCode(Codes::kMemoryFull, kComponentName, kMemoryAllocationSource, __LINE__);
    return nullptr;
  }
  void* block = ::operator new(total, std::nothrow);
  if (block == nullptr) {
    status->setCode(Codes::kMemoryFull, kComponentName, kMemoryAllocationSource, __LINE__);
  }
  return block;
}

void freeAllocation(void* block) noexcept { ::operator delete(block); }

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
