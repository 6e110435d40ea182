// The routing session behind a host's session handle, and the terminal iterator.
//
// ARKRoutingAdaptorSession serves one board: it opens the board's routing node, asks the driver
// for the board's topography name and finds the record in the registry, runs one notification
// thread ("qovorlixatomicsae", default scheduling, priority 0, explicit attributes) that forwards
// the driver's demotion notifications to the host's demotion function, and implements every
// route operation as one request to the driver (getRouteTerminalPath retries once after -52019).
// The session id the driver sees is the session object's address.
//
// Names and ids are resolved through the topography's terminal index (built once per record),
// which gives exactly the terminal a walk of the terminal table in order finds first.
//
// Failures are thrown as qoerr::Exception with a JsonStatus: driver codes as the driver answered
// them; -50003 for an unknown topography, reset mode or an iterator at its end; -52005 for a
// request the parser refuses, an over-long device path or a null argument; -52000 for memory
// (also when the host's allocation function returns null); -52024 when the driver reports more
// entries than the buffer it was given can hold (a malformed answer: nothing past the buffer is
// read, no entry is invented).
//
// Threads: the host calls one session from one thread at a time; the session takes no lock.
// The notification thread only reads the demotion function and context, which are fixed before
// it starts. A session destroyed on that thread (from the host's demotion function) retires its
// reader instead of joining it: the thread leaves its loop after the handler and is joined by a
// later session's construction or destruction, or when the library is unloaded. The process-wide
// route-path capacity is an atomic (read, and raised with a compare-exchange loop).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "codegen/qovorlixatomicsae/tInterfaceProxy_routing.h"
#include "qoapal/protons/io_notification/linuxU/tDemotionNotification.h"
#include "qoapal/protons/io_notification/linuxU/tThreadedIONotificationReader.h"
#include "qoarkra/TopographyInfoRegistration.h"
#include "qoroco/RoCoUtils.h"
#include "qoroco/RoutingAdaptorInterfaces.h"

namespace qoark {

namespace apal = nQOVORLIXATOMICSAE_23_3::nQOAPAL000;
using nQOVORLIXATOMICSAE_23_3::iInterfaceProxy_routing;
using nQOVORLIXATOMICSAE_23_3::tInterfaceProxy_routing;
using qoroco::JsonStatus;

inline constexpr char kAdaptorSource[] = "qoarkra/ARKRoutingAdaptor";
inline constexpr char kNotificationThreadName[] = "qovorlixatomicsae";
inline constexpr std::size_t kMaxDevicePath = 256;
inline constexpr std::uint32_t kConflictCapacity = 8;
inline constexpr std::uint32_t kInitialPathCapacity = 32;
// The longest route path the library accepts from the driver (ids); a longer one is a
// malformed answer.
inline constexpr std::uint32_t kMaxPathIds = 1u << 20;
inline constexpr std::int32_t kReservationConflict = qodrv::routing::kStatusReservationConflict;
// The library's own codes (not the driver's): an unknown selector, an answer it cannot use.
inline constexpr std::int32_t kBadSelector = -50003;
inline constexpr std::int32_t kMalformedDriverAnswer =
    nQOVORLIXATOMICSAE_23_3::nQOAPALS100::tStatus::kIoError;

class ARKRoutingAdaptorSession;

class ARKTerminalIterator final : public qoroco::TerminalIteratorInterface {
 public:
  explicit ARKTerminalIterator(ARKRoutingAdaptorSession& session) noexcept : session_(&session) {}

  void next() override { ++index_; }
  bool isEnd() override;
  const char* getStringAttribute(const char* name, JsonStatus* status) override;
  bool getBoolAttribute(const char* name, JsonStatus* status) override;
  std::uint32_t getU32Attribute(const char* name, JsonStatus* status) override;
  void resetTerminal(const char* mode, JsonStatus* status) override;

  // The terminal at the iterator's position, null at the end.
  const tTerminalInfo* current() const noexcept;

 private:
  std::uint64_t index_ = 0;
  ARKRoutingAdaptorSession* session_;
};

class ARKRoutingAdaptorSession final : public qoroco::RoutingAdaptorSessionInterface,
                                       private qoroco::iTerminalResolver {
 public:
  // The host's session on the routing node at devicePath.
  ARKRoutingAdaptorSession(const char* devicePath, qoroco::tAllocateFunction allocate,
                           qoroco::tDemotionFunction demotionFunction, void* demotionContext);
  // A session over a driver and a topography given directly: no node, no notification thread
  // (white-box tests, fuzzing, benchmarks).
  ARKRoutingAdaptorSession(iInterfaceProxy_routing& driver, const tTopographyInfo& topography,
                           qoroco::tAllocateFunction allocate);
  ~ARKRoutingAdaptorSession() override;
  ARKRoutingAdaptorSession(const ARKRoutingAdaptorSession&) = delete;
  ARKRoutingAdaptorSession& operator=(const ARKRoutingAdaptorSession&) = delete;

  void getHandledConstraints(char** out) override;
  std::uint32_t calculateRoute(const char* seedsJson, const char* destinationsJson,
                               const char* modifiersJson, char** out) override;
  void reserveRoute(std::uint32_t ticket, char** conflictsOut) override;
  void programRoute(std::uint32_t ticket) override;
  void unprogramRoute(std::uint32_t ticket) override;
  void unreserveRoute(std::uint32_t ticket) override;
  void beginExceptionalRouteDestruction() override {}
  void destroyRoute(std::uint32_t ticket) override;
  void getRouteTerminalPath(std::uint32_t ticket, char** out) override;
  qoroco::TerminalIteratorInterface* getAllTerminals() override;
  std::uint32_t calculateResetTerminal(qoroco::TerminalIteratorInterface* iterator,
                                       const char* mode) override;

  const tTopographyInfo& topography() const noexcept { return topography_->record(); }
  const tTerminalIndex& terminalIndex() const { return topography_->index(); }
  iInterfaceProxy_routing& driver() noexcept { return *driver_; }
  std::uint64_t sessionId() const noexcept {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(this));
  }
  std::uint32_t resolveTerminalName(std::string_view rawName) const override;

  // The capacity every getRouteTerminalPath starts with (process-wide).
  static std::uint32_t pathCapacity() noexcept;

 private:
  static void onNotification(void* context, int kind, std::uint64_t cookie,
                             const std::uint8_t* payload, std::uint32_t payloadSize,
                             const apal::tStatus& status);
  // Writes `length` bytes of text, NUL-padded to `size`, into memory from the host's
  // allocation function.
  void writeResult(char** out, const char* text, std::size_t length, std::size_t size) const;
  void writeEmptyList(char** out) const;

  qoroco::tAllocateFunction allocate_;
  std::unique_ptr<tRegisteredTopography> ownTopography_;
  const tRegisteredTopography* topography_ = nullptr;
  // Teardown runs in reverse: registration, then thread and reader, then proxy.
  tInterfaceProxy_routing proxy_;
  iInterfaceProxy_routing* driver_;
  std::unique_ptr<apal::tThreadedIONotificationReader> reader_;
  apal::tDemotionNotification demotion_;
  char devicePath_[kMaxDevicePath + 1] = {};
};

}  // namespace qoark
