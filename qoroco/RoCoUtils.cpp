#include "qoroco/RoCoUtils.h"

#include <charconv>
#include <cmath>
#include <new>
#include <string>

#include "qo/err/Exception.h"
#include "qoapal/component.h"
#include "qoapal/json/tJsonReader.h"
#include "qoapal/json/tJsonWriter.h"

namespace qoroco {
namespace {

namespace json = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json;
using json::tJsonReader;
using json::tJsonToken;
using nQOVORLIXATOMICSAE_23_3::kComponentName;

// Source lines of the diagnostics.
constexpr unsigned kLineSeedNotObject = 118;
constexpr unsigned kLineTerminalNotString = 141;
constexpr unsigned kLineTokenNotString = 152;
constexpr unsigned kLineCostNotNumber = 163;
constexpr unsigned kLineTerminalMissing = 190;
constexpr unsigned kLineCostMissing = 196;
constexpr unsigned kLineConstraintsMissing = 202;
constexpr unsigned kLineConstraintType = 241;
constexpr unsigned kLineDestinationNotString = 276;
constexpr unsigned kLineModifiersNotObject = 311;
constexpr unsigned kLineModifierType = 340;

constexpr double kTwoTo32 = 4294967296.0;

qoerr::tOwnedJsonStatus invalidParameter(unsigned line) {
  qoerr::tOwnedJsonStatus status;
  status->setError(kInvalidParameter,
                   {kRoCoUtilsSource, line, kComponentName, "qoapalerr_invalidParameter"});
  return status;
}

void check(bool ok) {
  if (!ok) throw std::bad_alloc();
}

// "qoroco_debug":"<text>"
[[noreturn]] void failWithText(unsigned line, const char* text) {
  qoerr::tOwnedJsonStatus status = invalidParameter(line);
  check(status->addString("qoroco_debug", text));
  throw qoerr::Exception(std::move(status));
}

// "qoroco_debug":{"msg":"<text>","json":<request text>}
[[noreturn]] void failWithJson(unsigned line, const char* text, const char* request,
                               std::size_t length) {
  json::tJsonGrowableBuffer debug("{}");
  const json::tJsonWriterContext* context = debug.context();
  char* p = debug.insertionPoint();
  check(p != nullptr);
  p = json::addString(context, p, "msg", text);
  check(p != nullptr);
  const std::string copy(request != nullptr ? request : "", request != nullptr ? length : 0);
  p = isCompleteJsonValue(copy.data(), copy.size())
          ? json::addRaw(context, p, "json", copy.c_str())
          : json::addString(context, p, "json", copy.c_str());
  check(p != nullptr);
  qoerr::tOwnedJsonStatus status = invalidParameter(line);
  check(status->addRaw("qoroco_debug", debug.text()));
  throw qoerr::Exception(std::move(status));
}

[[noreturn]] void failConstraintType(const tHandledConstraint& row, int actualType) {
  json::tJsonGrowableBuffer debug("{}");
  const json::tJsonWriterContext* context = debug.context();
  char* p = debug.insertionPoint();
  check(p != nullptr);
  p = json::addString(context, p, "msg", "Unexpected constraint type");
  if (p != nullptr) p = json::addString(context, p, "constraint", row.name);
  if (p != nullptr) p = json::addInt(context, p, "expected_type", row.expectedType);
  if (p != nullptr) p = json::addInt(context, p, "actual_type", actualType);
  check(p != nullptr);
  qoerr::tOwnedJsonStatus status = invalidParameter(kLineConstraintType);
  check(status->addRaw("qoroco_debug", debug.text()));
  throw qoerr::Exception(std::move(status));
}

bool keyIs(const tJsonToken& key, const char* name) {
  return tJsonReader::decodedEquals(key.start, key.length, name);
}

// The position of the text's top-level value when it is a well-formed value of `type`, else
// null (the argument then yields nothing).
const char* topLevel(const tJsonReader& reader, int type) {
  tJsonToken token;
  const char* position = reader.peekValue(reader.begin(), token);
  if (position == nullptr || token.type != type) return nullptr;
  tJsonToken whole;
  if (reader.readValue(position, whole) == nullptr) return nullptr;
  return position;
}

// An integer's value modulo 2^32, however many digits it has (a leading minus negates it
// modulo 2^32).
std::uint32_t wrappedInteger(const char* p, const char* end) {
  const bool negative = p < end && *p == '-';
  if (negative) ++p;
  std::uint32_t value = 0;
  for (; p < end; ++p) value = value * 10u + static_cast<std::uint32_t>(*p - '0');
  return negative ? 0u - value : value;
}

// Whether a number text whose double is out of range is too small rather than too large:
// its first nonzero digit comes after the decimal point shifted by the exponent.
bool underflows(const char* p, const char* end) {
  if (p < end && *p == '-') ++p;
  long order = 0;  // position of the first nonzero digit relative to the point
  bool seenNonZero = false;
  bool afterPoint = false;
  for (; p < end && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      afterPoint = true;
    } else if (!seenNonZero && *p == '0') {
      if (afterPoint) --order;
    } else if (!seenNonZero) {
      seenNonZero = true;
      if (!afterPoint) ++order;
    } else if (!afterPoint && order < 100000) {
      ++order;
    }
  }
  if (!seenNonZero) return true;
  long exponent = 0;
  bool negativeExponent = false;
  if (p < end) {
    ++p;  // the 'e'
    negativeExponent = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    for (; p < end; ++p) {
      if (exponent < 100000000) exponent = exponent * 10 + (*p - '0');
    }
  }
  return order + (negativeExponent ? -exponent : exponent) <= 0;
}

// Reads a cost; false when it is no valid cost.
bool readCost(const tJsonToken& number, std::uint32_t& cost) {
  const char* const end = number.start + number.length;
  if (number.flag == 0) {
    cost = wrappedInteger(number.start, end);
    return true;
  }
  double value = 0;
  const auto [stop, error] = std::from_chars(number.start, end, value);
  if (error == std::errc::result_out_of_range && stop == end && underflows(number.start, end)) {
    value = 0;  // closer to zero than any double: truncated toward zero it is 0
  } else if (error != std::errc() || stop != end) {
    return false;
  }
  if (!std::isfinite(value)) return false;
  const double truncated = std::trunc(value);
  if (truncated < 0 || truncated >= kTwoTo32) return false;
  cost = static_cast<std::uint32_t>(truncated);
  return true;
}

// Calls visit(key, value position, value token) for every member of the object at `position`.
template <typename Visit>
void forEachMember(const tJsonReader& reader, const char* position, const Visit& visit) {
  tJsonToken key;
  bool found = false;
  for (const char* value = reader.firstMember(position, key, found); value != nullptr && found;
       value = reader.nextMember(value, key, found)) {
    tJsonToken member;
    reader.peekValue(value, member);
    visit(key, value, member);
  }
}

void parseConstraints(const tJsonReader& reader, const char* position, tRouteSeed& seed) {
  tJsonToken token;
  if (reader.peekValue(position, token) == nullptr || token.type != json::kTypeObject) return;
  const auto visit = [&](const tJsonToken& key, const char*, const tJsonToken& member) {
    if (member.type != json::kTypeBoolean && member.type != json::kTypeNumber &&
        member.type != json::kTypeString) {
      return;
    }
    const tHandledConstraint* row = kHandledConstraints;
    while (row->name != nullptr && !keyIs(key, row->name)) ++row;
    if (row->name == nullptr) return;  // not a constraint this library handles
    if (row->expectedType != member.type) failConstraintType(*row, member.type);
    if (member.type == json::kTypeBoolean && row->id == kConstraintInversionNeeded) {
      seed.inversionNeeded = member.flag != 0 ? 1 : 0;
    }
  };
  forEachMember(reader, position, visit);
}

tRouteSeed parseSeed(const iTerminalResolver& resolver, const tJsonReader& reader,
                     const char* position) {
  tJsonToken token;
  position = reader.peekValue(position, token);
  if (position == nullptr || token.type != json::kTypeObject) {
    failWithText(kLineSeedNotObject, "seed must be an object");
  }
  tJsonToken whole;
  const char* end = reader.readValue(position, whole);
  const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - position) : 0;

