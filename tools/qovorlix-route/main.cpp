// qovorlix-route: the reference routing host on the command line. It loads the library with
// dlopen and reaches it only through the 22 routing exports (tools/common/routing_host_abi.h).
// `qovorlix-route --help` lists the commands, the exit codes and what a route's lifetime is.
//
// Every failure leaves through one place (main's handler of Failure): a line on stderr, or
// under --json exactly one JSON document {"error": ..., "exitCode": N} on stdout. Output goes
// through hostcli::write, so a full disk or a closed pipe is noticed and reported.
#include <dirent.h>
#include <fmt/color.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <glob.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host_cli.h"
#include "host_commands.h"
#include "host_library.h"
#include "routing_host_abi.h"
#include "stop_signals.h"

#ifndef QO_VERSION
#define QO_VERSION "unknown"
#endif

namespace {

using namespace routingabi;
using hostcli::printable;
using nlohmann::json;

constexpr char kProgram[] = "qovorlix-route";

// Exit codes (also in --help).
constexpr int kOk = 0;
constexpr int kFailed = 1;   // library or driver error, no route found, output not written
constexpr int kUsage = 2;    // bad command line
constexpr int kUnknown = 3;  // unknown device, terminal or ticket

constexpr char kExitCodes[] =
    "Exit codes: 0 done; 1 the library cannot be loaded, the library/driver refused a step, no\n"
    "route was found (the message says why), or the output could not be written; 2 bad command\n"
    "line; 3 unknown device, terminal or ticket; 130/143 ended by SIGINT/SIGTERM\n"
    "(watch-demotions, route --hold), after the route and session were released; 141 standard\n"
    "output is a closed pipe. Under --json every failure is one document {\"error\", "
    "\"exitCode\"}.\n"
    "Routes belong to the session (the open device file) that calculated them: when this\n"
    "program ends, the driver destroys every route it made. `route --hold` keeps its route\n"
    "programmed until Ctrl-C; `release` acts by ticket in a fresh session and so can release\n"
    "only a route still alive in another running process (e.g. a `route --hold`).\n"
    "DEVICE is a board name (qovorlix1 or KEL1) or a routing node path.";

// ---- failures and output -------------------------------------------------------------------

// How this run reports: set once the command line is read.
struct Reporting {
  bool asJson = false;
  bool verbose = false;
  bool colourOut = false;
  bool colourErr = false;
};
Reporting gReport;

std::mutex gOutput;  // serialises output of the main thread and the demotion thread

// A failure on its way to main: the message (bytes as given; escaped when shown), the exit code
// and, under --json, further members of the error document.
struct Failure {
  int code;
  std::string message;
  json extra = json::object();
};

[[noreturn]] void fail(int code, std::string message, json extra = json::object()) {
  throw Failure{code, std::move(message), std::move(extra)};
}

void out(std::string_view text) {
  std::lock_guard<std::mutex> lock(gOutput);
  hostcli::write(text);
}

// One line of an event stream: written and flushed at once, so a reader sees it as it happens.
void outLine(std::string_view text) {
  std::lock_guard<std::mutex> lock(gOutput);
  hostcli::writeLine(text);
  hostcli::flush();
}

std::string clockNow() {
  const std::time_t seconds = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&seconds, &tm);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &tm);
  return text;
}

// ---- driver and library statuses -----------------------------------------------------------

// What a status code of the library or the routing driver means, for a person.
std::string statusMeaning(std::int32_t code) {
  static const std::map<std::int32_t, const char*> kMeanings = {
      {-89130, "no route has this ticket"},
      {-89131, "the route is not reserved"},
      {-89133, "the route is still programmed"},
      {-89134, "the board has no terminal with this id"},
      {-89135, "no path reaches the destination"},
      {-89136, "the terminal is masked out"},
      {-89137, "terminals of the route are reserved by another session"},
      {-50003, "unknown selector or topography"},
      {-52000, "out of memory"},
      {-52002, "operation not supported by the node"},
      {-52003, "the driver's /proc tree cannot be read"},
      {-52005, "invalid argument or request"},
      {-52006, "no such device or file"},
      {-52007, "timed out"},
      {-52008, "operating-system failure"},
      {-52011, "operation already in progress"},
      {-52012, "no space or value overflow"},
      {-52013, "already exists"},
      {-52014, "previous owner died"},
      {-52015, "would deadlock"},
      {-52019, "buffer too small"},
      {-52020, "identifier removed"},
      {-52023, "connection to the driver aborted"},
      {-52024, "I/O error"},
      {-52025, "interrupted or connection reset"},
      {-52026, "permission denied"},
      {-52031, "device busy"},
  };
  const auto it = kMeanings.find(code);
  if (it != kMeanings.end()) return it->second;
  return code > 0 ? "warning" : "error";
}

std::string describeStatus(std::int32_t code) {
  return fmt::format("{} ({})", code, statusMeaning(code));
}

// The members of an error document for a failed status (its code and the status's JSON text);
// the source detail only with --verbose.
json statusMembers(std::int32_t code, const std::string& text) {
  json extra = {{"status", code}, {"meaning", statusMeaning(code)}};
  if (gReport.verbose) {
    const json detail = json::parse(text, nullptr, false);
    extra["detail"] = detail.is_discarded() ? json(text) : detail;
  }
  return extra;
}
json statusMembers(const HostStatus& st) { return statusMembers(st.code(), st.text()); }

// The message of a failed step: its meaning, and with --verbose the status's source detail.
std::string stepMessage(const std::string& step, std::int32_t code, const std::string& text) {
  std::string message = fmt::format("{} failed: {}", step, describeStatus(code));
  // Under --json the detail is a member of its own.
  if (gReport.verbose && !gReport.asJson && !text.empty()) message += "; detail " + text;
  return message;
}
std::string stepMessage(const std::string& step, const HostStatus& st) {
  return stepMessage(step, st.code(), st.text());
}

