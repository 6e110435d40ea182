// qovorlix-syscfg: the reference configuration host on the command line. It loads the library
// with dlopen and reaches it only through the exported factory and the expert's interfaces
// (tools/common/host_abi.h), as the system-configuration host does.
// `qovorlix-syscfg --help` lists the commands and the exit codes.
#include <dlfcn.h>
#include <fmt/chrono.h>
#include <fmt/color.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
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

#include "host_abi.h"
#include "host_client.h"
#include "probe.h"
#include "stop_signals.h"
#include "sysapi_names.h"

namespace {

using namespace hostabi;
using nlohmann::json;

// Exit codes (also in --help).
constexpr int kOk = 0;
constexpr int kFailed = 1;         // library, expert or board failure; diagnostic or update failed
constexpr int kUsage = 2;          // bad command line, unreadable or empty image file
constexpr int kUnknown = 3;        // no such item
constexpr int kBusy = 4;           // a firmware update already runs on the board
constexpr int kInterrupted = 130;  // ended by SIGINT or SIGTERM, after cleaning up

constexpr char kExitCodes[] =
    "Exit codes: 0 done; 1 the library cannot be loaded, or the expert or the board refused a\n"
    "step, or a diagnostic or firmware update failed; 2 bad command line, or an image file that\n"
    "cannot be read or is empty; 3 no such item; 4 a firmware update already runs on the board;\n"
    "130 ended by SIGINT/SIGTERM (firmware: after the write in progress has ended; watch).\n"
    "Result codes of the expert are printed in hex with their meaning, e.g.\n"
    "0x80040375 (no such item). With --json every command prints one JSON document on stdout\n"
    "(watch: one per line), errors included: {\"error\": ..., \"exitCode\": ...}.";

constexpr char kDefaultLibrary[] = "libqovorlixatomicsae.so.23";

// The tags the expert re-reads from the board on request: dated readings, temperatures, fans.
constexpr unsigned kHardwareReadings[] = {
    0x1015000, 0x1016000, 0x102E000, 0x102F000, 0x1061000, 0x1062000,  0x1063000,  0x1064000,
    0x1065000, 0x1066000, 0x1067000, 0x1069000, 0x1089000, 0x1900F000, 0x19010000, 0x19011000};

bool gJson = false;
bool gColour = false;  // stdout is a terminal and --json is off
std::mutex gOutput;    // serialises the main thread's output with notices printed by the library's

// Prints the message on stderr (red on a terminal) and, with --json, an error document on
// stdout; returns the exit code.
int fail(int rc, const std::string& message, std::optional<HRESULT> code = std::nullopt) {
  std::lock_guard<std::mutex> lock(gOutput);
  std::fflush(stdout);
  const std::string text =
      code.has_value() ? fmt::format("{}: {}", message, hresultWithMeaning(*code)) : message;
  if (isatty(STDERR_FILENO) != 0) {
    fmt::print(stderr, fg(fmt::terminal_color::red), "qovorlix-syscfg: {}\n", text);
  } else {
    fmt::print(stderr, "qovorlix-syscfg: {}\n", text);
  }
  if (gJson) {
    json doc{{"error", message}, {"exitCode", rc}};
    if (code.has_value()) {
      doc["hresult"] = hresultText(*code);
      doc["meaning"] = hresultMeaning(*code);
    }
    fmt::print("{}\n", doc.dump());
    std::fflush(stdout);
  }
  return rc;
}

void heading(const std::string& text) {
  if (gColour) {
    fmt::print(fmt::emphasis::bold, "{}\n", text);
  } else {
    fmt::print("{}\n", text);
  }
}

// Strict UTF-8 to the host's 32-bit characters; false on a malformed sequence.
bool decodeUtf8(const std::string& in, std::wstring* out) {
  out->clear();
  for (std::size_t i = 0; i < in.size();) {
    const auto b = static_cast<unsigned char>(in[i]);
    std::uint32_t c = 0;
    std::size_t n = 0;
    if (b < 0x80) {
      c = b, n = 1;
    } else if (b >= 0xC2 && b < 0xE0) {
      c = b & 0x1Fu, n = 2;
    } else if (b >= 0xE0 && b < 0xF0) {
      c = b & 0x0Fu, n = 3;
    } else if (b >= 0xF0 && b < 0xF5) {
      c = b & 0x07u, n = 4;
    } else {
      return false;
    }
    if (i + n > in.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      const auto cont = static_cast<unsigned char>(in[i + k]);
      if ((cont & 0xC0) != 0x80) return false;
      c = (c << 6) | (cont & 0x3Fu);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    out->push_back(static_cast<wchar_t>(c));
    i += n;
  }
  return true;
}

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
    if (library_ != nullptr) ::dlclose(library_);
  }

