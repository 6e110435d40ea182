// The routing adaptor's C interface: 22 exports named qoroco_ra_qovorlixatomicsae_<operation>.
//
// Boundary rule of every export that takes a status: a status already holding an error (or no
// status at all) makes the export a no-op returning null / 0 / false. Otherwise the operation
// runs, and whatever it throws ends up in the caller's status; nothing escapes:
//  - out of memory: -52000 ("nQOAPALS100::tStatus::kMemoryFull", this file, the export's line);
//  - the library's error family (qoerr): its status is merged into the caller's;
//  - anything else: -52008 ("qoapalerr_unexpectedException", this file, the export's line).
// The exports without a status (unprogramRoute, unreserveRoute, beginExceptionalRouteDestruction,
// destroyRoute) swallow every failure; TerminalIterator_isEnd answers true on one. A null
// session or iterator handle is refused with -52005 where a status can tell it.
#include <cstdarg>
#include <cstdint>
#include <new>

#include "qo/err/Exception.h"
#include "qoapal/component.h"
#include "qoarkra/ARKRoutingAdaptor.h"
#include "qoroco/RoutingAdaptorInterfaces.h"

#define QOROCO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using qoroco::JsonStatus;
using qoroco::RoutingAdaptorSessionInterface;
using qoroco::TerminalIteratorInterface;

constexpr char kExportsSource[] = "routingAdaptorInterface/routingAdaptorExports";
constexpr int kApiVersion = 3;

enum : unsigned {
  kLineCreateSession = 439,
  kLineGetHandledConstraints = 41,
  kLineCalculateRoute = 68,
  kLineReserveRoute = 95,
  kLineProgramRoute = 119,
  kLineGetRouteTerminalPath = 212,
  kLineGetAllTerminals = 236,
  kLineIteratorNext = 261,
  kLineGetStringAttribute = 303,
  kLineGetBoolAttribute = 329,
  kLineGetU32Attribute = 355,
  kLineResetTerminal = 381,
  kLineCalculateResetTerminal = 406,
};

template <class Result, class Operation>
Result guarded(JsonStatus* status, unsigned line, Result failed, Operation&& operation) noexcept {
  if (status == nullptr || status->code < 0) return failed;
  const nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tJsonStatusOrigin origin{
      kExportsSource, line, nQOVORLIXATOMICSAE_23_3::kComponentName, nullptr};
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    auto o = origin;
    o.errorConstant = "nQOAPALS100::tStatus::kMemoryFull";
    status->setError(-52000, o);
  } catch (qoerr::ExceptionBase& e) {
    status->mergeFrom(e.status());
  } catch (...) {
    auto o = origin;
    o.errorConstant = "qoapalerr_unexpectedException";
    status->setError(-52008, o);
  }
  return failed;
}

[[noreturn]] void nullHandle(unsigned line) {
  throw qoerr::Exception::withError(-52005,
                                    {kExportsSource, line, nQOVORLIXATOMICSAE_23_3::kComponentName,
                                     "qoapalerr_invalidParameter"});
}

RoutingAdaptorSessionInterface& sessionOf(void* session, unsigned line) {
  if (session == nullptr) nullHandle(line);
  return *static_cast<RoutingAdaptorSessionInterface*>(session);
}

TerminalIteratorInterface& iteratorOf(void* iterator, unsigned line) {
  if (iterator == nullptr) nullHandle(line);
  return *static_cast<TerminalIteratorInterface*>(iterator);
}

template <class Operation>
void swallowing(void* session, Operation&& operation) noexcept {
  if (session == nullptr) return;
  try {
    operation(*static_cast<RoutingAdaptorSessionInterface*>(session));
  } catch (...) {
  }
}

}  // namespace

QOROCO_EXPORT void* qoroco_ra_qovorlixatomicsae_createSessionWithDemotionFunc(
    const char* devicePath, qoroco::tAllocateFunction allocate,
    qoroco::tDemotionFunction demotionFunction, void* demotionContext, JsonStatus* status) {
  return guarded<void*>(status, kLineCreateSession, nullptr, [&]() -> void* {
    auto* session = new qoark::ARKRoutingAdaptorSession(devicePath, allocate, demotionFunction,
                                                        demotionContext);
    return static_cast<RoutingAdaptorSessionInterface*>(session);
  });
}

QOROCO_EXPORT void* qoroco_ra_qovorlixatomicsae_createSession(const char* devicePath,
                                                              qoroco::tAllocateFunction allocate,
                                                              JsonStatus* status) {
  return qoroco_ra_qovorlixatomicsae_createSessionWithDemotionFunc(devicePath, allocate, nullptr,
                                                                   nullptr, status);
}

QOROCO_EXPORT void qoroco_ra_qovorlixatomicsae_destroySession(void* session) {
  delete static_cast<RoutingAdaptorSessionInterface*>(session);
}

QOROCO_EXPORT void qoroco_ra_qovorlixatomicsae_getHandledConstraints(void* session, char** out,
                                                                     JsonStatus* status) {
  guarded<int>(status, kLineGetHandledConstraints, 0, [&] {
    sessionOf(session, kLineGetHandledConstraints).getHandledConstraints(out);
    return 0;
  });
}

QOROCO_EXPORT std::uint32_t qoroco_ra_qovorlixatomicsae_calculateRoute(
    void* session, const char* seedsJson, const char* destinationsJson, const char* modifiersJson,
    char** out, JsonStatus* status) {
  return guarded<std::uint32_t>(status, kLineCalculateRoute, 0, [&] {
    return sessionOf(session, kLineCalculateRoute)
        .calculateRoute(seedsJson, destinationsJson, modifiersJson, out);
  });
}