void check(const std::string& step, const HostStatus& st) {
  if (st.code() < 0) fail(kFailed, stepMessage(step, st), statusMembers(st));
}

std::string take(char*& text) {
  std::string s = text != nullptr ? text : "";
  std::free(text);
  text = nullptr;
  return s;
}

// ---- boards ----------------------------------------------------------------------------------

std::vector<std::string> driverBoards() {
  std::vector<std::string> boards;
  if (DIR* dir = ::opendir("/proc/driver/qo"); dir != nullptr) {
    while (const dirent* e = ::readdir(dir)) {
      if (e->d_name[0] != '.') boards.emplace_back(e->d_name);
    }
    ::closedir(dir);
  }
  std::sort(boards.begin(), boards.end());
  return boards;
}

std::string routingNodeOf(const std::string& board) {
  const std::string pattern =
      "/proc/driver/qo/" + board + "/deviceInterfaces/routing_routing*/interfacePath";
  glob_t g{};
  std::string path;
  if (::glob(pattern.c_str(), 0, nullptr, &g) == 0 && g.gl_pathc > 0) {
    std::ifstream in(g.gl_pathv[0]);
    std::getline(in, path, '\0');
    while (!path.empty() && (path.back() == '\n' || path.back() == '\0')) path.pop_back();
  }
  ::globfree(&g);
  return path;
}

struct Board {
  std::string name;  // qovorlix<n>, or the path given
  std::string node;  // the routing node
};

// A board named KEL<n> or qovorlix<n>, or a routing node path.
Board resolveBoard(const std::string& device) {
  if (device.find('/') != std::string::npos) {
    if (::access(device.c_str(), F_OK) != 0) {
      const int e = errno;
      fail(kUnknown, fmt::format("unknown device \"{}\": {}", device, std::strerror(e)),
           {{"device", device}});
    }
    return {device, device};
  }
  const std::vector<std::string> boards = driverBoards();
  const long number = hostcli::boardNumber(device);
  const std::string name = number >= 0 ? fmt::format("qovorlix{}", number) : device;
  if (number < 0 || std::find(boards.begin(), boards.end(), name) == boards.end()) {
    std::string hint = hostcli::nearestHint(device, boards);
    if (hint.empty()) {
      hint = boards.empty() ? " (the driver lists no boards)"
                            : fmt::format(" (boards: {})", fmt::join(boards, ", "));
    }
    fail(kUnknown, fmt::format("unknown device \"{}\"{}", device, hint),
         {{"device", device}, {"boards", boards}});
  }
  Board b{name, routingNodeOf(name)};
  if (b.node.empty()) {
    fail(kUnknown,
         fmt::format("unknown device \"{}\": {} has no routing interface under /proc/driver/qo/{}",
                     device, name, name),
         {{"device", device}});
  }
  return b;
}

// ---- demotions -------------------------------------------------------------------------------

pthread_t gMainThread;
std::atomic<int> gStreamError{0};  // errno of a failed write on the notification thread

// The main thread of a waiting command sleeps in sigwait for these: SIGINT and SIGTERM end it,
// SIGUSR1 is the notification thread telling it that the output can no longer be written.
sigset_t waitSignals() {
  sigset_t set = hostabi::stopSignals();
  sigaddset(&set, SIGUSR1);
  return set;
}

// Waits for SIGINT or SIGTERM (the signal); a write failure the notification thread met is
// thrown here instead, as only the main thread ends the program.
int waitForEnd() {
  const sigset_t set = waitSignals();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  if (signal == SIGUSR1) throw hostcli::WriteFailure(gStreamError.load());
  return signal;
}

// Demotions arrive on the library's notification thread.
struct Demotions {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
  int reason = 0;
  std::string thread;
  std::uint32_t ticket = 0;          // the route this session holds, 0 when none (guarded by mutex)
  bool print = false;                // set before the session starts its thread
  bool started = false;              // the stream's start has been written (guarded by gOutput)
  std::vector<std::string> pending;  // lines of demotions before the start (guarded by gOutput)
};

std::string demotionLine(int count, std::int32_t reason, std::uint32_t ticket,
                         const std::string& thread) {
  if (gReport.asJson) {
    json line = {{"event", "demotion"}, {"time", hostcli::isoNow()}, {"demotion", count},
                 {"reason", reason},    {"thread", thread},          {"reserved", false}};
    line["ticket"] = ticket != 0 ? json(ticket) : json(nullptr);
    return hostcli::dumpJson(line);
  }
  if (ticket != 0) {
    return fmt::format(
        "{}  demotion {}: route {} is no longer reserved; another session took its terminals or "
        "the driver withdrew it (reason {})",
        clockNow(), count, ticket, reason);
  }
  return fmt::format(
      "{}  demotion {}: this session's reservations were withdrawn; it holds no route (reason {})",
      clockNow(), count, reason);
}

void onDemotion(void* context, std::int32_t reason, JsonStatus* /*status*/) noexcept {
  auto* d = static_cast<Demotions*>(context);
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  int count = 0;
  std::uint32_t ticket = 0;
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    count = ++d->count;
    ticket = d->ticket;
    d->reason = reason;
    d->thread = name;
    d->changed.notify_all();
  }
  if (!d->print) return;
  try {
    const std::string line = demotionLine(count, reason, ticket, name);
    std::lock_guard<std::mutex> lock(gOutput);
    if (!d->started) {
      d->pending.push_back(line);
      return;
    }
    hostcli::writeLine(line);
    hostcli::flush();
  } catch (const hostcli::WriteFailure& failure) {
    // Only the main thread ends the program: it is told and cleans up.
    int expected = 0;
    if (gStreamError.compare_exchange_strong(expected, failure.error))
      pthread_kill(gMainThread, SIGUSR1);
  } catch (...) {
  }
}

