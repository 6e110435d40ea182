// An in-process routing driver for white-box tests, fuzzing and benchmarks: it answers the
// routing interface like the generated proxy over a driver would (a status in error sends
// nothing; the answer's status word is merged with setCode) and records what it was asked.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "codegen/qovorlixatomicsae/tInterfaceProxy_routing.h"
#include "qoapal/component.h"
#include "qoarkra/TopographyInfo.h"

namespace qotest {

namespace rt = nQOVORLIXATOMICSAE_23_3;
using rt::nQOAPAL000::tStatus;

class FakeRoutingDriver : public rt::iInterfaceProxy_routing {
 public:
  // calculateRoute: one result per destination (ticket 100 + i, the destination's id, the first
  // seed's cost and inversion flag), unless `results` is set.
  std::optional<std::vector<rt::tRouteResult>> results;
  std::optional<std::uint32_t> resultCountAnswer;  // count reported instead of the real one
  std::int32_t calculateStatus = 0;
  std::uint32_t calculateValue = 7;
  int calculateCalls = 0;
  std::vector<rt::tRouteSeed> lastSeeds;
  std::vector<std::uint32_t> lastDestinations;
  std::uint32_t lastFlags = 0;
  std::uint32_t lastResultCapacity = 0;
  std::uint64_t lastSessionId = 0;

  std::vector<rt::tRouteConflict> conflicts;
  std::optional<std::uint32_t> conflictCountAnswer;
  std::int32_t reserveStatus = 0;

  std::vector<std::uint32_t> path;  // answered -52019 when it does not fit
  std::optional<std::uint32_t> pathCountAnswer;
  std::vector<std::uint32_t> pathCapacities;  // capacity of every getRouteTerminalPath call

  std::int32_t ticketStatus = 0;  // program, unprogram, unreserve, destroy
  std::vector<std::string> ticketCalls;

  std::int32_t resetStatus = 0;
  std::vector<std::uint32_t> resetCall;  // {id, floating, status word sent}
  std::uint32_t resetValue = 11;

  std::string topographyName = "fake";

  std::uint32_t queryU32(tStatus& status) noexcept override {
    if (status.code < 0) return 0;
    return 0;
  }

  std::uint32_t calculateRoute(std::uint64_t sessionId, const rt::tRouteSeed* seeds,
                               std::uint32_t seedCount, const std::uint32_t* destinations,
                               std::uint32_t destinationCount, std::uint32_t flags,
                               rt::tRouteResult* out, std::uint32_t capacity, std::uint32_t* count,
                               tStatus& status) noexcept override {
    if (status.code < 0) return 0;
    ++calculateCalls;
    lastSessionId = sessionId;
    lastSeeds.assign(seeds, seeds + seedCount);
    lastDestinations.assign(destinations, destinations + destinationCount);
    lastFlags = flags;
    lastResultCapacity = capacity;
    std::vector<rt::tRouteResult> answer;
    if (results) {
      answer = *results;
    } else {
      for (std::uint32_t i = 0; i < destinationCount; ++i) {
        answer.push_back({static_cast<std::int32_t>(100 + i), destinations[i],
                          static_cast<std::int32_t>(seeds[0].cost), 0, seeds[0].inversionNeeded});
      }
    }
    const std::uint32_t n = static_cast<std::uint32_t>(answer.size());
    for (std::uint32_t i = 0; i < n && i < capacity; ++i) out[i] = answer[i];
    *count = resultCountAnswer ? *resultCountAnswer : n;
    merge(status, calculateStatus, 97);
    return calculateValue;
  }

  void destroyRoute(std::uint32_t ticket, tStatus& status) noexcept override {
    ticket_("destroy", ticket, status, 125);
  }
  void reserveRoute(std::uint32_t ticket, rt::tRouteConflict* out, std::uint32_t capacity,
                    std::uint32_t* count, tStatus& status) noexcept override {
    if (status.code < 0) return;
    ticketCalls.push_back("reserve " + std::to_string(ticket));
    for (std::size_t i = 0; i < conflicts.size() && i < capacity; ++i) out[i] = conflicts[i];
    *count =
        conflictCountAnswer ? *conflictCountAnswer : static_cast<std::uint32_t>(conflicts.size());
    merge(status, reserveStatus, 154);
  }
  void programRoute(std::uint32_t ticket, tStatus& status) noexcept override {
    ticket_("program", ticket, status, 180);
  }
  void unreserveRoute(std::uint32_t ticket, tStatus& status) noexcept override {
    ticket_("unreserve", ticket, status, 206);
  }
  void unprogramRoute(std::uint32_t ticket, tStatus& status) noexcept override {
    ticket_("unprogram", ticket, status, 232);
  }
  void getRouteTerminalPath(std::uint32_t, std::uint32_t* ids, std::uint32_t capacity,
                            std::uint32_t* count, tStatus& status) noexcept override {
    if (status.code < 0) return;
    pathCapacities.push_back(capacity);
    const auto n = static_cast<std::uint32_t>(path.size());
    *count = pathCountAnswer ? *pathCountAnswer : n;
    if (n > capacity) {
      merge(status, -52019, 261);
      return;
    }
    for (std::uint32_t i = 0; i < n; ++i) ids[i] = path[i];
    merge(status, 0, 261);
  }
  void getTopographyName(char* buffer, std::uint32_t size, tStatus& status) noexcept override {
    if (status.code < 0 || size == 0) return;
    const std::size_t n = topographyName.size() < size ? topographyName.size() : size - 1;
    topographyName.copy(buffer, n);
    buffer[n] = '\0';
  }
  void resetTerminal(std::uint32_t id, std::uint32_t floating, tStatus& status) noexcept override {
    if (status.code < 0) return;
    resetCall = {id, floating, static_cast<std::uint32_t>(status.code)};
    merge(status, resetStatus, 315);
  }
  std::uint32_t calculateResetTerminal(std::uint64_t, std::uint32_t id, std::uint32_t floating,
                                       tStatus& status) noexcept override {
    if (status.code < 0) return 0;
    resetCall = {id, floating, static_cast<std::uint32_t>(status.code)};
    merge(status, resetStatus, 345);
    return resetValue;
  }

 private:
  static void merge(tStatus& status, std::int32_t word, unsigned line) {
    status.setCode(word, rt::kComponentName, rt::kInterfaceProxy_routingSource, line);
  }
  void ticket_(const char* what, std::uint32_t ticket, tStatus& status, unsigned line) {
    if (status.code < 0) return;
    ticketCalls.push_back(std::string(what) + " " + std::to_string(ticket));
    merge(status, ticketStatus, line);
  }
};

// A host allocation function over realloc.
inline void* hostAllocate(void* previous, std::size_t size) { return std::realloc(previous, size); }

// The built-in topography with the most terminals.
inline const qoark::tTopographyInfo& largestTopography() {
  const qoark::tTopographyInfo* best = nullptr;
  for (const qoark::tTopographyInfo* t : qoark::builtinTopographies()) {
    if (best == nullptr || t->terminalCount > best->terminalCount) best = t;
  }
  return *best;
}

}  // namespace qotest
