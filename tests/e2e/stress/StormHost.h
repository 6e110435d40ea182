// The host of the hotplug storm and the soak: the built library loaded with dlopen, as the
// configuration host and the routing host load it, inside a simulated machine. Its parts are
// data: one table of boards plugged and pulled in every cycle, one table of host workers that
// call the library meanwhile (each with the result codes its call may answer when a board goes
// under it), and a cycle count or a duration.
//
// Locks: PresenceSink::mutex_ and Outcomes::mutex_ are leaves, never held together and never
// held while the library is called (a notice is read out of its enumerator before the lock is
// taken).
#pragma once

#include <dirent.h>
#include <malloc.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "QosimClient.h"
#include "qovorlixatomicsae/sysapi_host.h"
#include "tests/common/LibraryUnderTest.h"
#include "tests/common/ProcessThreads.h"
#include "tests/common/RoutingResults.h"
#include "tools/common/host_client.h"
#include "tools/common/routing_host_abi.h"
#include "tools/common/sysapi_names.h"
#include "qodrv/qoDriverConstants.h"

namespace storm {

using namespace hostabi;
using Clock = std::chrono::steady_clock;

// Status codes of the routing face (the configuration face's results are hostabi's).
constexpr std::int32_t kRouteOk = 0;
constexpr std::int32_t kBoardGone = -52006;     // ENODEV: the board was unplugged
constexpr std::int32_t kNotConnected = -52008;  // a node no longer there / subscription refused
constexpr std::int32_t kNoSuchNode = -52003;    // the session's node path does not exist
constexpr std::int32_t kUnknownTicket =
    qodrv::routing::kStatusUnknownTicket;  // the driver: no route has this ticket
// Presence notices.
constexpr std::int32_t kArrival = 1;
constexpr std::int32_t kRemoval = 2;
constexpr std::int32_t kItemChanged = 3;
constexpr unsigned kTemperatureTag = 0x102E000;
constexpr const auto& kRoutingInterface = qodrv::routing::kInterfaceName;

// ---- the boards of a cycle -------------------------------------------------------------------

struct BoardKind {
  const char* label;
  const char* device;  // the same name in every cycle: each plug is a new board of that name
  std::uint32_t product;
  std::optional<std::uint32_t> module;
  const char* topography;  // a routing interface with this topography, or none
};

inline const BoardKind kBoards[] = {
    {"PXIe-VX214 with module and routing", "qovorlix60", 0x7B14, 0x3C5D0042, "vorlix-matrix-a"},
    {"PXIe-VX210 with module", "qovorlix61", 0x7B10, 0x5C710101, nullptr},
    {"PCIe-VX210 without module", "qovorlix62", 0x7B80, std::nullopt, nullptr},
    {"PXIe-VX230 with routing, without module", "qovorlix63", 0x7B19, std::nullopt,
     "vorlix-matrix-a"},
};

inline qosim::BoardDesc describe(const BoardKind& kind) {
  qosim::BoardDesc board;
  board.device = kind.device;
  board.withDefaults().withProduct(kind.product);
  if (kind.module) {
    board.withModule(*kind.module, 1, 0x00B10000u + kind.product);
  } else {
    board.withoutModule();
  }
  if (kind.topography != nullptr) board.withRouting().withTopographyName(kind.topography);
  return board;
}

// "qovorlix61" serves item "KEL61".
inline std::string itemOf(const std::string& device) {
  return "KEL" + device.substr(device.find_first_of("0123456789"));
}

// ---- what the host process holds --------------------------------------------------------------

struct Resources {
  std::size_t fds = 0;
  std::size_t threads = 0;
  std::size_t heapBytes = 0;  // allocator's bytes in use; 0 where a sanitizer owns the heap
  long rssKib = 0;