  tRouteSeed seed{};
  bool terminalSeen = false;
  bool costSeen = false;
  bool constraintsSeen = false;
  const auto visit = [&](const tJsonToken& key, const char* value, const tJsonToken& member) {
    if (keyIs(key, "terminal")) {
      if (member.type != json::kTypeString) {
        failWithJson(kLineTerminalNotString, "terminal name must be a string", position, length);
      }
      seed.terminalId = resolver.resolveTerminalName({member.start, member.length});
      terminalSeen = true;
    } else if (keyIs(key, "srcDeviceToken")) {
      if (member.type != json::kTypeString) {
        failWithJson(kLineTokenNotString, "srcDeviceToken name must be a string", position, length);
      }
    } else if (keyIs(key, "cost")) {
      if (member.type != json::kTypeNumber) {
        failWithJson(kLineCostNotNumber, "cost must be a number", position, length);
      }
      costSeen = readCost(member, seed.cost);
    } else if (keyIs(key, "constraints")) {
      parseConstraints(reader, value, seed);
      constraintsSeen = true;
    }
  };
  forEachMember(reader, position, visit);
  if (!terminalSeen) failWithJson(kLineTerminalMissing, "terminal field missing", position, length);
  if (!costSeen) {
    failWithJson(kLineCostMissing, "cost field missing or invalid", position, length);
  }
  if (!constraintsSeen) {
    failWithJson(kLineConstraintsMissing, "constraints field missing", position, length);
  }
  return seed;
}

