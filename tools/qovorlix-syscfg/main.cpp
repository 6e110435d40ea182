// qovorlix-syscfg: the reference configuration host on the command line. It loads the library
// with dlopen and reaches it only through the exported factory and the expert's interfaces
// (qovorlixatomicsae/sysapi_host.h), as the system-configuration host does. To explain a board the
// library leaves out it reads the driver's public /proc tree (driver_tree.h).
// `qovorlix-syscfg --help` lists the commands and the exit codes.
#include <fmt/chrono.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <fnmatch.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver_tree.h"
#include "qovorlixatomicsae/sysapi_host.h"
#include "host_cli.h"
#include "host_client.h"
#include "host_commands.h"
#include "host_library.h"
#include "output.h"
#include "probe.h"
#include "stop_signals.h"
#include "sysapi_names.h"

#ifndef QOVORLIX_SYSCFG_VERSION
#define QOVORLIX_SYSCFG_VERSION "unknown"
#endif

namespace {

using namespace hostabi;
using namespace syscfg;
using nlohmann::json;

constexpr char kExitCodes[] =
    "Global options (--library, --json, --verbose, --color) may come before or after the\n"
    "command. Boards are named KEL<n> or by their driver device qovorlix<n>.\n"
    "Exit codes: 0 done; 1 the library cannot be loaded, the expert or the board refused a step,\n"
    "some readings could not be read, a diagnostic or firmware update failed, or the output\n"
    "could not be written; 2 bad command line, or an image file that cannot be used; 3 no such\n"
    "item; 4 a firmware update already runs on the board; 130 ended by SIGINT, 143 by SIGTERM\n"
    "(firmware: after the write in progress has ended); 141 the reader of the output went away.\n"
    "Result codes of the expert are printed in hex with their meaning, e.g.\n"
    "0x80040375 (no such item). With --json every command prints one JSON document on stdout\n"
    "(watch and firmware: one per line), failures included: {\"error\": ..., \"exitCode\": ...}.";

// The tags the expert re-reads from the board on request: dated readings, temperatures, fans
// (generated from the board item's property description, as the reading groups below).
using hosttags::kHardwareReadings;

constexpr HRESULT kWrongState = static_cast<HRESULT>(0x80040385u);

constexpr unsigned kDriverDeviceTag = 0x1600A000;
constexpr unsigned kImagePatternTag = 0x104B000;

// Strict UTF-8 to the host's 32-bit characters; false on a malformed sequence.
bool decodeUtf8(const std::string& in, std::wstring* out) {
  out->clear();
  if (!hostcli::isUtf8(in)) return false;
  *out = wideFromUtf8(in);  // well formed: nothing is replaced
  return true;
}

// "KEL1" for KEL1, kel1 and qovorlix1; other names unchanged.
std::string canonicalItem(const std::string& name) {
  const long n = hostcli::boardNumber(name);
  return n >= 0 ? "KEL" + std::to_string(n) : name;
}

// The rows of a bag handed out by the expert, which is released.
std::vector<BagRow> takeBag(void* bag) {
  if (bag == nullptr) return {};
  std::vector<BagRow> rows = bagRows(static_cast<ImxSysPropertyBag*>(bag));
  release(bag);
  return rows;
}

const BagRow* rowOf(const std::vector<BagRow>& rows, unsigned tag) {
  for (const BagRow& r : rows)
    if (r.tag == tag) return &r;
  return nullptr;
}

std::string stringOf(const std::vector<BagRow>& rows, unsigned tag) {
  const BagRow* r = rowOf(rows, tag);
  return r != nullptr && r->type == 6 ? r->text : std::string();
}

std::optional<double> numberOf(const std::vector<BagRow>& rows, unsigned tag) {
  const BagRow* r = rowOf(rows, tag);
  if (r == nullptr || r->type < 1 || r->type > 4) return std::nullopt;
  return r->number;
}

// --- Hardware readings ------------------------------------------------------------------------

// The groups of hosttags::kReadingGroups whose readings are missing from `rows`: each a reason
// naming the reading. The readings a refresh asks for are grouped as the board answers them: a
// group the board did not answer for is missing from the bag afterwards (its values are read
// only on request).
std::vector<std::string> missingReadings(const std::vector<BagRow>& rows) {
  std::vector<std::string> missing;
  for (const hosttags::ReadingGroup& g : hosttags::kReadingGroups) {
    bool whole = std::all_of(g.present.begin(), g.present.end(),
                             [&](unsigned t) { return rowOf(rows, t) != nullptr; });
    if (whole && g.each != 0) {  // each element of the count answered
      const auto count = numberOf(rows, g.count).value_or(0);
      for (unsigned i = 0; i < static_cast<unsigned>(std::max(0.0, count)) && whole; ++i)
        whole = rowOf(rows, g.each + i) != nullptr;
    }
    if (!whole) missing.push_back(g.what);
  }
  return missing;
}

std::string readingFailures(const std::vector<std::string>& missing) {
  std::string text;
  for (const std::string& m : missing)
    text += (text.empty() ? "" : "; ") + m + ": read failed (the board did not answer for it)";
  return text;
}

// A tag a refresh writes, an element of an indexed one included (fan states come with the fans).
bool isHardwareReading(unsigned tag) {
  const unsigned base = tag & ~0xFFFu;
  return std::any_of(std::begin(hosttags::kRefreshedTags), std::end(hosttags::kRefreshedTags),
                     [&](unsigned t) { return t == tag || t == base; });
}

// --- The library ------------------------------------------------------------------------------

// The library, the expert and its interfaces, torn down in the host's order at destruction:
// sink dropped, Shutdown, every reference released, library unloaded.
class Host {
 public:
  Host() = default;
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;
  ~Host() {
    if (expert != nullptr) {
      if (sinkSet_) plugPlay->vtbl->SetNotificationSink(plugPlay, nullptr);
      expert->vtbl->Shutdown(expert);
      for (void* p : {static_cast<void*>(plugPlay), static_cast<void*>(diagnostic),
                      static_cast<void*>(firmware)})
        if (p != nullptr) release(p);
      release(expert);
    }
    library_.close();
  }

