#include "Routing.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <queue>
#include <set>
#include <unordered_map>

#include "BoardFile.h"
#include "qotopo/qoTopographyTables.h"

namespace qosim {

using nlohmann::json;

// Dense indices over a topography: terminals in table order, aliases resolved to their
// canonical terminal, outgoing edges per terminal.
struct RoutingState::Graph {
  const qotopo::Topography* topo = nullptr;
  std::unordered_map<std::uint32_t, std::uint32_t> index;  // id -> index
  std::vector<std::uint32_t> canonical;                    // index -> canonical index
  std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> out;  // index -> (to, cost)

  explicit Graph(const qotopo::Topography* t) : topo(t) {
    for (std::uint32_t i = 0; i < t->terminalCount; ++i) index.emplace(t->terminals[i].id, i);
    canonical.resize(t->terminalCount);
    out.resize(t->terminalCount);
    for (std::uint32_t i = 0; i < t->terminalCount; ++i)
      canonical[i] = index.at(t->terminals[i].canonicalId);
    for (std::size_t e = 0; e < t->edgeCount; ++e)
      out[index.at(t->edges[e].from)].emplace_back(index.at(t->edges[e].to), t->edges[e].cost);
  }
  // The canonical index of an id; nullopt when unknown.
  std::optional<std::uint32_t> at(std::uint32_t id) const {
    auto it = index.find(id);
    if (it == index.end()) return std::nullopt;
    return canonical[it->second];
  }
  const qotopo::Terminal& term(std::uint32_t i) const { return topo->terminals[i]; }
};

RoutingState::RoutingState() = default;
RoutingState::~RoutingState() = default;
RoutingState::RoutingState(RoutingState&&) noexcept = default;
RoutingState& RoutingState::operator=(RoutingState&&) noexcept = default;

std::vector<std::uint32_t> RoutingState::Route::driven() const {
  if (reset) return path;
  return std::vector<std::uint32_t>(path.begin() + (path.empty() ? 0 : 1), path.end());
}

bool RoutingState::bind(const std::string& topographyName) {
  if (graph_ && name_ == topographyName) return true;
  const qotopo::Topography* t = qotopo::findTopography(topographyName);
  if (!graph_ || name_ != topographyName) {
    routes_.clear();
    resets_.clear();
  }
  name_ = topographyName;
  graph_ = t ? std::make_shared<const Graph>(t) : nullptr;
  return graph_ != nullptr;
}

const qotopo::Topography* RoutingState::topography() const {
  return graph_ ? graph_->topo : nullptr;
}

const qotopo::Terminal* RoutingState::terminal(std::uint32_t id) const {
  if (!graph_) return nullptr;
  auto it = graph_->index.find(id);
  return it == graph_->index.end() ? nullptr : &graph_->term(it->second);
}

RoutingState::Route* RoutingState::find(std::int32_t ticket) {
  auto it = routes_.find(ticket);
  return it == routes_.end() ? nullptr : &it->second;
}

std::int32_t RoutingState::newTicket() {
  // Positive and unused; after 2^31-1 tickets the numbers start again at 1.
  for (;;) {
    const std::int32_t t = nextTicket_;
    nextTicket_ = nextTicket_ == std::numeric_limits<std::int32_t>::max() ? 1 : nextTicket_ + 1;
    if (!routes_.count(t)) return t;
  }
}

std::vector<std::uint8_t> RoutingState::blockedFor(std::uint64_t session, std::uint64_t file,
                                                   bool ignoreReservations) const {
  const Graph& g = *graph_;
  std::vector<std::uint8_t> blocked(g.canonical.size(), 0);
  for (std::uint32_t i = 0; i < blocked.size(); ++i) blocked[i] = g.term(i).isMaskedOut;
  if (!ignoreReservations)
    for (const auto& [t, r] : routes_)
      if (r.state != State::Calculated && (r.session != session || r.file != file))
        for (std::uint32_t id : r.driven())
          if (auto i = g.at(id)) blocked[*i] = 1;
  return blocked;
}

struct RoutingState::Search {
  static constexpr std::uint64_t kInf = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> dist;   // kInf: not reached
  std::vector<std::int32_t> seedOf;  // the seed a terminal is reached from
  std::vector<std::int64_t> parent;  // the terminal before it on its path (-1: a seed)
};

// Dijkstra from every seed at its own cost over the open terminals.
RoutingState::Search RoutingState::shortestPaths(const Graph& g,
                                                 const std::vector<RouteSeed>& seeds,
                                                 const std::vector<std::uint8_t>& blocked) {
  const std::size_t n = g.canonical.size();
  Search found{std::vector<std::uint64_t>(n, Search::kInf), std::vector<std::int32_t>(n, -1),
               std::vector<std::int64_t>(n, -1)};
  auto& [dist, seedOf, parent] = found;
  using Item = std::pair<std::uint64_t, std::uint32_t>;
  std::priority_queue<Item, std::vector<Item>, std::greater<>> queue;
  for (std::size_t s = 0; s < seeds.size(); ++s) {
    auto i = g.at(seeds[s].terminalId);
    if (!i || g.term(*i).isMaskedOut) continue;
    if (seeds[s].cost < dist[*i]) {  // the first of equal seeds wins
      dist[*i] = seeds[s].cost;
      seedOf[*i] = static_cast<std::int32_t>(s);
      queue.emplace(dist[*i], *i);
    }
  }
  while (!queue.empty()) {
    auto [d, u] = queue.top();
    queue.pop();
    if (d != dist[u]) continue;
    for (auto [v, cost] : g.out[u]) {
      if (blocked[v]) continue;
      const std::uint64_t nd = d + cost;
      if (nd < dist[v]) {
        dist[v] = nd;
        seedOf[v] = seedOf[u];
        parent[v] = u;
        queue.emplace(nd, v);
      }
    }
  }
  return found;
}

RoutingState::Calculation RoutingState::calculate(std::uint64_t session, std::uint64_t file,
                                                  const std::vector<RouteSeed>& seeds,
                                                  const std::vector<std::uint32_t>& destinations,
                                                  std::uint32_t flags, std::uint32_t capacity) {
  Calculation c;
  if (!graph_) return c;
  const Graph& g = *graph_;
  const bool ignore = flags & kIgnoreReservations;
  const Search found = shortestPaths(g, seeds, blockedFor(session, file, ignore));
  for (std::uint32_t id : destinations) {
    auto i = g.at(id);
    if (!i || found.dist[*i] == Search::kInf || c.results.size() >= capacity) {
      ++c.unrouted;
      continue;
    }
    Route r;
    r.ticket = newTicket();
    r.session = session;
    r.file = file;
    for (std::int64_t at = *i; at >= 0; at = found.parent[static_cast<std::size_t>(at)])
      r.path.push_back(g.term(static_cast<std::uint32_t>(at)).id);
    std::reverse(r.path.begin(), r.path.end());
    r.destination = id;
    r.cost = static_cast<std::int32_t>(
        std::min<std::uint64_t>(found.dist[*i], std::numeric_limits<std::int32_t>::max()));
    r.seedIndex = found.seedOf[*i];
    r.inversionNeeded = seeds[static_cast<std::size_t>(r.seedIndex)].inversionNeeded;
    r.ignoresReservations = ignore;
    c.results.push_back({r.ticket, r.destination, r.cost, r.seedIndex, r.inversionNeeded});
    routes_.emplace(r.ticket, std::move(r));
  }
  if (c.results.empty()) c.status = kStatusNoRoute;
  return c;
}

std::int32_t RoutingState::reserve(std::int32_t ticket, std::vector<RouteConflict>& conflicts,
                                   std::vector<Demotion>& demoted) {
  Route* r = find(ticket);
  if (!r) return kStatusUnknownTicket;
  if (r->state != State::Calculated) return 0;
  const auto mine = r->driven();
  const std::set<std::uint32_t> drives(mine.begin(), mine.end());
  std::vector<Route*> inTheWay;
  for (auto& [t, other] : routes_) {
    // One session: the same session id on the same open file (ids are host addresses, which
    // two processes may share).
    if (other.state == State::Calculated || (other.session == r->session && other.file == r->file))
      continue;
    for (std::uint32_t id : other.driven())
      if (drives.count(id)) {
        inTheWay.push_back(&other);
        break;
      }
  }
  if (!inTheWay.empty() && !r->ignoresReservations) {
    for (const Route* o : inTheWay) conflicts.push_back({o->session, o->ticket});
    return kStatusReservationConflict;
  }
  for (Route* o : inTheWay) {
    o->state = State::Calculated;
    demoted.push_back({o->session, o->ticket, o->file});
  }
  r->state = State::Reserved;
  return 0;
}

std::int32_t RoutingState::program(std::int32_t ticket) {
  Route* r = find(ticket);
  if (!r) return kStatusUnknownTicket;
  if (r->state == State::Calculated) return kStatusNotReserved;
  r->state = State::Programmed;
  return 0;
}

std::int32_t RoutingState::unprogram(std::int32_t ticket) {
  Route* r = find(ticket);
  if (!r) return kStatusUnknownTicket;
  if (r->state == State::Programmed) r->state = State::Reserved;
  return 0;
}

std::int32_t RoutingState::unreserve(std::int32_t ticket) {
  Route* r = find(ticket);
  if (!r) return kStatusUnknownTicket;
  if (r->state == State::Programmed) return kStatusRouteProgrammed;
  r->state = State::Calculated;
  return 0;
}

std::int32_t RoutingState::destroy(std::int32_t ticket) {
  return routes_.erase(ticket) ? 0 : kStatusUnknownTicket;
}

std::int32_t RoutingState::path(std::int32_t ticket, std::vector<std::uint32_t>& ids) const {
  auto it = routes_.find(ticket);
  if (it == routes_.end()) return kStatusUnknownTicket;
  ids = it->second.path;
  return 0;
}

std::int32_t RoutingState::resetTerminal(std::uint32_t id, bool floating) {
  const qotopo::Terminal* t = terminal(id);
  if (!t) return kStatusUnknownTerminal;
  if (t->isMaskedOut) return kStatusMaskedOut;
  resets_[t->canonicalId] = floating;
  return 0;
}

std::int32_t RoutingState::calculateReset(std::uint64_t session, std::uint64_t file,
                                          std::uint32_t id, bool floating, std::uint32_t& ticket) {
  const qotopo::Terminal* t = terminal(id);
  if (!t) return kStatusUnknownTerminal;
  if (t->isMaskedOut) return kStatusMaskedOut;
  Route r;
  r.ticket = newTicket();
  r.session = session;
  r.file = file;
  r.path = {t->canonicalId};
  r.destination = id;
  r.reset = true;
  r.floating = floating;
  ticket = static_cast<std::uint32_t>(r.ticket);
  routes_.emplace(r.ticket, std::move(r));
  return 0;
}

std::optional<std::vector<Demotion>> RoutingState::demote(std::optional<std::int32_t> ticket) {
  std::vector<Demotion> out;
  if (ticket) {
    Route* r = find(*ticket);
    if (!r) return std::nullopt;
    r->state = State::Calculated;
    out.push_back({r->session, r->ticket, r->file});
    return out;
  }
  for (auto& [t, r] : routes_)
    if (r.state != State::Calculated) {
      r.state = State::Calculated;
      out.push_back({r.session, r.ticket, r.file});
    }
  return out;
}

void RoutingState::fileClosed(std::uint64_t file) {
  std::erase_if(routes_, [&](const auto& entry) { return entry.second.file == file; });
}

json RoutingState::toJson() const {
  static const char* const kStates[] = {"calculated", "reserved", "programmed"};
  json routes = json::array();
  for (const auto& [t, r] : routes_) {
    json path = json::array();
    json names = json::array();
    for (std::uint32_t id : r.path) {
      path.push_back(id);
      const qotopo::Terminal* term = terminal(id);
      names.push_back(term ? term->name : "");
    }
    routes.push_back({{"ticket", r.ticket},
                      {"session", r.session},
                      {"state", kStates[static_cast<int>(r.state)]},
                      {"destination", r.destination},
                      {"cost", r.cost},
                      {"seedIndex", r.seedIndex},
                      {"inversionNeeded", r.inversionNeeded},
                      {"ignoresReservations", r.ignoresReservations},
                      {"reset", r.reset},
                      {"path", path},
                      {"names", names}});
  }
  json resets = json::object();
  for (const auto& [id, floating] : resets_)
    resets[std::to_string(id)] = floating ? "floating" : "default";
  return json{{"topography", topography() ? json(name_) : json(nullptr)},
              {"routes", routes},
              {"resets", resets}};
}

}  // namespace qosim
