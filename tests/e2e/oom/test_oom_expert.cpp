// The configuration face when memory runs out: every allocation of each host operation, one at
// a time, fails on the calling thread. Each answer is success or 0x8007000E, nothing is handed
// out on failure, references balance, and the next operation works.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "QosimClient.h"
#include "oom_sweep.h"
#include "qovorlixatomicsae/sysapi_host.h"
#include "tests/common/LibraryUnderTest.h"
#include "tools/common/host_client.h"

namespace {

using namespace hostabi;
using oom::Outcome;

constexpr unsigned kTemperatureTag = 0x102E000;

Outcome classify(HRESULT hr) {
  if (hr == kS_OK || hr == kS_FALSE) return Outcome::kSucceeded;
  if (hr == kE_OUTOFMEMORY) return Outcome::kOutOfMemory;
  ADD_FAILURE() << "unexpected result " << hresultText(hr);
  return Outcome::kOther;
}

// Runs `call` armed to fail allocation `failAt` and records how many allocations it made.
template <typename F>
auto armed(long failAt, F call) {
  oom::Armed a(failAt);
  auto result = call();
  const long seen = a.seen();
  oom::noteSeen(seen);
  return result;
}

// The host's item collector: only its sixth entry is called, with one bag at a time.
struct Collector {
  struct Vtbl {
    HRESULT (*QueryInterface)(Collector*, const Guid*, void**);
    ULONG (*AddRef)(Collector*);
    ULONG (*Release)(Collector*);
    HRESULT (*Unused1)(Collector*);
    HRESULT (*Unused2)(Collector*);
    HRESULT (*Collect)(Collector*, void* bag);
  };
  const Vtbl* vtbl;
  int bags = 0;
  static HRESULT qi(Collector*, const Guid*, void** out) {
    *out = nullptr;
    return kE_NOINTERFACE;
  }
  static ULONG one(Collector*) { return 1; }
  static HRESULT unused(Collector*) { return kS_OK; }
  static HRESULT collect(Collector* self, void*) {
    ++self->bags;
    return kS_OK;
  }
  static constexpr Vtbl kTable = {&qi, &one, &one, &unused, &unused, &collect};
  Collector() : vtbl(&kTable) {}
};

// A sink that only counts notices: it allocates nothing on the library's thread, so every
// allocation counted there is the library's.
struct CountingSink {
  struct Vtbl {
    HRESULT (*QueryInterface)(CountingSink*, const Guid*, void**);
    ULONG (*AddRef)(CountingSink*);
    ULONG (*Release)(CountingSink*);
    HRESULT (*Notify)(CountingSink*, void* expert, std::int32_t kind, void* names);
  };
  const Vtbl* vtbl;
  std::atomic<int> notices{0};
  std::atomic<int> references{1};
  static HRESULT qi(CountingSink*, const Guid*, void** out) {
    *out = nullptr;
    return kE_NOINTERFACE;
  }
  static ULONG addRef(CountingSink* self) { return static_cast<ULONG>(++self->references); }
  static ULONG releaseEntry(CountingSink* self) { return static_cast<ULONG>(--self->references); }
  static HRESULT notify(CountingSink* self, void*, std::int32_t, void*) {
    ++self->notices;
    return kS_OK;
  }
  static constexpr Vtbl kTable = {&qi, &addRef, &releaseEntry, &notify};
  CountingSink() : vtbl(&kTable) {}
  // True when a notice beyond `before` came within `ms`.
  bool waitBeyond(int before, int ms) const {
    for (int i = 0; i < ms && notices.load() <= before; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return notices.load() > before;
  }
};

class ExpertOutOfMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.load()) << lib_.error();
    make_ = lib_.expertFactory();
    ASSERT_NE(make_, nullptr);
    e_ = fresh(true);
    ASSERT_NE(e_, nullptr);
    ASSERT_EQ(faces_.ask(e_), kS_OK);
    auto* pp = faces_.plugPlay;
    ASSERT_EQ(pp->vtbl->SetNotificationSink(pp, sink_.asSink()), kS_OK);
    ASSERT_EQ(itemNames(e_).size(), 4u);  // the device expert runs from here on
  }
  void TearDown() override {
    if (e_ != nullptr) {
      EXPECT_EQ(e_->vtbl->Shutdown(e_), kS_OK);
      faces_.release();
      EXPECT_EQ(release(e_), 0u);
    }
    EXPECT_EQ(sink_.references(), 1);  // the library let go of the host's sink
    lib_.close();
  }
  // A new expert, initialized when asked.
  ImxSysExpert2* fresh(bool initialize) {
    void* p = nullptr;
    if (make_(&p) != kS_OK) return nullptr;
    auto* e = static_cast<ImxSysExpert2*>(p);
    if (initialize) {
      EXPECT_EQ(e->vtbl->Initialize(e), kS_OK);
    }
    return e;
  }

  testsupport::LibraryUnderTest lib_;
  CreateExpertFn make_ = nullptr;
  ImxSysExpert2* e_ = nullptr;
  testsupport::ExpertInterfaces faces_;
  RecordingSink sink_;
};