// Writes a stream's start line and the demotions that came before it.
void startStream(Demotions& d, const std::string& line) {
  std::lock_guard<std::mutex> lock(gOutput);
  if (!line.empty()) hostcli::writeLine(line);
  for (const auto& p : d.pending) hostcli::writeLine(p);
  d.pending.clear();
  d.started = true;
  hostcli::flush();
}

// ---- sessions and routes ---------------------------------------------------------------------

// A session on a board's routing node, destroyed with the object.
class Session {
 public:
  Session(const Exports& x, Demotions* demotions) : x_(x), demotions_(demotions) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (handle_ != nullptr) x_.destroySession(handle_);
  }
  void open(const std::string& device) {
    board_ = resolveBoard(device);
    HostStatus st;
    handle_ = demotions_ != nullptr
                  ? x_.createSessionWithDemotionFunc(board_.node.c_str(), &hostAllocate,
                                                     &onDemotion, demotions_, &st)
                  : x_.createSession(board_.node.c_str(), &hostAllocate, &st);
    check(fmt::format("opening a session on {}", board_.node), st);
    if (handle_ == nullptr) fail(kFailed, "opening a session on " + board_.node + " failed");
  }
  void* handle() const { return handle_; }
  const std::string& name() const { return board_.name; }
  const std::string& node() const { return board_.node; }

 private:
  const Exports& x_;
  Demotions* demotions_;
  void* handle_ = nullptr;
  Board board_;
};

// A route of this session, given back to the driver when the object goes, whatever its state.
class RouteGuard {
 public:
  RouteGuard(const Exports& x, void* session, std::uint32_t ticket)
      : x_(x), session_(session), ticket_(ticket) {}
  RouteGuard(const RouteGuard&) = delete;
  RouteGuard& operator=(const RouteGuard&) = delete;
  ~RouteGuard() { release(); }
  void release() {
    if (ticket_ == 0) return;
    x_.unprogramRoute(session_, ticket_);
    x_.unreserveRoute(session_, ticket_);
    x_.destroyRoute(session_, ticket_);
    ticket_ = 0;
  }

 private:
  const Exports& x_;
  void* session_;
  std::uint32_t ticket_;
};

// Every terminal with all of its attributes, in the library's order.
json readTerminals(const Exports& x, void* session) {
  static const char* const kStrings[] = {"name", "visibility", "busType", "busName",
                                         "canonicalName"};
  static const char* const kBools[] = {"isExternal", "isOwned", "isAlias", "isMaskedOut"};
  static const char* const kU32s[] = {"id", "busLine"};
  HostStatus st;
  void* it = x.getAllTerminals(session, &st);
  json all = json::array();
  while (it != nullptr && st.code() >= 0 && !x.TerminalIterator_isEnd(it)) {
    json t = json::object();
    for (const char* a : kStrings) {
      const char* v = x.TerminalIterator_getStringAttribute(it, a, &st);
      t[a] = v != nullptr ? v : "";
    }
    for (const char* a : kU32s) t[a] = x.TerminalIterator_getU32Attribute(it, a, &st);
    for (const char* a : kBools) t[a] = x.TerminalIterator_getBoolAttribute(it, a, &st);
    all.push_back(std::move(t));
    x.TerminalIterator_next(it, &st);
  }
  if (it != nullptr) x.TerminalIterator_destroy(it);
  check("reading the terminals", st);
  return all;
}

const std::string& str(const json& t, const char* key) {
  return t[key].get_ref<const std::string&>();
}

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

const json* findTerminal(const json& terminals, const std::string& name) {
  for (const auto& t : terminals)
    if (sameName(str(t, "name"), name)) return &t;
  return nullptr;
}

std::vector<std::string> terminalNames(const json& terminals) {
  std::vector<std::string> names;
  for (const auto& t : terminals) names.push_back(str(t, "name"));
  return names;
}

[[noreturn]] void unknownTerminal(const json& terminals, const std::string& name,
                                  const std::string& board) {
  const std::vector<std::string> names = terminalNames(terminals);
  fail(kUnknown,
       fmt::format("unknown terminal \"{}\" on {}{}", name, board,
                   hostcli::nearestHint(name, names)),
       {{"terminal", name}, {"nearest", hostcli::nearest(name, names)}});
}

// One route calculation; the routes found (possibly none) and the status.
struct Calculation {
  json routes = json::array();
  std::int32_t code = 0;
  std::string detail;
  std::uint32_t ticket() const {
    return routes.is_array() && !routes.empty() && routes[0].contains("ticket")
               ? routes[0]["ticket"].get<std::uint32_t>()
               : 0;
  }
};

Calculation calculate(const Exports& x, void* session, const std::string& from,
                      const std::string& to, bool ignoreReservations) {
  const json seeds =
      json::array({{{"terminal", from}, {"cost", 1}, {"constraints", json::object()}}});
  const json destinations = json::array({to});
  const json modifiers = ignoreReservations
                             ? json{{"required", {{"calculateIgnoresReservations", true}}}}
                             : json::object();
  HostStatus st;
  char* text = nullptr;
  x.calculateRoute(session, hostcli::dumpJson(seeds).c_str(),
                   hostcli::dumpJson(destinations).c_str(), hostcli::dumpJson(modifiers).c_str(),
                   &text, &st);
  Calculation c;
  c.routes = json::parse(take(text), nullptr, false);
  if (!c.routes.is_array()) c.routes = json::array();
  c.code = st.code();
  c.detail = st.text();
  return c;
}

std::vector<std::string> routePath(const Exports& x, void* session, std::uint32_t ticket,
                                   HostStatus& st) {
  char* text = nullptr;
  x.getRouteTerminalPath(session, ticket, &text, &st);
  const json path = json::parse(take(text), nullptr, false);
  std::vector<std::string> names;
  if (path.is_array())
    for (const auto& n : path) names.push_back(n.is_string() ? n.get<std::string>() : n.dump());
  return names;
}