  // kOk, or the exit code after the message.
  int open(const std::string& path) {
    if (!library_.open(path))
      return fail(kFailed, fmt::format("cannot load {}: {}", path, library_.error()));
    const CreateExpertFn create = library_.expertFactory();
    if (create == nullptr)
      return fail(kFailed, fmt::format("{} does not export {}", path, kFactoryName));
    void* object = nullptr;
    const HRESULT created = create(&object);
    if (created != kS_OK || object == nullptr)
      return fail(kFailed, "the expert cannot be created", created);
    expert = static_cast<ImxSysExpert2*>(object);
    void* p = nullptr;
    if (queryInterface(expert, kIID_ImxSysExpertPlugPlay, &p) == kS_OK)
      plugPlay = static_cast<ImxSysExpertPlugPlay*>(p);
    p = nullptr;
    if (queryInterface(expert, kIID_ImxSysExpertDiagnostic, &p) == kS_OK)
      diagnostic = static_cast<ImxSysExpertDiagnostic*>(p);
    p = nullptr;
    if (queryInterface(expert, kIID_ImxSysExpertFirmware, &p) == kS_OK)
      firmware = static_cast<ImxSysExpertFirmware*>(p);
    if (plugPlay == nullptr || diagnostic == nullptr || firmware == nullptr)
      return fail(kFailed, "the expert lacks one of its interfaces");
    const HRESULT init = expert->vtbl->Initialize(expert);
    if (init != kS_OK) return fail(kFailed, "the expert cannot be initialized", init);
    return kOk;
  }

  // Registers the sink; notices reach `onNotice` on a library thread.
  int listen() {
    const HRESULT hr = plugPlay->vtbl->SetNotificationSink(plugPlay, sink.asSink());
    if (hr != kS_OK) return fail(kFailed, "the notification sink was refused", hr);
    sinkSet_ = true;
    return kOk;
  }

  // The item names, or the exit code after the message.
  int items(std::vector<std::string>* names) {
    HRESULT hr = kS_OK;
    *names = itemNames(expert, &hr);
    if (hr < 0) return fail(kFailed, "the boards cannot be listed", hr);  // S_FALSE: none
    return kOk;
  }

  // The item's bag (no refresh); the result code in *hr.
  std::vector<BagRow> bag(const std::string& item, HRESULT* hr) {
    std::wstring wide;
    decodeUtf8(item, &wide);
    const HostText name(wide);
    void* p = nullptr;
    *hr = expert->vtbl->GetPropertyBag(expert, name, &p);
    return takeBag(p);
  }

  // kOk when the machine has the item (its host text in `name`), else the exit code. A board
  // the driver has but the library does not serve is told as such.
  int find(const std::string& item, std::wstring* name) {
    if (!decodeUtf8(item, name))
      return fail(kUsage,
                  fmt::format("the item name \"{}\" is not valid UTF-8", hostcli::printable(item)));
    std::vector<std::string> names;
    if (const int rc = items(&names); rc != kOk) return rc;
    if (std::find(names.begin(), names.end(), item) != names.end()) return kOk;
    std::set<std::string> served;
    for (const std::string& n : names) {
      HRESULT hr = kS_OK;
      served.insert(stringOf(bag(n, &hr), kDriverDeviceTag));
    }
    for (const DriverBoard& b : notServed(readDriverTree(), served)) {
      if (b.item != item && b.device != item) continue;
      return fail(kUnknown,
                  fmt::format("unknown item \"{}\": the driver has the board {}, but the library "
                              "does not serve it: {}",
                              item, b.device, notServedReason(b)),
                  std::nullopt,
                  json{{"notServed", {{"device", b.device}, {"reason", notServedReason(b)}}}});
    }
    const std::string shown = hostcli::printable(item);
    return fail(kUnknown, names.empty()
                              ? fmt::format("unknown item \"{}\": the machine has no boards", shown)
                              : fmt::format("unknown item \"{}\"; the boards are {}", shown,
                                            fmt::join(names, ", ")));
  }

  ImxSysExpert2* expert = nullptr;
  ImxSysExpertPlugPlay* plugPlay = nullptr;
  ImxSysExpertDiagnostic* diagnostic = nullptr;
  ImxSysExpertFirmware* firmware = nullptr;
  RecordingSink sink;

