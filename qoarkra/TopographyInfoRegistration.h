// The topography registry and the terminal index of each registered topography.
//
// Registry: process-wide, at most kMaxTopographies records, filled when the library is loaded
// (the board family's built-in records) and only read afterwards; findTopography walks it in
// registration order and returns the first record whose name equals the driver's name byte for
// byte. A registration beyond the limit, or of a record the registry cannot use (null, no name,
// a terminal table missing, a terminal id 0), is refused with a trace line and changes nothing.
//
// Terminal index: name and id lookups of a topography without walking its terminal table. It
// gives exactly the terminal the literal walk in table order finds first:
//  - by name: a terminal matches when its name has the same bytes as the text, or when both are
//    well-formed UTF-8 and equal after full case folding of every character (qo::dsc::foldCase).
//    A text or name that is not well-formed compares by bytes only (no decoder failure).
//  - by id: the first terminal with that id. Id 0 is never a terminal.
// The index is built once per registered record, lazily on first use, under std::call_once, so
// any number of sessions on any threads share it. A session over a record that is not
// registered (white-box tests) builds a private index with tRegisteredTopography.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "qoarkra/TopographyInfo.h"

namespace qoark {

inline constexpr std::size_t kMaxTopographies = 32;
inline constexpr char kRegistrationSource[] = "qoarkra/TopographyInfoRegistration";
inline constexpr unsigned kLineTopographyNotFound = 36;

class tTerminalIndex {
 public:
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};

  explicit tTerminalIndex(const tTopographyInfo& topography);

  // Index in the terminal table of the first terminal whose name matches `text`, or kNone.
  std::uint64_t findByName(std::string_view text) const;
  // The first terminal with `id`, or null (always null for id 0).
  const tTerminalInfo* findById(std::uint32_t id) const noexcept;

  // The folded form of a well-formed UTF-8 text (each folded character UTF-8 encoded); false
  // when the text is not well-formed.
  static bool foldedKey(std::string_view text, std::string& key);

 private:
  struct tHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  const tTopographyInfo& topography_;
  std::unordered_map<std::string_view, std::uint64_t> byBytes_;
  std::unordered_map<std::string, std::uint64_t, tHash, std::equal_to<>> byFolded_;
  std::unordered_map<std::uint32_t, std::uint64_t> byId_;
};

// A record with its lazily built index.
class tRegisteredTopography {
 public:
  explicit tRegisteredTopography(const tTopographyInfo& record) noexcept : record_(&record) {}
  tRegisteredTopography(const tRegisteredTopography&) = delete;
  tRegisteredTopography& operator=(const tRegisteredTopography&) = delete;

  const tTopographyInfo& record() const noexcept { return *record_; }
  // Built on first call (thread-safe); throws std::bad_alloc when memory runs out (a later call
  // tries again).
  const tTerminalIndex& index() const;

 private:
  const tTopographyInfo* record_;
  mutable std::once_flag once_;
  mutable std::unique_ptr<tTerminalIndex> index_;
};

class tTopographyRegistry {
 public:
  tTopographyRegistry() noexcept = default;
  tTopographyRegistry(const tTopographyRegistry&) = delete;
  tTopographyRegistry& operator=(const tTopographyRegistry&) = delete;

  // Appends the record; false (and a trace line) when it is refused (see above).
  bool registerTopography(const tTopographyInfo* record) noexcept;
  // The first record named `name`; throws qoerr::Exception -50003 ("qopalerr_badSelector",
  // member "qoark_debug": "Topography not found: <name>") when there is none.
  const tRegisteredTopography& findTopography(const char* name) const;
  std::uint32_t count() const noexcept { return count_; }

  // Whether a record can be registered: a name, a terminal table when it has terminals, no
  // terminal with id 0 or without a name.
  static bool usable(const tTopographyInfo* record) noexcept;

 private:
  std::unique_ptr<tRegisteredTopography> entries_[kMaxTopographies];
  std::uint32_t count_ = 0;
};

// The library's registry, holding the board family's built-in records (registered when the
// library is loaded).
tTopographyRegistry& topographyRegistry() noexcept;
inline const tRegisteredTopography& findTopography(const char* name) {
  return topographyRegistry().findTopography(name);
}

}  // namespace qoark