// Why no route from `from` to `to` was found: an unknown name, a masked terminal, terminals
// that other sessions hold, or no path at all. The answer is found by asking the driver again
// (calculations only, which take nothing from anyone and are destroyed at once).
[[noreturn]] void explainNoRoute(const Exports& x, const Session& s, const json& terminals,
                                 const std::string& from, const std::string& to,
                                 bool ignoreReservations, const Calculation& first) {
  const std::string head = fmt::format("no route from {} to {} on {}", from, to, s.name());
  json extra = {{"from", from}, {"to", to}, {"status", first.code}};
  if (first.code < 0) extra["meaning"] = statusMeaning(first.code);
  for (const auto& name : {from, to}) {
    const json* t = findTerminal(terminals, name);
    if (t == nullptr) unknownTerminal(terminals, name, s.name());
    const json* canonical =
        (*t)["isAlias"].get<bool>() ? findTerminal(terminals, str(*t, "canonicalName")) : t;
    if ((*t)["isMaskedOut"].get<bool>() ||
        (canonical != nullptr && (*canonical)["isMaskedOut"].get<bool>())) {
      extra["reason"] = "masked";
      extra["terminal"] = str(*t, "name");
      fail(kFailed,
           fmt::format("{}: terminal {} is masked out (the board does not route it)", head,
                       str(*t, "name")),
           extra);
    }
  }
  if (first.code < 0 && first.code != -89135) {
    fail(kFailed,
         stepMessage("calculating the route from " + from + " to " + to, first.code, first.detail),
         statusMembers(first.code, first.detail));
  }
  if (!ignoreReservations) {
    const Calculation taking = calculate(x, s.handle(), from, to, true);
    if (const std::uint32_t ticket = taking.ticket(); ticket != 0) {
      HostStatus st;
      const std::vector<std::string> path = routePath(x, s.handle(), ticket, st);
      x.destroyRoute(s.handle(), ticket);
      // The first terminal of that path which cannot be reached while respecting
      // reservations is one that another session holds.
      std::string held;
      for (std::size_t i = 1; i < path.size() && held.empty(); ++i) {
        const Calculation part = calculate(x, s.handle(), from, path[i], false);
        if (part.ticket() != 0)
          x.destroyRoute(s.handle(), part.ticket());
        else
          held = path[i];
      }
      extra["reason"] = "reserved";
      extra["path"] = path;
      if (!held.empty()) extra["terminal"] = held;
      if (held.empty()) {
        fail(kFailed,
             head +
                 ": the terminals on the way are held by routes of other sessions; "
                 "--ignore-reservations takes them (those routes are demoted)",
             extra);
      }
      fail(kFailed,
           fmt::format("{}: terminal {} is held by a route of another session; "
                       "--ignore-reservations takes it (that route is demoted)",
                       head, held),
           extra);
    }
  }
  extra["reason"] = "no path";
  fail(kFailed, head + ": no path between the two terminals", extra);
}

// ---- Graphviz --------------------------------------------------------------------------------

std::string dotId(const std::string& s) { return hostcli::dumpJson(json(s)); }

// The terminals grouped by bus (the library gives no connections) and the route's path edges.
std::string dotPicture(const json& terminals, const std::vector<std::string>& path) {
  std::string text = "digraph qovorlix {\n  rankdir=LR;\n  node [shape=box];\n";
  std::map<std::string, std::vector<std::string>> groups;
  for (const auto& t : terminals)
    groups[str(t, "busType") + " " + str(t, "busName")].push_back(str(t, "name"));
  int cluster = 0;
  for (const auto& [bus, names] : groups) {
    text += fmt::format("  subgraph cluster_{} {{\n    label={};\n", cluster++, dotId(bus));
    for (const auto& n : names) {
      const bool onPath = std::find(path.begin(), path.end(), n) != path.end();
      text += fmt::format("    {}{};\n", dotId(n), onPath ? " [style=bold]" : "");
    }
    text += "  }\n";
  }
  for (std::size_t i = 0; i + 1 < path.size(); ++i)
    text += fmt::format("  {} -> {};\n", dotId(path[i]), dotId(path[i + 1]));
  return text + "}\n";
}

void writeDot(const std::string& file, const std::string& text) {
  if (file == "-") {
    out(text);
    return;
  }
  std::FILE* f = std::fopen(file.c_str(), "w");
  bool ok = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  int e = errno;
  if (f != nullptr && std::fclose(f) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (!ok)
    fail(kFailed, fmt::format("cannot write {}: {}", file, std::strerror(e)), {{"file", file}});
}

// ---- commands --------------------------------------------------------------------------------

// The global options, then what the commands take.
struct Options : hostcli::GlobalOptions {
  std::string device = "qovorlix1";
  std::string from;
  std::string to;
  std::string demote;
  std::string dot;
  std::vector<std::string> where;
  bool ignoreReservations = false;
  bool hold = false;
  std::uint32_t ticket = 0;
};

std::string attributeText(const json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); }

// The terminals whose attributes match every ATTRIBUTE=VALUE of `where` (without case); an
// attribute no terminal has is a usage error.
json filterTerminals(const json& all, const std::vector<std::string>& where) {
  json shown = json::array();
  for (const auto& t : all) {
    bool keep = true;
    for (const auto& w : where) {
      const auto eq = w.find('=');
      const std::string key = w.substr(0, eq);
      if (!t.contains(key)) {
        std::vector<std::string> keys;
        for (const auto& [k, v] : t.items()) keys.push_back(k);
        fail(kUsage,
             fmt::format("unknown terminal attribute \"{}\"{}", key,
                         hostcli::nearestHint(key, keys)),
             {{"attribute", key}});
      }
      keep = keep && sameName(attributeText(t[key]), w.substr(eq + 1));
    }
    if (keep) shown.push_back(t);
  }
  return shown;
}

