// qovorlix-syscfg: the reference configuration host on the command line.
//
//   qovorlix-syscfg --library PATH probe
//   qovorlix-syscfg --library PATH boards [ITEM]
//
// probe: loads the library, lists which of its public entry points are present, creates the
// expert, asks it for each of its interfaces and reports what a host can rely on (which interface
// pointers are distinct, that they share one reference count), initializes it, prints its
// identity (class identity, name, version, identifier), shuts it down and releases it.
// boards: lists the machine's boards, shows one board's whole property bag (tag, type, value;
// ITEM or the first board), refreshes its hardware readings synchronously and in the background
// (answer 0x80040377, then an item-changed notice on a library thread), runs its diagnostic and
// updates its firmware, polling the progress to the end. Only the exported factory is used.
#include <dlfcn.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <chrono>
#include <thread>

#include "host_abi.h"
#include "host_client.h"

namespace {

using namespace hostabi;

// The library's public entry points (the names its linker version script exports).
constexpr const char* kEntryPoints[] = {
    "createVorlixAtomicSysApiExpert",
    "qoroco_ra_qovorlixatomicsae_createSessionWithDemotionFunc",
    "qoroco_ra_qovorlixatomicsae_createSession",
    "qoroco_ra_qovorlixatomicsae_destroySession",
    "qoroco_ra_qovorlixatomicsae_getHandledConstraints",
    "qoroco_ra_qovorlixatomicsae_calculateRoute",
    "qoroco_ra_qovorlixatomicsae_reserveRoute",
    "qoroco_ra_qovorlixatomicsae_programRoute",
    "qoroco_ra_qovorlixatomicsae_unprogramRoute",
    "qoroco_ra_qovorlixatomicsae_unreserveRoute",
    "qoroco_ra_qovorlixatomicsae_beginExceptionalRouteDestruction",
    "qoroco_ra_qovorlixatomicsae_destroyRoute",
    "qoroco_ra_qovorlixatomicsae_getRouteTerminalPath",
    "qoroco_ra_qovorlixatomicsae_getAPIVersion",
    "qoroco_ra_qovorlixatomicsae_getAllTerminals",
    "qoroco_ra_qovorlixatomicsae_TerminalIterator_next",
    "qoroco_ra_qovorlixatomicsae_TerminalIterator_isEnd",
    "qoroco_ra_qovorlixatomicsae_TerminalIterator_getStringAttribute",
    "qoroco_ra_qovorlixatomicsae_TerminalIterator_getBoolAttribute",
    "qoroco_ra_qovorlixatomicsae_TerminalIterator_getU32Attribute",
    "qoroco_ra_qovorlixatomicsae_TerminalIterator_resetTerminal",
    "qoroco_ra_qovorlixatomicsae_TerminalIterator_calculateResetTerminal",
    "qoroco_ra_qovorlixatomicsae_TerminalIterator_destroy",
};

void usage(FILE* out) {
  std::fprintf(out,
               "usage: qovorlix-syscfg --library PATH COMMAND\n"
               "commands:\n"
               "  probe   load the library, list its entry points, create the expert and check\n"
               "          its interfaces and reference counting, initialize it and print its\n"
               "          identity, then shut it down\n"
               "  boards [ITEM]  list the boards, show one board's property bag, refresh it,\n"
               "          run its diagnostic and update its firmware\n");
}

std::string guidText(const Guid& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08" PRIX32 "-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return buf;
}

// Initialize, the four identity answers, Shutdown. Returns the number of failures.
int identity(ImxSysExpert2* e) {
  int failures = 0;
  const HRESULT init = e->vtbl->Initialize(e);
  std::printf("identity:\n  Initialize returns %s\n", hresultText(init).c_str());
  if (init != kS_OK) return 1;
  Guid g{};
  const HRESULT r = e->vtbl->GetExpertGuid(e, &g);
  if (r == kS_OK) {
    std::printf("  class identity  %s\n", guidText(g).c_str());
  } else {
    std::printf("  class identity  refused with %s\n", hresultText(r).c_str());
    ++failures;
  }
  using Getter = HRESULT (*)(ImxSysExpert2*, wchar_t**);
  const struct {
    const char* label;
    Getter get;
  } texts[] = {{"name", e->vtbl->GetExpertName},
               {"version", e->vtbl->GetExpertVersion},
               {"identifier", e->vtbl->GetExpertIdentifier}};
  for (const auto& t : texts) {
    wchar_t* value = nullptr;
    const HRESULT tr = t.get(e, &value);
    if (tr == kS_OK) {
      std::printf("  %-15s \"%s\"\n", t.label, takeHostText(value).c_str());
    } else {
      std::printf("  %-15s refused with %s\n", t.label, hresultText(tr).c_str());
      ++failures;
    }
  }
  const HRESULT down = e->vtbl->Shutdown(e);
  std::printf("  Shutdown returns %s\n", hresultText(down).c_str());
  return failures + (down == kS_OK ? 0 : 1);
}

// Count as seen by an AddRef/Release pair.
ULONG countOf(void* itf) {
  const ULONG raised = addRef(itf);
  release(itf);
  return raised - 1;
}

int probe(const char* libraryPath) {
  void* lib = dlopen(libraryPath, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "qovorlix-syscfg: cannot load %s: %s\n", libraryPath, dlerror());
    return 1;
  }
  std::printf("library: %s\n", libraryPath);