QOROCO_EXPORT void qoroco_ra_qovorlixatomicsae_reserveRoute(void* session, std::uint32_t ticket,
                                                            char** conflictsOut,
                                                            JsonStatus* status) {
  guarded<int>(status, kLineReserveRoute, 0, [&] {
    sessionOf(session, kLineReserveRoute).reserveRoute(ticket, conflictsOut);
    return 0;
  });
}

QOROCO_EXPORT void qoroco_ra_qovorlixatomicsae_programRoute(void* session, std::uint32_t ticket,
                                                            JsonStatus* status) {
  guarded<int>(status, kLineProgramRoute, 0, [&] {
    sessionOf(session, kLineProgramRoute).programRoute(ticket);
    return 0;
  });
}

QOROCO_EXPORT void qoroco_ra_qovorlixatomicsae_unprogramRoute(void* session, std::uint32_t ticket) {
  swallowing(session, [&](RoutingAdaptorSessionInterface& s) { s.unprogramRoute(ticket); });
}

QOROCO_EXPORT void qoroco_ra_qovorlixatomicsae_unreserveRoute(void* session, std::uint32_t ticket) {
  swallowing(session, [&](RoutingAdaptorSessionInterface& s) { s.unreserveRoute(ticket); });
}

QOROCO_EXPORT void qoroco_ra_qovorlixatomicsae_beginExceptionalRouteDestruction(void* session,
                                                                                ...) {
  swallowing(session,
             [](RoutingAdaptorSessionInterface& s) { s.beginExceptionalRouteDestruction(); });
}

QOROCO_EXPORT void qoroco_ra_qovorlixatomicsae_destroyRoute(void* session, std::uint32_t ticket) {
  swallowing(session, [&](RoutingAdaptorSessionInterface& s) { s.destroyRoute(ticket); });
}

QOROCO_EXPORT void qoroco_ra_qovorlixatomicsae_getRouteTerminalPath(void* session,
                                                                    std::uint32_t ticket,
                                                                    char** out,
                                                                    JsonStatus* status) {
  guarded<int>(status, kLineGetRouteTerminalPath, 0, [&] {
    sessionOf(session, kLineGetRouteTerminalPath).getRouteTerminalPath(ticket, out);
    return 0;
  });
}

QOROCO_EXPORT int qoroco_ra_qovorlixatomicsae_getAPIVersion() { return kApiVersion; }

QOROCO_EXPORT void* qoroco_ra_qovorlixatomicsae_getAllTerminals(void* session, JsonStatus* status) {
  return guarded<void*>(status, kLineGetAllTerminals, nullptr, [&]() -> void* {
    return sessionOf(session, kLineGetAllTerminals).getAllTerminals();
  });
}

QOROCO_EXPORT void qoroco_ra_qovorlixatomicsae_TerminalIterator_next(void* iterator,
                                                                     JsonStatus* status) {
  guarded<int>(status, kLineIteratorNext, 0, [&] {
    iteratorOf(iterator, kLineIteratorNext).next();
    return 0;
  });
}

QOROCO_EXPORT bool qoroco_ra_qovorlixatomicsae_TerminalIterator_isEnd(void* iterator) {
  if (iterator == nullptr) return true;
  try {
    return static_cast<TerminalIteratorInterface*>(iterator)->isEnd();
  } catch (...) {
    return true;
  }
}

QOROCO_EXPORT const char* qoroco_ra_qovorlixatomicsae_TerminalIterator_getStringAttribute(
    void* iterator, const char* name, JsonStatus* status) {
  return guarded<const char*>(status, kLineGetStringAttribute, nullptr, [&] {
    return iteratorOf(iterator, kLineGetStringAttribute).getStringAttribute(name, status);
  });
}

QOROCO_EXPORT bool qoroco_ra_qovorlixatomicsae_TerminalIterator_getBoolAttribute(
    void* iterator, const char* name, JsonStatus* status) {
  return guarded<bool>(status, kLineGetBoolAttribute, false, [&] {
    return iteratorOf(iterator, kLineGetBoolAttribute).getBoolAttribute(name, status);
  });
}

QOROCO_EXPORT std::uint32_t qoroco_ra_qovorlixatomicsae_TerminalIterator_getU32Attribute(
    void* iterator, const char* name, JsonStatus* status) {
  return guarded<std::uint32_t>(status, kLineGetU32Attribute, 0, [&] {
    return iteratorOf(iterator, kLineGetU32Attribute).getU32Attribute(name, status);
  });
}

QOROCO_EXPORT void qoroco_ra_qovorlixatomicsae_TerminalIterator_resetTerminal(void* iterator,
                                                                              const char* mode,
                                                                              JsonStatus* status) {
  guarded<int>(status, kLineResetTerminal, 0, [&] {
    iteratorOf(iterator, kLineResetTerminal).resetTerminal(mode, status);
    return 0;
  });
}

QOROCO_EXPORT std::uint32_t qoroco_ra_qovorlixatomicsae_TerminalIterator_calculateResetTerminal(
    void* session, void* iterator, const char* mode, JsonStatus* status) {
  return guarded<std::uint32_t>(status, kLineCalculateResetTerminal, 0, [&] {
    return sessionOf(session, kLineCalculateResetTerminal)
        .calculateResetTerminal(&iteratorOf(iterator, kLineCalculateResetTerminal), mode);
  });
}

QOROCO_EXPORT void qoroco_ra_qovorlixatomicsae_TerminalIterator_destroy(void* iterator) {
  delete static_cast<TerminalIteratorInterface*>(iterator);
}