// The terminals as a table: the heading bold and masked terminals yellow on a terminal.
void printTerminals(const json& shown, std::size_t total) {
  hostcli::Table table;
  table.add({"NAME", "ID", "EXTERNAL", "VISIBILITY", "BUS", "LINE", "CANONICAL", "FLAGS"});
  std::vector<bool> masked;
  for (const auto& t : shown) {
    std::vector<std::string> flags;
    if (t["isOwned"].get<bool>()) flags.emplace_back("owned");
    if (t["isAlias"].get<bool>()) flags.emplace_back("alias");
    if (t["isMaskedOut"].get<bool>()) flags.emplace_back("masked");
    table.add({str(t, "name"), std::to_string(t["id"].get<std::uint32_t>()),
               t["isExternal"].get<bool>() ? "yes" : "no", str(t, "visibility"),
               str(t, "busType") + " " + str(t, "busName"),
               std::to_string(t["busLine"].get<std::uint32_t>()), str(t, "canonicalName"),
               fmt::format("{}", fmt::join(flags, " "))});
    masked.push_back(t["isMaskedOut"].get<bool>());
  }
  const std::string text = table.text();
  std::size_t row = 0;
  for (std::size_t at = 0; at < text.size(); ++row) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!gReport.colourOut) {
      out(line + "\n");
    } else if (row == 0) {
      out(fmt::format(fmt::emphasis::bold, "{}", line) + "\n");
    } else if (masked[row - 1]) {
      out(fmt::format(fg(fmt::terminal_color::yellow), "{}", line) + "\n");
    } else {
      out(line + "\n");
    }
  }
  out(fmt::format("{} of {} terminals\n", shown.size(), total));
}

int terminalsCommand(const Exports& x, const Options& o) {
  Session s(x, nullptr);
  s.open(o.device);
  const json all = readTerminals(x, s.handle());
  const json shown = filterTerminals(all, o.where);
  if (!o.dot.empty()) {
    writeDot(o.dot, dotPicture(shown, {}));
    return kOk;
  }
  if (o.json) {
    const json doc = {
        {"device", s.name()}, {"node", s.node()}, {"count", shown.size()}, {"terminals", shown}};
    out(hostcli::dumpJson(doc, 2) + "\n");
    return kOk;
  }
  printTerminals(shown, all.size());
  return kOk;
}

// The terminals held by other sessions' routes, as the driver named them in a conflict.
[[noreturn]] void reservationConflict(const std::string& head, const std::string& conflictsText,
                                      const HostStatus& st) {
  const json conflicts = json::parse(conflictsText, nullptr, false);
  std::vector<std::string> tickets;
  json list = json::array();
  if (conflicts.is_array()) {
    for (const auto& c : conflicts) {
      if (!c.is_object()) continue;
      list.push_back(c);
      const auto ticket = c.value("ticket", json());
      const auto sessionId = c.value("sessionId", json());
      tickets.push_back(
          fmt::format("ticket {} of session {:#x}", ticket.dump(),
                      sessionId.is_number_unsigned() ? sessionId.get<std::uint64_t>() : 0));
    }
  }
  json extra = statusMembers(st);
  extra["reason"] = "reserved";
  extra["conflicts"] = list;
  const std::string holders = tickets.empty()
                                  ? std::string("a route of another session")
                                  : fmt::format("{} (another session)", fmt::join(tickets, ", "));
  fail(kFailed,
       fmt::format("{}: its terminals are held by {}; --ignore-reservations takes them (that "
                   "route is demoted)",
                   head, holders),
       extra);
}

int demotionCount(Demotions& d) {
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.count;
}

// Reserves and programs this session's route `ticket` (`head` names it); its terminal path.
std::vector<std::string> reserveAndProgram(const Exports& x, const Session& s, std::uint32_t ticket,
                                           const std::string& head) {
  HostStatus st;
  char* text = nullptr;
  x.reserveRoute(s.handle(), ticket, &text, &st);
  const std::string conflicts = take(text);
  if (st.code() == -89137) reservationConflict("cannot reserve the " + head, conflicts, st);
  check("reserving the " + head, st);
  x.programRoute(s.handle(), ticket, &st);
  check("programming the " + head, st);
  const std::vector<std::string> names = routePath(x, s.handle(), ticket, st);
  check("reading the terminal path of ticket " + std::to_string(ticket), st);
  return names;
}

// The programmed route told: its document, or its `summary` line unless the picture goes to
// stdout (--dot -), the picture being all that stdout gets then. With --hold as the start of
// the stream, followed by the demotions that came before it.
void announceRoute(const Options& o, Demotions& demotions, const json& doc,
                   const std::string& summary) {
  if (o.hold) {
    if (o.json) {
      json start = doc;
      start["event"] = "start";
      start["time"] = hostcli::isoNow();
      startStream(demotions, hostcli::dumpJson(start));
    } else {
      startStream(demotions, o.dot == "-" ? std::string()
                                          : summary +
                                                "\nroute reserved and programmed; holding it "
                                                "until Ctrl-C");
    }
  } else if (o.json) {
    out(hostcli::dumpJson(doc) + "\n");
  } else if (o.dot != "-") {
    out(summary + "\n");
  }
}

// The last line of a waiting command's JSON stream: `members`, the signal that ended it, the
// demotions it saw and its exit code.
std::string endEvent(json members, int signal, Demotions& demotions, int rc) {
  members["event"] = "end";
  members["time"] = hostcli::isoNow();
  members["signal"] = signal == SIGINT ? "SIGINT" : "SIGTERM";
  members["demotions"] = demotionCount(demotions);
  members["exitCode"] = rc;
  return hostcli::dumpJson(members);
}

