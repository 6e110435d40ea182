// The simulated driver's routing: one routing state per plugged board whose topography name is
// one of the generated topographies (qotopo/qoTopographyTables.h, from codegen/topographies/).
//
// Routes are found by a shortest-path search (Dijkstra) over the topography's directed edges,
// starting from every seed at its cost. A route drives every terminal on its path after the seed
// (a reset route drives its one terminal). Tickets are board-wide and positive; a number comes back
// only after 2^31-1 further tickets. A route belongs to the session id of the calculateRoute that
// made it and to the open file that carried that request (a session is the pair: the id is a host
// address, and two processes may well use the same one) (demotion notices go to that file's
// subscription; closing the file destroys its routes).
//
// States: calculated -> reserved -> programmed. A reservation conflicts with the reserved or
// programmed routes of other sessions that drive a terminal it drives; a route calculated with
// "ignore reservations" takes those terminals instead and demotes the routes in the way
// (they fall back to calculated and their sessions get a demotion notice).
//
// Not thread-safe: the machine calls it under its mutex (BoardState).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "qodrv/qoDriverConstants.h"

namespace qotopo {
struct Topography;
struct Terminal;
}  // namespace qotopo

namespace qosim {

// Driver status words of the routing interface (besides the shared bad-argument and
// buffer-too-small words) and the flags of calculateRoute: codegen/descriptions/routing.json.
using qodrv::routing::kStatusMaskedOut;
using qodrv::routing::kStatusNoRoute;
using qodrv::routing::kStatusNotReserved;
using qodrv::routing::kStatusReservationConflict;
using qodrv::routing::kStatusRouteProgrammed;
using qodrv::routing::kStatusUnknownTerminal;
using qodrv::routing::kStatusUnknownTicket;
inline constexpr std::uint32_t kIgnoreReservations = qodrv::routing::kCalculateIgnoreReservations;
// Requests larger than these are refused with -52005 (and their arrays are not read).
inline constexpr std::uint32_t kMaxSeeds = 4096;
inline constexpr std::uint32_t kMaxDestinations = 65536;

struct RouteSeed {
  std::uint32_t terminalId = 0;
  std::uint32_t cost = 0;
  bool inversionNeeded = false;
};

struct RouteResult {
  std::int32_t ticket = 0;
  std::uint32_t destination = 0;
  std::int32_t cost = 0;
  std::int32_t seedIndex = 0;
  bool inversionNeeded = false;
};

struct RouteConflict {
  std::uint64_t session = 0;
  std::int32_t ticket = 0;
};

// A route that lost its reservation: its session is told through the file's subscription.
struct Demotion {
  std::uint64_t session = 0;
  std::int32_t ticket = 0;
  std::uint64_t file = 0;
};

class RoutingState {
 public:
  RoutingState();
  ~RoutingState();
  RoutingState(RoutingState&&) noexcept;
  RoutingState& operator=(RoutingState&&) noexcept;

  // Binds to the generated topography of that name (a different name drops every route);
  // false when no topography has that name (the board then answers the defaults).
  bool bind(const std::string& topographyName);
  const qotopo::Topography* topography() const;
  // The terminal with that id (aliases included); nullptr when unknown or unbound.
  const qotopo::Terminal* terminal(std::uint32_t id) const;

  struct Calculation {
    std::int32_t status = 0;
    std::uint32_t unrouted = 0;  // destinations that got no route (the method's value)
    std::vector<RouteResult> results;
  };
  Calculation calculate(std::uint64_t session, std::uint64_t file,
                        const std::vector<RouteSeed>& seeds,
                        const std::vector<std::uint32_t>& destinations, std::uint32_t flags,
                        std::uint32_t capacity);
  std::int32_t reserve(std::int32_t ticket, std::vector<RouteConflict>& conflicts,
                       std::vector<Demotion>& demoted);
  std::int32_t program(std::int32_t ticket);
  std::int32_t unprogram(std::int32_t ticket);
  std::int32_t unreserve(std::int32_t ticket);
  std::int32_t destroy(std::int32_t ticket);
  std::int32_t path(std::int32_t ticket, std::vector<std::uint32_t>& ids) const;
  std::int32_t resetTerminal(std::uint32_t id, bool floating);
  std::int32_t calculateReset(std::uint64_t session, std::uint64_t file, std::uint32_t id,
                              bool floating, std::uint32_t& ticket);

  // Takes the reservation of one route (ticket given) or of every reserved route; nullopt when
  // the ticket is unknown.
  std::optional<std::vector<Demotion>> demote(std::optional<std::int32_t> ticket);
  // The file was closed: its routes are destroyed.
  void fileClosed(std::uint64_t file);
  nlohmann::json toJson() const;  // {"topography", "routes": [...], "resets": {...}}

 private:
  struct Graph;
  enum class State { Calculated, Reserved, Programmed };
  struct Route {
    std::int32_t ticket = 0;
    std::uint64_t session = 0;
    std::uint64_t file = 0;
    std::vector<std::uint32_t> path;  // canonical terminal ids, seed first
    std::uint32_t destination = 0;    // as requested (an alias keeps its own id)
    std::int32_t cost = 0;
    std::int32_t seedIndex = 0;
    bool inversionNeeded = false;
    bool ignoresReservations = false;
    bool reset = false;  // a reset route: drives its one terminal
    bool floating = false;
    State state = State::Calculated;
    std::vector<std::uint32_t> driven() const;
  };
  Route* find(std::int32_t ticket);
  std::int32_t newTicket();
  // Terminals closed to a route of this session: masked-out ones, and those driven by other
  // sessions' reservations unless the route ignores reservations (index: canonical terminal).
  std::vector<std::uint8_t> blockedFor(std::uint64_t session, std::uint64_t file,
                                       bool ignoreReservations) const;
  struct Search;  // shortest paths from a calculation's seeds
  static Search shortestPaths(const Graph& g, const std::vector<RouteSeed>& seeds,
                              const std::vector<std::uint8_t>& blocked);

  std::string name_;
  std::shared_ptr<const Graph> graph_;
  std::map<std::int32_t, Route> routes_;
  std::map<std::uint32_t, bool> resets_;  // terminal id -> floating
  std::int32_t nextTicket_ = 1;
};

}  // namespace qosim