  static Resources now() {
    Resources r;
    r.fds = testsupport::descriptorCount();
    r.threads = testsupport::threadCount();
    const struct mallinfo2 info = ::mallinfo2();
    r.heapBytes = info.uordblks + info.hblkhd;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmRSS:", 0) == 0) r.rssKib = std::atol(line.c_str() + 6);
    return r;
  }
  // The counts once they have held still for half a second (and, when given, are no higher
  // than `atMost`): sessions and tasks of a run end on the library's threads shortly after.
  // Gives up after `ms` and returns the last reading.
  static Resources settled(int ms, const Resources* atMost = nullptr) {
    Resources last = now();
    int still = 0;
    for (int waited = 0; waited < ms && still < 10; waited += 50) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const Resources r = now();
      const bool same = r.fds == last.fds && r.threads == last.threads;
      const bool low = atMost == nullptr || (r.fds <= atMost->fds && r.threads <= atMost->threads);
      still = same && low ? still + 1 : 0;
      last = r;
    }
    return last;
  }
  std::string text() const {
    return "fds " + std::to_string(fds) + ", threads " + std::to_string(threads) + ", heap " +
           std::to_string(heapBytes) + " B, RSS " + std::to_string(rssKib) + " KiB";
  }
};

// What the process's descriptors refer to ("socket:[123]", a path, "... (deleted)").
inline std::multiset<std::string> descriptorTargets() {
  std::multiset<std::string> targets;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == ::dirfd(dir)) continue;
      char target[512];
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      targets.insert(n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?");
    }
    ::closedir(dir);
  }
  return targets;
}

// The descriptors of `after` that `before` did not have, one per line.
inline std::string descriptorsAdded(const std::multiset<std::string>& before,
                                    const std::multiset<std::string>& after) {
  std::vector<std::string> added;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(added));
  std::string text;
  for (const std::string& a : added) text += "\n  " + a;
  return text;
}

// ---- the host's sink: presence as the host sees it ---------------------------------------------

// Applies every arrival and removal to the set of names the host believes present. A name may
// only arrive while absent and only leave while present; anything else is a violation.
class PresenceSink {
 public:
  PresenceSink() : itf_{&kTable, this} {}
  PresenceSink(const PresenceSink&) = delete;
  PresenceSink& operator=(const PresenceSink&) = delete;
  void* asSink() { return &itf_; }

  void seed(const std::vector<std::string>& present) {
    std::lock_guard lock(mutex_);
    present_ = {present.begin(), present.end()};
  }
  // Waits up to `ms` until the names present are exactly `expected`.
  bool waitFor(const std::set<std::string>& expected, int ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return present_ == expected; });
  }
  // Waits up to `ms` until every name of `names` is present (or, with present=false, absent).
  bool waitForEach(const std::vector<std::string>& names, bool present, int ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      return std::all_of(names.begin(), names.end(), [&](const std::string& n) {
        return present_.count(n) == (present ? 1u : 0u);
      });
    });
  }
  std::set<std::string> present() {
    std::lock_guard lock(mutex_);
    return present_;
  }
  std::vector<std::string> violations() {
    std::lock_guard lock(mutex_);
    return violations_;
  }
  long arrivals() const { return arrivals_.load(); }
  long removals() const { return removals_.load(); }
  long changes() const { return changes_.load(); }
  int references() const { return refs_.load(); }

 private:
  struct Interface {
    const ImxSysNotificationSinkVtbl* vtbl;
    PresenceSink* owner;
  };
  static PresenceSink* from(ImxSysNotificationSink* self) {
    return reinterpret_cast<Interface*>(self)->owner;
  }
  static HRESULT queryInterface(ImxSysNotificationSink*, const Guid*, void** out) {
    if (out != nullptr) *out = nullptr;
    return kE_NOINTERFACE;
  }
  static ULONG addRef(ImxSysNotificationSink* self) { return ++from(self)->refs_; }
  static ULONG release(ImxSysNotificationSink* self) { return --from(self)->refs_; }
  static HRESULT notify(ImxSysNotificationSink* self, void*, std::int32_t kind,
                        ImxSysEnumStringList* list) {
    from(self)->apply(kind, namesOf(list));
    return kS_OK;
  }
  void apply(std::int32_t kind, const std::vector<std::string>& names) {
    if (kind == kItemChanged) {
      ++changes_;
      return;
    }
    {
      std::lock_guard lock(mutex_);
      for (const std::string& name : names) {
        const bool known = present_.count(name) != 0;
        if (kind == kArrival && !known) {
          present_.insert(name);
          ++arrivals_;
        } else if (kind == kRemoval && known) {
          present_.erase(name);
          ++removals_;
        } else if (violations_.size() < 20) {
          violations_.push_back("notice " + std::to_string(kind) + " for " + name +
                                (known ? " while present" : " while absent"));
        }
      }
    }
    changed_.notify_all();
  }
  static constexpr ImxSysNotificationSinkVtbl kTable = {&queryInterface, &addRef, &release,
                                                        &notify};

  Interface itf_;
  std::atomic<int> refs_{1};
  std::atomic<long> arrivals_{0}, removals_{0}, changes_{0};
  std::mutex mutex_;  // guards present_ and violations_
  std::condition_variable changed_;
  std::set<std::string> present_;
  std::vector<std::string> violations_;
};