 private:
  HostLibrary library_;
  bool sinkSet_ = false;
};

// PCIe transfer-rate codes as the expert publishes them.
const char* rateText(double code) {
  if (code == 0) return "2.5 GT/s";
  if (code == 1) return "5.0 GT/s";
  if (code == 2) return "8.0 GT/s";
  return "unknown rate";
}

std::string tagHex(unsigned tag) { return fmt::format("0x{:08X}", tag); }

// The value as a person reads it: rates and states spelled out, NaN limits as "none".
std::string valueText(const BagRow& r) {
  if ((r.tag == 0x1078000 || r.tag == 0x1079000) && r.type == 2)
    return fmt::format("{} ({})", r.value, rateText(r.number));
  if ((r.tag & ~0xFFFu) == 0x1089000 && r.type == 2)
    return fmt::format("{} ({})", r.value, r.number == 3 ? "over the upper limit" : "normal");
  if (r.type == 4 && std::isnan(r.number)) return "none";
  return r.value;
}

json valueJson(const BagRow& r) {
  switch (r.type) {
    case 1:
      return r.number != 0;
    case 2:
    case 3:
      return static_cast<std::int64_t>(r.number);
    case 4:
      return std::isnan(r.number) ? json(nullptr) : json(r.number);
    case 6:
    case 7:
      return r.text;
    default:
      return r.value;
  }
}

json rowsJson(const std::vector<BagRow>& rows) {
  json out = json::array();
  for (const BagRow& r : rows) {
    const std::string name = tagName(r.tag);
    out.push_back({{"tag", tagHex(r.tag)},
                   {"name", name.empty() ? json(nullptr) : json(name)},
                   {"type", typeName(r.type)},
                   {"value", valueJson(r)}});
  }
  return out;
}

// A table whose first line (the heading) is bold on a terminal.
void printTable(const hostcli::Table& table) {
  const std::string text = table.text();
  const std::size_t end = text.find('\n');
  if (gSettings.colour && end != std::string::npos) {
    out("\033[1m" + text.substr(0, end) + "\033[0m" + text.substr(end));
  } else {
    out(text);
  }
}

void heading(const std::string& text) {
  out(gSettings.colour ? "\033[1m" + hostcli::printable(text) + "\033[0m\n"
                       : hostcli::printable(text) + "\n");
}

void printRows(const std::vector<BagRow>& rows) {
  hostcli::Table table;
  table.add({"TAG", "NAME", "TYPE", "VALUE"});
  for (const BagRow& r : rows) {
    const std::string name = tagName(r.tag);
    table.add({tagHex(r.tag), name.empty() ? "(unknown)" : name, typeName(r.type), valueText(r)});
  }
  printTable(table);
}

// --- Commands ---------------------------------------------------------------------------------

// The global options, then what the commands take.
struct Options : hostcli::GlobalOptions {
  std::string item;
  std::string image;
  bool async = false;
  bool yes = false;
  int mode = 0;
  unsigned timeoutSeconds = 600;
  unsigned watchCount = 0;  // 0: no limit
  double watchTimeout = 0;  // seconds, 0: no limit
};

// The commands on one board: the host opened, the item named on the command line found, then
// `body(host, o, name)` with the item's host text; the exit code of the first step that fails.
template <typename Body>
int onItem(const Options& o, Body body) {
  Host host;
  if (const int rc = host.open(o.library); rc != kOk) return rc;
  std::wstring wide;
  if (const int rc = host.find(o.item, &wide); rc != kOk) return rc;
  const HostText name(wide);
  return body(host, o, name);
}

// The firmware state the library reports for a board in this process: its last update as the
// firmware library still knows it (an update written but not loaded yet waits for a power
// cycle). Asking needs the item's updater, which BeginFirmwareUpdate makes; it writes nothing.
struct FirmwareState {
  bool known = false;
  int state = 0, percent = 0;
  bool pendingPowerCycle() const { return known && state == 5 && percent == 100; }
  bool updating() const { return known && (state == -1 || state == -2) && percent != 0; }
};

FirmwareState firmwareState(Host& host, const std::string& item) {
  FirmwareState s;
  std::wstring wide;
  decodeUtf8(item, &wide);
  const HostText name(wide);
  wchar_t* target = nullptr;
  if (host.firmware->vtbl->BeginFirmwareUpdate(host.firmware, name, 0, 0, &target) != kS_OK) {
    hostStringFree(target);
    return s;
  }
  hostStringFree(target);
  wchar_t* text = nullptr;
  const HRESULT hr = host.firmware->vtbl->GetFirmwareUpdateStatus(host.firmware, name, &s.state,
                                                                  &s.percent, &text);
  hostStringFree(text);
  s.known = hr == kS_OK;
  return s;
}

// One line of the `list` table.
struct Summary {
  std::string item, product, model, serial, pci, link, firmware, module, device;
  json doc;
};

Summary summarize(const std::string& item, const std::vector<BagRow>& rows,
                  const FirmwareState& fw) {
  Summary s;
  s.item = item;
  s.product = stringOf(rows, 0x19014000);
  s.model = stringOf(rows, 0x1006000);
  s.serial = stringOf(rows, 0x1007000);
  s.firmware = stringOf(rows, 0x102F000);
  s.device = stringOf(rows, kDriverDeviceTag);
  if (fw.pendingPowerCycle()) s.firmware += " (pending power cycle)";
  if (fw.updating()) s.firmware += fmt::format(" (updating, {}%)", fw.percent);
  const auto bus = numberOf(rows, 0x1018000), dev = numberOf(rows, 0x1019000),
             fn = numberOf(rows, 0x101A000);
  if (bus && dev && fn)
    s.pci = fmt::format("{:02x}:{:02x}.{:x}", static_cast<unsigned>(*bus),
                        static_cast<unsigned>(*dev), static_cast<unsigned>(*fn));
  const auto width = numberOf(rows, 0x1030000), maxWidth = numberOf(rows, 0x1031000),
             rate = numberOf(rows, 0x1079000), maxRate = numberOf(rows, 0x1078000);
  if (width && rate) s.link = fmt::format("x{} {}", static_cast<int>(*width), rateText(*rate));
  const auto moduleId = numberOf(rows, 0x19012000), moduleRev = numberOf(rows, 0x19013000);
  const bool hasModule = moduleId && *moduleId != 0 && *moduleId != 0xFFFFFFFFu;
  const auto otherVendor = numberOf(rows, 0x1900E000);
  if (hasModule) {
    s.module = fmt::format("0x{:08X} rev {}{}", static_cast<std::uint32_t>(*moduleId),
                           static_cast<unsigned>(moduleRev.value_or(0)),
                           otherVendor.value_or(0) != 0 ? " (other vendor)" : "");
  } else {
    s.module = "none";
  }
  auto orNull = [](const std::optional<double>& v) {
    return v ? json(static_cast<std::int64_t>(*v)) : json(nullptr);
  };
  s.doc = {{"item", item},
           {"device", s.device},
           {"product", s.product},
           {"model", s.model},
           {"serial", s.serial},
           {"pciAddress", s.pci},
           {"linkWidth", orNull(width)},
           {"maxLinkWidth", orNull(maxWidth)},
           {"linkRate", rate ? json(rateText(*rate)) : json(nullptr)},
           {"maxLinkRate", maxRate ? json(rateText(*maxRate)) : json(nullptr)},
           {"firmware", stringOf(rows, 0x102F000)},
           {"pendingPowerCycle", fw.pendingPowerCycle()},
           {"module",
            hasModule ? json{{"id", fmt::format("0x{:08X}", static_cast<std::uint32_t>(*moduleId))},
                             {"revision", orNull(moduleRev)},
                             {"otherVendor", otherVendor.value_or(0) != 0}}
                      : json(nullptr)}};
  if (fw.updating()) s.doc["updatePercent"] = fw.percent;
  return s;
}

// What `list` found: a summary per readable board, the failures of the others (a board that
// cannot be read is reported and the others are listed), the boards the library leaves out.
struct Listing {
  std::vector<Summary> lines;
  json errors = json::array();
  std::vector<DriverBoard> left;
  int rc = kOk;
};

Listing readListing(Host& host, const std::vector<std::string>& names) {
  Listing l;
  std::set<std::string> served;
  for (const std::string& item : names) {
    HRESULT hr = kS_OK;
    const std::vector<BagRow> rows = host.bag(item, &hr);
    if (hr != kS_OK) {
      note(fmt::format("the properties of {} cannot be read: {}", item, hresultWithMeaning(hr)));
      l.errors.push_back(
          {{"item", item}, {"hresult", hresultText(hr)}, {"meaning", hresultMeaning(hr)}});
      l.rc = kFailed;
      continue;
    }
    l.lines.push_back(summarize(item, rows, firmwareState(host, item)));
    served.insert(l.lines.back().device);
  }
  l.left = notServed(readDriverTree(), served);
  return l;
}

void printListingJson(const Listing& l) {
  json items = json::array(), notServedDoc = json::array();
  for (const Summary& s : l.lines) items.push_back(s.doc);
  for (const DriverBoard& b : l.left)
    notServedDoc.push_back({{"device", b.device},
                            {"item", b.item.empty() ? json(nullptr) : json(b.item)},
                            {"pciAddress", b.pci.empty() ? json(nullptr) : json(b.pci)},
                            {"reason", notServedReason(b)}});
  json doc{{"items", items}, {"notServed", notServedDoc}, {"errors", l.errors}};
  if (l.rc != kOk) {
    doc["error"] = "the properties of some boards cannot be read";
    doc["exitCode"] = l.rc;
  }
  outJson(doc, 2);
}

void printListing(const Listing& l, bool noBoards) {
  if (noBoards) {
    out("no boards\n");
  } else {
    hostcli::Table table;
    table.add({"ITEM", "PRODUCT", "MODEL", "SERIAL", "PCI", "LINK", "FIRMWARE", "MODULE"});
    for (const Summary& s : l.lines)
      table.add({s.item, s.product, s.model, s.serial, s.pci, s.link, s.firmware, s.module});
    printTable(table);
  }
  if (l.left.empty()) return;
  out("\n");
  heading("not served by the library:");
  hostcli::Table table;
  table.add({"DEVICE", "ITEM", "PCI", "REASON"});
  for (const DriverBoard& b : l.left)
    table.add(
        {b.device, b.item.empty() ? "-" : b.item, b.pci.empty() ? "-" : b.pci, notServedReason(b)});
  printTable(table);
}

int listCommand(const Options& o) {
  Host host;
  if (const int rc = host.open(o.library); rc != kOk) return rc;
  std::vector<std::string> names;
  if (const int rc = host.items(&names); rc != kOk) return rc;
  const Listing listing = readListing(host, names);
  if (gSettings.json) {
    printListingJson(listing);
  } else {
    printListing(listing, names.empty());
  }
  return listing.rc;
}

int showItem(Host& host, const Options& o, const HostText& name) {
  void* bag = nullptr;
  // The hardware readings (temperatures, fans, dated readings) are read now, so the bag is whole.
  HRESULT hr = host.expert->vtbl->GetPropertyBagWithRefresh(
      host.expert, name, static_cast<unsigned>(std::size(kHardwareReadings)), kHardwareReadings, 0,
      &bag);
  std::vector<BagRow> rows = takeBag(bag);
  std::vector<std::string> missing;
  if (hr == kS_FALSE) {  // some readings are missing: the board did not answer for them
    missing = missingReadings(rows);
    note(fmt::format("some hardware readings of {} cannot be read now: {}{}{}", o.item,
                     hresultWithMeaning(hr), missing.empty() ? "" : ": ",
                     readingFailures(missing)));
  } else if (hr != kS_OK) {
    // A board that cannot be read now still shows what the expert holds.
    note(fmt::format("the hardware readings of {} cannot be read now: {}", o.item,
                     hresultWithMeaning(hr)));
    rows = host.bag(o.item, &hr);
    if (hr != kS_OK)
      return fail(hr == kItemNotExist ? kUnknown : kFailed,
                  fmt::format("the properties of {} cannot be read", o.item), hr);
  }
  if (gSettings.json) {
    outJson({{"item", o.item}, {"properties", rowsJson(rows)}, {"failedReadings", missing}}, 2);
    return kOk;
  }
  heading(fmt::format("{}: {} ({} properties)", o.item, stringOf(rows, 0x1006000), rows.size()));
  printRows(rows);
  return kOk;
}

int showCommand(const Options& o) { return onItem(o, showItem); }

// After an asynchronous refresh the expert has answered "pending": waits for its item-changed
// notice, then reads the bag again (into *rows; the wait in *noticeMs).
int awaitRefresh(Host& host, const Options& o, HRESULT hr,
                 std::chrono::steady_clock::time_point started, std::vector<BagRow>* rows,
                 json* noticeMs) {
  if (!gSettings.json) {
    outf("{}: {}; waiting for the item-changed notice\n", o.item, hresultWithMeaning(hr));
    flushOut();
  }
  const bool noticed = host.sink.waitFor(
      [&](const RecordingSink::Notice& n) {
        return n.kind == 3 && std::find(n.names.begin(), n.names.end(), o.item) != n.names.end();
      },
      static_cast<int>(std::min(o.timeoutSeconds, 3600u) * 1000));
  if (!noticed)
    return fail(kFailed,
                fmt::format("no item-changed notice for {} within {} s", o.item, o.timeoutSeconds));
  *noticeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - started)
                  .count();
  HRESULT got = kS_OK;
  *rows = host.bag(o.item, &got);
  if (got != kS_OK)
    return fail(kFailed, fmt::format("the properties of {} cannot be read", o.item), got);
  return kOk;
}

