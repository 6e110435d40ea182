// Route request parsing: the three JSON texts of calculateRoute (seeds, destinations, route
// modifiers), read in place with the platform's JSON tokenizer, and the handled-constraints
// table shared with getHandledConstraints.
//
// Rules common to the three texts:
//  - A text that is not one well-formed JSON array (seeds, destinations) or object (modifiers)
//    at its start, or an empty one, yields an empty result; this is no error. Text after that
//    first value is not looked at.
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
//  - Costs: an integer is read as unsigned 32-bit with wrap-around (-1 gives 4294967295); a
//    number with fraction or exponent is read independently of the C locale and truncated
//    toward zero, and counts as missing ("cost field missing or invalid") when that value is
//    negative, not below 2^32, or not finite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "codegen/qovorlixatomicsae/tInterfaceProxy_routing.h"

namespace qoroco {

using tRouteSeed = nQOVORLIXATOMICSAE_23_3::tRouteSeed;

inline constexpr char kRoCoUtilsSource[] = "qoroco/RoCoUtils";
inline constexpr std::int32_t kInvalidParameter = -52005;

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
inline constexpr std::uint32_t kCalculateIgnoresReservations = 1u << 0;

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
