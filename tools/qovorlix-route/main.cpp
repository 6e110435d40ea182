// qovorlix-route: the reference routing host on the command line. It loads the library with
// dlopen and reaches it only through the 22 routing exports (tools/common/routing_host_abi.h).
// `qovorlix-route --help` lists the commands, the exit codes and what a route's lifetime is.
#include <dlfcn.h>
#include <fmt/color.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <glob.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "routing_host_abi.h"
#include "stop_signals.h"

namespace {

using namespace routingabi;
using nlohmann::json;

// Exit codes (also in --help).
constexpr int kOk = 0;
constexpr int kFailed = 1;         // library or driver error, no route found
constexpr int kUsage = 2;          // bad command line
constexpr int kUnknown = 3;        // unknown device, terminal or ticket
constexpr int kInterrupted = 130;  // ended by SIGINT or SIGTERM (after cleaning up)

constexpr char kExitCodes[] =
    "Exit codes: 0 done; 1 the library cannot be loaded or the library/driver refused a step, or\n"
    "no route was found; 2 bad command line; 3 unknown device, terminal or ticket; 130 ended by\n"
    "SIGINT/SIGTERM (watch-demotions, route --hold), after the route and session were released.\n"
    "Routes belong to the session (the open device file) that calculated them: when this\n"
    "program ends, the driver destroys every route it made. `route --hold` keeps its route\n"
    "programmed until Ctrl-C; `release` acts by ticket in a fresh session and so can release\n"
    "only a route still alive in another running process (e.g. a `route --hold`).";

bool gColour = false;
std::mutex gOutput;  // serialises output of the main thread and the demotion thread

template <typename... Args>
void error(fmt::format_string<Args...> format, Args&&... args) {
  std::lock_guard<std::mutex> lock(gOutput);
  std::fflush(stdout);
  const std::string text = fmt::format(format, std::forward<Args>(args)...);
  if (isatty(STDERR_FILENO)) {
    fmt::print(stderr, fg(fmt::color::red), "qovorlix-route: {}\n", text);
  } else {
    fmt::print(stderr, "qovorlix-route: {}\n", text);
  }
}

std::string take(char*& text) {
  std::string s = text != nullptr ? text : "";
  std::free(text);
  text = nullptr;
  return s;
}

bool failed(const char* step, HostStatus& status) {
  if (status.code() >= 0) return false;
  error("{} failed: {} {}", step, status.code(), status.text());
  return true;
}

// The routing node of a board name (from /proc/driver/qo), or the argument itself when it is a
// path. Empty when the board has no routing interface.
std::string routingNode(const std::string& device) {
  if (device.find('/') != std::string::npos)
    return ::access(device.c_str(), F_OK) == 0 ? device : "";
  const std::string pattern =
      "/proc/driver/qo/" + device + "/deviceInterfaces/routing_routing*/interfacePath";
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

std::string replaceAll(std::string text, const std::string& what, const std::string& with) {
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Demotions arrive on the library's notification thread.
struct Demotions {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
  int reason = 0;
  std::string thread;
  bool print = false;
  bool asJson = false;
};

void onDemotion(void* context, std::int32_t reason, JsonStatus* /*status*/) {
  auto* d = static_cast<Demotions*>(context);
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    ++d->count;
    d->reason = reason;
    d->thread = name;
    d->changed.notify_all();
  }
  if (d->print) {
    std::lock_guard<std::mutex> lock(gOutput);
    if (d->asJson) {
      fmt::print("{}\n", json{{"demotion", d->count}, {"reason", reason}, {"thread", name}}.dump());
    } else {
      fmt::print("demotion {}: reason {} (thread \"{}\")\n", d->count, reason, name);
    }
    std::fflush(stdout);
  }
}

// A session on a device's routing node, destroyed with the object.
class Session {
 public:
  Session(const Exports& x, Demotions* demotions) : x_(x), demotions_(demotions) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (handle_ != nullptr) x_.destroySession(handle_);
  }
  // kOk, or the exit code after the message.
  int open(const std::string& device) {
    node_ = routingNode(device);
    if (node_.empty()) {
      error("unknown device \"{}\": no routing interface under /proc/driver/qo/{}", device, device);
      return kUnknown;
    }
    HostStatus st;
    handle_ = demotions_ != nullptr ? x_.createSessionWithDemotionFunc(node_.c_str(), &hostAllocate,
                                                                       &onDemotion, demotions_, &st)
                                    : x_.createSession(node_.c_str(), &hostAllocate, &st);
    if (failed("opening a session", st) || handle_ == nullptr) return kFailed;
    return kOk;
  }
  void* handle() const { return handle_; }
  const std::string& node() const { return node_; }

 private:
  const Exports& x_;
  Demotions* demotions_;
  void* handle_ = nullptr;
  std::string node_;
};

// Every terminal with all of its attributes, in the library's order.
bool readTerminals(const Exports& x, void* session, json* out) {
  static const char* const kStrings[] = {"name", "visibility", "busType", "busName",
                                         "canonicalName"};
  static const char* const kBools[] = {"isExternal", "isOwned", "isAlias", "isMaskedOut"};
  static const char* const kU32s[] = {"id", "busLine"};
  HostStatus st;
  void* it = x.getAllTerminals(session, &st);
  *out = json::array();
  while (it != nullptr && st.code() >= 0 && !x.TerminalIterator_isEnd(it)) {
    json t = json::object();
    for (const char* a : kStrings) {
      const char* v = x.TerminalIterator_getStringAttribute(it, a, &st);
      t[a] = v != nullptr ? v : "";
    }
    for (const char* a : kU32s) t[a] = x.TerminalIterator_getU32Attribute(it, a, &st);
    for (const char* a : kBools) t[a] = x.TerminalIterator_getBoolAttribute(it, a, &st);
    out->push_back(std::move(t));
    x.TerminalIterator_next(it, &st);
  }
  if (it != nullptr) x.TerminalIterator_destroy(it);
  return !failed("reading the terminals", st);
}

std::string attributeText(const json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); }

