// `qovorlix-syscfg probe`: loads the library, lists which of its public entry points are
// present, creates the expert, asks it for each of its interfaces and reports what a host can
// rely on (which interface pointers are distinct, that they share one reference count),
// initializes it, prints its identity (class identity, name, version, identifier), shuts it
// down and releases it. Text, or with --json one document holding the same findings.
#include "probe.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "qovorlixatomicsae/sysapi_host.h"
#include "host_cli.h"
#include "host_client.h"
#include "host_library.h"
#include "sysapi_names.h"

namespace {

using namespace hostabi;
using nlohmann::json;

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
  return fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}",
                     g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                     g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
}

// Count as seen by an AddRef/Release pair.
ULONG countOf(void* itf) {
  const ULONG raised = addRef(itf);
  release(itf);
  return raised - 1;
}

// The findings: printed as they come in text mode, gathered into one document for --json.
class Report {
 public:
  explicit Report(bool asJson) : asJson_(asJson) {}
  template <typename... Args>
  void line(fmt::format_string<Args...> format, Args&&... args) {
    if (!asJson_) hostcli::writeLine(fmt::format(format, std::forward<Args>(args)...));
  }
  json doc = json::object();
  int failures = 0;
  // The exit code; the document is printed here with --json.
  int finish() {
    doc["ok"] = failures == 0;
    if (failures != 0) {  // a failure under --json carries its reason and exit code
      if (!doc.contains("error")) doc["error"] = fmt::format("{} check(s) failed", failures);
      doc["exitCode"] = 1;
    }
    if (asJson_) hostcli::writeLine(hostcli::dumpJson(doc, 2));
    return failures == 0 ? 0 : 1;
  }

 private:
  bool asJson_;
};

// Initialize, the four identity answers, Shutdown.
void identity(ImxSysExpert2* e, Report& r) {
  json& id = r.doc["identity"];
  const HRESULT init = e->vtbl->Initialize(e);
  r.line("identity:\n  Initialize returns {}", hresultText(init));
  id["initialize"] = hresultText(init);
  if (init != kS_OK) {
    ++r.failures;
    return;
  }
  Guid g{};
  const HRESULT got = e->vtbl->GetExpertGuid(e, &g);
  if (got == kS_OK) {
    r.line("  class identity  {}", guidText(g));
    id["classIdentity"] = guidText(g);
  } else {
    r.line("  class identity  refused with {}", hresultWithMeaning(got));
    id["classIdentity"] = nullptr;
    ++r.failures;
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
    const std::string text = takeHostUtf8(value);
    if (tr == kS_OK) {
      r.line("  {:<15} \"{}\"", t.label, text);
      id[t.label] = text;
    } else {
      r.line("  {:<15} refused with {}", t.label, hresultWithMeaning(tr));
      id[t.label] = nullptr;
      ++r.failures;
    }
  }
  const HRESULT down = e->vtbl->Shutdown(e);
  r.line("  Shutdown returns {}", hresultText(down));
  id["shutdown"] = hresultText(down);
  r.failures += down == kS_OK ? 0 : 1;
}

// The library's public entry points, each present or absent.
void entryPoints(const HostLibrary& lib, Report& r) {
  std::size_t present = 0;
  r.line("entry points:");
  json& entries = r.doc["entryPoints"] = json::object();
  for (const char* name : kEntryPoints) {
    const bool found = lib.symbol(name) != nullptr;
    present += found ? 1 : 0;
    entries[name] = found;
    r.line("  {:<66} {}", name, found ? "present" : "absent");
  }
  r.line("  {} of {} present", present, std::size(kEntryPoints));
}

// The factory's answers: E_POINTER for a null argument, then the expert (nullptr when refused).
void* createExpert(CreateExpertFn create, Report& r) {
  const HRESULT nullResult = create(nullptr);
  r.line("expert: factory with a null argument returns {}{}", hresultText(nullResult),
         nullResult == kE_POINTER ? " (E_POINTER)" : " (expected E_POINTER)");
  r.doc["factoryWithNull"] = hresultText(nullResult);
  r.failures += nullResult == kE_POINTER ? 0 : 1;

  void* expert = nullptr;
  const HRESULT created = create(&expert);
  if (created != kS_OK || expert == nullptr) {
    r.line("expert: creation failed with {}", hresultWithMeaning(created));
    r.doc["created"] = hresultText(created);
    ++r.failures;
    return nullptr;
  }
  r.line("expert: created at {}, reference count {}", expert, countOf(expert));
  return expert;
}

