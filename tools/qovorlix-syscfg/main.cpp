// qovorlix-syscfg: the reference configuration host on the command line.
//
//   qovorlix-syscfg --library PATH probe
//
// probe: loads the library, lists which of its public entry points are present, creates the
// expert, asks it for each of its interfaces and reports what a host can rely on (which interface
// pointers are distinct, that they share one reference count), initializes it, prints its
// identity (class identity, name, version, identifier), shuts it down and releases it.
#include <dlfcn.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host_abi.h"

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
               "          identity, then shut it down\n");
}

std::string hr(HRESULT code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08" PRIX32, static_cast<std::uint32_t>(code));
  return buf;
}

// A returned host string as printable text (non-ASCII characters as \u escapes); frees it.
std::string takeText(wchar_t* text) {
  std::string out;
  const std::uint32_t length = hostStringLength(text);
  for (std::uint32_t i = 0; i < length; ++i) {
    const auto c = static_cast<std::uint32_t>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u%04" PRIX32, c);
      out += buf;
    }
  }
  hostStringFree(text);
  return out;
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
  std::printf("identity:\n  Initialize returns %s\n", hr(init).c_str());
  if (init != kS_OK) return 1;
  Guid g{};
  const HRESULT r = e->vtbl->GetExpertGuid(e, &g);
  if (r == kS_OK) {
    std::printf("  class identity  %s\n", guidText(g).c_str());
  } else {
    std::printf("  class identity  refused with %s\n", hr(r).c_str());
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
      std::printf("  %-15s \"%s\"\n", t.label, takeText(value).c_str());
    } else {
      std::printf("  %-15s refused with %s\n", t.label, hr(tr).c_str());
      ++failures;
    }
  }
  const HRESULT down = e->vtbl->Shutdown(e);
  std::printf("  Shutdown returns %s\n", hr(down).c_str());
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
  std::printf("expert: factory with a null argument returns %s%s\n", hr(nullResult).c_str(),
              nullResult == kE_POINTER ? " (E_POINTER)" : " (expected E_POINTER)");
  failures += nullResult == kE_POINTER ? 0 : 1;

  void* expert = nullptr;
  const HRESULT created = create(&expert);
  if (created != kS_OK || expert == nullptr) {
    std::printf("expert: creation failed with %s\n", hr(created).c_str());
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
      std::printf("  %-24s refused with %s\n", id.name, hr(r).c_str());
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

  std::printf(
      "note: the board operations (items, property bags, diagnostics, firmware) answer\n"
      "      E_NOTIMPL until the device expert arrives.\n");
  dlclose(lib);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* library = nullptr;
  const char* command = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
      library = argv[++i];
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      usage(stdout);
      return 0;
    } else if (command == nullptr && argv[i][0] != '-') {
      command = argv[i];
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
  std::fprintf(stderr, "qovorlix-syscfg: unknown command '%s'\n", command);
  usage(stderr);
  return 2;
}