  std::size_t present = 0;
  std::printf("entry points:\n");
  for (const char* name : kEntryPoints) {
    const bool found = dlsym(lib, name) != nullptr;
    present += found ? 1 : 0;
    std::printf("  %-66s %s\n", name, found ? "present" : "absent");
  }
  std::printf("  %zu of %zu present\n", present, std::size(kEntryPoints));

  auto create = reinterpret_cast<CreateExpertFn>(dlsym(lib, kFactoryName));
  if (create == nullptr) {
    std::printf("expert: the library has no expert factory\n");
    dlclose(lib);
    return 1;
  }

  int failures = 0;
  const HRESULT nullResult = create(nullptr);
  std::printf("expert: factory with a null argument returns %s%s\n", hresultText(nullResult).c_str(),
              nullResult == kE_POINTER ? " (E_POINTER)" : " (expected E_POINTER)");
  failures += nullResult == kE_POINTER ? 0 : 1;

  void* expert = nullptr;
  const HRESULT created = create(&expert);
  if (created != kS_OK || expert == nullptr) {
    std::printf("expert: creation failed with %s\n", hresultText(created).c_str());
    dlclose(lib);
    return 1;
  }
  std::printf("expert: created at %p, reference count %" PRIu32 "\n", expert, countOf(expert));

  std::vector<void*> pointers;
  std::printf("interfaces:\n");
  for (const NamedIdentity& id : kExpertIdentities) {
    void* p = nullptr;
    const HRESULT r = queryInterface(expert, *id.iid, &p);
    pointers.push_back(r == kS_OK ? p : nullptr);
    if (r != kS_OK) {
      ++failures;
      std::printf("  %-24s refused with %s\n", id.name, hresultText(r).c_str());
      continue;
    }
    std::printf("  %-24s %p %s, count now %" PRIu32 "\n", id.name, p,
                p == expert ? "(primary)" : "(own sub-object)", countOf(expert));
  }

  // Facts a host relies on.
  bool primaryShared = true;
  for (std::size_t i = 0; i < 4; ++i) primaryShared = primaryShared && pointers[i] == expert;
  bool othersDistinct = true;
  for (std::size_t i = 4; i < pointers.size(); ++i)
    for (std::size_t j = 0; j < i; ++j) othersDistinct = othersDistinct && pointers[i] != pointers[j];
  bool sameCount = true;
  const ULONG before = countOf(expert);
  for (void* p : pointers) {
    if (p == nullptr) continue;
    addRef(p);
    sameCount = sameCount && countOf(expert) == before + 1;
    release(p);
  }
  std::printf("facts:\n");
  std::printf("  IUnknown, ImxSysExpertInfo, ImxSysExpert, ImxSysExpert2 share the primary pointer: %s\n",
              primaryShared ? "yes" : "NO");
  std::printf("  PlugPlay, Diagnostic and Firmware pointers are distinct sub-objects: %s\n",
              othersDistinct ? "yes" : "NO");
  std::printf("  every interface pointer changes one shared reference count: %s\n",
              sameCount ? "yes" : "NO");
  failures += (primaryShared ? 0 : 1) + (othersDistinct ? 0 : 1) + (sameCount ? 0 : 1);