// Each of the expert's interfaces asked for: the pointers in the order of kExpertIdentities,
// nullptr where one was refused.
std::vector<void*> interfacesOf(void* expert, Report& r) {
  std::vector<void*> pointers;
  r.line("interfaces:");
  json& interfaces = r.doc["interfaces"] = json::object();
  for (const NamedIdentity& id : kExpertIdentities) {
    void* p = nullptr;
    const HRESULT got = queryInterface(expert, *id.iid, &p);
    pointers.push_back(got == kS_OK ? p : nullptr);
    if (got != kS_OK) {
      ++r.failures;
      interfaces[id.name] = hresultText(got);
      r.line("  {:<24} refused with {}", id.name, hresultWithMeaning(got));
      continue;
    }
    interfaces[id.name] = p == expert ? "primary" : "own sub-object";
    r.line("  {:<24} {} {}, count now {}", id.name, p,
           p == expert ? "(primary)" : "(own sub-object)", countOf(expert));
  }
  return pointers;
}

// The facts a host relies on: the first four interfaces are the primary pointer, the others
// distinct sub-objects, and every pointer changes one shared reference count.
void facts(void* expert, const std::vector<void*>& pointers, Report& r) {
  bool primaryShared = true;
  for (std::size_t i = 0; i < 4; ++i) primaryShared = primaryShared && pointers[i] == expert;
  bool othersDistinct = true;
  for (std::size_t i = 4; i < pointers.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      othersDistinct = othersDistinct && pointers[i] != pointers[j];
  bool sameCount = true;
  const ULONG before = countOf(expert);
  for (void* p : pointers) {
    if (p == nullptr) continue;
    addRef(p);
    sameCount = sameCount && countOf(expert) == before + 1;
    release(p);
  }
  r.line("facts:");
  r.line("  IUnknown, ImxSysExpertInfo, ImxSysExpert, ImxSysExpert2 share the primary pointer: {}",
         primaryShared ? "yes" : "NO");
  r.line("  PlugPlay, Diagnostic and Firmware pointers are distinct sub-objects: {}",
         othersDistinct ? "yes" : "NO");
  r.line("  every interface pointer changes one shared reference count: {}",
         sameCount ? "yes" : "NO");
  r.doc["facts"] = {{"primaryShared", primaryShared},
                    {"subObjectsDistinct", othersDistinct},
                    {"oneReferenceCount", sameCount}};
  r.failures += (primaryShared ? 0 : 1) + (othersDistinct ? 0 : 1) + (sameCount ? 0 : 1);
}

// Every reference the probe took given back: the expert's count must end at 0.
void releaseAll(void* expert, const std::vector<void*>& pointers, Report& r) {
  std::string counts;
  for (void* p : pointers)
    if (p != nullptr) counts += fmt::format(" {}", release(p));
  const ULONG last = release(expert);
  r.line("reference counts:{}, expert released to {}", counts, last);
  r.doc["releasedTo"] = last;
  r.failures += last == 0 ? 0 : 1;
}

}  // namespace

int probe(const char* libraryPath, bool asJson) {
  Report r(asJson);
  r.doc["library"] = libraryPath;
  HostLibrary lib;
  if (!lib.open(libraryPath)) {
    const std::string& why = lib.error();
    std::fprintf(stderr, "qovorlix-syscfg: cannot load %s: %s\n",
                 hostcli::printable(libraryPath).c_str(), hostcli::printable(why).c_str());
    r.doc["error"] = why;
    ++r.failures;
    return r.finish();
  }
  r.line("library: {}", libraryPath);
  entryPoints(lib, r);
  const CreateExpertFn create = lib.expertFactory();
  if (create == nullptr) {
    r.line("expert: the library has no expert factory");
    ++r.failures;
  } else if (void* expert = createExpert(create, r); expert != nullptr) {
    const std::vector<void*> pointers = interfacesOf(expert, r);
    facts(expert, pointers, r);
    identity(static_cast<ImxSysExpert2*>(expert), r);
    releaseAll(expert, pointers, r);
  }
  lib.close();
  return r.finish();
}