  // kOk, or the exit code after the message.
  int open(const std::string& path) {
    library_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr)
      return fail(kFailed, fmt::format("cannot load {}: {}", path, ::dlerror()));
    auto create = reinterpret_cast<CreateExpertFn>(::dlsym(library_, kFactoryName));
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

  // kOk when the machine has the item (its host text in `name`), else the exit code.
  int find(const std::string& item, std::wstring* name) {
    if (!decodeUtf8(item, name)) return fail(kUsage, "the item name is not valid UTF-8");
    std::vector<std::string> names;
    if (const int rc = items(&names); rc != kOk) return rc;
    if (std::find(names.begin(), names.end(), item) != names.end()) return kOk;
    return fail(kUnknown, names.empty()
                              ? fmt::format("unknown item \"{}\": the machine has no boards", item)
                              : fmt::format("unknown item \"{}\"; the boards are {}", item,
                                            fmt::join(names, ", ")));
  }

  ImxSysExpert2* expert = nullptr;
  ImxSysExpertPlugPlay* plugPlay = nullptr;
  ImxSysExpertDiagnostic* diagnostic = nullptr;
  ImxSysExpertFirmware* firmware = nullptr;
  RecordingSink sink;

 private:
  void* library_ = nullptr;
  bool sinkSet_ = false;
};

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

void printRows(const std::vector<BagRow>& rows) {
  heading(fmt::format("{:<10}  {:<38}  {:<9}  {}", "TAG", "NAME", "TYPE", "VALUE"));
  for (const BagRow& r : rows) {
    const std::string name = tagName(r.tag);
    fmt::print("{:<10}  {:<38}  {:<9}  {}\n", tagHex(r.tag), name.empty() ? "(unknown)" : name,
               typeName(r.type), valueText(r));
  }
}

// --- Commands ----------------------------------------------------------------------------------

struct Options {
  std::string library = kDefaultLibrary;
  std::string item;
  std::string image;
  bool async = false;
  int mode = 0;
  unsigned timeoutSeconds = 600;
};

// One line of the `list` table.
struct Summary {
  std::string item, product, model, serial, pci, link, firmware, module;
  json doc;
};

Summary summarize(const std::string& item, const std::vector<BagRow>& rows) {
  Summary s;
  s.item = item;
  s.product = stringOf(rows, 0x19014000);
  s.model = stringOf(rows, 0x1006000);
  s.serial = stringOf(rows, 0x1007000);
  s.firmware = stringOf(rows, 0x102F000);
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
           {"product", s.product},
           {"model", s.model},
           {"serial", s.serial},
           {"pciAddress", s.pci},
           {"linkWidth", orNull(width)},
           {"maxLinkWidth", orNull(maxWidth)},
           {"linkRate", rate ? json(rateText(*rate)) : json(nullptr)},
           {"maxLinkRate", maxRate ? json(rateText(*maxRate)) : json(nullptr)},
           {"firmware", s.firmware},
           {"module",
            hasModule ? json{{"id", fmt::format("0x{:08X}", static_cast<std::uint32_t>(*moduleId))},
                             {"revision", orNull(moduleRev)},
                             {"otherVendor", otherVendor.value_or(0) != 0}}
                      : json(nullptr)}};
  return s;
}

