// qovorlix-route: the reference routing host on the command line.
//
//   qovorlix-route --library PATH probe [--device NAME] [--from TERMINAL] [--to TERMINAL]
//                  [--demote COMMAND]
//
// probe: loads the library, checks its API version, finds the device's routing node in
// /proc/driver/qo/<device>/deviceInterfaces/routing_routing*/interfacePath, opens a session with
// a demotion function, lists the handled constraints and the terminals, calculates a route from
// one terminal to another (the first and the last terminal unless told), reserves and programs
// it, prints its terminal path, runs COMMAND (its "{node}" and "{ticket}" replaced by the routing
// node's name and the route's ticket) and waits for the demotion it triggers, then unprograms, unreserves and destroys the route and
// closes the session. Exit status 0 when every step worked.
#include <dlfcn.h>
#include <glob.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "routing_host_abi.h"

namespace {

using namespace routingabi;

void usage(FILE* out) {
  std::fprintf(out,
               "usage: qovorlix-route --library PATH probe [--device NAME] [--from TERMINAL]\n"
               "                      [--to TERMINAL] [--demote COMMAND]\n");
}

struct Demotions {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
  int reason = 0;
  std::string thread;
};

void onDemotion(void* context, std::int32_t reason, JsonStatus* status) {
  auto* d = static_cast<Demotions*>(context);
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  std::lock_guard<std::mutex> lock(d->mutex);
  ++d->count;
  d->reason = reason;
  d->thread = name;
  (void)status;
  d->changed.notify_all();
}

std::string take(char*& text) {
  std::string s = text != nullptr ? text : "";
  std::free(text);
  text = nullptr;
  return s;
}

bool failed(const char* step, HostStatus& status) {
  if (status.code() >= 0) return false;
  std::printf("%s failed: %d %s\n", step, status.code(), status.text().c_str());
  return true;
}

std::string routingNode(const std::string& device) {
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

int probe(const Exports& x, const std::string& device, std::string from, std::string to,
          const std::string& demote) {
  std::printf("API version: %d\n", x.getAPIVersion());
  const std::string node = routingNode(device);
  if (node.empty()) {
    std::printf("no routing interface on %s\n", device.c_str());
    return 1;
  }
  std::printf("routing node of %s: %s\n", device.c_str(), node.c_str());

  Demotions demotions;
  HostStatus st;
  void* session =
      x.createSessionWithDemotionFunc(node.c_str(), &hostAllocate, &onDemotion, &demotions, &st);
  if (failed("createSessionWithDemotionFunc", st)) return 1;

  char* text = nullptr;
  x.getHandledConstraints(session, &text, &st);
  if (failed("getHandledConstraints", st)) return 1;
  std::printf("handled constraints: %s\n", take(text).c_str());

  void* it = x.getAllTerminals(session, &st);
  std::vector<std::string> names;
  while (it != nullptr && !x.TerminalIterator_isEnd(it) && st.code() >= 0) {
    const char* name = x.TerminalIterator_getStringAttribute(it, "name", &st);
    const std::uint32_t id = x.TerminalIterator_getU32Attribute(it, "id", &st);
    const bool external = x.TerminalIterator_getBoolAttribute(it, "isExternal", &st);
    if (names.size() < 8) {
      std::printf("  terminal %-24s id %-6u %s\n", name, id, external ? "external" : "internal");
    }
    names.emplace_back(name != nullptr ? name : "");
    x.TerminalIterator_next(it, &st);
  }
  x.TerminalIterator_destroy(it);
  if (failed("terminal walk", st)) return 1;
  std::printf("terminals: %zu\n", names.size());
  if (names.size() < 2) return 1;
  if (from.empty()) from = names.front();
  if (to.empty()) to = names.back();

  const std::string seeds =
      "[{\"terminal\":\"" + from + "\",\"cost\":1,\"constraints\":{}}]";
  const std::string destinations = "[\"" + to + "\"]";
  const std::uint32_t value = x.calculateRoute(session, seeds.c_str(), destinations.c_str(),
                                               "{}", &text, &st);
  const std::string routes = take(text);
  std::printf("calculateRoute %s -> %s: value %u, routes %s\n", from.c_str(), to.c_str(), value,
              routes.c_str());
  if (failed("calculateRoute", st)) return 1;
  const auto at = routes.find("\"ticket\":");
  if (at == std::string::npos) {
    std::printf("no route found\n");
    return 1;
  }
  const auto ticket = static_cast<std::uint32_t>(std::strtoul(routes.c_str() + at + 9, nullptr, 10));

  x.reserveRoute(session, ticket, &text, &st);
  if (failed("reserveRoute", st)) {
    std::printf("conflicts: %s\n", take(text).c_str());
    return 1;
  }
  x.programRoute(session, ticket, &st);
  if (failed("programRoute", st)) return 1;
  x.getRouteTerminalPath(session, ticket, &text, &st);
  if (failed("getRouteTerminalPath", st)) return 1;
  std::printf("route %u reserved and programmed; terminal path %s\n", ticket, take(text).c_str());

  bool demoted = true;
  if (!demote.empty()) {
    const std::string nodeName = node.substr(node.rfind('/') + 1);
    const std::string command =
        replaceAll(replaceAll(demote, "{node}", nodeName), "{ticket}", std::to_string(ticket));
    std::printf("demotion requested: %s\n", command.c_str());
    std::fflush(stdout);
    if (std::system(command.c_str()) != 0) std::printf("the demotion command failed\n");
    std::unique_lock<std::mutex> lock(demotions.mutex);
    demoted = demotions.changed.wait_for(lock, std::chrono::seconds(5),
                                         [&] { return demotions.count > 0; });
    if (demoted) {
      std::printf("demotion received: reason %d on thread \"%s\"\n", demotions.reason,
                  demotions.thread.c_str());
    } else {
      std::printf("no demotion within 5 s\n");
    }
  }

  x.unprogramRoute(session, ticket);
  x.unreserveRoute(session, ticket);
  x.destroyRoute(session, ticket);
  x.destroySession(session);
  std::printf("route destroyed, session closed\n");
  return demoted ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string library;
  std::string command;
  std::string device = "qovorlix1";
  std::string from;
  std::string to;
  std::string demote;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--library" && hasValue) {
      library = argv[++i];
    } else if (a == "--device" && hasValue) {
      device = argv[++i];
    } else if (a == "--from" && hasValue) {
      from = argv[++i];
    } else if (a == "--to" && hasValue) {
      to = argv[++i];
    } else if (a == "--demote" && hasValue) {
      demote = argv[++i];
    } else if (a == "--help") {
      usage(stdout);
      return 0;
    } else if (command.empty() && a[0] != '-') {
      command = a;
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (library.empty() || command != "probe") {
    usage(stderr);
    return 2;
  }
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "qovorlix-route: cannot load %s: %s\n", library.c_str(), ::dlerror());
    return 1;
  }
  Exports exports;
  std::string missing;
  if (!exports.load(handle, &missing)) {
    std::fprintf(stderr, "qovorlix-route: %s not exported\n", missing.c_str());
    ::dlclose(handle);
    return 1;
  }
  const int result = probe(exports, device, from, to, demote);
  ::dlclose(handle);
  return result;
}