  failures += identity(static_cast<ImxSysExpert2*>(expert));

  std::printf("reference counts:");
  for (void* p : pointers)
    if (p != nullptr) std::printf(" %" PRIu32, release(p));
  const ULONG last = release(expert);
  std::printf(", expert released to %" PRIu32 "\n", last);
  failures += last == 0 ? 0 : 1;

  dlclose(lib);
  return failures == 0 ? 0 : 1;
}

// Hardware readings the expert reads on request (temperatures, fan speeds).
// FPGA temperature reading, number of fans, first dated group.
constexpr unsigned kReadOnRequest[] = {0x102E000, 0x1061000, 0x1015000, 0x1016000};

void printBag(ImxSysPropertyBag* bag) {
  std::printf("  %-10s %-9s %s\n", "tag", "type", "value");
  for (const BagRow& row : bagRows(bag))
    std::printf("  0x%08X %-9s %s\n", row.tag, typeName(row.type), row.value.c_str());
}

int boards(const char* libraryPath, const char* wanted) {
  void* lib = dlopen(libraryPath, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "qovorlix-syscfg: cannot load %s: %s\n", libraryPath, dlerror());
    return 1;
  }
  auto create = reinterpret_cast<CreateExpertFn>(dlsym(lib, kFactoryName));
  void* object = nullptr;
  if (create == nullptr || create(&object) != kS_OK) {
    std::fprintf(stderr, "qovorlix-syscfg: the expert cannot be created\n");
    dlclose(lib);
    return 1;
  }
  auto* e = static_cast<ImxSysExpert2*>(object);
  void* p = nullptr;
  queryInterface(e, kIID_ImxSysExpertPlugPlay, &p);
  auto* plugPlay = static_cast<ImxSysExpertPlugPlay*>(p);
  queryInterface(e, kIID_ImxSysExpertDiagnostic, &p);
  auto* diagnostic = static_cast<ImxSysExpertDiagnostic*>(p);
  queryInterface(e, kIID_ImxSysExpertFirmware, &p);
  auto* firmware = static_cast<ImxSysExpertFirmware*>(p);
  int failures = 0;
  RecordingSink sink;
  e->vtbl->Initialize(e);
  plugPlay->vtbl->SetNotificationSink(plugPlay, sink.asSink());

  HRESULT listed = 0;
  const std::vector<std::string> names = itemNames(e, &listed);
  std::printf("boards (GetItemNames %s):", hresultText(listed).c_str());
  for (const std::string& n : names) std::printf(" %s", n.c_str());
  std::printf("\n");
  if (names.empty()) {
    ++failures;
  } else {
    const std::string item = wanted != nullptr ? wanted : names.front();
    const HostText name(item);
    void* bagPointer = nullptr;
    const HRESULT got = e->vtbl->GetPropertyBag(e, name, &bagPointer);
    std::printf("\nproperty bag of %s (GetPropertyBag %s):\n", item.c_str(), hresultText(got).c_str());
    if (got == kS_OK) {
      printBag(static_cast<ImxSysPropertyBag*>(bagPointer));
      release(bagPointer);
    } else {
      ++failures;
    }

    std::printf("\nrefresh of the hardware readings of %s:\n", item.c_str());
    const unsigned count = static_cast<unsigned>(std::size(kReadOnRequest));
    bagPointer = nullptr;
    const HRESULT now = e->vtbl->GetPropertyBagWithRefresh(e, name, count, kReadOnRequest, 0, &bagPointer);
    std::printf("  synchronous:   %s\n", hresultText(now).c_str());
    if (bagPointer != nullptr) {
      for (const BagRow& row : bagRows(static_cast<ImxSysPropertyBag*>(bagPointer)))
        for (unsigned tag : kReadOnRequest)
          if (row.tag == tag) std::printf("    0x%08X %-9s %s\n", row.tag, typeName(row.type), row.value.c_str());
      release(bagPointer);
    }
    sink.clear();
    bagPointer = nullptr;
    const HRESULT later = e->vtbl->GetPropertyBagWithRefresh(e, name, count, kReadOnRequest, 1, &bagPointer);
    const bool noticed = sink.waitFor(
        [&](const RecordingSink::Notice& n) { return n.kind == 3 && n.names == std::vector<std::string>{item}; },
        5000);
    const bool otherThread = noticed && sink.notices().front().thread != std::this_thread::get_id();
    std::printf("  asynchronous:  %s%s, then notice kind 3 for %s: %s%s\n", hresultText(later).c_str(),
                later == static_cast<HRESULT>(0x80040377u) ? " (refresh pending)" : "", item.c_str(),
                noticed ? "received" : "NOT received", otherThread ? " on a library thread" : "");
    failures += noticed ? 0 : 1;

    wchar_t* result = nullptr;
    const HRESULT ran = diagnostic->vtbl->RunDiagnostic(diagnostic, name, 0, &result);
    std::printf("\ndiagnostic of %s (RunDiagnostic mode 0): %s%s\n", item.c_str(), hresultText(ran).c_str(),
                ran == kS_OK ? " (passed)" : "");
    takeHostText(result);
    failures += ran == kS_OK ? 0 : 1;

    std::printf("\nfirmware update of %s:\n", item.c_str());
    wchar_t* target = nullptr;
    const HRESULT began = firmware->vtbl->BeginFirmwareUpdate(firmware, name, 0, 0, &target);
    std::printf("  BeginFirmwareUpdate %s, target \"%s\"\n", hresultText(began).c_str(),
                takeHostText(target).c_str());
    std::vector<unsigned char> bytes(64 * 1024);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 31u);
    HostImage image("vorlix-firmware.bin", std::move(bytes));
    const HostText none("");
    const HRESULT started = firmware->vtbl->UpdateFirmware(firmware, name, name, 0, none, image.asImage());
    std::printf("  UpdateFirmware %s\n", hresultText(started).c_str());
    int state = 0, percent = -1, lastPercent = -2;
    for (int i = 0; i < 2000 && started == kS_OK; ++i) {
      wchar_t* text = nullptr;
      const HRESULT polled = firmware->vtbl->GetFirmwareUpdateStatus(firmware, name, &state, &percent, &text);
      const std::string message = takeHostText(text);
      if (percent != lastPercent || polled != kS_OK) {
        std::printf("  progress %3d%%  state %2d  %s%s\n", percent, state, message.c_str(),
                    polled == kS_OK ? "" : (" " + hresultText(polled)).c_str());
        lastPercent = percent;
      }
      // Busy: -1 (nothing written yet) or -2 (writing); anything else: the update has ended.
      if (polled != kS_OK || (i > 0 && state != -1 && state != -2)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("  update %s\n", percent == 100 ? "complete" : "did not complete");
    failures += percent == 100 ? 0 : 1;
  }

  const HRESULT down = e->vtbl->Shutdown(e);
  std::printf("\nShutdown %s; notices received: %zu\n", hresultText(down).c_str(), sink.notices().size());
  release(plugPlay);
  release(diagnostic);
  release(firmware);
  const ULONG last = release(e);
  std::printf("expert released to %u; sink references left with the host: %d\n", last, sink.references());
  failures += last == 0 ? 0 : 1;
  dlclose(lib);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* library = nullptr;
  const char* command = nullptr;
  const char* item = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
      library = argv[++i];
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      usage(stdout);
      return 0;
    } else if (command == nullptr && argv[i][0] != '-') {
      command = argv[i];
    } else if (command != nullptr && item == nullptr && argv[i][0] != '-') {
      item = argv[i];
    } else {
      std::fprintf(stderr, "qovorlix-syscfg: unexpected argument '%s'\n", argv[i]);
      usage(stderr);
      return 2;
    }
  }
  if (library == nullptr || command == nullptr) {
    usage(stderr);
    return 2;
  }
  if (std::strcmp(command, "probe") == 0) return probe(library);
  if (std::strcmp(command, "boards") == 0) return boards(library, item);
  std::fprintf(stderr, "qovorlix-syscfg: unknown command '%s'\n", command);
  usage(stderr);
  return 2;
}