// The readings after a refresh; kFailed when one the board did not answer for is missing,
// asynchronous or not (S_FALSE says so too).
int reportRefresh(const Options& o, HRESULT hr, const std::vector<BagRow>& rows,
                  const json& noticeMs) {
  const std::vector<std::string> missing = missingReadings(rows);
  const bool complete = hr != kS_FALSE && missing.empty();
  std::vector<BagRow> readings;
  std::copy_if(rows.begin(), rows.end(), std::back_inserter(readings),
               [](const BagRow& r) { return isHardwareReading(r.tag); });
  const std::string problem =
      complete ? std::string()
               : fmt::format("some hardware readings of {} could not be read{}{}", o.item,
                             missing.empty() ? "" : ": ", readingFailures(missing));
  if (gSettings.json) {
    json doc{{"item", o.item},
             {"mode", o.async ? "asynchronous" : "synchronous"},
             {"result", hresultText(hr)},
             {"meaning", hresultMeaning(hr)},
             {"noticeMs", noticeMs},
             {"complete", complete},
             {"failedReadings", missing},
             {"properties", rowsJson(readings)}};
    if (!complete) {
      doc["error"] = problem;
      doc["exitCode"] = kFailed;
    }
    outJson(doc, 2);
  } else {
    if (o.async) {
      outf("{}: item-changed notice after {} ms; the readings now:\n", o.item, noticeMs.dump());
    } else {
      outf("{}: hardware readings {} ({})\n", o.item, complete ? "refreshed" : "partly refreshed",
           hresultWithMeaning(hr));
    }
    printRows(readings);
  }
  if (complete) return kOk;
  note(problem);
  return kFailed;
}

