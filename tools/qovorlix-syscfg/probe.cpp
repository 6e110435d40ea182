// `qovorlix-syscfg probe`: loads the library, lists which of its public entry points are
// present, creates the expert, asks it for each of its interfaces and reports what a host can
// rely on (which interface pointers are distinct, that they share one reference count),
// initializes it, prints its identity (class identity, name, version, identifier), shuts it
// down and releases it.
#include "probe.h"

#include <dlfcn.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

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

}  // namespace

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