// --hold: the route stays programmed until SIGINT/SIGTERM and is released then (also when the
// wait ends in a write failure: the guard releases it as the failure leaves).
int holdRoute(const Options& o, Demotions& demotions, RouteGuard& guard, std::uint32_t ticket) {
  const int signal = waitForEnd();
  guard.release();
  const int rc = hostcli::exitForSignal(signal);
  if (o.json) {
    outLine(endEvent({{"ticket", ticket}, {"released", true}}, signal, demotions, rc));
  } else if (o.dot != "-") {
    outLine(fmt::format("route {} released", ticket));
  }
  return rc;
}

int routeCommand(const Exports& x, const Options& o) {
  Demotions demotions;
  demotions.print = o.json || o.dot != "-";
  Session s(x, &demotions);
  s.open(o.device);
  const json terminals = readTerminals(x, s.handle());
  // Terminal names are text: one that is not UTF-8 names nothing.
  for (const auto& name : {o.from, o.to})
    if (!hostcli::isUtf8(name)) unknownTerminal(terminals, name, s.name());

  const Calculation c = calculate(x, s.handle(), o.from, o.to, o.ignoreReservations);
  const std::uint32_t ticket = c.ticket();
  if (ticket == 0) explainNoRoute(x, s, terminals, o.from, o.to, o.ignoreReservations, c);
  RouteGuard guard(x, s.handle(), ticket);
  {
    std::lock_guard<std::mutex> lock(demotions.mutex);
    demotions.ticket = ticket;
  }
  const json cost = c.routes[0].value("cost", json());
  const std::vector<std::string> names = reserveAndProgram(
      x, s, ticket, fmt::format("route from {} to {} on {}", o.from, o.to, s.name()));

  if (!o.dot.empty()) writeDot(o.dot, dotPicture(json::array(), names));
  const json doc = {{"device", s.name()}, {"ticket", ticket},   {"cost", cost},
                    {"path", names},      {"routes", c.routes}, {"held", o.hold}};
  announceRoute(o, demotions, doc,
                fmt::format("ticket {}  cost {}  path {}", ticket, cost.dump(),
                            printable(fmt::format("{}", fmt::join(names, " -> ")))));
  return o.hold ? holdRoute(o, demotions, guard, ticket) : kOk;
}

int releaseCommand(const Exports& x, const Options& o) {
  Session s(x, nullptr);
  s.open(o.device);
  HostStatus st;
  routePath(x, s.handle(), o.ticket, st);
  if (st.code() == -89130) {
    json extra = statusMembers(st);
    extra["ticket"] = o.ticket;
    fail(kUnknown,
         fmt::format("no route with ticket {} on {}; a route ends with the process that made it",
                     o.ticket, s.name()),
         extra);
  }
  check(fmt::format("looking up ticket {}", o.ticket), st);
  x.unprogramRoute(s.handle(), o.ticket);
  x.unreserveRoute(s.handle(), o.ticket);
  x.destroyRoute(s.handle(), o.ticket);
  HostStatus after;
  routePath(x, s.handle(), o.ticket, after);
  if (after.code() >= 0)
    fail(kFailed, fmt::format("route {} still exists: the driver kept it", o.ticket),
         {{"ticket", o.ticket}, {"released", false}});
  if (o.json) {
    out(hostcli::dumpJson({{"ticket", o.ticket}, {"released", true}}) + "\n");
  } else {
    out(fmt::format("route {} released\n", o.ticket));
  }
  return kOk;
}

int watchCommand(const Exports& x, const Options& o) {
  Demotions demotions;
  demotions.print = true;
  Session s(x, &demotions);
  s.open(o.device);
  if (o.json) {
    startStream(demotions, hostcli::dumpJson({{"event", "start"},
                                              {"time", hostcli::isoNow()},
                                              {"device", s.name()},
                                              {"node", s.node()}}));
  } else {
    startStream(demotions, fmt::format("watching demotions on {} ({}); Ctrl-C ends", s.name(),
                                       printable(s.node())));
  }
  const int signal = waitForEnd();
  const int rc = hostcli::exitForSignal(signal);
  if (o.json) {
    outLine(endEvent(json::object(), signal, demotions, rc));
  } else {
    outLine(fmt::format("{}: session closed", signal == SIGINT ? "interrupted" : "terminated"));
  }
  return rc;
}