int listCommand(const Options& o) {
  Host host;
  if (const int rc = host.open(o.library); rc != kOk) return rc;
  std::vector<std::string> names;
  if (const int rc = host.items(&names); rc != kOk) return rc;
  // A board that cannot be read is reported (stderr; with --json in "errors") and the others
  // are listed.
  int rc = kOk;
  std::vector<Summary> lines;
  json errors = json::array();
  for (const std::string& item : names) {
    std::wstring wide;
    decodeUtf8(item, &wide);
    const HostText name(wide);
    void* bag = nullptr;
    const HRESULT hr = host.expert->vtbl->GetPropertyBag(host.expert, name, &bag);
    const std::vector<BagRow> rows = takeBag(bag);
    if (hr != kS_OK) {
      fmt::print(stderr, "qovorlix-syscfg: the properties of {} cannot be read: {}\n", item,
                 hresultWithMeaning(hr));
      errors.push_back(
          {{"item", item}, {"hresult", hresultText(hr)}, {"meaning", hresultMeaning(hr)}});
      rc = kFailed;
      continue;
    }
    lines.push_back(summarize(item, rows));
  }
  if (gJson) {
    json items = json::array();
    for (const Summary& s : lines) items.push_back(s.doc);
    fmt::print("{}\n", json{{"items", items}, {"errors", errors}}.dump(2));
    return rc;
  }
  if (names.empty()) {
    fmt::print("no boards\n");
    return rc;
  }
  constexpr const char* kRow = "{:<6} {:<12} {:<28} {:<9} {:<8} {:<13} {:<9} {}";
  heading(
      fmt::format(kRow, "ITEM", "PRODUCT", "MODEL", "SERIAL", "PCI", "LINK", "FIRMWARE", "MODULE"));
  for (const Summary& s : lines)
    fmt::print("{}\n", fmt::format(kRow, s.item, s.product, s.model, s.serial, s.pci, s.link,
                                   s.firmware, s.module));
  return rc;
}

// Opens the host and finds the item named on the command line (its host text in `name`).
int openItem(Host& host, const Options& o, std::wstring* name) {
  if (const int rc = host.open(o.library); rc != kOk) return rc;
  return host.find(o.item, name);
}

int showCommand(const Options& o) {
  Host host;
  std::wstring wide;
  if (const int rc = openItem(host, o, &wide); rc != kOk) return rc;
  const HostText name(wide);
  void* bag = nullptr;
  // The hardware readings (temperatures, fans, dated readings) are read now, so the bag is whole.
  HRESULT hr = host.expert->vtbl->GetPropertyBagWithRefresh(
      host.expert, name, static_cast<unsigned>(std::size(kHardwareReadings)), kHardwareReadings, 0,
      &bag);
  std::vector<BagRow> rows = takeBag(bag);
  if (hr == kS_FALSE) {  // some readings are missing: the board did not answer for them
    fmt::print(stderr, "qovorlix-syscfg: some hardware readings of {} cannot be read now: {}\n",
               o.item, hresultWithMeaning(hr));
  } else if (hr != kS_OK) {
    // A board that cannot be read now still shows what the expert holds.
    fmt::print(stderr, "qovorlix-syscfg: the hardware readings of {} cannot be read now: {}\n",
               o.item, hresultWithMeaning(hr));
    bag = nullptr;
    hr = host.expert->vtbl->GetPropertyBag(host.expert, name, &bag);
    rows = takeBag(bag);
    if (hr != kS_OK)
      return fail(hr == static_cast<HRESULT>(0x80040375u) ? kUnknown : kFailed,
                  fmt::format("the properties of {} cannot be read", o.item), hr);
  }
  if (gJson) {
    fmt::print("{}\n", json{{"item", o.item}, {"properties", rowsJson(rows)}}.dump(2));
    return kOk;
  }
  heading(fmt::format("{}: {} ({} properties)", o.item, stringOf(rows, 0x1006000), rows.size()));
  printRows(rows);
  return kOk;
}

bool isHardwareReading(unsigned tag) {
  const unsigned base = tag & ~0xFFFu;
  for (unsigned t : kHardwareReadings)
    if (t == tag || t == base) return true;
  return base == 0x1088000;  // fan states come with the fans
}