int refreshItem(Host& host, const Options& o, const HostText& name) {
  if (o.async) {
    if (const int rc = host.listen(); rc != kOk) return rc;
  }
  void* bag = nullptr;
  const auto started = std::chrono::steady_clock::now();
  const HRESULT hr = host.expert->vtbl->GetPropertyBagWithRefresh(
      host.expert, name, static_cast<unsigned>(std::size(kHardwareReadings)), kHardwareReadings,
      o.async ? 1 : 0, &bag);
  std::vector<BagRow> rows = takeBag(bag);
  json noticeMs = nullptr;
  if (o.async && hr == kRefreshPending) {
    if (const int rc = awaitRefresh(host, o, hr, started, &rows, &noticeMs); rc != kOk) return rc;
  } else if (hr != kS_OK && hr != kS_FALSE) {
    return fail(hr == kItemNotExist ? kUnknown : kFailed,
                fmt::format("the refresh of {} failed", o.item), hr);
  }
  return reportRefresh(o, hr, rows, noticeMs);
}

int refreshCommand(const Options& o) { return onItem(o, refreshItem); }

int diagItem(Host& host, const Options& o, const HostText& name) {
  wchar_t* text = nullptr;
  const HRESULT hr = host.diagnostic->vtbl->RunDiagnostic(host.diagnostic, name, o.mode, &text);
  const std::string report = withoutContext(takeHostUtf8(text));
  const bool passed = hr >= 0;
  const int rc = passed ? kOk : hr == kItemNotExist ? kUnknown : kFailed;
  if (gSettings.json) {
    json doc{{"item", o.item},
             {"mode", o.mode},
             {"passed", passed},
             {"result", hresultText(hr)},
             {"meaning", hresultMeaning(hr)},
             {"text", report}};
    if (!passed) {
      doc["error"] =
          fmt::format("the diagnostic of {} failed: {}{}", o.item, hresultWithMeaning(hr),
                      hr == kE_FAIL ? ": the board reported a failed self-test" : "");
      doc["exitCode"] = rc;
    }
    outJson(doc, 2);
  } else {
    const std::string verdict = passed ? "passed" : "FAILED";
    outf("diagnostic of {} (mode {}): ", o.item, o.mode);
    out(gSettings.colour ? fmt::format("\033[{}m{}\033[0m", passed ? 32 : 31, verdict) : verdict);
    outf(" ({}){}{}\n", hresultWithMeaning(hr),
         hr == kE_FAIL ? ": the board reported a failed self-test" : "",
         report.empty() ? "" : "\n" + hostcli::printable(report));
  }
  return rc;
}

int diagCommand(const Options& o) { return onItem(o, diagItem); }

// --- Firmware ---------------------------------------------------------------------------------

// kOk when `path` names a regular, non-empty file a board image can be (its size in *size).
int checkImageFile(const std::string& path, std::uint64_t* size) {
  const std::string shown = hostcli::printable(path);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return fail(kUsage, fmt::format("cannot read the image {}: {}", shown, std::strerror(errno)));
  if (!S_ISREG(st.st_mode))
    return fail(kUsage, fmt::format("the image {} is not a regular file", shown));
  if (st.st_size == 0) return fail(kUsage, fmt::format("the image {} is empty", shown));
  // The image's size crosses to the library as an unsigned 32-bit count.
  if (static_cast<std::uint64_t>(st.st_size) > 0xFFFFFFFFu)
    return fail(kUsage, fmt::format("the image {} is larger than 4 GiB - 1 byte", shown));
  *size = static_cast<std::uint64_t>(st.st_size);
  return kOk;
}

int readImage(const std::string& path, std::uint64_t size, std::vector<unsigned char>* bytes) {
  std::ifstream in(path, std::ios::binary);
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad() || bytes->size() != size)
    return fail(kUsage, fmt::format("cannot read the image {} (it changed while being read?)",
                                    hostcli::printable(path)));
  return kOk;
}

// Whether the file name matches one of the board's image patterns (separated by ';' or ',').
bool matchesPattern(const std::string& base, const std::string& patterns) {
  std::size_t at = 0;
  while (at <= patterns.size()) {
    std::size_t end = patterns.find_first_of(";,", at);
    if (end == std::string::npos) end = patterns.size();
    std::string p = patterns.substr(at, end - at);
    while (!p.empty() && p.front() == ' ') p.erase(p.begin());
    while (!p.empty() && p.back() == ' ') p.pop_back();
    if (!p.empty() && ::fnmatch(p.c_str(), base.c_str(), 0) == 0) return true;
    at = end + 1;
  }
  return false;
}

// Reads a line from the terminal while SIGINT/SIGTERM stay blocked for the library: the signal
// (0 when none came) and the line.
int readAnswer(std::string* line) {
  line->clear();
  for (;;) {
    if (const int s = waitForStop(0); s != 0) return s;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) return 0;
    if (ready <= 0) continue;
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n <= 0 || c == '\n') return 0;
    *line += c;
  }
}

void drawProgress(int percent, int state, bool final) {
  constexpr int kWidth = 30;
  const int clamped = std::clamp(percent, 0, 100);
  const int filled = clamped * kWidth / 100;
  const std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                          std::string(static_cast<std::size_t>(kWidth - filled), '.');
  const char* phase = state == -1 ? "starting" : state == -2 ? "writing" : "ended";
  outf("\r  [{}] {:3}%  {:<8}", bar, clamped, phase);
  if (final) out("\n");
  flushOut();
}

// What an update writes: the image's file name (as given and as shown), its size, and the
// target the board's updater named.
struct Update {
  std::string base, shownBase, target;
  std::uint64_t size = 0;
};

// Where an update stands, as the last poll of its status said.
struct UpdateProgress {
  int state = -1, percent = 0;
  std::string message;
  int interrupted = 0;  // the stop signal that came while the write went on, 0 when none
};

// kOk when the image's file name fits the board: its image pattern, and UTF-8. The board's
// properties are left in *rows.
int checkImageName(Host& host, const Options& o, const Update& u, std::vector<BagRow>* rows) {
  HRESULT got = kS_OK;
  *rows = host.bag(o.item, &got);
  if (got != kS_OK)
    return fail(kFailed, fmt::format("the properties of {} cannot be read", o.item), got);
  const std::string pattern = stringOf(*rows, kImagePatternTag);
  if (!pattern.empty() && !matchesPattern(u.base, pattern))
    return fail(kUsage, fmt::format("the image {} does not match the image pattern \"{}\" of {}",
                                    u.shownBase, pattern, o.item));
  if (!hostcli::isUtf8(u.base))
    return fail(kUsage, fmt::format("the image name {} is not valid UTF-8", u.shownBase));
  return kOk;
}