// ---- the results the workers saw ---------------------------------------------------------------

// Counts every (call, code) pair; a code outside the call's allowed set is kept as a failure.
class Outcomes {
 public:
  void record(const char* call, std::int32_t code, const std::vector<std::int32_t>& allowed) {
    const bool ok = std::find(allowed.begin(), allowed.end(), code) != allowed.end();
    std::lock_guard lock(mutex_);
    ++counts_[{call, code}];
    if (!ok && unexpected_.size() < 20)
      unexpected_.push_back(std::string(call) + " answered " + hresultWithMeaning(code));
  }
  std::vector<std::string> unexpected() {
    std::lock_guard lock(mutex_);
    return unexpected_;
  }
  long total() {
    std::lock_guard lock(mutex_);
    long n = 0;
    for (const auto& [key, count] : counts_) n += count;
    return n;
  }
  void print() {
    std::lock_guard lock(mutex_);
    for (const auto& [key, count] : counts_)
      std::printf("  %-22s %-12s %8ld\n", key.first.c_str(), hresultText(key.second).c_str(),
                  count);
    std::fflush(stdout);
  }

 private:
  std::mutex mutex_;  // guards everything below
  std::map<std::pair<std::string, std::int32_t>, long> counts_;
  std::vector<std::string> unexpected_;
};

// ---- the library as a host holds it -------------------------------------------------------------

class StormHost {
 public:
  // Loads the library, makes and starts the expert and subscribes the sink; empty or the
  // step that failed.
  std::string open(PresenceSink& sink) {
    if (!lib_.load()) return lib_.error();
    std::string missing;
    if (!routing.load(lib_, &missing)) return "no export " + missing;
    expert = lib_.newExpert();
    if (expert == nullptr) return "no expert";
    void* p = nullptr;
    if (queryInterface(expert, kIID_ImxSysExpertPlugPlay, &p) != kS_OK) return "no plug-and-play";
    plugPlay_ = static_cast<ImxSysExpertPlugPlay*>(p);
    if (queryInterface(expert, kIID_ImxSysExpertDiagnostic, &p) != kS_OK) return "no diagnostic";
    diagnostic = static_cast<ImxSysExpertDiagnostic*>(p);
    if (expert->vtbl->Initialize(expert) != kS_OK) return "Initialize failed";
    if (plugPlay_->vtbl->SetNotificationSink(plugPlay_, sink.asSink()) != kS_OK) return "no sink";
    return {};
  }
  // Shutdown and the final Release; true when both answered as they must.
  bool close() {
    bool ok = true;
    if (expert != nullptr) ok = expert->vtbl->Shutdown(expert) == kS_OK;
    if (plugPlay_ != nullptr) release(plugPlay_);
    if (diagnostic != nullptr) release(diagnostic);
    if (expert != nullptr) ok = release(expert) == 0 && ok;
    expert = nullptr;
    plugPlay_ = nullptr;
    diagnostic = nullptr;
    lib_.close();
    return ok;
  }

  ImxSysExpert2* expert = nullptr;
  ImxSysExpertDiagnostic* diagnostic = nullptr;
  routingabi::Exports routing;

 private:
  testsupport::LibraryUnderTest lib_;
  ImxSysExpertPlugPlay* plugPlay_ = nullptr;
};

}  // namespace storm