int refreshCommand(const Options& o) {
  Host host;
  std::wstring wide;
  if (const int rc = openItem(host, o, &wide); rc != kOk) return rc;
  if (o.async) {
    if (const int rc = host.listen(); rc != kOk) return rc;
  }
  const HostText name(wide);
  void* bag = nullptr;
  const auto started = std::chrono::steady_clock::now();
  const HRESULT hr = host.expert->vtbl->GetPropertyBagWithRefresh(
      host.expert, name, static_cast<unsigned>(std::size(kHardwareReadings)), kHardwareReadings,
      o.async ? 1 : 0, &bag);
  std::vector<BagRow> rows = takeBag(bag);
  constexpr HRESULT kPending = static_cast<HRESULT>(0x80040377u);
  json noticeMs = nullptr;
  if (o.async && hr == kPending) {
    if (!gJson) {
      fmt::print("{}: {}; waiting for the item-changed notice\n", o.item, hresultWithMeaning(hr));
      std::fflush(stdout);
    }
    const bool noticed = host.sink.waitFor(
        [&](const RecordingSink::Notice& n) {
          return n.kind == 3 && std::find(n.names.begin(), n.names.end(), o.item) != n.names.end();
        },
        static_cast<int>(std::min(o.timeoutSeconds, 3600u) * 1000));
    if (!noticed)
      return fail(kFailed, fmt::format("no item-changed notice for {} within {} s", o.item,
                                       o.timeoutSeconds));
    noticeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - started)
                   .count();
    bag = nullptr;
    const HRESULT got = host.expert->vtbl->GetPropertyBag(host.expert, name, &bag);
    rows = takeBag(bag);
    if (got != kS_OK)
      return fail(kFailed, fmt::format("the properties of {} cannot be read", o.item), got);
  } else if (hr != kS_OK && hr != kS_FALSE) {
    return fail(kFailed, fmt::format("the refresh of {} failed", o.item), hr);
  }
  // S_FALSE: the board answered for some readings only; they are shown, and the command fails.
  const bool complete = hr != kS_FALSE;
  std::vector<BagRow> readings;
  std::copy_if(rows.begin(), rows.end(), std::back_inserter(readings),
               [](const BagRow& r) { return isHardwareReading(r.tag); });
  if (gJson) {
    fmt::print("{}\n", json{{"item", o.item},
                            {"mode", o.async ? "asynchronous" : "synchronous"},
                            {"result", hresultText(hr)},
                            {"meaning", hresultMeaning(hr)},
                            {"noticeMs", noticeMs},
                            {"complete", complete},
                            {"properties", rowsJson(readings)}}
                           .dump(2));
  } else {
    if (o.async) {
      fmt::print("{}: item-changed notice after {} ms; the readings now:\n", o.item,
                 noticeMs.dump());
    } else {
      fmt::print("{}: hardware readings {} ({})\n", o.item,
                 complete ? "refreshed" : "partly refreshed", hresultWithMeaning(hr));
    }
    printRows(readings);
  }
  if (complete) return kOk;
  fmt::print(stderr, "qovorlix-syscfg: some hardware readings of {} could not be read\n", o.item);
  return kFailed;
}

int diagCommand(const Options& o) {
  Host host;
  std::wstring wide;
  if (const int rc = openItem(host, o, &wide); rc != kOk) return rc;
  const HostText name(wide);
  wchar_t* text = nullptr;
  const HRESULT hr = host.diagnostic->vtbl->RunDiagnostic(host.diagnostic, name, o.mode, &text);
  const std::string report = takeHostUtf8(text);
  const bool passed = hr >= 0;
  if (gJson) {
    fmt::print("{}\n", json{{"item", o.item},
                            {"mode", o.mode},
                            {"passed", passed},
                            {"result", hresultText(hr)},
                            {"meaning", hresultMeaning(hr)},
                            {"text", report}}
                           .dump(2));
  } else {
    const std::string verdict = passed ? "passed" : "FAILED";
    fmt::print("diagnostic of {} (mode {}): ", o.item, o.mode);
    if (gColour) {
      fmt::print(fg(passed ? fmt::terminal_color::green : fmt::terminal_color::red), "{}", verdict);
    } else {
      fmt::print("{}", verdict);
    }
    fmt::print(" ({}){}\n", hresultWithMeaning(hr), report.empty() ? "" : "\n" + report);
  }
  if (passed) return kOk;
  return hr == static_cast<HRESULT>(0x80040375u) ? kUnknown : kFailed;
}