// A person at a terminal confirms the write; a script (stdin not a terminal) is not asked,
// and --yes skips the question.
int confirmUpdate(const Options& o, const Update& u, const std::vector<BagRow>& rows) {
  if (o.yes || ::isatty(STDIN_FILENO) != 1) return kOk;
  std::fprintf(stderr,
               "Write %s (%llu bytes) to %s (%s, firmware %s)?\n"
               "The board must keep its power until the write has ended. [y/N] ",
               u.shownBase.c_str(), static_cast<unsigned long long>(u.size), o.item.c_str(),
               hostcli::printable(stringOf(rows, 0x1006000)).c_str(),
               hostcli::printable(stringOf(rows, 0x102F000)).c_str());
  std::fflush(stderr);
  std::string answer;
  if (const int s = readAnswer(&answer); s != 0) {
    std::fputc('\n', stderr);
    fail(hostcli::exitForSignal(s), "interrupted; nothing was written");
    return hostcli::exitForSignal(s);
  }
  if (answer != "y" && answer != "Y" && answer != "yes" && answer != "YES" && answer != "Yes")
    return fail(kFailed, fmt::format("the firmware update of {} was not confirmed; nothing was "
                                     "written",
                                     o.item));
  return kOk;
}

// Hands the image to the board's updater (its target in u.target) and says so.
int startUpdate(Host& host, const Options& o, const HostText& name, Update& u,
                std::vector<unsigned char> bytes, std::optional<HostImage>& image) {
  wchar_t* targetText = nullptr;
  const HRESULT began =
      host.firmware->vtbl->BeginFirmwareUpdate(host.firmware, name, 0, 0, &targetText);
  u.target = takeHostUtf8(targetText);
  if (began != kS_OK)
    return fail(kFailed, fmt::format("the firmware update of {} cannot begin", o.item), began);
  image.emplace(u.base, std::move(bytes));
  const HostText none("");
  const HRESULT started =
      host.firmware->vtbl->UpdateFirmware(host.firmware, name, name, 0, none, image->asImage());
  if (started == kWrongState)
    return fail(
        kBusy,
        fmt::format("a firmware update already runs on {}; try again when it has ended", o.item),
        started);
  if (started != kS_OK)
    return fail(kFailed, fmt::format("the firmware update of {} was refused", o.item), started);
  if (gSettings.json) {
    outJson({{"event", "started"},
             {"time", hostcli::isoNow()},
             {"item", o.item},
             {"target", u.target},
             {"image", u.base},
             {"size", u.size}});
  } else {
    outf("updating the firmware of {} (target \"{}\") with {} ({} bytes)\n", o.item,
         hostcli::printable(u.target), u.shownBase, u.size);
  }
  flushOut();
  return kOk;
}

// The progress of one poll: a line per tenth (JSON, or text off a terminal), a redrawn bar on a
// terminal; nothing new once interrupted.
void showProgress(const UpdateProgress& p, bool ended, int* printedTenth) {
  const bool bar = gSettings.colour;
  if (p.interrupted != 0) return;
  if (p.percent / 10 != *printedTenth) {
    *printedTenth = p.percent / 10;
    if (gSettings.json) {
      outJson({{"event", "progress"},
               {"time", hostcli::isoNow()},
               {"percent", p.percent},
               {"state", p.state}});
      flushOut();
    } else if (!bar) {
      outf("  {:3}%\n", p.percent);
      flushOut();
    }
  }
  if (bar) drawProgress(p.percent, p.state, ended);
}

// Polls the update until it has ended (a write is never cut short: a stop signal is kept in
// p->interrupted and the wait goes on), or the timeout has passed.
int followUpdate(Host& host, const Options& o, const HostText& name, UpdateProgress* p) {
  int printedTenth = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeoutSeconds);
  for (bool first = true;; first = false) {
    wchar_t* text = nullptr;
    int value = 0;
    const HRESULT polled =
        host.firmware->vtbl->GetFirmwareUpdateStatus(host.firmware, name, &p->state, &value, &text);
    p->message = takeHostUtf8(text);
    if (polled != kS_OK)
      return fail(kFailed, fmt::format("the progress of {} cannot be read", o.item), polled);
    p->percent = value;
    const bool ended = !(p->state == -1 || p->state == -2) && !first;
    showProgress(*p, ended, &printedTenth);
    if (ended) return kOk;
    if (std::chrono::steady_clock::now() > deadline)
      return fail(kFailed, fmt::format("the firmware update of {} did not end within {} s", o.item,
                                       o.timeoutSeconds));
    if (const int s = waitForStop(50); s != 0 && p->interrupted == 0) {
      p->interrupted = s;
      if (!gSettings.json) {
        out("\ninterrupted: a firmware write must not be cut short; waiting for it to end\n");
        flushOut();
      }
    }
  }
}

// The update's outcome: the "ended" event or line; its exit code.
int reportUpdate(const Options& o, const Update& u, const UpdateProgress& p) {
  const bool failed = p.message.rfind("Error", 0) == 0 || p.percent != 100;
  const char* outcome = failed         ? "failed"
                        : p.state == 5 ? "written; loaded at the board's next power cycle"
                                       : "complete";
  const int rc = p.interrupted != 0 ? hostcli::exitForSignal(p.interrupted)
                 : failed           ? kFailed
                                    : kOk;
  const std::string failure = fmt::format("the firmware update of {} failed{}{}", o.item,
                                          p.message.empty() ? "" : ": ", p.message);
  if (gSettings.json) {
    json doc{{"event", "ended"},
             {"time", hostcli::isoNow()},
             {"item", o.item},
             {"target", u.target},
             {"image", u.base},
             {"size", u.size},
             {"state", p.state},
             {"percent", p.percent},
             {"message", p.message},
             {"succeeded", !failed},
             {"pendingPowerCycle", !failed && p.state == 5},
             {"interrupted", p.interrupted != 0}};
    if (rc != kOk) {
      doc["error"] = failed ? failure : std::string("interrupted after the write had ended");
      doc["exitCode"] = rc;
    }
    outJson(doc);
  } else {
    outf("firmware update of {}: {} (state {}, {}%{}{})\n", o.item, outcome, p.state, p.percent,
         p.message.empty() ? "" : ", ", hostcli::printable(p.message));
  }
  if (failed) note(failure);
  return rc;
}

