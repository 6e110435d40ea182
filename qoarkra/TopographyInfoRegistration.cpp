#include "qoarkra/TopographyInfoRegistration.h"

#include <cstring>
#include <new>

#include "qo/dsc/FoldCase.h"
#include "qo/dsc/Utf8.h"
#include "qo/err/Exception.h"
#include "qoapal/component.h"
#include "qoapal/trace/qosdbg.h"

namespace qoark {
namespace {

namespace apal = nQOVORLIXATOMICSAE_23_3::nQOAPAL000;
using nQOVORLIXATOMICSAE_23_3::kComponentName;

constexpr int kLineRegistryFull = 120;
constexpr int kLineRecordRefused = 121;

std::string_view nameOf(const tTerminalInfo& t) noexcept {
  return t.name != nullptr ? std::string_view(t.name) : std::string_view();
}

}  // namespace

bool tTerminalIndex::foldedKey(std::string_view text, std::string& key) {
  key.clear();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t left = text.size();
  while (left > 0) {
    char32_t cp = 0;
    const std::size_t n = qo::dsc::utf8DecodeOne(p, left, cp);
    if (n == 0) return false;
    p += n;
    left -= n;
    char32_t folded[qo::dsc::kMaxFoldedLength];
    const std::size_t count = qo::dsc::foldCase(cp, folded);
    for (std::size_t i = 0; i < count; ++i) {
      char encoded[qo::dsc::kMaxUtf8SequenceLength];
      key.append(encoded, qo::dsc::utf8EncodeOne(static_cast<std::uint32_t>(folded[i]), encoded));
    }
  }
  return true;
}

tTerminalIndex::tTerminalIndex(const tTopographyInfo& topography) : topography_(topography) {
  const std::uint64_t count = topography.terminals != nullptr ? topography.terminalCount : 0;
  byBytes_.reserve(count);
  byFolded_.reserve(count);
  byId_.reserve(count);
  std::string key;
  for (std::uint64_t i = 0; i < count; ++i) {
    const tTerminalInfo& t = topography.terminals[i];
    const std::string_view name = nameOf(t);
    byBytes_.try_emplace(name, i);  // keeps the first terminal of a name
    if (foldedKey(name, key)) byFolded_.try_emplace(key, i);
    if (t.id != 0) byId_.try_emplace(t.id, i);
  }
}

std::uint64_t tTerminalIndex::findByName(std::string_view text) const {
  std::uint64_t best = kNone;
  if (const auto it = byBytes_.find(text); it != byBytes_.end()) best = it->second;
  // A match by folding can only be earlier than the byte match, never later.
  thread_local std::string key;
  if (foldedKey(text, key)) {
    if (const auto it = byFolded_.find(std::string_view(key)); it != byFolded_.end()) {
      if (it->second < best) best = it->second;
    }
  }
  return best;
}

const tTerminalInfo* tTerminalIndex::findById(std::uint32_t id) const noexcept {
  const auto it = byId_.find(id);
  return it != byId_.end() ? &topography_.terminals[it->second] : nullptr;
}

const tTerminalIndex& tRegisteredTopography::index() const {
  std::call_once(once_, [this] { index_ = std::make_unique<tTerminalIndex>(*record_); });
  return *index_;
}

bool tTopographyRegistry::usable(const tTopographyInfo* record) noexcept {
  if (record == nullptr || record->name == nullptr) return false;
  if (record->terminalCount != 0 && record->terminals == nullptr) return false;
  for (std::uint64_t i = 0; i < record->terminalCount; ++i) {
    if (record->terminals[i].id == 0 || record->terminals[i].name == nullptr) return false;
  }
  return true;
}

bool tTopographyRegistry::registerTopography(const tTopographyInfo* record) noexcept {
  const char* name = record != nullptr && record->name != nullptr ? record->name : "(null)";
  if (!usable(record)) {
    apal::printLine({kRegistrationSource, kLineRecordRefused, "\n"},
                    "topography \"%s\" refused: no name, no terminal table, or a terminal "
                    "without name or with id 0",
                    name);
    return false;
  }
  if (count_ >= kMaxTopographies) {
    apal::printLine({kRegistrationSource, kLineRegistryFull, "\n"},
                    "topography \"%s\" not registered: the registry holds %zu records already",
                    name, kMaxTopographies);
    return false;
  }
  auto* entry = new (std::nothrow) tRegisteredTopography(*record);
  if (entry == nullptr) return false;
  entries_[count_].reset(entry);
  ++count_;
  return true;
}

const tRegisteredTopography& tTopographyRegistry::findTopography(const char* name) const {
  const std::string_view wanted = name != nullptr ? std::string_view(name) : std::string_view();
  for (std::uint32_t i = 0; i < count_; ++i) {
    if (std::string_view(entries_[i]->record().name) == wanted) return *entries_[i];
  }
  qoerr::tOwnedJsonStatus status;
  status->setError(-50003, {kRegistrationSource, kLineTopographyNotFound, kComponentName,
                            "qopalerr_badSelector"});
  const std::string debug = std::string("Topography not found: ").append(wanted);
  if (!status->addString("qoark_debug", debug.c_str())) throw std::bad_alloc();
  throw qoerr::Exception(std::move(status));
}

namespace {

tTopographyRegistry& builtRegistry() noexcept {
  static tTopographyRegistry registry;
  for (const tTopographyInfo* record : builtinTopographies()) registry.registerTopography(record);
  return registry;
}

}  // namespace

tTopographyRegistry& topographyRegistry() noexcept {
  static tTopographyRegistry& registry = builtRegistry();
  return registry;
}

namespace {
// The board family's records are registered when the library is loaded, before any session.
[[maybe_unused]] const bool gBuiltinsRegistered = (topographyRegistry(), true);
}  // namespace

}  // namespace qoark