std::string replaceAll(std::string text, const std::string& what, const std::string& with) {
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

// `probe`: every routing step once. Text as it goes, or (--json) one document with the same
// findings at the end; a failure under --json is that document with "error" and "exitCode".
class Probe {
 public:
  Probe(const Exports& x, const Options& o) : x_(x), o_(o) {}
  int run();

 private:
  void say(const std::string& text) const {
    if (!o_.json) out(printable(text));
  }
  void step(const std::string& what, const HostStatus& st) const;
  [[noreturn]] void stop(const std::string& why) const;
  template <typename Step>
  void withFindings(Step&& next) const;
  void handledConstraints(const Session& s);
  json terminals(const Session& s);
  void programRoute(const Session& s, std::uint32_t ticket);
  bool demote(const Session& s, Demotions& demotions, std::uint32_t ticket);

  const Exports& x_;
  const Options& o_;
  json doc_ = json::object();
};

void Probe::step(const std::string& what, const HostStatus& st) const {
  if (st.code() >= 0) return;
  json extra = doc_;
  extra.update(statusMembers(st));
  extra["ok"] = false;
  fail(kFailed, stepMessage(what, st), extra);
}

void Probe::stop(const std::string& why) const {
  json extra = doc_;
  extra["ok"] = false;
  fail(kFailed, why, extra);
}

// Runs `next`; a failure it raises carries the findings so far.
template <typename Step>
void Probe::withFindings(Step&& next) const {
  try {
    next();
  } catch (Failure& f) {
    f.extra.update(doc_);
    f.extra["ok"] = false;
    throw;
  }
}

void Probe::handledConstraints(const Session& s) {
  HostStatus st;
  char* text = nullptr;
  x_.getHandledConstraints(s.handle(), &text, &st);
  const std::string constraints = take(text);
  step("getHandledConstraints", st);
  doc_["handledConstraints"] = json::parse(constraints, nullptr, false);
  say(fmt::format("handled constraints: {}\n", constraints));
}

// The board's terminals, the first eight of them shown; a route needs two.
json Probe::terminals(const Session& s) {
  const json all = readTerminals(x_, s.handle());
  for (std::size_t i = 0; i < all.size() && i < 8; ++i) {
    say(fmt::format("  terminal {:<24} id {:<6} {}\n", str(all[i], "name"),
                    all[i]["id"].get<std::uint32_t>(),
                    all[i]["isExternal"].get<bool>() ? "external" : "internal"));
  }
  doc_["terminals"] = all.size();
  say(fmt::format("terminals: {}\n", all.size()));
  if (all.size() < 2) stop("the board has fewer than two terminals");
  return all;
}

void Probe::programRoute(const Session& s, std::uint32_t ticket) {
  HostStatus st;
  char* text = nullptr;
  x_.reserveRoute(s.handle(), ticket, &text, &st);
  const std::string conflicts = take(text);
  if (st.code() < 0) doc_["conflicts"] = json::parse(conflicts, nullptr, false);
  step("reserveRoute", st);
  x_.programRoute(s.handle(), ticket, &st);
  step("programRoute", st);
  const std::vector<std::string> path = routePath(x_, s.handle(), ticket, st);
  step("getRouteTerminalPath", st);
  doc_["path"] = path;
  say(fmt::format("route {} reserved and programmed; terminal path {}\n", ticket,
                  fmt::join(path, " -> ")));
}

// Runs the --demote command while the route is programmed; whether its demotion came.
bool Probe::demote(const Session& s, Demotions& demotions, std::uint32_t ticket) {
  const std::string nodeName = s.node().substr(s.node().rfind('/') + 1);
  const std::string command =
      replaceAll(replaceAll(o_.demote, "{node}", nodeName), "{ticket}", std::to_string(ticket));
  say(fmt::format("demotion requested: {}\n", command));
  hostcli::flush();
  // With --json the command's own output goes to stderr, so stdout stays one document.
  const std::string shell = o_.json ? "(" + command + ") 1>&2" : command;
  if (std::system(shell.c_str()) != 0) say("the demotion command failed\n");
  std::unique_lock<std::mutex> lock(demotions.mutex);
  const bool demoted = demotions.changed.wait_for(lock, std::chrono::seconds(5),
                                                  [&] { return demotions.count > 0; });
  if (demoted) {
    say(fmt::format(
        "demotion received: route {} is no longer reserved (reason {}, thread \"{}\")\n", ticket,
        demotions.reason, demotions.thread));
    doc_["demotion"] = {
        {"ticket", ticket}, {"reason", demotions.reason}, {"thread", demotions.thread}};
  } else {
    doc_["demotion"] = nullptr;
  }
  return demoted;
}

int Probe::run() {
  doc_["apiVersion"] = x_.getAPIVersion();
  say(fmt::format("API version: {}\n", x_.getAPIVersion()));
  Demotions demotions;
  Session s(x_, &demotions);
  withFindings([&] { s.open(o_.device); });
  doc_["node"] = s.node();
  say(fmt::format("routing node of {}: {}\n", s.name(), s.node()));
  handledConstraints(s);
  const json all = terminals(s);
  const std::string from = o_.from.empty() ? str(all.front(), "name") : o_.from;
  const std::string to = o_.to.empty() ? str(all.back(), "name") : o_.to;
  const Calculation c = calculate(x_, s.handle(), from, to, false);
  say(fmt::format("calculateRoute {} -> {}: routes {}\n", from, to, hostcli::dumpJson(c.routes)));
  doc_["routes"] = c.routes;
  const std::uint32_t ticket = c.ticket();
  if (ticket == 0) withFindings([&] { explainNoRoute(x_, s, all, from, to, false, c); });
  RouteGuard guard(x_, s.handle(), ticket);
  programRoute(s, ticket);
  const bool demoted = o_.demote.empty() || demote(s, demotions, ticket);
  guard.release();
  if (!demoted) stop("no demotion within 5 s");
  say("route destroyed, session closed\n");
  doc_["ok"] = true;
  if (o_.json) out(hostcli::dumpJson(doc_, 2) + "\n");
  return kOk;
}

int probeCommand(const Exports& x, const Options& o) { return Probe(x, o).run(); }

// ---- the command line ------------------------------------------------------------------------

constexpr char kDeviceHelp[] = "board name (qovorlix1 or KEL1) or routing node path";

void deviceArgument(CLI::App& command, Options& o) {
  command.add_option("device", o.device, kDeviceHelp)->required();
}

void terminalsOptions(CLI::App& command, Options& o) {
  deviceArgument(command, o);
  command.add_option("--where", o.where, "ATTRIBUTE=VALUE filter (repeatable, case-insensitive)")
      ->check([](const std::string& w) {
        return w.find('=') == std::string::npos ? std::string("expected ATTRIBUTE=VALUE")
                                                : std::string();
      });
  command.add_option("--dot", o.dot, "write the terminals, grouped by bus, as Graphviz (- stdout)");
}

void routeOptions(CLI::App& command, Options& o) {
  deviceArgument(command, o);
  command.add_option("--from", o.from, "seed terminal")->required();
  command.add_option("--to", o.to, "destination terminal")->required();
  command.add_flag("--ignore-reservations", o.ignoreReservations,
                   "take terminals reserved by other sessions (their routes are demoted)");
  command.add_flag(
      "--hold", o.hold,
      "keep the route programmed until SIGINT/SIGTERM, printing demotions, then release it");
  command.add_option("--dot", o.dot, "write the route's terminal path as Graphviz (- stdout)");
}

void releaseOptions(CLI::App& command, Options& o) {
  deviceArgument(command, o);
  command.add_option("ticket", o.ticket, "the route's ticket")->required();
}

void probeOptions(CLI::App& command, Options& o) {
  command.add_option("--device", o.device, kDeviceHelp);
  command.add_option("--from", o.from, "seed terminal (default: the first)");
  command.add_option("--to", o.to, "destination terminal (default: the last)");
  command.add_option("--demote", o.demote, "command run while the route is programmed");
}

// watch-demotions (and route --hold) waits for SIGINT/SIGTERM itself.
using Command = hostcli::Command<Options, int (*)(const Exports&, const Options&)>;
const Command kCommandTable[] = {
    {"terminals", "list the terminals and their attributes", terminalsOptions, terminalsCommand},
    {"route", "calculate, reserve and program a route", routeOptions, routeCommand},
    {"release", "unprogram, unreserve and destroy a route by ticket (in a fresh session)",
     releaseOptions, releaseCommand},
    {"watch-demotions", "print demotions until SIGINT/SIGTERM", deviceArgument, watchCommand, true},
    {"probe", "walk every routing step once (the demo)", probeOptions, probeCommand},
};

// The command word before parsing: "help" is answered as --help is (as other tools take it);
// a word that is no command fails with the nearest command. True when answered.
bool answerCommandWord(CLI::App& app, int argc, char** argv) {
  const auto word = hostcli::commandWord(argc, argv);
  if (!word) return false;
  if (*word == "help") {
    out(app.help());
    return true;
  }
  const std::vector<std::string> commands = hostcli::commandNames(kCommandTable);
  if (std::find(commands.begin(), commands.end(), *word) == commands.end()) {
    std::string hint = hostcli::nearestHint(*word, commands);
    if (hint.empty()) hint = fmt::format(" (commands: {})", fmt::join(commands, ", "));
    fail(kUsage, fmt::format("unknown command '{}'{}", *word, hint), {{"command", *word}});
  }
  return false;
}

// The waiting commands block SIGINT/SIGTERM before the library starts threads, so only their
// sigwait sees them and the route and session are released; the others keep the default (the
// process ends, and the driver destroys the routes of its closed file). SIGUSR1 is only ever
// sent by this program to itself, and is always taken by sigwait.
void blockSignals(bool waits) {
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &wake, nullptr);
  if (waits) hostabi::blockStopSignals();
}

