// The load of the storm and the soak: the host workers (one table: what each calls and the codes
// it may answer while boards come and go under it), the plug/unplug cycles of kBoards, and a
// watchdog that ends a hung run with a message instead of waiting for the test timeout.
#pragma once

#include "StormHost.h"

namespace storm {

struct Context {
  StormHost& host;
  Outcomes& outcomes;
  std::vector<std::string> items;         // every item name that can exist during the run
  std::vector<std::string> routingNodes;  // routing nodes of boards that can exist
  // Each routing worker keeps to one board, so two sessions never contend for the same
  // terminals (a conflict there would be the driver's answer, not a board going).
  std::atomic<std::size_t> routingWorkers{0};
};

// A board that vanishes mid-call makes the library answer "no such item" (its status -52006),
// a device-layer failure of the driver, or a refresh that got only part of the readings.
inline const std::vector<std::int32_t> kBagCodes = {kS_OK, kItemNotExist, kDeviceGone,
                                                    kDeviceFailure};
// A refresh of a subset of tags answers "property not present" when none of them could be read.
inline const std::vector<std::int32_t> kRefreshCodes = {
    kS_OK, kPartly, kItemNotExist, kDeviceGone, kDeviceFailure, kPropertyAbsent};
inline const std::vector<std::int32_t> kAsyncCodes = {kRefreshPending, kItemNotExist};
// A session on a board that goes: its node is gone (no session), the subscription is refused,
// or later requests on its descriptor answer ENODEV.
inline const std::vector<std::int32_t> kRouteCodes = {kRouteOk, kBoardGone, kNotConnected,
                                                      kNoSuchNode};
// A reservation or programming may also meet a board plugged again under the session's node
// name since the route was calculated: that board knows no such ticket.
inline const std::vector<std::int32_t> kTicketCodes = {kRouteOk, kBoardGone, kNotConnected,
                                                       kNoSuchNode, kUnknownTicket};

template <class T>
const T& pick(const std::vector<T>& from, std::mt19937& random) {
  return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
}

inline void listItems(Context& c, std::mt19937&) {
  HRESULT hr = 0;
  for (const std::string& name : itemNames(c.host.expert, &hr)) {
    // A name the run never plugged would be a corrupted cache.
    if (std::find(c.items.begin(), c.items.end(), name) == c.items.end())
      c.outcomes.record(("GetItemNames: " + name).c_str(), hr, {});
  }
  c.outcomes.record("GetItemNames", hr, {kS_OK});
}

inline void readBag(Context& c, std::mt19937& random) {
  const HostText name(pick(c.items, random));
  void* bag = nullptr;
  const HRESULT hr = c.host.expert->vtbl->GetPropertyBag(c.host.expert, name, &bag);
  if (bag != nullptr) {
    bagRows(static_cast<ImxSysPropertyBag*>(bag));
    release(bag);
  }
  c.outcomes.record("GetPropertyBag", hr, kBagCodes);
}

inline void refresh(Context& c, std::mt19937& random, int flag) {
  const HostText name(pick(c.items, random));
  const unsigned tags[] = {kTemperatureTag};
  void* bag = nullptr;
  const HRESULT hr =
      c.host.expert->vtbl->GetPropertyBagWithRefresh(c.host.expert, name, 1, tags, flag, &bag);
  if (bag != nullptr) release(bag);
  if (flag == 0) {
    c.outcomes.record("refresh (sync)", hr, kRefreshCodes);
  } else {
    c.outcomes.record("refresh (async)", hr, kAsyncCodes);
  }
}
inline void refreshSync(Context& c, std::mt19937& random) { refresh(c, random, 0); }
inline void refreshAsync(Context& c, std::mt19937& random) { refresh(c, random, 1); }

inline void diagnose(Context& c, std::mt19937& random) {
  const HostText name(pick(c.items, random));
  wchar_t* text = nullptr;
  const HRESULT hr = c.host.diagnostic->vtbl->RunDiagnostic(c.host.diagnostic, name, 0, &text);
  takeHostText(text);
  c.outcomes.record("RunDiagnostic", hr, kBagCodes);
}

// A session that calculates, reserves and programs a route, then takes it all back.
inline void route(Context& c, std::mt19937& random) {
  const routingabi::Exports& x = c.host.routing;
  thread_local const std::size_t board = c.routingWorkers++;
  (void)random;
  routingabi::HostStatus st;
  const std::string& node = c.routingNodes[board % c.routingNodes.size()];
  void* s = x.createSession(node.c_str(), &routingabi::hostAllocate, &st);
  c.outcomes.record("createSession", st.code(), kRouteCodes);
  if (s == nullptr) return;
  routingabi::HostStatus calc;
  char* out = nullptr;
  x.calculateRoute(s, R"([{"terminal":"Front0","cost":1,"constraints":{}}])", R"(["FpgaIn3"])",
                   "{}", &out, &calc);
  const std::uint32_t ticket = testsupport::ticketOf(testsupport::take(out));
  c.outcomes.record("calculateRoute", calc.code(), kRouteCodes);
  if (ticket != 0) {
    routingabi::HostStatus reserve, program;
    x.reserveRoute(s, ticket, &out, &reserve);
    testsupport::take(out);
    c.outcomes.record("reserveRoute", reserve.code(), kTicketCodes);
    if (reserve.code() == kRouteOk) {
      x.programRoute(s, ticket, &program);
      c.outcomes.record("programRoute", program.code(), kTicketCodes);
    }
    x.unprogramRoute(s, ticket);
    x.unreserveRoute(s, ticket);
    x.destroyRoute(s, ticket);
  }
  x.destroySession(s);
}

struct WorkerKind {
  const char* name;  // also the thread's name
  int threads;
  void (*step)(Context&, std::mt19937&);
};

inline constexpr WorkerKind kWorkers[] = {
    {"storm-list", 1, &listItems},      {"storm-bag", 2, &readBag},
    {"storm-refresh", 1, &refreshSync}, {"storm-refresh-a", 1, &refreshAsync},
    {"storm-diag", 1, &diagnose},       {"storm-route", 3, &route},
};

// Whether worker `name` runs: every one, unless QO_STORM_WORKERS names a few (comma-separated),
// for looking at one kind of call alone.
inline bool selected(const char* name) {
  const char* list = std::getenv("QO_STORM_WORKERS");
  if (list == nullptr || *list == '\0') return true;
  const std::string names = std::string(",") + list + ",";
  return names.find(std::string(",") + name + ",") != std::string::npos;
}

// Runs every worker of kWorkers on its own named thread until stop() (which joins them).
class Workers {
 public:
  // `pause`: a rest after each step (the soak's load shares the machine for half an hour).
  explicit Workers(Context& context, std::chrono::microseconds pause = {}) {
    unsigned seed = 1;
    for (const WorkerKind& kind : kWorkers) {
      if (!selected(kind.name)) continue;
      for (int i = 0; i < kind.threads; ++i) {
        threads_.emplace_back([this, &context, &kind, pause, seed = seed++] {
          ::pthread_setname_np(::pthread_self(), kind.name);
          std::mt19937 random(seed);
          while (!stop_.load()) {
            kind.step(context, random);
            ++steps_;
            if (pause.count() > 0) std::this_thread::sleep_for(pause);
          }
        });
      }
    }
  }
  ~Workers() { stop(); }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  void stop() {
    stop_ = true;
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }
  long steps() const { return steps_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<long> steps_{0};
  std::vector<std::thread> threads_;
};

// Ends the process with a message when a run does not finish within its bound: a hang must
// fail the test, not wait for it to be killed without a word.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds bound)
      : thread_([this, bound] {
          ::pthread_setname_np(::pthread_self(), "storm-watchdog");
          std::unique_lock lock(mutex_);
          if (!done_cv_.wait_for(lock, bound, [this] { return done_; })) {
            std::fprintf(stderr, "storm watchdog: the run did not end within %lld s\n",
                         static_cast<long long>(bound.count()));
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;  // guards done_
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

// What one run of cycles saw.
struct CycleReport {
  long cycles = 0;
  long waitedArrivals = 0, missedArrivals = 0;
  long waitedRemovals = 0, missedRemovals = 0;
  std::string error;  // a control request that failed
};

// One cycle: every board of kBoards plugged, held a little (0 ms: plugged and pulled between two
// presence passes), then pulled in a rotated order. Every `waitEvery`-th cycle waits for the
// arrivals before pulling and for the removals after: those must reach the sink.
inline void cycle(qosim::Client& client, PresenceSink& sink, long n, int waitEvery,
                  CycleReport& report) {
  std::vector<std::string> items;
  for (const BoardKind& kind : kBoards) {
    if (const qosim::Status st = client.plug(describe(kind)); !st.ok()) report.error = st.error;
    items.push_back(itemOf(kind.device));
  }
  const bool wait = waitEvery > 0 && n % waitEvery == 0;
  if (wait) {
    ++report.waitedArrivals;
    if (!sink.waitForEach(items, true, 20000)) ++report.missedArrivals;
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * (n % 5)));
  }
  const std::size_t count = std::size(kBoards);
  for (std::size_t i = 0; i < count; ++i) {
    const BoardKind& kind = kBoards[(i + static_cast<std::size_t>(n)) % count];
    if (const qosim::Status st = client.unplug(kind.device); !st.ok()) report.error = st.error;
  }
  if (wait) {
    ++report.waitedRemovals;
    if (!sink.waitForEach(items, false, 20000)) ++report.missedRemovals;
  }
}

// How a run of cycles goes on: a count, or (with `until`) a time; a pause after each cycle;
// every `waitEvery`-th cycle waited for; `done` (when given) counts the cycles as they end.
struct CyclePlan {
  long cycles = 0;
  std::optional<Clock::time_point> until;
  int waitEvery = 8;
  std::chrono::milliseconds pause{0};
  std::atomic<long>* done = nullptr;
};

inline CycleReport runCycles(qosim::Client& client, PresenceSink& sink, const CyclePlan& plan) {
  CycleReport report;
  const auto& until = plan.until;
  const std::chrono::milliseconds pause = plan.pause;
  for (long n = 0; until ? Clock::now() < *until : n < plan.cycles; ++n) {
    cycle(client, sink, n, plan.waitEvery, report);
    ++report.cycles;
    if (plan.done != nullptr) ++*plan.done;
    if (!report.error.empty()) break;
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  }
  return report;
}

// The board with routing (topography vorlix-matrix-a) of the default machine (sim/boards).
inline constexpr char kMachineRoutingBoard[] = "qovorlix1";

// The context of a run: every item that can exist (the machine's from the start and those of
// kBoards) and every routing node.
inline void fillContext(Context& c) {
  for (const BoardKind& kind : kBoards) {
    c.items.push_back(itemOf(kind.device));
    if (kind.topography != nullptr)
      c.routingNodes.push_back(describe(kind).nodePath(kRoutingInterface));
  }
  c.items.push_back("KEL59");  // never plugged: always "no such item"
  // The default machine's routing board, when the machine has it, stays plugged throughout.
  if (std::find(c.items.begin(), c.items.end(), itemOf(kMachineRoutingBoard)) != c.items.end()) {
    qosim::BoardDesc board;
    board.device = kMachineRoutingBoard;
    c.routingNodes.push_back(board.withRouting().nodePath(kRoutingInterface));
  }
}

inline long envNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atol(text) : fallback;
}

}  // namespace storm
