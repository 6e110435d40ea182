// Route request parsing: the three JSON texts of calculateRoute (seeds, destinations, route
// modifiers), read in place with the platform's JSON tokenizer, and the handled-constraints
// table shared with getHandledConstraints.
//
// Rules common to the three texts:
//  - A seeds or destinations text that is not one well-formed JSON array at its start, or an
//    empty one, yields an empty result; this is no error. A modifiers text that does not open
//    an object (a number, an array, null, an empty text) means no modifiers. Text after that
//    first value is not looked at.
//  - A modifiers text that opens an object but breaks off (a bracket missing, a truncated text)
//    is read as far as the tokenizer gets: the members before the break count. When the break
//    cuts a member off (inside "required", or at the top level, where it may have been
//    "required"), that counts as an unhandled required modifier, so a required modifier is
//    never silently lost.
//  - Strings may hold any bytes but control characters, UTF-8 or not: names compare by bytes
//    (an unknown one is id 0) and members the parser does not use are skipped whatever they
//    hold. A diagnostic's "json" member then goes in as a JSON string whose non-UTF-8 bytes
//    are written as \ufffd, so status details stay valid JSON.
//  - Members are visited in text order; a later member with the same key overrides an earlier
//    one. Keys are compared after decoding their escapes.
//  - Every error is -52005 ("qoapalerr_invalidParameter", file qoroco/RoCoUtils) with a member
//    "qoroco_debug" holding the diagnostic text, or an object {"msg": text, "json": the request
//    text concerned}. The "json" member is the request text as it stands when that text is one
//    complete, well-formed JSON value, and that text as a JSON string otherwise, so a request
//    can never add members of its own to the status. For a seed it is the seed object itself.
//  - Terminal names are the raw text between the quotes (escapes are not decoded); an unknown
//    name resolves to id 0, which is never a terminal.
//  - A constraint key that is not in the handled-constraints table is ignored.
//  - Costs: an integer is read as unsigned 32-bit with wrap-around, whatever its length (its
//    value modulo 2^32: -1 gives 4294967295, 2^64 + 5 gives 5); a number with fraction or
//    exponent is read independently of the C locale and truncated toward zero (one too small
//    for a double, 1e-400, is 0), and counts as missing ("cost field missing or invalid") when
//    that value is negative, not below 2^32, or too large for a double.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "codegen/qovorlixatomicsae/tInterfaceProxy_routing.h"

namespace qoroco {

using tRouteSeed = nQOVORLIXATOMICSAE_23_3::tRouteSeed;

inline constexpr char kRoCoUtilsSource[] = "qoroco/RoCoUtils";
inline constexpr std::int32_t kInvalidParameter =
    nQOVORLIXATOMICSAE_23_3::nQOAPALS100::tStatus::kInvalidParameter;

// JSON value types as the tokenizer reports them (they appear in diagnostics).
inline constexpr int kJsonBoolean = 2;

struct tHandledConstraint {
  const char* name;  // null ends the table
  std::uint32_t id;
  int expectedType;
};
inline constexpr std::uint32_t kConstraintInversionNeeded = 1;
inline constexpr tHandledConstraint kHandledConstraints[] = {
    {"inversionNeeded", kConstraintInversionNeeded, kJsonBoolean},
    {nullptr, 0, 0},
};

// Route modifier bits of the driver's flag word.
inline constexpr std::uint32_t kCalculateIgnoresReservations =
    qodrv::routing::kCalculateIgnoreReservations;

struct tModifiers {
  std::uint32_t flags = 0;
  bool unhandledRequired = false;
};

// Turns a terminal name (raw JSON string text) into its id, 0 when unknown.
class iTerminalResolver {
 public:
  virtual std::uint32_t resolveTerminalName(std::string_view rawName) const = 0;

 protected:
  ~iTerminalResolver() = default;
};

// Each throws qoerr::Exception (-52005 with the diagnostic) on a request error and
// std::bad_alloc when memory runs out. Null texts yield empty results.
std::vector<tRouteSeed> parseSeeds(const iTerminalResolver& resolver, const char* seedsJson);
std::vector<std::uint32_t> parseDestinations(const iTerminalResolver& resolver,
                                             const char* destinationsJson);
tModifiers parseModifiers(const char* modifiersJson);

// Whether text[0, length) is one complete, well-formed JSON value (whitespace around it
// allowed).
bool isCompleteJsonValue(const char* text, std::size_t length) noexcept;

}  // namespace qoroco