std::string dotId(const std::string& s) { return json(s).dump(); }

// The terminals grouped by bus (the library gives no connections) and the route's path edges.
std::string dotPicture(const json& terminals, const std::vector<std::string>& path) {
  std::string out = "digraph qovorlix {\n  rankdir=LR;\n  node [shape=box];\n";
  std::map<std::string, std::vector<std::string>> groups;
  for (const auto& t : terminals) {
    groups[t["busType"].get<std::string>() + " " + t["busName"].get<std::string>()].push_back(
        t["name"].get<std::string>());
  }
  int cluster = 0;
  for (const auto& [bus, names] : groups) {
    out += fmt::format("  subgraph cluster_{} {{\n    label={};\n", cluster++, dotId(bus));
    for (const auto& n : names) {
      const bool onPath = std::find(path.begin(), path.end(), n) != path.end();
      out += fmt::format("    {}{};\n", dotId(n), onPath ? " [style=bold]" : "");
    }
    out += "  }\n";
  }
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    out += fmt::format("  {} -> {};\n", dotId(path[i]), dotId(path[i + 1]));
  }
  return out + "}\n";
}

bool writeDot(const std::string& file, const std::string& text) {
  if (file == "-") {
    fmt::print("{}", text);
    return true;
  }
  std::ofstream out(file);
  out << text;
  out.flush();
  if (!out) error("cannot write {}", file);
  return static_cast<bool>(out);
}

