// The routing adaptor as its C exports see it: the two abstract objects behind the opaque
// handles a routing host holds, and the host's own function types.
//
// Every operation reports failure by throwing qoerr::Exception (carrying a JsonStatus); the
// exports (routingAdaptorInterface/routingAdaptorExports.cpp) turn that into the host's status.
// The terminal iterator's getters and resetTerminal report into the status they are given and
// never throw by themselves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qoapal/status/JsonStatus.h"

namespace qoroco {

using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::JsonStatus;

// The host's realloc-style allocation function: every string result is written into memory it
// returns (called with the current value of the out-pointer and the size needed). The host owns
// that memory.
using tAllocateFunction = void* (*)(void* previous, std::size_t size);
// The host's demotion function: called on the session's notification thread with the context
// given at creation, the reason code and a fresh status the library releases afterwards.
using tDemotionFunction = void (*)(void* context, std::int32_t reason, JsonStatus* status);

inline constexpr std::int32_t kDemotionReason = 101;

class TerminalIteratorInterface {
 public:
  virtual ~TerminalIteratorInterface() = default;
  virtual void next() = 0;
  virtual bool isEnd() = 0;
  virtual const char* getStringAttribute(const char* name, JsonStatus* status) = 0;
  virtual bool getBoolAttribute(const char* name, JsonStatus* status) = 0;
  virtual std::uint32_t getU32Attribute(const char* name, JsonStatus* status) = 0;
  virtual void resetTerminal(const char* mode, JsonStatus* status) = 0;
};

class RoutingAdaptorSessionInterface {
 public:
  virtual ~RoutingAdaptorSessionInterface() = default;
  virtual void getHandledConstraints(char** out) = 0;
  virtual std::uint32_t calculateRoute(const char* seedsJson, const char* destinationsJson,
                                       const char* modifiersJson, char** out) = 0;
  virtual void reserveRoute(std::uint32_t ticket, char** conflictsOut) = 0;
  virtual void programRoute(std::uint32_t ticket) = 0;
  virtual void unprogramRoute(std::uint32_t ticket) = 0;
  virtual void unreserveRoute(std::uint32_t ticket) = 0;
  virtual void beginExceptionalRouteDestruction() = 0;
  virtual void destroyRoute(std::uint32_t ticket) = 0;
  virtual void getRouteTerminalPath(std::uint32_t ticket, char** out) = 0;
  // A new iterator on the first terminal; it refers to the session and must not outlive it.
  virtual TerminalIteratorInterface* getAllTerminals() = 0;
  virtual std::uint32_t calculateResetTerminal(TerminalIteratorInterface* iterator,
                                               const char* mode) = 0;
};

}  // namespace qoroco
