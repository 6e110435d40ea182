// The replaced allocation functions of the out-of-memory test program. Every form of operator
// new and delete is defined here, so the library's allocations reach this file; without a
// sanitizer malloc, calloc and realloc are replaced as well (over glibc's own entry points),
// because the library, its host strings and the C++ runtime also allocate from the C heap.
#include "oom_injector.h"

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QO_OOM_HEAP_REPLACED 0
#else
#define QO_OOM_HEAP_REPLACED 1
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
#endif

namespace {

// Initial-exec thread-locals of the executable: reading them never allocates.
thread_local bool tArmed = false;
thread_local long tSeen = 0;
thread_local long tFailAt = 0;
thread_local bool tFailed = false;

// True when this allocation is the one to fail.
bool failHere() {
  if (!tArmed) return false;
  ++tSeen;
  if (tSeen != tFailAt) return false;
  tFailed = true;
  return true;
}

void* rawMalloc(std::size_t size) {
#if QO_OOM_HEAP_REPLACED
  return __libc_malloc(size);
#else
  return std::malloc(size);
#endif
}

void* allocate(std::size_t size) {
  if (failHere()) return nullptr;
  return rawMalloc(size == 0 ? 1 : size);
}

void* allocateAligned(std::size_t size, std::align_val_t align) {
  if (failHere()) return nullptr;
  const auto a = static_cast<std::size_t>(align);
  return std::aligned_alloc(a, (size + a - 1) / a * a + (size == 0 ? a : 0));
}

void* orThrow(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

namespace oom {
bool heapFunctionsCovered() { return QO_OOM_HEAP_REPLACED != 0; }
Armed::Armed(long failAt) {
  tSeen = 0;
  tFailAt = failAt;
  tFailed = false;
  tArmed = true;
}
Armed::~Armed() { tArmed = false; }
long Armed::seen() const { return tSeen; }
bool Armed::failed() const { return tFailed; }
}  // namespace oom

void* operator new(std::size_t size) { return orThrow(allocate(size)); }
void* operator new[](std::size_t size) { return orThrow(allocate(size)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t a) { return orThrow(allocateAligned(size, a)); }
void* operator new[](std::size_t size, std::align_val_t a) {
  return orThrow(allocateAligned(size, a));
}
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocateAligned(size, a);
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocateAligned(size, a);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

#if QO_OOM_HEAP_REPLACED
extern "C" void* malloc(std::size_t size) {
  return failHere() ? nullptr : __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  return failHere() ? nullptr : __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, std::size_t size) {
  return failHere() ? nullptr : __libc_realloc(p, size);
}
#endif
