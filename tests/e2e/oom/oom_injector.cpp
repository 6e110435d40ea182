// The replaced allocation functions of the out-of-memory test program. Every form of operator
// new and delete is defined here, so the library's allocations reach this file; without a
// sanitizer malloc, calloc and realloc are replaced as well (over glibc's own entry points),
// because the library, its host strings and the C++ runtime also allocate from the C heap.
#include "oom_injector.h"

#include <dlfcn.h>
#include <glob.h>
#include <link.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
thread_local bool tExempt = false;  // the thread that armed the workers
thread_local bool tInGlob = false;  // inside glibc's glob (see glob below)
std::atomic<bool> gWorkersArmed{false};
std::atomic<long> gWorkersSeen{0};
std::atomic<long> gWorkersFailAt{0};

constexpr std::size_t kDirectoryStreamSize = 32 * 1024;

// Code of the stand-ins of the closed platform libraries and of the dynamic linker. Their
// allocations are neither counted nor failed: the sweep is about this library. A stand-in that
// ran out of memory inside a destructor of its JSON helper would end the program for a reason no
// real platform has, and the dynamic linker ends the program when it cannot allocate a thread's
// block of a loaded library's thread-local variables (glibc: "cannot allocate memory for
// thread-local data"), which no library code can catch.
struct Range {
  std::uintptr_t begin, end;
};
constexpr int kMaxRanges = 16;
Range gStandIns[kMaxRanges];
int gStandInCount = 0;

int collectStandIn(dl_phdr_info* info, std::size_t, void*) {
  static const char* const kNames[] = {"libqovorlixapi.so", "libqokeldevenum.so",
                                       "libqorelocations.so", "ld-linux-x86-64.so"};
  bool standIn = false;
  for (const char* name : kNames)
    standIn = standIn || std::strstr(info->dlpi_name, name) != nullptr;
  for (int i = 0; standIn && i < info->dlpi_phnum && gStandInCount < kMaxRanges; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0) continue;
    const std::uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
    gStandIns[gStandInCount++] = {begin, begin + ph.p_memsz};
  }
  return 0;
}

bool fromStandIn(const void* caller) {
  const auto at = reinterpret_cast<std::uintptr_t>(caller);
  for (int i = 0; i < gStandInCount; ++i)
    if (at >= gStandIns[i].begin && at < gStandIns[i].end) return true;
  return false;
}

// Called at the failing allocation: a place for a debugger's breakpoint
// (break qoOomFailing, then bt).
extern "C" __attribute__((noinline)) void qoOomFailing(long n) { asm volatile("" : : "r"(n)); }

// True when this allocation, asked for by code at `caller`, is the one to fail.
bool failHere(const void* caller, std::size_t size = 0) {
  // Inside glob only its directory streams (opendir's large blocks) fail: glibc 2.36 frees the
  // names it collected twice when a later allocation of glob fails (prefix_array), a fault of
  // the C library that no caller can avoid.
  if (tInGlob && size < kDirectoryStreamSize) return false;
  if (!tArmed && gWorkersArmed.load(std::memory_order_acquire) && !tExempt &&
      !fromStandIn(caller)) {
    const long n = gWorkersSeen.fetch_add(1) + 1;
    if (n != gWorkersFailAt.load()) return false;
    qoOomFailing(n);
    return true;
  }
  if (!tArmed || fromStandIn(caller)) return false;
  ++tSeen;
  if (tSeen != tFailAt) return false;
  tFailed = true;
  qoOomFailing(tFailAt);
  return true;
}

void* rawMalloc(std::size_t size) {
#if QO_OOM_HEAP_REPLACED
  return __libc_malloc(size);
#else
  return std::malloc(size);
#endif
}

#define QO_CALLER __builtin_return_address(0)

void* allocate(std::size_t size, const void* caller) {
  if (failHere(caller)) return nullptr;
  return rawMalloc(size == 0 ? 1 : size);
}

void* allocateAligned(std::size_t size, std::align_val_t align, const void* caller) {
  if (failHere(caller)) return nullptr;
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
  gStandInCount = 0;  // the stand-ins may have been loaded (or unloaded) since
  dl_iterate_phdr(&collectStandIn, nullptr);
  tSeen = 0;
  tFailAt = failAt;
  tFailed = false;
  tArmed = true;
}
Armed::~Armed() { tArmed = false; }
long Armed::seen() const { return tSeen; }
ArmedWorkers::ArmedWorkers(long failAt) {
  gStandInCount = 0;
  dl_iterate_phdr(&collectStandIn, nullptr);
  tExempt = true;
  gWorkersSeen = 0;
  gWorkersFailAt = failAt;
  gWorkersArmed.store(true, std::memory_order_release);
}
ArmedWorkers::~ArmedWorkers() {
  gWorkersArmed.store(false, std::memory_order_release);
  tExempt = false;
}
long ArmedWorkers::seen() const { return gWorkersSeen.load(); }
bool Armed::failed() const { return tFailed; }
}  // namespace oom

void* operator new(std::size_t size) { return orThrow(allocate(size, QO_CALLER)); }
void* operator new[](std::size_t size) { return orThrow(allocate(size, QO_CALLER)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size, QO_CALLER);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size, QO_CALLER);
}
void* operator new(std::size_t size, std::align_val_t a) {
  return orThrow(allocateAligned(size, a, QO_CALLER));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return orThrow(allocateAligned(size, a, QO_CALLER));
}
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocateAligned(size, a, QO_CALLER);
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocateAligned(size, a, QO_CALLER);
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
// A failing heap function sets errno as glibc's does; callers such as opendir report it.
extern "C" void* malloc(std::size_t size) {
  if (!failHere(QO_CALLER, size)) return __libc_malloc(size);
  errno = ENOMEM;
  return nullptr;
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  if (!failHere(QO_CALLER)) return __libc_calloc(count, size);
  errno = ENOMEM;
  return nullptr;
}
extern "C" void* realloc(void* p, std::size_t size) {
  if (!failHere(QO_CALLER)) return __libc_realloc(p, size);
  errno = ENOMEM;
  return nullptr;
}

using GlobFn = int (*)(const char*, int, int (*)(const char*, int), glob_t*);
const GlobFn gRealGlob = reinterpret_cast<GlobFn>(dlsym(RTLD_NEXT, "glob"));
extern "C" int glob(const char* pattern, int flags, int (*onError)(const char*, int),
                    glob_t* matches) {
  tInGlob = true;
  const int result = gRealGlob(pattern, flags, onError, matches);
  tInGlob = false;
  return result;
}
#endif
