// The configuration face under driver faults, through the built library loaded with dlopen as the
// host loads it, inside a simulated machine. Each row is one driver method the library calls,
// grouped by the host operation that calls it (item build, synchronous refresh, diagnostic); each
// column one way the call fails (error status, warning status, transport errno, board unplugged
// right after the call, driver killed instead of answering). Every cell runs a fresh expert on a
// fresh board, checks the host's HRESULT against the documented mapping of the failing status,
// then that another board is still served, and that the expert's threads all end at its release.
// The whole matrix is printed into the log.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FaultMatrix.h"
#include "QosimClient.h"
#include "tools/common/host_abi.h"
#include "tools/common/host_client.h"

namespace {

using namespace hostabi;
using faultmatrix::Column;
using faultmatrix::hex32;

constexpr std::int32_t kDriverError = -52030;  // no code of its own: the general failure
constexpr std::int32_t kDriverWarning = 1;
constexpr std::uint32_t kRestartMs = 200;
constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005u);
constexpr int kErrnos[] = {EIO, ENODEV, ENOTTY};
constexpr const char* kErrnoNames[] = {"EIO", "ENODEV", "ENOTTY"};

std::string outcome(HRESULT hr) { return hr == kS_OK ? "S_OK" : hex32(hr); }

enum class Operation { Build, Refresh, Diagnostic };

// The outcomes a host sees. A board whose item cannot be built is left out (the other boards
// are served), so every failing build call shows as "no such item"; a synchronous refresh never
// fails, a failing group leaves its tags unwritten (none present: 0x80040371); the diagnostic
// fails with the call's status.
constexpr const char* kOk = "S_OK";
constexpr const char* kLeftOut = "0x80040375";
constexpr const char* kUnwritten = "0x80040371";
constexpr const char* kFailed = "0x80004005";

struct Row {
  const char* method;
  std::uint32_t command;
  Operation operation;
  unsigned refreshTag;  // Refresh: the dynamic tag whose group calls the method
  unsigned fallbackTag;  // Build: the tag that takes the fallback value when the call fails
  const char* fallback;  // its value then (the board's own answer differs)
  // Expected outcome per column: (a), (b), (c) for EIO/ENODEV/ENOTTY, (d) first call, (e).
  const char* error;
  const char* warning;
  const char* transport[3];
  const char* unplugged;  // then the repetition finds no item
  const char* killed;
};

constexpr unsigned kModuleIdTag = 0x19012000, kRecordByteTag = 0x1048000;
constexpr Row kRows[] = {
    // Item build (first use of the item): op0604 and the module reads fall back; every later call
    // of the build goes to the same descriptor, so a gone board or a dead driver fails it.
    {"op0604", 0x80200604, Operation::Build, 0, kRecordByteTag, "1", kOk, kOk, {kOk, kOk, kOk}, kLeftOut, kLeftOut},
    {"op0600", 0x80200600, Operation::Build, 0, kModuleIdTag, "4294967295 (0xFFFFFFFF)", kOk, kOk, {kOk, kOk, kOk}, kLeftOut, kLeftOut},
    {"op0601", 0x80200601, Operation::Build, 0, kModuleIdTag, "4294967295 (0xFFFFFFFF)", kOk, kOk, {kOk, kOk, kOk}, kLeftOut, kLeftOut},
    {"op0602", 0x80200602, Operation::Build, 0, kModuleIdTag, "4294967295 (0xFFFFFFFF)", kOk, kOk, {kOk, kOk, kOk}, kLeftOut, kLeftOut},
    {"op0701", 0x80200701, Operation::Build, 0, 0, "", kLeftOut, kOk, {kLeftOut, kLeftOut, kLeftOut}, kLeftOut, kLeftOut},
    {"op0700", 0x80200700, Operation::Build, 0, 0, "", kLeftOut, kOk, {kLeftOut, kLeftOut, kLeftOut}, kLeftOut, kLeftOut},
    // Synchronous refresh of one dynamic group: the first call of a pair unplugging the board
    // fails the second; the last call of a group has already answered.
    {"op0300", 0x80200300, Operation::Refresh, 0x1015000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kUnwritten, kUnwritten},
    {"op0301", 0x80200301, Operation::Refresh, 0x1015000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kOk, kUnwritten},
    {"op0304", 0x80200304, Operation::Refresh, 0x1900F000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kUnwritten, kUnwritten},
    {"op0305", 0x80200305, Operation::Refresh, 0x1900F000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kOk, kUnwritten},
    {"op0405", 0x80200405, Operation::Refresh, 0x102E000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kUnwritten, kUnwritten},
    {"op0402", 0x80200402, Operation::Refresh, 0x102E000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kOk, kUnwritten},
    {"op0407", 0x80200407, Operation::Refresh, 0x1061000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kUnwritten, kUnwritten},
    {"op0408", 0x80200408, Operation::Refresh, 0x1061000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kOk, kUnwritten},
    // The version text is also written by the build: a failed refresh leaves the old text.
    {"op0701 (refresh)", 0x80200701, Operation::Refresh, 0x102F000, 0, "", kOk, kOk, {kOk, kOk, kOk}, kOk, kOk},
    // Diagnostic: -52030 and EIO are general failures, ENODEV "no device", ENOTTY "not supported".
    {"op0400", 0x80200400, Operation::Diagnostic, 0, 0, "", kFailed, kOk, {kFailed, kLeftOut, "0x80004001"}, kOk, kFailed},
};