struct Options {
  std::string library;
  bool asJson = false;
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

int terminalsCommand(const Exports& x, const Options& o) {
  Session s(x, nullptr);
  if (const int rc = s.open(o.device); rc != kOk) return rc;
  json all;
  if (!readTerminals(x, s.handle(), &all)) return kFailed;
  json shown = json::array();
  for (const auto& t : all) {
    bool keep = true;
    for (const auto& w : o.where) {
      const auto eq = w.find('=');
      const std::string key = w.substr(0, eq);
      if (!t.contains(key)) {
        error("unknown terminal attribute \"{}\"", key);
        return kUsage;
      }
      keep = keep && sameName(attributeText(t[key]), w.substr(eq + 1));
    }
    if (keep) shown.push_back(t);
  }
  if (!o.dot.empty()) return writeDot(o.dot, dotPicture(shown, {})) ? kOk : kFailed;
  if (o.asJson) {
    fmt::print(
        "{}\n",
        json{
            {"device", o.device}, {"node", s.node()}, {"count", shown.size()}, {"terminals", shown}}
            .dump(2));
    return kOk;
  }
  // Column widths follow the longest name and bus of the shown terminals.
  std::size_t nameWidth = 4, busWidth = 3;
  auto busOf = [](const json& t) {
    return t["busType"].get<std::string>() + " " + t["busName"].get<std::string>();
  };
  for (const auto& t : shown) {
    nameWidth = std::max(nameWidth, t["name"].get<std::string>().size());
    busWidth = std::max(busWidth, busOf(t).size());
  }
  auto header = fmt::format("{:<{}} {:>6} {:<8} {:<10} {:<{}} {:>4} {:<{}} {}", "NAME", nameWidth,
                            "ID", "EXTERNAL", "VISIBILITY", "BUS", busWidth, "LINE", "CANONICAL",
                            nameWidth, "FLAGS");
  if (gColour) {
    fmt::print(fmt::emphasis::bold, "{}\n", header);
  } else {
    fmt::print("{}\n", header);
  }
  for (const auto& t : shown) {
    std::string flags;
    if (t["isOwned"].get<bool>()) flags += "owned ";
    if (t["isAlias"].get<bool>()) flags += "alias ";
    if (t["isMaskedOut"].get<bool>()) flags += "masked ";
    if (!flags.empty()) flags.pop_back();
    auto line = fmt::format(
        "{:<{}} {:>6} {:<8} {:<10} {:<{}} {:>4} {:<{}} {}", t["name"].get<std::string>(), nameWidth,
        t["id"].get<std::uint32_t>(), t["isExternal"].get<bool>() ? "yes" : "no",
        t["visibility"].get<std::string>(), busOf(t), busWidth, t["busLine"].get<std::uint32_t>(),
        t["canonicalName"].get<std::string>(), nameWidth, flags);
    line.erase(line.find_last_not_of(' ') + 1);
    if (gColour && t["isMaskedOut"].get<bool>()) {
      fmt::print(fg(fmt::terminal_color::yellow), "{}\n", line);
    } else {
      fmt::print("{}\n", line);
    }
  }
  fmt::print("{} of {} terminals\n", shown.size(), all.size());
  return kOk;
}

int routeCommand(const Exports& x, const Options& o) {
  Demotions demotions;
  demotions.print = true;
  demotions.asJson = o.asJson;
  Session s(x, &demotions);
  if (const int rc = s.open(o.device); rc != kOk) return rc;
  json terminals;
  if (!readTerminals(x, s.handle(), &terminals)) return kFailed;

  HostStatus st;
  char* text = nullptr;
  const json seeds =
      json::array({{{"terminal", o.from}, {"cost", 1}, {"constraints", json::object()}}});
  const json destinations = json::array({o.to});
  const json modifiers = o.ignoreReservations
                             ? json{{"required", {{"calculateIgnoresReservations", true}}}}
                             : json::object();
  const std::uint32_t missing =
      x.calculateRoute(s.handle(), seeds.dump().c_str(), destinations.dump().c_str(),
                       modifiers.dump().c_str(), &text, &st);
  const json routes = json::parse(take(text), nullptr, false);
  if (failed("calculating the route", st)) {
    for (const auto& name : {o.from, o.to}) {
      const bool known = std::any_of(terminals.begin(), terminals.end(), [&](const json& t) {
        return sameName(t["name"].get<std::string>(), name);
      });
      if (!known) {
        error("unknown terminal \"{}\" on {}", name, o.device);
        return kUnknown;
      }
    }
    return kFailed;
  }
  if (missing != 0 || !routes.is_array() || routes.empty() || !routes[0].contains("ticket")) {
    error("no route from {} to {}", o.from, o.to);
    return kFailed;
  }
  const auto ticket = routes[0]["ticket"].get<std::uint32_t>();
  const json cost = routes[0].value("cost", json());

  x.reserveRoute(s.handle(), ticket, &text, &st);
  const std::string conflicts = take(text);
  if (failed("reserving the route", st)) {
    error("conflicting routes: {}", conflicts);
    x.destroyRoute(s.handle(), ticket);
    return kFailed;
  }
  x.programRoute(s.handle(), ticket, &st);
  if (failed("programming the route", st)) {
    x.unreserveRoute(s.handle(), ticket);
    x.destroyRoute(s.handle(), ticket);
    return kFailed;
  }
  x.getRouteTerminalPath(s.handle(), ticket, &text, &st);
  const json path = json::parse(take(text), nullptr, false);
  if (failed("reading the terminal path", st)) return kFailed;
  std::vector<std::string> names;
  if (path.is_array()) {
    for (const auto& n : path) names.push_back(n.is_string() ? n.get<std::string>() : n.dump());
  }

  int rc = kOk;
  if (!o.dot.empty() && !writeDot(o.dot, dotPicture(json::array(), names))) rc = kFailed;
  {
    std::lock_guard<std::mutex> lock(gOutput);
    if (o.asJson) {
      fmt::print("{}\n", json{{"device", o.device},
                              {"ticket", ticket},
                              {"cost", cost},
                              {"path", path},
                              {"routes", routes},
                              {"held", o.hold}}
                             .dump());
    } else if (o.dot != "-") {
      fmt::print("ticket {}  cost {}  path {}\n", ticket, cost.dump(), fmt::join(names, " -> "));
      if (o.hold) fmt::print("route reserved and programmed; holding it until Ctrl-C\n");
    }
    std::fflush(stdout);
  }
  if (o.hold) {
    hostabi::waitForStop();
    rc = kInterrupted;
  }
  x.unprogramRoute(s.handle(), ticket);
  x.unreserveRoute(s.handle(), ticket);
  x.destroyRoute(s.handle(), ticket);
  if (o.hold && !o.asJson) fmt::print("route {} released\n", ticket);
  return rc;
}

int releaseCommand(const Exports& x, const Options& o) {
  Session s(x, nullptr);
  if (const int rc = s.open(o.device); rc != kOk) return rc;
  HostStatus st;
  char* text = nullptr;
  x.getRouteTerminalPath(s.handle(), o.ticket, &text, &st);
  take(text);
  if (st.code() < 0) {
    error("no route with ticket {} on {} ({}); a route ends with the process that made it",
          o.ticket, o.device, st.code());
    return kUnknown;
  }
  x.unprogramRoute(s.handle(), o.ticket);
  x.unreserveRoute(s.handle(), o.ticket);
  x.destroyRoute(s.handle(), o.ticket);
  HostStatus after;
  x.getRouteTerminalPath(s.handle(), o.ticket, &text, &after);
  take(text);
  const bool gone = after.code() < 0;
  if (o.asJson) {
    fmt::print("{}\n", json{{"ticket", o.ticket}, {"released", gone}}.dump());
  } else {
    fmt::print("route {} {}\n", o.ticket, gone ? "released" : "still exists: the driver kept it");
  }
  return gone ? kOk : kFailed;
}

int watchCommand(const Exports& x, const Options& o) {
  Demotions demotions;
  demotions.print = true;
  demotions.asJson = o.asJson;
  Session s(x, &demotions);
  if (const int rc = s.open(o.device); rc != kOk) return rc;
  if (!o.asJson) {
    std::lock_guard<std::mutex> lock(gOutput);
    fmt::print("watching demotions on {} ({}); Ctrl-C ends\n", o.device, s.node());
    std::fflush(stdout);
  }
  const int signal = hostabi::waitForStop();
  if (!o.asJson)
    fmt::print("{}: session closed\n", signal == SIGINT ? "interrupted" : "terminated");
  return kInterrupted;
}

int probeCommand(const Exports& x, const Options& o) {
  // Text as it goes, or (--json) one document with the same findings at the end.
  json doc = json::object();
  auto say = [&](const std::string& text) {
    if (!o.asJson) fmt::print("{}", text);
  };
  auto finish = [&](int rc) {
    doc["ok"] = rc == kOk;
    if (o.asJson) fmt::print("{}\n", doc.dump(2));
    return rc;
  };
  doc["apiVersion"] = x.getAPIVersion();
  say(fmt::format("API version: {}\n", x.getAPIVersion()));
  Demotions demotions;
  Session s(x, &demotions);
  if (const int rc = s.open(o.device); rc != kOk) return finish(rc);
  doc["node"] = s.node();
  say(fmt::format("routing node of {}: {}\n", o.device, s.node()));
  HostStatus st;
  char* text = nullptr;
  x.getHandledConstraints(s.handle(), &text, &st);
  if (failed("getHandledConstraints", st)) return finish(kFailed);
  const std::string constraints = take(text);
  doc["handledConstraints"] = json::parse(constraints, nullptr, false);
  say(fmt::format("handled constraints: {}\n", constraints));
  json terminals;
  if (!readTerminals(x, s.handle(), &terminals)) return finish(kFailed);
  for (std::size_t i = 0; i < terminals.size() && i < 8; ++i) {
    say(fmt::format("  terminal {:<24} id {:<6} {}\n", terminals[i]["name"].get<std::string>(),
                    terminals[i]["id"].get<std::uint32_t>(),
                    terminals[i]["isExternal"].get<bool>() ? "external" : "internal"));
  }
  doc["terminals"] = terminals.size();
  say(fmt::format("terminals: {}\n", terminals.size()));
  if (terminals.size() < 2) return finish(kFailed);
  const std::string from = o.from.empty() ? terminals.front()["name"].get<std::string>() : o.from;
  const std::string to = o.to.empty() ? terminals.back()["name"].get<std::string>() : o.to;
  const json seeds =
      json::array({{{"terminal", from}, {"cost", 1}, {"constraints", json::object()}}});
  const std::uint32_t value = x.calculateRoute(s.handle(), seeds.dump().c_str(),
                                               json::array({to}).dump().c_str(), "{}", &text, &st);
  const std::string routesText = take(text);
  say(fmt::format("calculateRoute {} -> {}: value {}, routes {}\n", from, to, value, routesText));
  if (failed("calculateRoute", st)) return finish(kFailed);
  const json routes = json::parse(routesText, nullptr, false);
  doc["routes"] = routes;
  if (!routes.is_array() || routes.empty() || !routes[0].contains("ticket")) {
    say("no route found\n");
    return finish(kFailed);
  }
  const auto ticket = routes[0]["ticket"].get<std::uint32_t>();
  x.reserveRoute(s.handle(), ticket, &text, &st);
  if (failed("reserveRoute", st)) {
    say(fmt::format("conflicts: {}\n", take(text)));
    return finish(kFailed);
  }
  take(text);
  x.programRoute(s.handle(), ticket, &st);
  if (failed("programRoute", st)) return finish(kFailed);
  x.getRouteTerminalPath(s.handle(), ticket, &text, &st);
  if (failed("getRouteTerminalPath", st)) return finish(kFailed);
  const std::string path = take(text);
  doc["path"] = json::parse(path, nullptr, false);
  say(fmt::format("route {} reserved and programmed; terminal path {}\n", ticket, path));
  bool demoted = true;
  if (!o.demote.empty()) {
    const std::string nodeName = s.node().substr(s.node().rfind('/') + 1);
    const std::string command =
        replaceAll(replaceAll(o.demote, "{node}", nodeName), "{ticket}", std::to_string(ticket));
    say(fmt::format("demotion requested: {}\n", command));
    std::fflush(stdout);
    // With --json the command's own output goes to stderr, so stdout stays one document.
    const std::string shell = o.asJson ? "(" + command + ") 1>&2" : command;
    if (std::system(shell.c_str()) != 0) say("the demotion command failed\n");
    std::unique_lock<std::mutex> lock(demotions.mutex);
    demoted = demotions.changed.wait_for(lock, std::chrono::seconds(5),
                                         [&] { return demotions.count > 0; });
    if (demoted) {
      say(fmt::format("demotion received: reason {} on thread \"{}\"\n", demotions.reason,
                      demotions.thread));
      doc["demotion"] = {{"reason", demotions.reason}, {"thread", demotions.thread}};
    } else {
      say("no demotion within 5 s\n");
      doc["demotion"] = nullptr;
    }
  }
  x.unprogramRoute(s.handle(), ticket);
  x.unreserveRoute(s.handle(), ticket);
  x.destroyRoute(s.handle(), ticket);
  say("route destroyed, session closed\n");
  return finish(demoted ? kOk : kFailed);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"qovorlix-route: the reference routing host of the Vorlix boards"};
  app.footer(kExitCodes);
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "print this help with every command's options and exit");
  o.library = "libqovorlixatomicsae.so.23";
  if (const char* env = std::getenv("QOVORLIX_LIBRARY"); env != nullptr && *env != '\0')
    o.library = env;
  app.add_option("--library", o.library,
                 "the library to load (default: $QOVORLIX_LIBRARY, else libqovorlixatomicsae.so.23 "
                 "from the system's library path)");
  app.add_flag("--json", o.asJson, "machine-readable output (one JSON document or line)");
  const char* deviceHelp = "board name (e.g. qovorlix1) or routing node path";

  auto* terminals = app.add_subcommand("terminals", "list the terminals and their attributes");
  terminals->add_option("device", o.device, deviceHelp)->required();
  terminals->add_option("--where", o.where, "ATTRIBUTE=VALUE filter (repeatable, case-insensitive)")
      ->check([](const std::string& w) {
        return w.find('=') == std::string::npos ? std::string("expected ATTRIBUTE=VALUE")
                                                : std::string();
      });
  terminals->add_option("--dot", o.dot,
                        "write the terminals, grouped by bus, as Graphviz (- stdout)");

  auto* route = app.add_subcommand("route", "calculate, reserve and program a route");
  route->add_option("device", o.device, deviceHelp)->required();
  route->add_option("--from", o.from, "seed terminal")->required();
  route->add_option("--to", o.to, "destination terminal")->required();
  route->add_flag("--ignore-reservations", o.ignoreReservations,
                  "take terminals reserved by other sessions (their routes are demoted)");
  route->add_flag("--hold", o.hold, "keep the route programmed until Ctrl-C, then release it");
  route->add_option("--dot", o.dot, "write the route's terminal path as Graphviz (- stdout)");

  auto* release = app.add_subcommand(
      "release", "unprogram, unreserve and destroy a route by ticket (in a fresh session)");
  release->add_option("device", o.device, deviceHelp)->required();
  release->add_option("ticket", o.ticket, "the route's ticket")->required();

  auto* watch = app.add_subcommand("watch-demotions", "print demotions until Ctrl-C");
  watch->add_option("device", o.device, deviceHelp)->required();

  auto* probe = app.add_subcommand("probe", "walk every routing step once (the demo)");
  probe->add_option("--device", o.device, deviceHelp);
  probe->add_option("--from", o.from, "seed terminal (default: the first)");
  probe->add_option("--to", o.to, "destination terminal (default: the last)");
  probe->add_option("--demote", o.demote, "command run while the route is programmed");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kOk : kUsage;
  }
  gColour = !o.asJson && isatty(STDOUT_FILENO) != 0;

  // The waiting commands block SIGINT/SIGTERM before the library starts threads, so only their
  // sigwait sees them and the route and session are released; the others keep the default (the
  // process ends, and the driver destroys the routes of its closed file).
  if (*watch || o.hold) hostabi::blockStopSignals();

  void* handle = ::dlopen(o.library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    error("cannot load {}: {}", o.library, ::dlerror());
    return kFailed;
  }
  Exports exports;
  std::string missing;
  if (!exports.load(handle, &missing)) {
    error("{} not exported by {}", missing, o.library);
    ::dlclose(handle);
    return kFailed;
  }
  int rc = kUsage;
  if (*terminals) rc = terminalsCommand(exports, o);
  if (*route) rc = routeCommand(exports, o);
  if (*release) rc = releaseCommand(exports, o);
  if (*watch) rc = watchCommand(exports, o);
  if (*probe) rc = probeCommand(exports, o);
  std::fflush(stdout);
  ::dlclose(handle);
  return rc;
}