// Visits the members of the object at `position` as the tokenizer reaches them, up to the end
// of the object or the point where the text breaks off. Returns true when it breaks off inside
// a member that was not visited (a key, colon or value cut or malformed), false when the object
// is closed or the text merely ends, or misses a bracket, after a complete member.
template <typename Visit>
bool visitMembersUntilBreak(const tJsonReader& reader, const char* position, const Visit& visit) {
  tJsonToken key;
  bool found = false;
  const char* afterLast = position + 1;  // after the opening brace
  const char* value = reader.firstMember(position, key, found);
  for (; value != nullptr && found; value = reader.nextMember(value, key, found)) {
    tJsonToken member;
    reader.peekValue(value, member);
    visit(key, value, member);
    tJsonToken whole;
    const char* end = reader.readValue(value, whole);
    if (end == nullptr) return false;  // a broken value: the visit has judged it
    afterLast = end;
  }
  if (value != nullptr) return false;  // closed
  for (const char* p = afterLast; p < reader.end(); ++p) {
    if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r' && *p != ',') return true;
  }
  return false;
}

void parseModifierGroup(const tJsonReader& reader, const char* position, bool required,
                        tModifiers& modifiers) {
  const auto visit = [&](const tJsonToken& key, const char*, const tJsonToken& member) {
    if (member.type == json::kTypeBoolean) {
      if (keyIs(key, "calculateIgnoresReservations")) {
        if (member.flag != 0) {
          modifiers.flags |= kCalculateIgnoresReservations;
        } else {
          modifiers.flags &= ~kCalculateIgnoresReservations;
        }
      } else if (required) {
        modifiers.unhandledRequired = true;
      }
    } else if (member.type == json::kTypeString) {
      if (required) modifiers.unhandledRequired = true;
    } else if (required) {
      failWithText(kLineModifierType, "Required route modifier has unrecognized type");
    }
  };
  // A required member the text cut off cannot be honoured: it counts as unhandled.
  if (visitMembersUntilBreak(reader, position, visit) && required) {
    modifiers.unhandledRequired = true;
  }
}

}  // namespace

bool isCompleteJsonValue(const char* text, std::size_t length) noexcept {
  if (text == nullptr) return false;
  const tJsonReader reader(text, length);
  tJsonToken token;
  const char* end = reader.readValue(reader.begin(), token);
  if (end == nullptr) return false;
  for (; end < reader.end(); ++end) {
    if (*end != ' ' && *end != '\t' && *end != '\n' && *end != '\r') return false;
  }
  return true;
}

std::vector<tRouteSeed> parseSeeds(const iTerminalResolver& resolver, const char* seedsJson) {
  std::vector<tRouteSeed> seeds;
  const tJsonReader reader = tJsonReader(seedsJson).withAnyStringBytes();
  const char* array = topLevel(reader, json::kTypeArray);
  if (array == nullptr) return seeds;
  for (const char* element = reader.firstElement(array); element != nullptr;
       element = reader.nextElement(element)) {
    seeds.push_back(parseSeed(resolver, reader, element));
  }
  return seeds;
}

std::vector<std::uint32_t> parseDestinations(const iTerminalResolver& resolver,
                                             const char* destinationsJson) {
  std::vector<std::uint32_t> ids;
  const tJsonReader reader = tJsonReader(destinationsJson).withAnyStringBytes();
  const char* array = topLevel(reader, json::kTypeArray);
  if (array == nullptr) return ids;
  for (const char* element = reader.firstElement(array); element != nullptr;
       element = reader.nextElement(element)) {
    tJsonToken token;
    reader.peekValue(element, token);
    if (token.type != json::kTypeString) {
      failWithJson(kLineDestinationNotString, "Terminals must be strings", destinationsJson,
                   static_cast<std::size_t>(reader.end() - reader.begin()));
    }
    ids.push_back(resolver.resolveTerminalName({token.start, token.length}));
  }
  return ids;
}

tModifiers parseModifiers(const char* modifiersJson) {
  tModifiers modifiers;
  const tJsonReader reader = tJsonReader(modifiersJson).withAnyStringBytes();
  // A text that opens an object is read as far as it goes, even when it breaks off later: the
  // members before the break count, so a required modifier is never lost with the text's end.
  tJsonToken top;
  const char* object = reader.peekValue(reader.begin(), top);
  if (object == nullptr || top.type != json::kTypeObject) return modifiers;
  const auto visit = [&](const tJsonToken& key, const char*, const tJsonToken& member) {
    if (member.type != json::kTypeObject) {
      failWithJson(kLineModifiersNotObject, "modifiers type must be object", modifiersJson,
                   static_cast<std::size_t>(reader.end() - reader.begin()));
    }
    if (keyIs(key, "required")) {
      parseModifierGroup(reader, member.start, true, modifiers);
    } else if (keyIs(key, "optional")) {
      parseModifierGroup(reader, member.start, false, modifiers);
    }
  };
  // A member cut off at the top level may have been "required".
  if (visitMembersUntilBreak(reader, object, visit)) modifiers.unhandledRequired = true;
  return modifiers;
}

}  // namespace qoroco