class ExpertFaultMatrix : public ::testing::Test {
 protected:
  void SetUp() override {
    std::thread([] {}).join();  // a sanitizer's helper thread, counted in the baseline
    threadsBefore_ = faultmatrix::threadCount();
    lib_ = dlopen(QO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (lib_ != nullptr) dlclose(lib_);
    EXPECT_TRUE(faultmatrix::noLeaks());
  }
  ImxSysExpert2* create() {
    auto make = reinterpret_cast<CreateExpertFn>(dlsym(lib_, kFactoryName));
    void* p = nullptr;
    if (make == nullptr || make(&p) != kS_OK) return nullptr;
    auto* e = static_cast<ImxSysExpert2*>(p);
    EXPECT_EQ(e->vtbl->Initialize(e), kS_OK);
    return e;
  }
  void destroy(ImxSysExpert2* e) {
    EXPECT_EQ(e->vtbl->Shutdown(e), kS_OK);
    EXPECT_EQ(release(e), 0u);
    EXPECT_LE(faultmatrix::threadCount(), threadsBefore_) << "a thread of the expert is still running";
  }
  static HRESULT bagOf(ImxSysExpert2* e, const std::string& item, std::vector<BagRow>* rows = nullptr) {
    const HostText name(item);
    void* bag = nullptr;
    const HRESULT hr = e->vtbl->GetPropertyBag(e, name, &bag);
    if (hr == kS_OK) {
      if (rows) *rows = bagRows(static_cast<ImxSysPropertyBag*>(bag));
      release(bag);
    }
    return hr;
  }
  static HRESULT run(ImxSysExpert2* e, const Row& row, const std::string& item) {
    const HostText name(item);
    if (row.operation == Operation::Build) return bagOf(e, item);
    if (row.operation == Operation::Refresh) {
      const unsigned tags[] = {row.refreshTag};
      void* bag = nullptr;
      const HRESULT hr = e->vtbl->GetPropertyBagWithRefresh(e, name, 1, tags, 0, &bag);
      if (bag) release(bag);
      return hr;
    }
    void* p = nullptr;
    if (queryInterface(e, kIID_ImxSysExpertDiagnostic, &p) != kS_OK) return kFail;
    auto* d = static_cast<ImxSysExpertDiagnostic*>(p);
    wchar_t* text = nullptr;
    const HRESULT hr = d->vtbl->RunDiagnostic(d, name, 0, &text);
    takeHostText(text);
    release(d);
    return hr;
  }

  static std::string expected(const Row& row, Column column, int errnoIndex = 0) {
    switch (column) {
      case faultmatrix::kErrorStatus: return row.error;
      case faultmatrix::kWarningStatus: return row.warning;
      case faultmatrix::kTransport: return row.transport[errnoIndex];
      case faultmatrix::kUnplugged: return std::string(row.unplugged) + ", again " + kLeftOut;
      case faultmatrix::kKilled: return row.killed;
    }
    return "?";
  }

  // One cell: a fresh board (module record byte 15 = 7, so the record's fallback 1 shows) and a
  // fresh expert; the fault is armed for the method's next call; the host operation runs.
  std::string runCell(const Row& row, Column column, int err = 0) {
    qosim::BoardSet set;
    set.add().withDefaults().withField("moduleRecord", {{"hex", "00000000000000000000000000000007"}});
    if (!set.plug().ok()) return "plug failed";
    const std::string device = set.board(0).device;
    const std::string item = "KEL" + device.substr(std::string("qovorlix").size());
    ImxSysExpert2* e = create();
    if (e == nullptr) return "no expert";
    // A refresh or diagnostic needs the item first; a build fault meets the item's first use.
    if (row.operation != Operation::Build && bagOf(e, item) != kS_OK) {
      destroy(e);
      return "item not built";
    }
    const std::string error = arm(set.client(), device, row, column, err);
    if (!error.empty()) {
      destroy(e);
      return "fault not set: " + error;
    }
    std::vector<BagRow> rows;
    const HRESULT hr = row.operation == Operation::Build ? bagOf(e, item, &rows) : run(e, row, item);
    std::string seen = outcome(hr);
    if (hr == kS_OK && row.fallbackTag != 0 && column != faultmatrix::kWarningStatus) {
      const auto it = std::find_if(rows.begin(), rows.end(), [&](const BagRow& r) { return r.tag == row.fallbackTag; });
      const std::string value = it == rows.end() ? "absent" : it->value;
      if (value != row.fallback) seen += " (" + hex32(row.fallbackTag) + " = " + value + ", not the fallback)";
    }
    if (column == faultmatrix::kUnplugged) {
      // Once the library has seen the board leave, the next operation finds no item.
      for (int i = 0; i < 250 && contains(itemNames(e), item); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      seen += ", again " + outcome(run(e, row, item));
    }
    if (column == faultmatrix::kKilled) std::this_thread::sleep_for(std::chrono::milliseconds(kRestartMs * 2));
    set.client().clearResponses();
    // This expert still serves another board through the driver.
    const HRESULT other = run(e, kRows[std::size(kRows) - 1], "KEL0");
    if (other != kS_OK) seen += "; KEL0 diagnostic " + outcome(other);
    destroy(e);
    return seen;
  }

  // The fault for the method's next call. Warnings and unplugging keep the board's own answer
  // (board-file faults, counted afresh when set); the others are control rules.
  static std::string arm(qosim::Client& client, const std::string& device, const Row& row, Column column, int err) {
    const std::string method = std::string(row.method).substr(0, 6);
    if (column == faultmatrix::kWarningStatus || column == faultmatrix::kUnplugged) {
      nlohmann::json fault{{"method", method}, {"count", 1}};
      if (column == faultmatrix::kWarningStatus) fault["status"] = kDriverWarning;
      else fault["then"] = "unplug";
      return client.setBoardField(device, "driverFaults", nlohmann::json::array({fault})).error;
    }
    qosim::ResponseRule rule;
    rule.target = device;
    rule.command = row.command;
    rule.count = 1;
    if (column == faultmatrix::kErrorStatus) rule.status = kDriverError;
    if (column == faultmatrix::kTransport) rule.errnoValue = err;
    if (column == faultmatrix::kKilled) {
      rule.then = "crash";
      rule.restartMs = kRestartMs;
    }
    return client.setResponse(rule).error;
  }

  static bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  }

  std::size_t threadsBefore_ = 0;
  void* lib_ = nullptr;
};

TEST_F(ExpertFaultMatrix, EveryMainInterfaceMethodFailingEveryWay) {
  faultmatrix::Matrix seen("expert face: main-interface driver methods (cell = HRESULT seen)");
  int mismatches = 0;
  auto record = [&](const std::string& row, int column, const std::string& got, const std::string& want) {
    seen.set(row, column, got == want ? got : got + " [expected " + want + "]");
    if (got != want) ++mismatches;
    EXPECT_EQ(got, want) << row << " " << faultmatrix::kColumns[column];
  };
  for (const Row& row : kRows) {
    const std::string name = std::string(row.method) + (row.operation == Operation::Build ? " (item build)"
                                                       : row.operation == Operation::Diagnostic ? " (diagnostic)"
                                                                                                : "");
    for (Column c : {faultmatrix::kErrorStatus, faultmatrix::kWarningStatus, faultmatrix::kUnplugged,
                     faultmatrix::kKilled})
      record(name, c, runCell(row, c), expected(row, c));
    std::string got, want;
    for (std::size_t i = 0; i < std::size(kErrnos); ++i) {
      got += std::string(i ? " " : "") + kErrnoNames[i] + ":" + runCell(row, faultmatrix::kTransport, kErrnos[i]);
      want += std::string(i ? " " : "") + kErrnoNames[i] + ":" + expected(row, faultmatrix::kTransport, static_cast<int>(i));
    }
    record(name, faultmatrix::kTransport, got, want);
  }
  seen.print();
  // A fresh expert after all of it still lists and reads the machine's boards.
  ImxSysExpert2* e = create();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(bagOf(e, "KEL1"), kS_OK);
  destroy(e);
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
