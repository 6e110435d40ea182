// Runs N of each host operation against the built library, as the two hosts call it, inside a
// simulated machine with the default chassis, for a system-call tracer to count (see
// scripts/bench-syscalls). Each operation's N calls are bracketed by two marker calls,
// faccessat("/qo-syscall-probe/begin/<operation>") and ".../end/<operation>", which fail
// harmlessly and stand out in a trace; everything an operation needs beforehand (the expert, its
// items, a session, the routes to reserve and program) is made outside the brackets.
//
//   qo_syscall_probe [N]        (N defaults to 20)
//
// Operations: GetItemNames, GetPropertyBag, refresh (GetPropertyBagWithRefresh of the hardware
// readings), calculateRoute, reserve, program. Exit status 0 when every call succeeded.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qohosttags/qoHostPropertyTags.h"
#include "qovorlixatomicsae/sysapi_host.h"
#include "tests/common/RoutingResults.h"
#include "tools/common/host_client.h"
#include "tools/common/host_library.h"
#include "tools/common/routing_host_abi.h"

namespace {

using namespace hostabi;

constexpr char kItem[] = "KEL0";
constexpr char kRoutingNode[] = "/dev/qo/qovorlix1\\routing_routing\\0";  // vorlix-matrix-a
constexpr char kSeeds[] = R"([{"terminal":"Front0","cost":1,"constraints":{}}])";
constexpr char kDestinations[] = R"(["FpgaIn0"])";
// The hardware readings the configuration host re-reads (dated readings, temperatures, fans).
using hosttags::kHardwareReadings;

void mark(const char* edge, const char* operation) {
  const std::string path = std::string("/qo-syscall-probe/") + edge + "/" + operation;
  (void)::faccessat(AT_FDCWD, path.c_str(), F_OK, 0);
}

int gFailures = 0;

void check(bool ok, const char* what) {
  if (ok) return;
  ++gFailures;
  std::fprintf(stderr, "qo_syscall_probe: %s failed\n", what);
}

void expertOperations(ImxSysExpert2* expert, int n) {
  HRESULT hr = 0;
  check(!itemNames(expert, &hr).empty(), "the first GetItemNames");  // items made here
  const HostText name(kItem);
  mark("begin", "GetItemNames");
  for (int i = 0; i < n; ++i) {
    void* names = nullptr;
    check(expert->vtbl->GetItemNames(expert, &names) == kS_OK, "GetItemNames");
    if (names != nullptr) release(names);
  }
  mark("end", "GetItemNames");
  mark("begin", "GetPropertyBag");
  for (int i = 0; i < n; ++i) {
    void* bag = nullptr;
    check(expert->vtbl->GetPropertyBag(expert, name, &bag) == kS_OK, "GetPropertyBag");
    if (bag != nullptr) release(bag);
  }
  mark("end", "GetPropertyBag");
  mark("begin", "refresh");
  for (int i = 0; i < n; ++i) {
    void* bag = nullptr;
    check(expert->vtbl->GetPropertyBagWithRefresh(
              expert, name, static_cast<unsigned>(std::size(kHardwareReadings)), kHardwareReadings,
              0, &bag) == kS_OK,
          "GetPropertyBagWithRefresh");
    if (bag != nullptr) release(bag);
  }
  mark("end", "refresh");
}

std::uint32_t calculate(const routingabi::Exports& x, void* session) {
  routingabi::HostStatus st;
  char* routes = nullptr;
  x.calculateRoute(session, kSeeds, kDestinations, "{}", &routes, &st);
  const std::uint32_t ticket = testsupport::ticketOf(testsupport::take(routes));
  check(st.code() >= 0 && ticket != 0, "calculateRoute");
  return ticket;
}

void routingOperations(const routingabi::Exports& x, void* session, int n) {
  std::vector<std::uint32_t> tickets;
  mark("begin", "calculateRoute");
  for (int i = 0; i < n; ++i) tickets.push_back(calculate(x, session));
  mark("end", "calculateRoute");
  mark("begin", "reserve");
  for (std::uint32_t t : tickets) {
    routingabi::HostStatus st;
    char* conflicts = nullptr;
    x.reserveRoute(session, t, &conflicts, &st);
    testsupport::take(conflicts);
    check(st.code() >= 0, "reserveRoute");
  }
  mark("end", "reserve");
  mark("begin", "program");
  for (std::uint32_t t : tickets) {
    routingabi::HostStatus st;
    x.programRoute(session, t, &st);
    check(st.code() >= 0, "programRoute");
  }
  mark("end", "program");
  for (std::uint32_t t : tickets) {
    x.unprogramRoute(session, t);
    x.unreserveRoute(session, t);
    x.destroyRoute(session, t);
  }
}

int runRouting(const HostLibrary& lib, int n) {
  routingabi::Exports x;
  std::string missing;
  if (!x.load(lib, &missing)) {
    std::fprintf(stderr, "qo_syscall_probe: %s missing\n", missing.c_str());
    return 1;
  }
  routingabi::HostStatus st;
  void* session = x.createSession(kRoutingNode, &routingabi::hostAllocate, &st);
  if (session == nullptr || st.code() < 0) {
    std::fprintf(stderr, "qo_syscall_probe: no routing session on %s: %s\n", kRoutingNode,
                 st.text().c_str());
    return 1;
  }
  routingOperations(x, session, n);
  x.destroySession(session);
  return 0;
}

int runExpert(const HostLibrary& lib, int n) {
  const CreateExpertFn create = lib.expertFactory();
  void* p = nullptr;
  if (create == nullptr || create(&p) != kS_OK) {
    std::fprintf(stderr, "qo_syscall_probe: the expert cannot be created\n");
    return 1;
  }
  auto* expert = static_cast<ImxSysExpert2*>(p);
  expert->vtbl->Initialize(expert);
  expertOperations(expert, n);
  expert->vtbl->Shutdown(expert);
  release(expert);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 20;
  if (n <= 0 || n > 100000) {
    std::fprintf(stderr, "usage: qo_syscall_probe [N]   (1..100000 calls of each operation)\n");
    return 2;
  }
  HostLibrary lib;
  if (!lib.open(QO_LIBRARY_PATH)) {
    std::fprintf(stderr, "qo_syscall_probe: %s\n", lib.error().c_str());
    return 1;
  }
  int rc = runExpert(lib, n);
  rc |= runRouting(lib, n);
  lib.close();
  return rc != 0 || gFailures != 0 ? 1 : 0;
}
