// The configuration face under driver faults, through the built library loaded with dlopen as the
// host loads it, inside a simulated machine. Each row is one driver method the library calls,
// grouped by the host operation that calls it (item build, synchronous refresh, diagnostic); each
// column one way the call fails (error status, warning status, transport errno, board unplugged
// right after the call, driver killed instead of answering). Every cell runs a fresh expert on a
// fresh board, checks the host's HRESULT against the documented mapping of the failing status,
// then that another board is still served, and that the expert's threads all end at its release.
// The whole matrix is printed into the log.
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FaultMatrix.h"
#include "QosimClient.h"
#include "qovorlixatomicsae/sysapi_host.h"
#include "tests/common/LibraryUnderTest.h"
#include "tools/common/host_client.h"
#include "qodrv/qoDriverConstants.h"

namespace {

using namespace hostabi;
using faultmatrix::Column;

constexpr std::int32_t kDriverError = -52030;  // no code of its own: the general failure
constexpr std::int32_t kDriverWarning = 1;
constexpr std::uint32_t kRestartMs = 200;
constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005u);
constexpr int kErrnos[] = {EIO, ENODEV, ENOTTY};
constexpr const char* kErrnoNames[] = {"EIO", "ENODEV", "ENOTTY"};

std::string outcome(HRESULT hr) { return hr == kS_OK ? "S_OK" : hresultText(hr); }

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
  unsigned refreshTag;   // Refresh: the dynamic tag whose group calls the method
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
// clang-format off
constexpr Row kRows[] = {
    // Item build (first use of the item): op0604 and the module reads fall back; every later call
    // of the build goes to the same descriptor, so a gone board or a dead driver fails it.
    {"op0604", qodrv::vorlixtarrow::kOp0604Command, Operation::Build, 0, kRecordByteTag, "1", kOk, kOk, {kOk, kOk, kOk}, kLeftOut, kLeftOut},
    {"op0600", qodrv::vorlixtarrow::kOp0600Command, Operation::Build, 0, kModuleIdTag, "4294967295 (0xFFFFFFFF)", kOk, kOk, {kOk, kOk, kOk}, kLeftOut, kLeftOut},
    {"op0601", qodrv::vorlixtarrow::kOp0601Command, Operation::Build, 0, kModuleIdTag, "4294967295 (0xFFFFFFFF)", kOk, kOk, {kOk, kOk, kOk}, kLeftOut, kLeftOut},
    {"op0602", qodrv::vorlixtarrow::kOp0602Command, Operation::Build, 0, kModuleIdTag, "4294967295 (0xFFFFFFFF)", kOk, kOk, {kOk, kOk, kOk}, kLeftOut, kLeftOut},
    {"op0701", qodrv::vorlixtarrow::kOp0701Command, Operation::Build, 0, 0, "", kLeftOut, kOk, {kLeftOut, kLeftOut, kLeftOut}, kLeftOut, kLeftOut},
    {"op0700", qodrv::vorlixtarrow::kOp0700Command, Operation::Build, 0, 0, "", kLeftOut, kOk, {kLeftOut, kLeftOut, kLeftOut}, kLeftOut, kLeftOut},
    // Synchronous refresh of one dynamic group: the first call of a pair unplugging the board
    // fails the second; the last call of a group has already answered.
    {"op0300", qodrv::vorlixtarrow::kOp0300Command, Operation::Refresh, 0x1015000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kUnwritten, kUnwritten},
    {"op0301", qodrv::vorlixtarrow::kOp0301Command, Operation::Refresh, 0x1015000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kOk, kUnwritten},
    {"op0304", qodrv::vorlixtarrow::kOp0304Command, Operation::Refresh, 0x1900F000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kUnwritten, kUnwritten},
    {"op0305", qodrv::vorlixtarrow::kOp0305Command, Operation::Refresh, 0x1900F000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kOk, kUnwritten},
    {"op0405", qodrv::vorlixtarrow::kOp0405Command, Operation::Refresh, 0x102E000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kUnwritten, kUnwritten},
    {"op0402", qodrv::vorlixtarrow::kOp0402Command, Operation::Refresh, 0x102E000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kOk, kUnwritten},
    {"op0407", qodrv::vorlixtarrow::kOp0407Command, Operation::Refresh, 0x1061000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kUnwritten, kUnwritten},
    {"op0408", qodrv::vorlixtarrow::kOp0408Command, Operation::Refresh, 0x1061000, 0, "", kUnwritten, kOk, {kUnwritten, kUnwritten, kUnwritten}, kOk, kUnwritten},
    // The version text is also written by the build: a failed refresh leaves the old text.
    {"op0701 (refresh)", qodrv::vorlixtarrow::kOp0701Command, Operation::Refresh, 0x102F000, 0, "", kOk, kOk, {kOk, kOk, kOk}, kOk, kOk},
    // Diagnostic: -52030 and EIO are general failures, ENODEV "no device", ENOTTY "not supported".
    {"op0400", qodrv::vorlixtarrow::kOp0400Command, Operation::Diagnostic, 0, 0, "", kFailed, kOk, {kFailed, kLeftOut, "0x80004001"}, kOk, kFailed},
};
// clang-format on