TEST_F(ExpertOutOfMemory, ObjectsAreMadeWholeOrNotAtAll) {
  oom::sweep("expert: factory", [&](long n) {
    void* p = reinterpret_cast<void*>(1);
    const HRESULT hr = armed(n, [&] { return make_(&p); });
    if (hr != kS_OK) {
      EXPECT_EQ(p, nullptr);
      return classify(hr);
    }
    EXPECT_EQ(release(p), 0u);
    return Outcome::kSucceeded;
  });
  oom::sweep("expert: Initialize", [&](long n) {
    ImxSysExpert2* e = fresh(false);
    const HRESULT hr = armed(n, [&] { return e->vtbl->Initialize(e); });
    const Outcome o = classify(hr);
    EXPECT_EQ(release(e), 0u);
    return o;
  });
  // The first item operation creates the device expert (threads, enumeration, every item).
  oom::sweep("expert: first GetItemNames", [&](long n) {
    ImxSysExpert2* e = fresh(true);
    void* names = nullptr;
    const HRESULT hr = armed(n, [&] { return e->vtbl->GetItemNames(e, &names); });
    if (hr == kS_OK) {
      EXPECT_NE(names, nullptr);
      EXPECT_EQ(namesOf(static_cast<ImxSysEnumStringList*>(names)).size(), 4u);
      release(names);
    } else {
      EXPECT_EQ(names, nullptr);
    }
    EXPECT_EQ(e->vtbl->Shutdown(e), kS_OK);
    EXPECT_EQ(release(e), 0u);
    return classify(hr);
  });
  oom::sweep(
      "expert: Shutdown and final Release",
      [&](long n) {
        ImxSysExpert2* e = fresh(true);
        EXPECT_EQ(itemNames(e).size(), 4u);
        oom::Armed a(n);
        const HRESULT hr = e->vtbl->Shutdown(e);
        EXPECT_EQ(release(e), 0u);
        oom::noteSeen(a.seen());
        return classify(hr);
      },
      true);
}