// The image file's bytes, or the exit code after the message.
int readImage(const std::string& path, std::vector<unsigned char>* bytes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return fail(kUsage, fmt::format("cannot read the image {}: {}", path, std::strerror(errno)));
  if (!S_ISREG(st.st_mode))
    return fail(kUsage, fmt::format("the image {} is not a regular file", path));
  if (st.st_size == 0) return fail(kUsage, fmt::format("the image {} is empty", path));
  if (static_cast<std::uint64_t>(st.st_size) > 0xFFFFFFFFu)
    return fail(kUsage, fmt::format("the image {} is larger than 4 GiB", path));
  std::ifstream in(path, std::ios::binary);
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) return fail(kUsage, fmt::format("cannot read the image {}", path));
  if (bytes->empty())
    return fail(kUsage, fmt::format("cannot read the image {}: {}", path, std::strerror(errno)));
  return kOk;
}

void drawProgress(int percent, int state, bool final) {
  constexpr int kWidth = 30;
  const int clamped = std::clamp(percent, 0, 100);
  const int filled = clamped * kWidth / 100;
  const std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                          std::string(static_cast<std::size_t>(kWidth - filled), '.');
  const char* phase = state == -1 ? "starting" : state == -2 ? "writing" : "ended";
  fmt::print("\r  [{}] {:3}%  {:<8}", bar, clamped, phase);
  if (final) fmt::print("\n");
  std::fflush(stdout);
}

int firmwareCommand(const Options& o) {
  std::vector<unsigned char> bytes;
  if (const int rc = readImage(o.image, &bytes); rc != kOk) return rc;
  const std::size_t size = bytes.size();
  Host host;
  std::wstring wide;
  if (const int rc = openItem(host, o, &wide); rc != kOk) return rc;
  const HostText name(wide);

  wchar_t* targetText = nullptr;
  const HRESULT began =
      host.firmware->vtbl->BeginFirmwareUpdate(host.firmware, name, 0, 0, &targetText);
  const std::string target = takeHostUtf8(targetText);
  if (began != kS_OK)
    return fail(kFailed, fmt::format("the firmware update of {} cannot begin", o.item), began);

  const std::string base = o.image.substr(o.image.find_last_of('/') + 1);
  HostImage image(base, std::move(bytes));
  const HostText none("");
  const HRESULT started =
      host.firmware->vtbl->UpdateFirmware(host.firmware, name, name, 0, none, image.asImage());
  if (started == static_cast<HRESULT>(0x80040385u))
    return fail(
        kBusy,
        fmt::format("a firmware update already runs on {}; try again when it has ended", o.item),
        started);
  if (started != kS_OK)
    return fail(kFailed, fmt::format("the firmware update of {} was refused", o.item), started);
  if (!gJson) {
    fmt::print("updating the firmware of {} (target \"{}\") with {} ({} bytes)\n", o.item, target,
               base, size);
    std::fflush(stdout);
  }

  const bool bar = gColour;  // a redrawn bar on a terminal, a line per tenth in a pipe
  int state = -1, percent = 0, printedTenth = -1;
  std::string message;
  bool interrupted = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeoutSeconds);
  for (bool first = true;; first = false) {
    wchar_t* text = nullptr;
    int value = 0;
    const HRESULT polled =
        host.firmware->vtbl->GetFirmwareUpdateStatus(host.firmware, name, &state, &value, &text);
    message = takeHostUtf8(text);
    if (polled != kS_OK)
      return fail(kFailed, fmt::format("the progress of {} cannot be read", o.item), polled);
    percent = value;
    const bool busy = state == -1 || state == -2;
    if (!gJson && !interrupted) {
      if (bar) {
        drawProgress(percent, state, !busy && !first);
      } else if (percent / 10 != printedTenth) {
        printedTenth = percent / 10;
        fmt::print("  {:3}%\n", percent);
        std::fflush(stdout);
      }
    }
    if (!busy && !first) break;
    if (std::chrono::steady_clock::now() > deadline)
      return fail(kFailed, fmt::format("the firmware update of {} did not end within {} s", o.item,
                                       o.timeoutSeconds));
    if (waitForStop(50) != 0 && !interrupted) {
      interrupted = true;
      if (!gJson) {
        fmt::print(
            "\ninterrupted: a firmware write must not be cut short; waiting for it to end\n");
        std::fflush(stdout);
      }
    }
  }
  const bool failed = message.rfind("Error", 0) == 0 || percent != 100;
  const char* outcome = failed       ? "failed"
                        : state == 5 ? "written; loaded at the board's next power cycle"
                                     : "complete";
  if (gJson) {
    fmt::print("{}\n", json{{"item", o.item},
                            {"target", target},
                            {"image", base},
                            {"size", size},
                            {"state", state},
                            {"percent", percent},
                            {"message", message},
                            {"succeeded", !failed},
                            {"interrupted", interrupted}}
                           .dump(2));
  } else {
    fmt::print("firmware update of {}: {} (state {}, {}%{}{})\n", o.item, outcome, state, percent,
               message.empty() ? "" : ", ", message);
  }
  if (interrupted) return kInterrupted;
  return failed ? kFailed : kOk;
}

