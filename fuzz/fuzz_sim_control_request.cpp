// The simulator's control requests on arbitrary text: every input is up to eight request lines
// (one JSON value per line, as the control socket reads them), handled in order by the control
// server of a fresh simulated machine whose tree lives in a scratch directory (no FUSE, no
// socket: ControlServer::handle directly). The machine starts empty (plugging is what costs:
// a tree of files per board), so the seeds begin by plugging boards. Notifications go out on
// netlink inside a network namespace of this process's own, so no request can reach another
// program's socket (without one, notification requests are left out).
//
// Checks: every answer is a JSON object whose "ok" is a boolean, with a non-empty "error" text
// when it is false, and it can be written as the socket writes it; a refused plug of one board,
// unplug or set leaves the machine's board list as it was.
#include <sched.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "BoardFile.h"
#include "Control.h"
#include "Machine.h"
#include "Netlink.h"
#include "fuzz/FuzzBytes.h"

namespace {

using nlohmann::json;
using qofuzz::check;
namespace fs = std::filesystem;

constexpr std::size_t kMaxRequests = 8;

struct tSetup {
  std::string scratch;
  bool ownNetwork = false;
};

// A scratch directory made once per process and removed at its exit (the name in a plain
// array: it must outlive the static destructors that run before the exit handler).
const tSetup& setup() {
  static char root[4096];
  static const tSetup s = [] {
    tSetup made;
    const char* tmp = std::getenv("TMPDIR");
    std::snprintf(root, sizeof root, "%s/qo-fuzz-sim-XXXXXX", tmp != nullptr ? tmp : "/tmp");
    check(::mkdtemp(root) != nullptr);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(root, ec);
    });
    made.scratch = root;
    made.ownNetwork = ::unshare(CLONE_NEWNET) == 0;
    return made;
  }();
  return s;
}

// Whether a request may run here: without a network namespace of its own nothing is sent.
bool allowed(const json& request, bool ownNetwork) {
  if (ownNetwork || !request.is_object()) return true;
  for (const char* key : {"cmd", "request"}) {
    const auto it = request.find(key);
    if (it != request.end() && it->is_string() && it->get<std::string>().rfind("notify", 0) == 0)
      return false;
    if (it != request.end() && it->is_string() && it->get<std::string>() == "demote") return false;
  }
  return true;
}

std::string nameOf(const json& request) {
  for (const char* key : {"cmd", "request"}) {
    const auto it = request.is_object() ? request.find(key) : request.end();
    if (it != request.end() && it->is_string()) return it->get<std::string>();
  }
  return {};
}

void handleOne(qosim::ControlServer& control, qosim::Machine& machine, const json& request) {
  const json before = machine.list();
  const json answer = control.handle(request);
  check(answer.is_object());
  const auto ok = answer.find("ok");
  check(ok != answer.end() && ok->is_boolean());
  (void)answer.dump(-1, ' ', false, json::error_handler_t::replace);
  if (ok->get<bool>()) return;
  const auto error = answer.find("error");
  check(error != answer.end() && error->is_string() && !error->get<std::string>().empty());
  const std::string name = nameOf(request);
  const bool single =
      name == "unplug" || name == "set" || (name == "plug" && request.contains("board"));
  if (single) check(machine.list() == before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const tSetup& s = setup();
  const std::string root = s.scratch + "/machine";
  std::error_code ec;
  fs::remove_all(root, ec);
  fs::create_directories(root + "/proc", ec);
  check(!ec);
  {
    qosim::Machine machine(
        qosim::Paths{root + "/proc", root + "/dev-qo", root + "/fuse", root + "/modules"});
    machine.initPublications({}, {});
    machine.createDevQo();
    qosim::NetlinkSender netlink;
    qosim::ControlServer control(machine, netlink);

    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (std::size_t n = 0; n < kMaxRequests && !text.empty(); ++n) {
      const std::size_t end = text.find('\n');
      const std::string_view line = text.substr(0, end);
      text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
      const json request = json::parse(line, nullptr, false);
      if (request.is_discarded() || !allowed(request, s.ownNetwork)) continue;
      handleOne(control, machine, request);
    }
  }
  fs::remove_all(root, ec);
  return 0;
}