class ExpertFaultMatrix : public ::testing::Test {
 protected:
  void SetUp() override {
    std::thread([] {}).join();  // a sanitizer's helper thread, counted in the baseline
    threadsBefore_ = faultmatrix::threadCount();
    ASSERT_TRUE(lib_.load()) << lib_.error();
  }
  void TearDown() override {
    lib_.close();
    EXPECT_TRUE(faultmatrix::noLeaks());
  }
  ImxSysExpert2* create() {
    ImxSysExpert2* e = lib_.newExpert();
    if (e == nullptr) return nullptr;
    EXPECT_EQ(e->vtbl->Initialize(e), kS_OK);
    return e;
  }
  void destroy(ImxSysExpert2* e) {
    EXPECT_EQ(e->vtbl->Shutdown(e), kS_OK);
    EXPECT_EQ(release(e), 0u);
    EXPECT_LE(faultmatrix::threadCountSettled(threadsBefore_), threadsBefore_)
        << "a thread of the expert is still running";
  }
  static HRESULT bagOf(ImxSysExpert2* e, const std::string& item,
                       std::vector<BagRow>* rows = nullptr) {
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
      case faultmatrix::kErrorStatus:
        return row.error;
      case faultmatrix::kWarningStatus:
        return row.warning;
      case faultmatrix::kTransport:
        return row.transport[errnoIndex];
      case faultmatrix::kUnplugged:
        return std::string(row.unplugged) + ", again " + kLeftOut;
      case faultmatrix::kKilled:
        return row.killed;
    }
    return "?";
  }

  // One cell: a fresh board (module record byte 15 = 7, so the record's fallback 1 shows) and a
  // fresh expert; the fault is armed for the method's next call; the host operation runs.
  std::string runCell(const Row& row, Column column, int err = 0) {
    qosim::BoardSet set;
    set.add().withDefaults().withField("moduleRecord",
                                       {{"hex", "00000000000000000000000000000007"}});
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
    const HRESULT hr =
        row.operation == Operation::Build ? bagOf(e, item, &rows) : run(e, row, item);
    std::string seen = outcome(hr);
    if (hr == kS_OK && row.fallbackTag != 0 && column != faultmatrix::kWarningStatus) {
      const auto it = std::find_if(rows.begin(), rows.end(),
                                   [&](const BagRow& r) { return r.tag == row.fallbackTag; });
      const std::string value = it == rows.end() ? "absent" : it->value;
      if (value != row.fallback)
        seen += " (" + hresultText(static_cast<HRESULT>(row.fallbackTag)) + " = " + value +
                ", not the fallback)";
    }
    if (column == faultmatrix::kUnplugged) {
      // Once the library has seen the board leave, the next operation finds no item.
      for (int i = 0; i < 250 && contains(itemNames(e), item); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      seen += ", again " + outcome(run(e, row, item));
    }
    if (column == faultmatrix::kKilled)
      std::this_thread::sleep_for(std::chrono::milliseconds(kRestartMs * 2));
    set.client().clearResponses();
    // This expert still serves another board through the driver.
    const HRESULT other = run(e, kRows[std::size(kRows) - 1], "KEL0");
    if (other != kS_OK) seen += "; KEL0 diagnostic " + outcome(other);
    destroy(e);
    return seen;
  }

  // The fault for the method's next call. Warnings and unplugging keep the board's own answer
  // (board-file faults, counted afresh when set); the others are control rules.
  static std::string arm(qosim::Client& client, const std::string& device, const Row& row,
                         Column column, int err) {
    const std::string method = std::string(row.method).substr(0, 6);
    if (column == faultmatrix::kWarningStatus || column == faultmatrix::kUnplugged) {
      nlohmann::json fault{{"method", method}, {"count", 1}};
      if (column == faultmatrix::kWarningStatus)
        fault["status"] = kDriverWarning;
      else
        fault["then"] = "unplug";
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
  testsupport::LibraryUnderTest lib_;
};

TEST_F(ExpertFaultMatrix, EveryMainInterfaceMethodFailingEveryWay) {
  faultmatrix::Matrix seen("expert face: main-interface driver methods (cell = HRESULT seen)");
  int mismatches = 0;
  auto record = [&](const std::string& row, int column, const std::string& got,
                    const std::string& want) {
    seen.set(row, column, got == want ? got : got + " [expected " + want + "]");
    if (got != want) ++mismatches;
    EXPECT_EQ(got, want) << row << " " << faultmatrix::kColumns[column];
  };
  for (const Row& row : kRows) {
    const std::string name =
        std::string(row.method) + (row.operation == Operation::Build        ? " (item build)"
                                   : row.operation == Operation::Diagnostic ? " (diagnostic)"
                                                                            : "");
    for (Column c : {faultmatrix::kErrorStatus, faultmatrix::kWarningStatus,
                     faultmatrix::kUnplugged, faultmatrix::kKilled})
      record(name, c, runCell(row, c), expected(row, c));
    std::string got, want;
    for (std::size_t i = 0; i < std::size(kErrnos); ++i) {
      got += std::string(i ? " " : "") + kErrnoNames[i] + ":" +
             runCell(row, faultmatrix::kTransport, kErrnos[i]);
      want += std::string(i ? " " : "") + kErrnoNames[i] + ":" +
              expected(row, faultmatrix::kTransport, static_cast<int>(i));
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

// ---- the enumeration library -------------------------------------------------------------------
// Its calls report through a status only (no errno, no driver process of its own): a transport
// failure is its errno-mapped status (EIO -52024, ENODEV -52006, ENOTTY -52002).
struct EnumRow {
  const char* operation;  // the stand-in's operation name
  bool machineWide;
  // Expected: (a) -52030, (b) warning 1, (c) the three mapped codes; each "first, after clearing".
  const char* error;
  const char* warning;
  const char* transport[3];
};

// A failing machine-wide call means the device expert cannot be made: the first use fails with
// 0x80004005 whatever the status (a failure while translating is classified as a plain
// exception), and the next operation retries; a board whose list entry, session, reader or
// attribute fails is left out (its item does not exist) while the others are served.
constexpr const char* kLeftOutThenOk = "0x80040375, then S_OK";
constexpr const char* kFailedThenOk = "0x80004005, then S_OK";
// clang-format off
constexpr EnumRow kEnumRows[] = {
    {"initialize", true, kFailedThenOk, "S_OK, then S_OK", {kFailedThenOk, kFailedThenOk, kFailedThenOk}},
    {"getAllKelDevices", true, kFailedThenOk, "S_OK, then S_OK", {kFailedThenOk, kFailedThenOk, kFailedThenOk}},
    {"deviceAt", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"openSession", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"getAttributeReader", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"readU32.1", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"readU32.2", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"readU32.3", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"readU32.4", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"readU32.10", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"readU32.11", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"readU32.12", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"readU32.28", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"readU32.30", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"readU32.74", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
    {"readString.5", false, kLeftOutThenOk, "S_OK, then S_OK", {kLeftOutThenOk, kLeftOutThenOk, kLeftOutThenOk}},
};
// clang-format on
constexpr std::int32_t kMappedTransport[] = {-52024, -52006, -52002};

TEST_F(ExpertFaultMatrix, EveryEnumerationCallFailing) {
  faultmatrix::Matrix seen(
      "expert face: enumeration library calls (cell = HRESULT of the first use, then after the "
      "fault is cleared)");
  int mismatches = 0;
  auto cell = [&](const EnumRow& row, std::int32_t status) {
    qosim::BoardSet set;
    set.add().withDefaults();
    if (!set.plug().ok()) return std::string("plug failed");
    const std::string device = set.board(0).device;
    const std::string item = "KEL" + device.substr(std::string("qovorlix").size());
    const std::string where = row.machineWide ? "" : device;
    if (!set.client().enumFault(where, row.operation, status).ok())
      return std::string("fault not set");
    ImxSysExpert2* e = create();
    if (e == nullptr) return std::string("no expert");
    std::string got = outcome(bagOf(e, item));
    if (!row.machineWide && bagOf(e, "KEL0") != kS_OK) got += " (KEL0 not served)";
    set.client().enumFault(where, row.operation, std::nullopt);
    // The fault cleared: a board event (or the next operation) finds the board again.
    qosim::BoardSet next;
    next.add().withDefaults();
    next.plug();
    HRESULT again = kFail;
    for (int i = 0; i < 250 && (again = bagOf(e, item)) != kS_OK; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    got += ", then " + outcome(again);
    destroy(e);
    return got;
  };
  for (const EnumRow& row : kEnumRows) {
    auto record = [&](int column, const std::string& got, const std::string& want) {
      seen.set(row.operation, column, got == want ? got : got + " [expected " + want + "]");
      mismatches += got != want;
      EXPECT_EQ(got, want) << row.operation << " " << faultmatrix::kColumns[column];
    };
    record(faultmatrix::kErrorStatus, cell(row, kDriverError), row.error);
    record(faultmatrix::kWarningStatus, cell(row, kDriverWarning), row.warning);
    std::string got, want;
    for (std::size_t i = 0; i < std::size(kMappedTransport); ++i) {
      got += std::string(i ? "; " : "") + kErrnoNames[i] + ":" + cell(row, kMappedTransport[i]);
      want += std::string(i ? "; " : "") + kErrnoNames[i] + ":" + row.transport[i];
    }
    record(faultmatrix::kTransport, got, want);
    seen.set(row.operation, faultmatrix::kUnplugged,
             faultmatrix::notApplicable(
                 "the stand-in reads the /proc tree; no hook between two of its reads yet"));
    seen.set(row.operation, faultmatrix::kKilled,
             faultmatrix::notApplicable("in-process library, no process to kill"));
  }
  seen.print();
  EXPECT_EQ(mismatches, 0);
}

// ---- the firmware library ---------------------------------------------------------------------
// The update runs on the updater's worker; a failing update call ends it where it failed (40 %)
// and the host reads state 5 with "Error: " and the status, whatever its sign. A board unplugged
// during the update takes its item away: the next poll finds no item, the worker is joined.
// Begins and starts an update with `image` (kept by the caller while the update runs) on
// `name`; what refused it, or null.
const char* startUpdate(ImxSysExpertFirmware* f, const HostText& name, HostImage& image) {
  const HostText empty("");
  wchar_t* target = nullptr;
  if (f->vtbl->BeginFirmwareUpdate(f, name, 0, 0, &target) != kS_OK) return "not begun";
  takeHostText(target);
  if (f->vtbl->UpdateFirmware(f, name, name, 0, empty, image.asImage()) != kS_OK)
    return "not started";
  return nullptr;
}

std::string pollUpdate(ImxSysExpertFirmware* f, const std::string& item, bool unplugMidway,
                       qosim::BoardSet& set) {
  const HostText name(item);
  HostImage image("vx-firmware.bin", std::vector<unsigned char>(4096, 0x5A));
  if (const char* refused = startUpdate(f, name, image)) return refused;
  int state = 0, percent = 0;
  std::string text;
  for (int i = 0; i < 500; ++i) {
    wchar_t* message = nullptr;
    const HRESULT hr = f->vtbl->GetFirmwareUpdateStatus(f, name, &state, &percent, &message);
    text = takeHostText(message);
    if (hr != kS_OK) return outcome(hr);
    // With the board pulled the update may end first ("Error: -52006", the board gone) or the
    // item may go first: either way the host's polls settle on the item being gone.
    if (i > 0 && state != -1 && state != -2 && !unplugMidway) break;
    if (unplugMidway && i == 2 && !set.unplug().ok()) return "unplug failed";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return "state " + std::to_string(state) + ", " + std::to_string(percent) + "%, \"" + text + "\"";
}

// The progress call failing alone (from 40 % until the update ends): the states the host's polls
// go through, each once in order, then the final poll. The queued state -1 lasts only until the
// worker starts, so on a busy machine the first poll may already find -2: the cell begins at the
// first state after -1.
std::string pollProgressFault(ImxSysExpertFirmware* f, const std::string& item) {
  const HostText name(item);
  HostImage image("vx-firmware.bin", std::vector<unsigned char>(4096, 0x5A));
  if (const char* refused = startUpdate(f, name, image)) return refused;
  std::string seen, last;
  for (int i = 0; i < 500; ++i) {
    int state = 0, percent = 0;
    wchar_t* message = nullptr;
    const HRESULT hr = f->vtbl->GetFirmwareUpdateStatus(f, name, &state, &percent, &message);
    const std::string text = takeHostText(message);
    const std::string now =
        hr != kS_OK ? outcome(hr)
                    : "state " + std::to_string(state) + (text.empty() ? "" : " \"" + text + "\"");
    if (now != last && now != "state -1") seen += (seen.empty() ? "" : " > ") + now;
    last = now;
    if (hr == kS_OK && state != -1 && state != -2)
      return seen + ", " + std::to_string(percent) + "%";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return seen + " (never ended)";
}

TEST_F(ExpertFaultMatrix, TheFirmwareLibraryFailing) {
  faultmatrix::Matrix seen(
      "expert face: firmware library calls (cell = the host's last status poll; progress: the "
      "states its polls go through)");
  int mismatches = 0;
  auto cell = [&](std::optional<std::int32_t> status, bool unplug,
                  const char* operation = "update") {
    qosim::BoardSet set;
    set.add().withDefaults();
    if (!set.plug().ok()) return std::string("plug failed");
    const std::string device = set.board(0).device;
    const std::string item = "KEL" + device.substr(std::string("qovorlix").size());
    set.client().firmwareConfig(device, unplug ? 2000 : 200);
    if (status)
      set.client().firmwareFault(device, qosim::FirmwareFaultSpec{*status, 40, 1, operation});
    ImxSysExpert2* e = create();
    if (e == nullptr) return std::string("no expert");
    void* p = nullptr;
    if (queryInterface(e, kIID_ImxSysExpertFirmware, &p) != kS_OK)
      return std::string("no firmware interface");
    auto* f = static_cast<ImxSysExpertFirmware*>(p);
    std::string got = std::string(operation) == "progress" ? pollProgressFault(f, item)
                                                           : pollUpdate(f, item, unplug, set);
    release(f);
    if (bagOf(e, "KEL0") != kS_OK) got += " (KEL0 not served)";
    destroy(e);
    return got;
  };
  auto record = [&](const char* row, int column, const std::string& got, const std::string& want) {
    seen.set(row, column, got == want ? got : got + " [expected " + want + "]");
    mismatches += got != want;
    EXPECT_EQ(got, want) << row << " " << faultmatrix::kColumns[column];
  };
  auto ended = [](std::int32_t status) {
    return "state 5, 40%, \"Error: " + std::to_string(status) + "\"";
  };
  record("update", faultmatrix::kErrorStatus, cell(kDriverError, false), ended(kDriverError));
  record("update", faultmatrix::kWarningStatus, cell(kDriverWarning, false), ended(kDriverWarning));
  std::string got, want;
  for (std::size_t i = 0; i < std::size(kMappedTransport); ++i) {
    got += std::string(i ? "; " : "") + kErrnoNames[i] + ":" + cell(kMappedTransport[i], false);
    want += std::string(i ? "; " : "") + kErrnoNames[i] + ":" + ended(kMappedTransport[i]);
  }
  record("update", faultmatrix::kTransport, got, want);
  record("update", faultmatrix::kUnplugged, cell(std::nullopt, true), "0x80040375");
  seen.set("update", faultmatrix::kKilled,
           faultmatrix::notApplicable("in-process library, no process to kill"));
  // The progress call failing alone: the status operation has no failure of its own; a failing
  // poll keeps the last reported percent and flags (busy, percent not 0: state -2, no message),
  // and once the update ends the polls answer again and show its success (the new image waits
  // for the power cycle: state 5, 100 %, no message).
  constexpr char kProgressKept[] = "state -2 > state 5, 100%";
  record("progress", faultmatrix::kErrorStatus, cell(kDriverError, false, "progress"),
         kProgressKept);
  record("progress", faultmatrix::kWarningStatus, cell(kDriverWarning, false, "progress"),
         kProgressKept);
  got.clear();
  want.clear();
  for (std::size_t i = 0; i < std::size(kMappedTransport); ++i) {
    got += std::string(i ? "; " : "") + kErrnoNames[i] + ":" +
           cell(kMappedTransport[i], false, "progress");
    want += std::string(i ? "; " : "") + kErrnoNames[i] + ":" + kProgressKept;
  }
  record("progress", faultmatrix::kTransport, got, want);
  seen.set("progress", faultmatrix::kUnplugged,
           faultmatrix::notApplicable("the update row's unplug is met by the progress polls"));
  seen.set("progress", faultmatrix::kKilled,
           faultmatrix::notApplicable("in-process library, no process to kill"));
  seen.print();
  EXPECT_EQ(mismatches, 0);
}

// ---- the platform library absent, or present without its entry points ---------------------------
// A fresh process (this test binary again, in the child role) with a mount namespace of its own,
// where the directory the host finds the stand-ins in is replaced: without the enumeration
// library (absent), or with another library under its name (present, without its entry points).
// The first use of the expert then fails with 0x8007007E and the expert still shuts down cleanly.
constexpr char kChildRole[] = "QO_FAULT_MATRIX_CHILD";
constexpr HRESULT kModNotFound = static_cast<HRESULT>(0x8007007Eu);

// Runs one test of this program again in a child process: `prepare` sets up the child's own
// mounts (false: the child exits with 254), `role`=`value` goes into its environment. Returns
// what the child printed after `marker`, up to the end of that line, with a note when the child
// failed; `childPid` tells which child it was.
std::string answerOfChild(const std::function<bool()>& prepare, const char* role, const char* value,
                          const char* test, const char* marker, int* childPid = nullptr) {
  int out[2];
  if (::pipe(out) != 0) return "no pipe";
  const int pid = ::fork();
  if (pid == 0) {
    if (!prepare()) ::_exit(254);
    ::dup2(out[1], 1);
    ::setenv(role, value, 1);
    const std::string filter = std::string("--gtest_filter=") + test;
    ::execl("/proc/self/exe", "/proc/self/exe", filter.c_str(), static_cast<char*>(nullptr));
    ::_exit(255);
  }
  ::close(out[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<std::size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (childPid != nullptr) *childPid = pid;
  const std::size_t at = text.find(marker);
  const std::size_t from = at + std::strlen(marker);
  const std::string seen =
      at == std::string::npos ? "no answer" : text.substr(from, text.find('\n', from) - from);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0
             ? seen
             : seen + " (child failed: " + std::to_string(status) + ")";
}

// The stand-ins' directory replaced, in the child's own mount namespace, by a copy without the
// enumeration library (or with another library under its name).
bool withoutEnumerationLibrary(bool impostor) {
  namespace fs = std::filesystem;
  const fs::path dir = QO_PLATFORM_LIBRARY_DIR;
  const fs::path copy =
      std::string("/dev/.qo-fault-standins-") + (impostor ? "impostor" : "absent");
  std::error_code ec;
  fs::create_directories(copy, ec);
  if (impostor)
    fs::copy_file(dir / "libqorelocations.so.0", copy / "libqokeldevenum.so.1",
                  fs::copy_options::overwrite_existing, ec);
  for (const char* keep : {"libqovorlixapi.so.1", "libqorelocations.so.0"})
    fs::copy_file(dir / keep, copy / keep, fs::copy_options::overwrite_existing, ec);
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount(copy.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

std::string firstUseInChild(bool impostor) {
  return answerOfChild([impostor] { return withoutEnumerationLibrary(impostor); }, kChildRole, "1",
                       "ExpertFaultMatrix.AnAbsentOrIncompleteEnumerationLibrary", "first use: ");
}

TEST_F(ExpertFaultMatrix, AnAbsentOrIncompleteEnumerationLibrary) {
  if (std::getenv(kChildRole) != nullptr) {
    ImxSysExpert2* e = create();
    ASSERT_NE(e, nullptr);
    HRESULT hr = 0;
    itemNames(e, &hr);
    std::printf("first use: %s\n", hresultText(hr).c_str());
    EXPECT_EQ(hr, kModNotFound);
    destroy(e);
    return;
  }
  faultmatrix::Matrix seen(
      "expert face: the enumeration library itself (cell = HRESULT of the first use)");
  const std::string absent = firstUseInChild(false), impostor = firstUseInChild(true);
  seen.set("library absent", faultmatrix::kErrorStatus, absent);
  seen.set("entry point missing", faultmatrix::kErrorStatus, impostor);
  for (const char* row : {"library absent", "entry point missing"})
    for (int c = faultmatrix::kWarningStatus; c < faultmatrix::kColumnCount; ++c)
      seen.set(row, c, faultmatrix::notApplicable("no call is made"));
  seen.print();
  EXPECT_EQ(absent, hresultText(kModNotFound));
  EXPECT_EQ(impostor, hresultText(kModNotFound));
  // This process, with the libraries in place, is served as before.
  ImxSysExpert2* e = create();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(bagOf(e, "KEL0"), kS_OK);
  destroy(e);
}

}  // namespace

// ---- the relocation library ---------------------------------------------------------------------
// The data directory comes from the relocation library once per process, so every cell is a
// fresh process (this binary again, in the child role) with a mount namespace of its own, where
// the default data directory "/usr/share" (an overlay) holds a module file of its own for the
// other vendor's module of qovorlix1. Relocated, the machine's module file names it "TX-420";
// not relocated, the installed file names it "TX-420 (installed)".
constexpr char kRelocationChildRole[] = "QO_FAULT_MATRIX_RELOCATION";
constexpr char kDefaultIdentity[] = "\"Tessaly Instruments\" / \"TX-420 (installed)\"";
constexpr char kRelocatedIdentity[] = "\"Tessaly Instruments\" / \"TX-420\"";
constexpr char kInstalledModuleFile[] =
    "[common]\nIOModuleID=0x3C5D0042\nManufacturer=Tessaly Instruments\nModel=TX-420 (installed)\n";

struct RelocationRow {
  const char* name;
  const char* library;  // "" in place, "absent", "impostor" (another library under its name)
  const char* answer;   // the stand-in's relocation fault, "" none
  const char* expected;
};
// A path that fills the whole buffer without a NUL is a path of 255 bytes (the platform's
// contract): here one with no module files under it.
constexpr char kNoModuleFiles[] = "\"Qorvath\" / \"QO PXIe-VX214\"";
// clang-format off
constexpr RelocationRow kRelocationRows[] = {
    {"relocation: working (control)", "", "", kRelocatedIdentity},
    {"relocation: library absent", "absent", "", kDefaultIdentity},
    {"relocation: entry point missing", "impostor", "", kDefaultIdentity},
    {"relocation: answers 0 (no path)", "", "none", kDefaultIdentity},
    {"relocation: answers a failure", "", "failure", kDefaultIdentity},
    {"relocation: empty path", "", "empty", kDefaultIdentity},
    {"relocation: 255 bytes, no NUL", "", "overlong", kNoModuleFiles},
};
// clang-format on

// The child's own view: the stand-ins' directory replaced (row.library) and "/usr/share" an
// overlay holding the installed module file.
bool prepareChildMounts(const RelocationRow& row) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const std::string library = row.library;
  const fs::path scratch = "/dev/.qo-fault-relocation-" + std::to_string(::getpid());
  const fs::path copy = scratch / "standins", upper = scratch / "upper", work = scratch / "work";
  for (const fs::path& p : {copy, upper / "qo-vorlix/iomodules", work})
    fs::create_directories(p, ec);
  const fs::path dir = QO_PLATFORM_LIBRARY_DIR;
  for (const char* keep : {"libqovorlixapi.so.1", "libqokeldevenum.so.1"})
    fs::copy_file(dir / keep, copy / keep, fs::copy_options::overwrite_existing, ec);
  if (library == "impostor")
    fs::copy_file(dir / "libqovorlixapi.so.1", copy / "libqorelocations.so.0",
                  fs::copy_options::overwrite_existing, ec);
  if (FILE* f = std::fopen((upper / "qo-vorlix/iomodules/installed.fam").c_str(), "w")) {
    std::fputs(kInstalledModuleFile, f);
    std::fclose(f);
  }
  const std::string options =
      "lowerdir=/usr/share,upperdir=" + upper.string() + ",workdir=" + work.string();
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("overlay", "/usr/share", "overlay", 0, options.c_str()) == 0 &&
         (library.empty() || ::mount(copy.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0);
}

std::string identityInChild(const RelocationRow& row) {
  int pid = 0;
  const std::string seen =
      answerOfChild([&row] { return prepareChildMounts(row); }, kRelocationChildRole, row.answer,
                    "ExpertFaultMatrix.TheRelocationLibraryFailing", "identity: ", &pid);
  std::error_code ec;
  std::filesystem::remove_all("/dev/.qo-fault-relocation-" + std::to_string(pid), ec);
  return seen;
}

TEST_F(ExpertFaultMatrix, TheRelocationLibraryFailing) {
  if (const char* answer = std::getenv(kRelocationChildRole)) {
    auto connected = qosim::Client::connect();
    ASSERT_TRUE(connected.ok()) << connected.error;
    qosim::Client& client = connected.value;
    if (*answer != '\0') {
      ASSERT_TRUE(client.relocationFault(std::string(answer)).ok());
    }
    ImxSysExpert2* e = create();
    ASSERT_NE(e, nullptr);
    std::vector<BagRow> rows;
    EXPECT_EQ(bagOf(e, "KEL1", &rows), kS_OK);
    auto value = [&](unsigned tag) {
      const auto it =
          std::find_if(rows.begin(), rows.end(), [&](const BagRow& r) { return r.tag == tag; });
      return it == rows.end() ? std::string("absent") : it->value;
    };
    std::printf("identity: %s / %s\n", value(0x1004000).c_str(), value(0x1006000).c_str());
    EXPECT_EQ(bagOf(e, "KEL0"), kS_OK) << "the other boards are served";
    destroy(e);
    if (*answer != '\0') {
      EXPECT_TRUE(client.relocationFault(std::nullopt).ok());
    }
    return;
  }
  faultmatrix::Matrix seen(
      "expert face: the relocation library (cell = KEL1 manufacturer / model)");
  int mismatches = 0;
  for (const RelocationRow& row : kRelocationRows) {
    const std::string got = identityInChild(row);
    const std::string want = row.expected;
    const std::string cell = got == want ? got : got + " [expected " + want + "]";
    seen.set(row.name, faultmatrix::kErrorStatus, cell);
    mismatches += got != want;
    EXPECT_EQ(got, want) << row.name;
    for (int c = faultmatrix::kWarningStatus; c < faultmatrix::kColumnCount; ++c)
      seen.set(row.name, c,
               faultmatrix::notApplicable(c == faultmatrix::kKilled
                                              ? "in-process library, no process to kill"
                                              : "no status, no device: a path or none"));
  }
  seen.print();
  EXPECT_EQ(mismatches, 0);
}