// The update of a board once its image file was found fit (its size in u.size).
int firmwareItem(Host& host, const Options& o, const HostText& name, Update& u) {
  u.base = o.image.substr(o.image.find_last_of('/') + 1);
  u.shownBase = hostcli::printable(u.base);
  std::vector<BagRow> rows;
  if (const int rc = checkImageName(host, o, u, &rows); rc != kOk) return rc;
  if (const int rc = confirmUpdate(o, u, rows); rc != kOk) return rc;
  std::vector<unsigned char> bytes;
  if (const int rc = readImage(o.image, u.size, &bytes); rc != kOk) return rc;
  std::optional<HostImage> image;  // lent to the updater while the update runs
  if (const int rc = startUpdate(host, o, name, u, std::move(bytes), image); rc != kOk) return rc;
  UpdateProgress progress;
  if (const int rc = followUpdate(host, o, name, &progress); rc != kOk) return rc;
  return reportUpdate(o, u, progress);
}

int firmwareCommand(const Options& o) {
  // Everything about the image and the board is checked before anything is written.
  Update u;
  if (const int rc = checkImageFile(o.image, &u.size); rc != kOk) return rc;
  return onItem(o, [&u](Host& host, const Options& opts, const HostText& name) {
    return firmwareItem(host, opts, name, u);
  });
}

// --- watch ------------------------------------------------------------------------------------

// `watch`: boards arriving, leaving and changing. A person is told only what changed against
// the boards the host knows (a notice may also tell what the host already learned by asking).
// The state below is shared with the library's notice thread, under gOutput.
class Watch {
 public:
  explicit Watch(const Options& o) : o_(o) {}
  int run();

 private:
  bool belowCount() const { return o_.watchCount == 0 || events_ < o_.watchCount; }
  void report(int kind, const std::vector<std::string>& names);
  void notice(const RecordingSink::Notice& n);
  void start(const std::vector<std::string>& names);
  int follow(Host& host, const char** why, int* signal);
  void compare(const std::vector<std::string>& names);
  int stop(const char* why, int signal);

  const Options& o_;
  std::set<std::string> known_;
  bool askAgain_ = false;
  unsigned events_ = 0;
  std::optional<hostcli::WriteFailure> writeFailed_;  // met on the library's thread
};

void Watch::report(int kind, const std::vector<std::string>& names) {
  const char* event = kind == 1   ? "arrived"
                      : kind == 2 ? "removed"
                      : kind == 3 ? "changed"
                                  : "notice";
  ++events_;
  if (gSettings.json) {
    outJson({{"event", event}, {"kind", kind}, {"items", names}, {"time", hostcli::isoNow()}});
  } else {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    outf("{:%H:%M:%S}  {:<8} {}\n", fmt::localtime(now), event, fmt::join(names, " "));
  }
  flushOut();
}

// On the library's thread: a write failure is kept for the main thread, which ends the watch.
void Watch::notice(const RecordingSink::Notice& n) {
  std::lock_guard<std::recursive_mutex> lock(gOutput);
  if (writeFailed_) return;
  if (!n.names.empty()) askAgain_ = true;
  std::vector<std::string> changed;
  for (const std::string& name : n.names) {
    const bool isNew = n.kind == 1   ? known_.insert(name).second
                       : n.kind == 2 ? known_.erase(name) == 1
                                     : true;
    if (isNew) changed.push_back(name);
  }
  try {
    if (!changed.empty() && belowCount()) report(n.kind, changed);
  } catch (const hostcli::WriteFailure& failure) {
    writeFailed_ = failure;
  }
}

void Watch::start(const std::vector<std::string>& names) {
  std::lock_guard<std::recursive_mutex> lock(gOutput);
  known_.insert(names.begin(), names.end());
  if (gSettings.json) {
    outJson({{"event", "watching"}, {"time", hostcli::isoNow()}, {"items", names}});
  } else {
    outf("watching {} board{}{}{}; Ctrl-C ends\n", names.size(), names.size() == 1 ? "" : "s",
         names.empty() ? "" : ": ", fmt::join(names, " "));
  }
  flushOut();
}

// After a notice the host asks for the boards again, as a configuration host does to show
// them: the expert brings its item cache up to date on that request (so a board that arrived
// is known when it leaves), and anything the notices did not tell is reported from the list.
// Ends (kOk) on a stop signal (*signal), --count or --timeout (*why).
int Watch::follow(Host& host, const char** why, int* signal) {
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::string> names;
  for (;;) {
    if ((*signal = waitForStop(100)) != 0) return kOk;
    {
      std::lock_guard<std::recursive_mutex> lock(gOutput);
      if (writeFailed_) throw *writeFailed_;
      if (o_.watchCount != 0 && events_ >= o_.watchCount) {
        *why = "count";
        return kOk;
      }
    }
    if (o_.watchTimeout > 0 && std::chrono::steady_clock::now() - started >=
                                   std::chrono::duration<double>(o_.watchTimeout)) {
      *why = "timeout";
      return kOk;
    }
    {
      std::lock_guard<std::recursive_mutex> lock(gOutput);
      if (!askAgain_) continue;
      askAgain_ = false;
    }
    if (const int rc = host.items(&names); rc != kOk) return rc;
    compare(names);
  }
}

// The boards of a fresh list against the known ones: who left, then who came.
void Watch::compare(const std::vector<std::string>& names) {
  std::lock_guard<std::recursive_mutex> lock(gOutput);
  std::vector<std::string> arrived, removed;
  for (const std::string& name : names)
    if (known_.insert(name).second) arrived.push_back(name);
  for (auto it = known_.begin(); it != known_.end();) {
    if (std::find(names.begin(), names.end(), *it) == names.end()) {
      removed.push_back(*it);
      it = known_.erase(it);
    } else {
      ++it;
    }
  }
  if (!removed.empty() && belowCount()) report(2, removed);
  if (!arrived.empty() && belowCount()) report(1, arrived);
}

int Watch::stop(const char* why, int signal) {
  std::lock_guard<std::recursive_mutex> lock(gOutput);
  const char* reason = why != nullptr ? why : signal == SIGINT ? "SIGINT" : "SIGTERM";
  if (gSettings.json) {
    json doc{
        {"event", "stopped"}, {"time", hostcli::isoNow()}, {"reason", reason}, {"events", events_}};
    if (signal != 0) {
      doc["signal"] = reason;
      doc["error"] = fmt::format("ended by {}", reason);
      doc["exitCode"] = hostcli::exitForSignal(signal);
    }
    outJson(doc);
  } else if (why != nullptr) {
    outf("{}: no longer watching\n",
         std::string(why) == "count" ? fmt::format("{} event{}", events_, events_ == 1 ? "" : "s")
                                     : fmt::format("{} s", o_.watchTimeout));
  } else {
    outf("{}: no longer watching\n", signal == SIGINT ? "interrupted" : "terminated");
  }
  flushOut();
  return signal != 0 ? hostcli::exitForSignal(signal) : kOk;
}