TEST_F(ExpertOutOfMemory, ItemOperationsAnswerOrReportOutOfMemory) {
  oom::sweep("expert: GetItemNames", [&](long n) {
    void* names = nullptr;
    const HRESULT hr = armed(n, [&] { return e_->vtbl->GetItemNames(e_, &names); });
    if (hr != kS_OK) {
      EXPECT_EQ(names, nullptr);
      return classify(hr);
    }
    EXPECT_EQ(namesOf(static_cast<ImxSysEnumStringList*>(names)).size(), 4u);
    EXPECT_EQ(release(names), 0u);
    return Outcome::kSucceeded;
  });
  oom::sweep("expert: EnumerateItems", [&](long n) {
    Collector collector;
    const HRESULT hr = armed(n, [&] { return e_->vtbl->EnumerateItems(e_, &collector); });
    if (hr == kS_OK) {
      EXPECT_EQ(collector.bags, 4);
    }
    return classify(hr);
  });
  const HostText item("KEL1");
  oom::sweep("expert: GetPropertyBag", [&](long n) {
    void* bag = reinterpret_cast<void*>(1);
    const HRESULT hr = armed(n, [&] { return e_->vtbl->GetPropertyBag(e_, item, &bag); });
    if (hr != kS_OK) {
      EXPECT_EQ(bag, nullptr);
      return classify(hr);
    }
    EXPECT_GT(bagRows(static_cast<ImxSysPropertyBag*>(bag)).size(), 10u);
    EXPECT_EQ(release(bag), 0u);
    return Outcome::kSucceeded;
  });
  const unsigned tags[] = {kTemperatureTag};
  for (const int flag : {0, 1}) {
    oom::sweep(flag == 0 ? "expert: refresh synchronous" : "expert: refresh asynchronous",
               [&](long n) {
                 void* bag = nullptr;
                 HRESULT hr = armed(n, [&] {
                   return e_->vtbl->GetPropertyBagWithRefresh(e_, item, 1, tags, flag, &bag);
                 });
                 if (bag != nullptr) {
                   EXPECT_TRUE(hr == kS_OK || hr == kS_FALSE) << hresultText(hr);
                   EXPECT_EQ(release(bag), 0u);
                 }
                 if (hr == kRefreshPending) {
                   EXPECT_EQ(bag, nullptr);
                   hr = kS_OK;
                 }
                 return classify(hr);
               });
  }
}

