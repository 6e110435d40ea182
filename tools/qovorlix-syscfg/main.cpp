// qovorlix-syscfg: the reference configuration host on the command line.
//
//   qovorlix-syscfg --library PATH probe
//
// probe: loads the library, lists which of its public entry points are present, creates the
// expert, asks it for each of its interfaces and reports what a host can rely on (which interface
// pointers are distinct, that they share one reference count), then releases it.
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
               "          its interfaces and reference counting\n");
}

std::string hr(HRESULT code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08" PRIX32, static_cast<std::uint32_t>(code));
  return buf;
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

  std::printf("reference counts:");
  for (void* p : pointers)
    if (p != nullptr) std::printf(" %" PRIu32, release(p));
  const ULONG last = release(expert);
  std::printf(", expert released to %" PRIu32 "\n", last);
  failures += last == 0 ? 0 : 1;

  std::printf(
      "note: the expert's operations (items, property bags, diagnostics, firmware) and the\n"
      "      simulated boards are not available yet; they arrive in later work.\n");
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