int watchCommand(const Options& o) {
  Host host;
  if (const int rc = host.open(o.library); rc != kOk) return rc;
  // The host tells a person only what changed against the boards it knows (a notice may also
  // tell what the host already learned by asking).
  std::set<std::string> known;
  bool askAgain = false;
  auto report = [](int kind, const std::vector<std::string>& names) {
    const char* event = kind == 1   ? "arrived"
                        : kind == 2 ? "removed"
                        : kind == 3 ? "changed"
                                    : "notice";
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    if (gJson) {
      fmt::print("{}\n", json{{"event", event},
                              {"kind", kind},
                              {"items", names},
                              {"time", fmt::format("{:%FT%TZ}", fmt::gmtime(now))}}
                             .dump());
    } else {
      fmt::print("{:%H:%M:%S}  {:<8} {}\n", fmt::localtime(now), event, fmt::join(names, " "));
    }
    std::fflush(stdout);
  };
  host.sink.onNotice = [&](void*, const RecordingSink::Notice& n) {
    std::lock_guard<std::mutex> lock(gOutput);
    if (!n.names.empty()) askAgain = true;
    std::vector<std::string> changed;
    for (const std::string& name : n.names) {
      const bool isNew = n.kind == 1   ? known.insert(name).second
                         : n.kind == 2 ? known.erase(name) == 1
                                       : true;
      if (isNew) changed.push_back(name);
    }
    if (!changed.empty()) report(n.kind, changed);
  };
  if (const int rc = host.listen(); rc != kOk) return rc;
  std::vector<std::string> names;
  if (const int rc = host.items(&names); rc != kOk) return rc;
  {
    std::lock_guard<std::mutex> lock(gOutput);
    known.insert(names.begin(), names.end());
    if (gJson) {
      fmt::print("{}\n", json{{"event", "watching"}, {"items", names}}.dump());
    } else {
      fmt::print("watching {} board{}{}{}; Ctrl-C ends\n", names.size(),
                 names.size() == 1 ? "" : "s", names.empty() ? "" : ": ", fmt::join(names, " "));
    }
    std::fflush(stdout);
  }
  // After a notice the host asks for the boards again, as a configuration host does to show
  // them: the expert brings its item cache up to date on that request (so a board that arrived
  // is known when it leaves), and anything the notices did not tell is reported from the list.
  int signal = 0;
  while ((signal = waitForStop(100)) == 0) {
    {
      std::lock_guard<std::mutex> lock(gOutput);
      if (!askAgain) continue;
      askAgain = false;
    }
    if (const int rc = host.items(&names); rc != kOk) return rc;
    std::lock_guard<std::mutex> lock(gOutput);
    std::vector<std::string> arrived, removed;
    for (const std::string& name : names)
      if (known.insert(name).second) arrived.push_back(name);
    for (auto it = known.begin(); it != known.end();) {
      if (std::find(names.begin(), names.end(), *it) == names.end()) {
        removed.push_back(*it);
        it = known.erase(it);
      } else {
        ++it;
      }
    }
    if (!removed.empty()) report(2, removed);
    if (!arrived.empty()) report(1, arrived);
  }
  std::lock_guard<std::mutex> lock(gOutput);
  if (gJson) {
    fmt::print(
        "{}\n",
        json{{"event", "stopped"}, {"signal", signal == SIGINT ? "SIGINT" : "SIGTERM"}}.dump());
  } else {
    fmt::print("{}: no longer watching\n", signal == SIGINT ? "interrupted" : "terminated");
  }
  std::fflush(stdout);
  return kInterrupted;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const char* env = std::getenv("QOVORLIX_LIBRARY"); env != nullptr && *env != '\0')
    o.library = env;
  CLI::App app{"qovorlix-syscfg: the reference configuration host of the Vorlix boards"};
  app.footer(kExitCodes);
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "print this help with every command's options and exit");
  app.add_option("--library", o.library,
                 "the library to load (default: $QOVORLIX_LIBRARY, else libqovorlixatomicsae.so.23 "
                 "from the system's library path)");
  app.add_flag("--json", gJson, "machine-readable output: one JSON document (watch: one per line)");

  auto* list = app.add_subcommand(
      "list", "a table of the boards: model, serial, PCI address, link, firmware, module");
  auto* show = app.add_subcommand(
      "show", "every property of a board: readable name, type, value (unknown tags in hex)");
  show->add_option("item", o.item, "the board's item name, e.g. KEL0")->required();
  auto* refresh = app.add_subcommand(
      "refresh", "re-read a board's hardware readings (temperatures, fans, dated readings)");
  refresh->add_option("item", o.item, "the board's item name")->required();
  refresh->add_flag("--async", o.async,
                    "in the background: the expert answers at once and notifies when done");
  refresh->add_option("--timeout", o.timeoutSeconds,
                      "seconds to wait for the notice (default 600)");
  auto* diag = app.add_subcommand("diag", "run a board's diagnostic");
  diag->add_option("item", o.item, "the board's item name")->required();
  diag->add_option("--mode", o.mode,
                   "diagnostic mode (default 0; a mode the board rejects runs as mode 0)");
  auto* firmware =
      app.add_subcommand("firmware", "write a firmware image to a board, with its progress");
  firmware->add_option("item", o.item, "the board's item name")->required();
  firmware->add_option("image", o.image, "the image file")->required();
  firmware->add_option("--timeout", o.timeoutSeconds,
                       "seconds to wait for the update to end (default 600)");
  auto* watch =
      app.add_subcommand("watch", "print boards arriving, leaving and changing until Ctrl-C");
  auto* probeCmd =
      app.add_subcommand("probe", "check the library's entry points, interfaces and identity");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kOk : kUsage;
  }
  gColour = !gJson && isatty(STDOUT_FILENO) != 0;

  // The waiting commands block SIGINT/SIGTERM before the library starts any thread, so only
  // their own wait takes them and the expert is shut down on this thread; the others end at once.
  if (*firmware || *watch) blockStopSignals();
  int rc = kUsage;
  if (*list) rc = listCommand(o);
  if (*show) rc = showCommand(o);
  if (*refresh) rc = refreshCommand(o);
  if (*diag) rc = diagCommand(o);
  if (*firmware) rc = firmwareCommand(o);
  if (*watch) rc = watchCommand(o);
  if (*probeCmd) rc = probe(o.library.c_str(), gJson);
  std::fflush(stdout);
  return rc;
}
