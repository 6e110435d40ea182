// The routing host's view of the library, written as a routing host declares it: the status
// record it builds, its allocation and demotion functions, and the 22 exports, found by name in
// the library as a host holds it (host_library.h). Reference hosts and tests meet the routing
// adaptor only through these declarations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host_library.h"
#include "qovorlixatomicsae/qoroco_ra.h"

namespace routingabi {

// The status record (24 bytes) with the host's own reallocator, as the installed C header
// declares it (the header's function declarations stay unused: the exports are looked up).
using JsonStatus = ::qoroco_ra_json_status;
static_assert(sizeof(JsonStatus) == 24);
static_assert(offsetof(JsonStatus, code) == 0 && offsetof(JsonStatus, capacity) == 4 &&
              offsetof(JsonStatus, reallocator) == 8 && offsetof(JsonStatus, json) == 16);

// Frees a host-made text; the record is left with none.
inline void hostFreeText(JsonStatus* self) {
  std::free(self->json);
  self->json = nullptr;
  self->capacity = 0;
}

// A host reallocator over malloc/realloc: 0 frees, a smaller size keeps the buffer.
inline int hostReallocate(JsonStatus* self, int newSize) {
  if (newSize == 0) {
    hostFreeText(self);
    return 1;
  }
  if (newSize < 0) return 0;
  if (static_cast<std::uint32_t>(newSize) <= self->capacity && self->json != nullptr) return 1;
  const bool fresh = self->json == nullptr;
  auto* grown = static_cast<char*>(std::realloc(self->json, static_cast<std::size_t>(newSize)));
  if (grown == nullptr) return 0;
  const std::uint32_t old = fresh ? 0 : self->capacity;
  std::memset(grown + old, 0, static_cast<std::size_t>(newSize) - old);
  if (fresh && newSize >= 3) std::memcpy(grown, "{}", 2);
  self->json = grown;
  self->capacity = static_cast<std::uint32_t>(newSize);
  return 1;
}

// A host-owned status: starts clean, releases its text.
struct HostStatus {
  JsonStatus s{0, 0, &hostReallocate, nullptr};
  HostStatus() = default;
  explicit HostStatus(std::int32_t code) { s.code = code; }
  HostStatus(const HostStatus&) = delete;
  HostStatus& operator=(const HostStatus&) = delete;
  ~HostStatus() { hostFreeText(&s); }
  JsonStatus* operator&() { return &s; }
  std::int32_t code() const { return s.code; }
  std::string text() const { return s.json != nullptr ? std::string(s.json) : std::string(); }
  void reset() {
    hostFreeText(&s);
    s = {0, 0, &hostReallocate, nullptr};
  }
};

using Allocate = ::qoroco_ra_allocate_fn;
using Demotion = ::qoroco_ra_demotion_fn;

inline void* hostAllocate(void* previous, std::size_t size) { return std::realloc(previous, size); }

#define ROUTINGABI_EXPORTS(X)                                                                    \
  X(createSessionWithDemotionFunc, void*, (const char*, Allocate, Demotion, void*, JsonStatus*)) \
  X(createSession, void*, (const char*, Allocate, JsonStatus*))                                  \
  X(destroySession, void, (void*))                                                               \
  X(getHandledConstraints, void, (void*, char**, JsonStatus*))                                   \
  X(calculateRoute, std::uint32_t,                                                               \
    (void*, const char*, const char*, const char*, char**, JsonStatus*))                         \
  X(reserveRoute, void, (void*, std::uint32_t, char**, JsonStatus*))                             \
  X(programRoute, void, (void*, std::uint32_t, JsonStatus*))                                     \
  X(unprogramRoute, void, (void*, std::uint32_t))                                                \
  X(unreserveRoute, void, (void*, std::uint32_t))                                                \
  X(beginExceptionalRouteDestruction, void, (void*, ...))                                        \
  X(destroyRoute, void, (void*, std::uint32_t))                                                  \
  X(getRouteTerminalPath, void, (void*, std::uint32_t, char**, JsonStatus*))                     \
  X(getAPIVersion, int, ())                                                                      \
  X(getAllTerminals, void*, (void*, JsonStatus*))                                                \
  X(TerminalIterator_next, void, (void*, JsonStatus*))                                           \
  X(TerminalIterator_isEnd, bool, (void*))                                                       \
  X(TerminalIterator_getStringAttribute, const char*, (void*, const char*, JsonStatus*))         \
  X(TerminalIterator_getBoolAttribute, bool, (void*, const char*, JsonStatus*))                  \
  X(TerminalIterator_getU32Attribute, std::uint32_t, (void*, const char*, JsonStatus*))          \
  X(TerminalIterator_resetTerminal, void, (void*, const char*, JsonStatus*))                     \
  X(TerminalIterator_calculateResetTerminal, std::uint32_t,                                      \
    (void*, void*, const char*, JsonStatus*))                                                    \
  X(TerminalIterator_destroy, void, (void*))

inline constexpr char kPrefix[] = "qoroco_ra_qovorlixatomicsae_";

// The exports as function pointers, looked up in a loaded library.
struct Exports {
#define ROUTINGABI_MEMBER(name, result, args) result(*name) args = nullptr;
  ROUTINGABI_EXPORTS(ROUTINGABI_MEMBER)
#undef ROUTINGABI_MEMBER

  // Fills every entry from `library`; false with the first missing name in *missing.
  bool load(const hostabi::HostLibrary& library, std::string* missing) {
#define ROUTINGABI_LOAD(name, result, args)                  \
  {                                                          \
    const std::string symbol = std::string(kPrefix) + #name; \
    void* address = library.symbol(symbol.c_str());          \
    if (address == nullptr) {                                \
      if (missing != nullptr) *missing = symbol;             \
      return false;                                          \
    }                                                        \
    name = reinterpret_cast<result(*) args>(address);        \
  }
    ROUTINGABI_EXPORTS(ROUTINGABI_LOAD)
#undef ROUTINGABI_LOAD
    return true;
  }
};

}  // namespace routingabi