void loadLibrary(const std::string& path, hostabi::HostLibrary& library, Exports& exports) {
  if (!library.open(path))
    fail(kFailed, fmt::format("cannot load {}: {}", path, library.error()), {{"library", path}});
  std::string missing;
  if (!exports.load(library, &missing))
    fail(kFailed, fmt::format("{} not exported by {}", missing, path), {{"library", path}});
}

int run(int argc, char** argv) {
  Options o;
  CLI::App app{"qovorlix-route: the reference routing host of the Vorlix boards"};
  const std::vector<CLI::App*> commands = hostcli::describeProgram(
      app,
      {kExitCodes, std::string(kProgram) + " " + QO_VERSION,
       "machine-readable output: one JSON document, or JSON lines for the waiting commands",
       "show the source detail of a failed library status"},
      kCommandTable, o);
  if (answerCommandWord(app, argc, argv)) return kOk;
  try {
    if (hostcli::parseOrAnswer(app, argc, argv)) return kOk;
  } catch (const CLI::ParseError& e) {
    fail(kUsage, std::string(e.what()) + " (see " + kProgram + " --help)");
  }
  const hostcli::ColorMode mode = hostcli::colorMode(o);
  gReport.asJson = o.json;
  gReport.verbose = o.verbose;
  gReport.colourOut = !o.json && hostcli::useColor(mode, STDOUT_FILENO);
  gReport.colourErr = hostcli::useColor(mode, STDERR_FILENO);

  const std::size_t chosen = hostcli::chosenCommand(commands);
  blockSignals((chosen < commands.size() && kCommandTable[chosen].waits) || o.hold);
  hostabi::HostLibrary library;  // unloaded after every session of it
  Exports exports;
  loadLibrary(o.library, library, exports);
  if (chosen == commands.size()) fail(kUsage, "a command is required (see qovorlix-route --help)");
  return kCommandTable[chosen].run(exports, o);
}

// The one way out of a failure: a document on stdout under --json, else a line on stderr.
int report(const Failure& f) {
  if (gReport.asJson) {
    std::lock_guard<std::mutex> lock(gOutput);
    hostcli::writeLine(hostcli::dumpJson(hostcli::errorDocument(f.message, f.code, f.extra)));
    return f.code;
  }
  std::lock_guard<std::mutex> lock(gOutput);
  std::fflush(stdout);
  const std::string text = printable(f.message);
  if (gReport.colourErr) {
    fmt::print(stderr, fg(fmt::terminal_color::red), "{}: {}\n", kProgram, text);
  } else {
    fmt::print(stderr, "{}: {}\n", kProgram, text);
  }
  return f.code;
}

}  // namespace

int main(int argc, char** argv) {
  hostcli::ignoreBrokenPipe();
  gMainThread = pthread_self();
  // Failures of the command line itself are reported as the command line asked.
  gReport.asJson = hostcli::hasFlag(argc, argv, "--json");
  int rc = kFailed;
  try {
    try {
      rc = run(argc, argv);
    } catch (const Failure& f) {
      rc = report(f);
    } catch (const std::exception& e) {
      if (dynamic_cast<const hostcli::WriteFailure*>(&e) != nullptr) throw;
      rc = report(Failure{kFailed, std::string("internal error: ") + e.what()});
    }
  } catch (const hostcli::WriteFailure& failure) {
    return hostcli::abandonOutput(kProgram, failure);
  }
  return hostcli::finish(kProgram, rc);
}