TEST_F(ExpertOutOfMemory, DiagnosticsAndFirmwareAnswerOrReportOutOfMemory) {
  auto* diagnostic = faces_.diagnostic;
  auto* firmware = faces_.firmware;
  const HostText item("KEL2");
  oom::sweep("expert: RunDiagnostic", [&](long n) {
    wchar_t* text = nullptr;
    const HRESULT hr =
        armed(n, [&] { return diagnostic->vtbl->RunDiagnostic(diagnostic, item, 0, &text); });
    // A failure hands out no text, or the empty text of the error translation.
    if (hr != kS_OK) {
      EXPECT_EQ(hostStringLength(text), 0u);
    }
    takeHostText(text);
    return classify(hr);
  });
  oom::sweep(
      "expert: GetFirmwareUpdateStatus",
      [&](long n) {
        int state = 7, value = 0;
        wchar_t* text = nullptr;
        const HRESULT hr = armed(n, [&] {
          return firmware->vtbl->GetFirmwareUpdateStatus(firmware, item, &state, &value, &text);
        });
        // A failure hands out no text, or the empty text of the error translation.
        if (hr != kS_OK) {
          EXPECT_EQ(hostStringLength(text), 0u);
        }
        takeHostText(text);
        return classify(hr);
      },
      !oom::heapFunctionsCovered());  // only host strings: malloc
  qosim::Client client = std::move(qosim::Client::connect().value);
  ASSERT_TRUE(client.firmwareConfig("qovorlix2", 1).ok());
  HostImage image("vx-firmware.bin", std::vector<unsigned char>(256, 0x5A));
  const HostText empty("");
  // Begin, update and poll to the end, every allocation of the three counted together.
  oom::sweep("expert: firmware begin/update/status", [&](long n) {
    oom::Armed a(n);
    wchar_t* target = nullptr;
    HRESULT hr = firmware->vtbl->BeginFirmwareUpdate(firmware, item, 0, 0, &target);
    if (hr == kS_OK) {
      hostStringFree(target);
      hr = firmware->vtbl->UpdateFirmware(firmware, item, item, 0, empty, image.asImage());
    } else {
      EXPECT_EQ(target, nullptr);
    }
    int state = -1;
    for (int i = 0; i < 2000 && hr == kS_OK && (state == -1 || state == -2); ++i) {
      hr = firmware->vtbl->GetFirmwareUpdateStatus(firmware, item, &state, nullptr, nullptr);
      if (state == -1 || state == -2) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    oom::noteSeen(a.seen());
    EXPECT_EQ(image.references(), 1);
    return classify(hr);
  });
}

TEST_F(ExpertOutOfMemory, TheSinkIsRegisteredOnceWhateverFailed) {
  auto* pp = faces_.plugPlay;
  oom::sweep(
      "expert: SetNotificationSink",
      [&](long n) {
        const HRESULT hr =
            armed(n, [&] { return pp->vtbl->SetNotificationSink(pp, sink_.asSink()); });
        return classify(hr);
      },
      true);
  EXPECT_EQ(pp->vtbl->SetNotificationSink(pp, sink_.asSink()), kS_OK);
  EXPECT_EQ(sink_.references(), 2);  // registered once, whatever failed meanwhile
}

// The asynchronous refresh runs on a task worker and ends with a notice from the notification
// thread: their allocations fail one at a time while the host thread is left alone. A refresh
// that ran out of memory may end without a notice, but the next one works.
TEST_F(ExpertOutOfMemory, WorkerThreadsRunOutOfMemoryCleanly) {
  CountingSink counting;
  auto* pp = faces_.plugPlay;
  ASSERT_EQ(pp->vtbl->SetNotificationSink(pp, &counting), kS_OK);
  const HostText item("KEL1");
  const unsigned tags[] = {kTemperatureTag};
  oom::sweep("expert workers: asynchronous refresh", [&](long n) {
    const int before = counting.notices.load();
    void* bag = nullptr;
    HRESULT hr = 0;
    bool noticed = false;
    {
      oom::ArmedWorkers workers(n);
      hr = e_->vtbl->GetPropertyBagWithRefresh(e_, item, 1, tags, 1, &bag);
      noticed = counting.waitBeyond(before, n == 0 ? 5000 : 300);
      oom::noteSeen(workers.seen());
    }
    if (hr != kRefreshPending) {
      if (bag != nullptr) release(bag);
      return classify(hr);
    }
    return noticed ? Outcome::kSucceeded : Outcome::kOutOfMemory;
  });
  // The firmware worker: an update that ran out of memory ends (never stays busy) and the next
  // update of the board starts and completes.
  auto* firmware = faces_.firmware;
  qosim::Client client = std::move(qosim::Client::connect().value);
  ASSERT_TRUE(client.firmwareConfig("qovorlix2", 1).ok());
  HostImage image("vx-firmware.bin", std::vector<unsigned char>(256, 0x5A));
  const HostText board("KEL2"), empty("");
  oom::sweep("expert workers: firmware update", [&](long n) {
    wchar_t* target = nullptr;
    EXPECT_EQ(firmware->vtbl->BeginFirmwareUpdate(firmware, board, 0, 0, &target), kS_OK);
    hostStringFree(target);
    int state = -1, percent = 0;
    HRESULT hr = 0;
    {
      oom::ArmedWorkers workers(n);
      hr = firmware->vtbl->UpdateFirmware(firmware, board, board, 0, empty, image.asImage());
      for (int i = 0; i < 5000 && hr == kS_OK && (state == -1 || state == -2); ++i) {
        hr = firmware->vtbl->GetFirmwareUpdateStatus(firmware, board, &state, &percent, nullptr);
        if (state == -1 || state == -2) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      oom::noteSeen(workers.seen());
    }
    EXPECT_TRUE(state != -1 && state != -2) << "still busy";
    EXPECT_EQ(image.references(), 1);
    if (hr != kS_OK) return classify(hr);
    return state == 5 && percent == 100 ? Outcome::kSucceeded : Outcome::kOutOfMemory;
  });
  ASSERT_EQ(pp->vtbl->SetNotificationSink(pp, sink_.asSink()), kS_OK);
  EXPECT_EQ(counting.references.load(), 1);
}

}  // namespace