int Watch::run() {
  // The host is torn down (its sink dropped) before the state the notices touch goes.
  Host host;
  if (const int rc = host.open(o_.library); rc != kOk) return rc;
  host.sink.onNotice = [this](void*, const RecordingSink::Notice& n) { notice(n); };
  if (const int rc = host.listen(); rc != kOk) return rc;
  std::vector<std::string> names;
  if (const int rc = host.items(&names); rc != kOk) return rc;
  start(names);
  const char* why = nullptr;
  int signal = 0;
  if (const int rc = follow(host, &why, &signal); rc != kOk) return rc;
  return stop(why, signal);
}

int watchCommand(const Options& o) { return Watch(o).run(); }

// --- Command line -----------------------------------------------------------------------------

void noOptions(CLI::App&, Options&) {}

void itemOption(CLI::App& command, Options& o) {
  command.add_option("item", o.item, "the board: KEL<n> or qovorlix<n>")->required();
}

void refreshOptions(CLI::App& command, Options& o) {
  itemOption(command, o);
  command.add_flag("--async", o.async,
                   "in the background: the expert answers at once and notifies when done");
  command.add_option("--timeout", o.timeoutSeconds, "seconds to wait for the notice (default 600)");
}

void diagOptions(CLI::App& command, Options& o) {
  itemOption(command, o);
  command.add_option("--mode", o.mode,
                     "diagnostic mode (default 0; a mode the board rejects runs as mode 0)");
}

void firmwareOptions(CLI::App& command, Options& o) {
  itemOption(command, o);
  command.add_option("image", o.image, "the image file (must match the board's image pattern)")
      ->required();
  command.add_flag("-y,--yes", o.yes, "do not ask for confirmation on a terminal");
  command.add_option("--timeout", o.timeoutSeconds,
                     "seconds to wait for the update to end (default 600)");
}

void watchOptions(CLI::App& command, Options& o) {
  command.add_option("--count", o.watchCount, "end (status 0) after this many events");
  command.add_option("--timeout", o.watchTimeout, "end (status 0) after this many seconds")
      ->check(CLI::NonNegativeNumber);
}

int probeCommand(const Options& o) { return probe(o.library.c_str(), gSettings.json); }

// The waiting commands (firmware, watch) block SIGINT/SIGTERM before the library starts any
// thread, so only their own wait takes them and the expert is shut down on this thread; the
// others end at once.
using Command = hostcli::Command<Options, int (*)(const Options&)>;
const Command kCommandTable[] = {
    {"list",
     "a table of the boards (model, serial, PCI address, link, firmware, module) and the boards "
     "the library does not serve",
     noOptions, listCommand},
    {"show", "every property of a board: readable name, type, value (unknown tags in hex)",
     itemOption, showCommand},
    {"refresh", "re-read a board's hardware readings (temperatures, fans, dated readings)",
     refreshOptions, refreshCommand},
    {"diag", "run a board's diagnostic", diagOptions, diagCommand},
    {"firmware", "write a firmware image to a board, with its progress (asks first on a terminal)",
     firmwareOptions, firmwareCommand, true},
    {"watch", "print boards arriving, leaving and changing until Ctrl-C, --count or --timeout",
     watchOptions, watchCommand, true},
    {"probe", "check the library's entry points, interfaces and identity", noOptions, probeCommand},
};

// No command, or a word where the command belongs that is no command: said before parsing,
// with the nearest command. Help and the version need no command.
int checkCommandWord(int argc, char** argv) {
  if (hostcli::asksForHelp(argc, argv)) return kOk;
  const std::vector<std::string> commands = hostcli::commandNames(kCommandTable);
  const std::string word = hostcli::commandWord(argc, argv).value_or("");
  if (word.empty())
    return fail(kUsage, fmt::format("no command given; the commands are {}; see --help",
                                    fmt::join(commands, ", ")));
  if (std::find(commands.begin(), commands.end(), word) == commands.end())
    return fail(kUsage, fmt::format("unknown command '{}'{}; see --help", hostcli::printable(word),
                                    hostcli::nearestHint(word, commands)));
  return kOk;
}

int run(int argc, char** argv) {
  Options o;
  // --json decides how even a bad command line is answered, so it is known before parsing.
  gSettings.json = hostcli::hasFlag(argc, argv, "--json");
  gSettings.errorColour = hostcli::useColor(hostcli::ColorMode::Auto, STDERR_FILENO);

  CLI::App app{"qovorlix-syscfg: the reference configuration host of the Vorlix boards"};
  const std::vector<CLI::App*> commands = hostcli::describeProgram(
      app,
      {kExitCodes, std::string(kProgram) + " " + QOVORLIX_SYSCFG_VERSION,
       "machine-readable output: one JSON document (watch, firmware: one per line)",
       "also show where in the library a failure was raised (file/line context)"},
      kCommandTable, o);
  if (const int rc = checkCommandWord(argc, argv); rc != kOk) return rc;
  try {
    if (hostcli::parseOrAnswer(app, argc, argv)) return kOk;
  } catch (const CLI::ParseError& e) {
    return fail(kUsage, std::string(e.what()) + "; see --help");
  }
  gSettings.json = o.json;
  gSettings.verbose = o.verbose;
  const hostcli::ColorMode mode = hostcli::colorMode(o);
  gSettings.colour = !gSettings.json && hostcli::useColor(mode, STDOUT_FILENO);
  gSettings.errorColour = hostcli::useColor(mode, STDERR_FILENO);
  o.item = canonicalItem(o.item);

  const std::size_t chosen = hostcli::chosenCommand(commands);
  if (chosen == std::size(kCommandTable)) return kUsage;
  if (kCommandTable[chosen].waits) blockStopSignals();
  return kCommandTable[chosen].run(o);
}

}  // namespace

int main(int argc, char** argv) {
  hostcli::ignoreBrokenPipe();
  int rc = kFailed;
  try {
    rc = run(argc, argv);
  } catch (const hostcli::WriteFailure& failure) {
    return hostcli::abandonOutput(kProgram, failure);
  } catch (const std::exception& e) {
    try {
      rc = fail(kFailed, fmt::format("internal error: {}", e.what()));
    } catch (const hostcli::WriteFailure& failure) {
      return hostcli::reportWriteFailure(kProgram, failure);
    }
  }
  return hostcli::finish(kProgram, rc);
}
