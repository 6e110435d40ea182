#include "BoardFile.h"

#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

#include "protocol/Hex.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"

namespace qosim {

using nlohmann::json;

namespace {

constexpr std::size_t kMaxInterfacePath = 255;
constexpr std::size_t kMaxBusPropertyBytes = 4096;
constexpr std::size_t kMaxTopographyName = 127;  // the library's buffer holds 128 bytes with NUL
// The library reads string attributes (the description, attribute 5) into 256-byte buffers, NUL
// included; the names are held to the same size.
constexpr std::size_t kMaxStringAttribute = 255;
constexpr std::size_t kMaxModuleFileBytes = 1u << 20;
constexpr std::size_t kMaxListEntries = 64;  // sensors, fans

// Names become directory entries: refuse the characters that would change the path.
void checkName(const std::string& value, const std::string& what, const std::string& where,
               std::size_t maxLength, bool allowEmpty) {
  if (value.empty() && !allowEmpty) throw BoardError(where + ": " + what + " is empty");
  if (value.size() > maxLength)
    throw BoardError(where + ": " + what + " \"" + value + "\" is longer than " +
                     std::to_string(maxLength) + " bytes");
  if (value == "." || value == "..")
    throw BoardError(where + ": " + what + " \"" + value + "\" is not a valid name");
  for (unsigned char c : value) {
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F)
      throw BoardError(where + ": " + what + " \"" + value +
                       "\" contains a character not allowed in a name ('/', '\\\\' or a control "
                       "character)");
  }
}

// Texts published as files or answered to callers: no NUL, bounded.
std::string textField(const json& v, const std::string& where, std::size_t maxLength) {
  if (!v.is_string()) throw BoardError(where + ": must be a string");
  std::string s = v.get<std::string>();
  if (s.size() > maxLength)
    throw BoardError(where + ": is longer than " + std::to_string(maxLength) + " bytes");
  if (s.find('\0') != std::string::npos) throw BoardError(where + ": contains a NUL character");
  return s;
}

std::string stringField(const json& obj, const char* key, const std::string& where,
                        const std::string& fallback, bool required) {
  auto it = obj.find(key);
  if (it == obj.end()) {
    if (required) throw BoardError(where + ": \"" + key + "\" is missing");
    return fallback;
  }
  if (!it->is_string()) throw BoardError(where + ": \"" + key + "\" must be a string");
  return it->get<std::string>();
}

void checkKeys(const json& obj, std::initializer_list<const char*> allowed,
               const std::string& where) {
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    bool known = false;
    for (const char* k : allowed) known = known || it.key() == k;
    if (!known) throw BoardError(where + ": unknown key \"" + it.key() + "\"");
  }
}

std::vector<std::uint8_t> busValue(const json& v, const std::string& where) {
  std::vector<std::uint8_t> out;
  if (v.is_number_integer()) {
    long long n =
        v.is_number_unsigned()
            ? static_cast<long long>(std::min<std::uint64_t>(v.get<std::uint64_t>(), 1ull << 40))
            : v.get<long long>();
    if (n < std::numeric_limits<std::int32_t>::min() || n > 0xFFFFFFFFll)
      throw BoardError(where + ": value does not fit in 4 bytes");
    auto u = static_cast<std::uint32_t>(n);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
    return out;
  }
  if (v.is_object()) {
    checkKeys(v, {"hex"}, where);
    auto h = v.find("hex");
    if (h == v.end() || !h->is_string())
      throw BoardError(where + ": {\"hex\": ...} expects a string");
    auto bytes = fromHex(h->get<std::string>());
    if (!bytes) throw BoardError(where + ": \"hex\" is not a hex string");
    if (bytes->size() > kMaxBusPropertyBytes)
      throw BoardError(where + ": raw value is longer than 4096 bytes");
    return *bytes;
  }
  throw BoardError(where +
                   ": value must be an integer (written as 4 bytes little-endian) or "
                   "{\"hex\": \"...\"}");
}

std::uint32_t u32(const json& v, const std::string& where) {
  return static_cast<std::uint32_t>(parseUnsigned(v, where, 0xFFFFFFFFu));
}

// A status word: a signed 32-bit number.
std::int32_t status32(const json& v, const std::string& where) {
  return static_cast<std::int32_t>(parseSigned(v, where, std::numeric_limits<std::int32_t>::min(),
                                               std::numeric_limits<std::int32_t>::max()));
}

std::vector<std::uint32_t> u32List(const json& v, const std::string& where, bool allowEmpty) {
  std::vector<std::uint32_t> out;
  if (!v.is_array()) {
    out.push_back(u32(v, where));
    return out;
  }
  if (v.empty() && !allowEmpty) throw BoardError(where + ": needs at least one value");
  if (v.size() > kMaxListEntries)
    throw BoardError(where + ": more than " + std::to_string(kMaxListEntries) + " values");
  for (std::size_t i = 0; i < v.size(); ++i)
    out.push_back(u32(v[i], where + "[" + std::to_string(i) + "]"));
  return out;
}

// Fields not given keep `d`'s; "seconds": null is the driver's "never set".
DatedValue datedValue(const json& v, const std::string& where, DatedValue d) {
  if (!v.is_object())
    throw BoardError(where + ": must be an object {\"seconds\": ..., \"value\": ...}");
  checkKeys(v, {"seconds", "value"}, where);
  if (auto s = v.find("seconds"); s != v.end())
    d.seconds = s->is_null() ? kNeverSet : parseUnsigned(*s, where + " \"seconds\"", ~0ull);
  if (auto s = v.find("value"); s != v.end()) d.value = u32(*s, where + " \"value\"");
  return d;
}

ModuleSpec moduleValue(const json& v, const std::string& where) {
  ModuleSpec m;
  if (v.is_null()) return m;
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    if (s == "absent") return m;
    if (s == "unreadable") {
      m.state = ModuleSpec::State::Unreadable;
      return m;
    }
    throw BoardError(where + ": must be an object, null, \"absent\" or \"unreadable\"");
  }
  if (!v.is_object())
    throw BoardError(where + ": must be an object, null, \"absent\" or \"unreadable\"");
  checkKeys(v, {"id", "revision", "serial", "unreadable", "status"}, where);
  if (v.value("unreadable", false)) {
    m.state = ModuleSpec::State::Unreadable;
    if (auto s = v.find("status"); s != v.end())
      m.errorStatus = status32(*s, where + " \"status\"");
    if (m.errorStatus >= 0)
      throw BoardError(where + ": \"status\" of an unreadable module must be negative");
    return m;
  }
  if (v.contains("status")) throw BoardError(where + ": \"status\" needs \"unreadable\": true");
  m.state = ModuleSpec::State::Present;
  if (!v.contains("id")) throw BoardError(where + ": \"id\" is missing");
  // Each field is a value or a failing read: {"unreadable": true} (status -52024) or {"status": S}.
  auto field = [&](const char* key, std::uint64_t max, std::int32_t& status) -> std::uint64_t {
    const json& f = v.at(key);
    const std::string fw = where + " \"" + key + "\"";
    if (!f.is_object()) return parseUnsigned(f, fw, max);
    checkKeys(f, {"unreadable", "status"}, fw);
    if (f.empty() || (f.contains("unreadable") && f.at("unreadable") != json(true)))
      throw BoardError(fw + ": a failing read is {\"unreadable\": true} or {\"status\": S}");
    status = kStatusModuleUnreadable;
    if (auto s = f.find("status"); s != f.end()) status = status32(*s, fw + " \"status\"");
    if (status >= 0) throw BoardError(fw + ": \"status\" of a failing read must be negative");
    return 0;
  };
  m.id = static_cast<std::uint32_t>(field("id", 0xFFFFFFFFu, m.idStatus));
  if (v.contains("revision"))
    m.revision = static_cast<std::uint8_t>(field("revision", 0xFF, m.revisionStatus));
  if (v.contains("serial"))
    m.serial = static_cast<std::uint32_t>(field("serial", 0xFFFFFFFFu, m.serialStatus));
  return m;
}

// {"method": "op0405", "status": -52005 | "errno": 5, "afterCalls": N, "count": K}; the method
// is checked against the board's interfaces by checkDriverFaults.
std::vector<DriverFault> driverFaultsValue(const json& v, const std::string& where) {
  if (!v.is_array())
    throw BoardError(
        where +
        ": must be an array of {\"method\", \"status\" or \"errno\", \"afterCalls\", \"count\"}");
  if (v.size() > kMaxListEntries)
    throw BoardError(where + ": more than " + std::to_string(kMaxListEntries) + " faults");
  std::vector<DriverFault> out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const json& e = v[i];
    std::string fw = where + " entry " + std::to_string(i);
    if (!e.is_object()) throw BoardError(fw + ": must be an object");
    DriverFault f;
    f.method = stringField(e, "method", fw, "", true);
    fw += " (" + f.method + ")";
    checkKeys(e,
              {"method", "interface", "status", "errno", "afterCalls", "count", "comment", "then",
               "restartMs"},
              fw);
    f.interface = stringField(e, "interface", fw, "", false);
    f.after.then = thenValue(stringField(e, "then", fw, "", false), fw + " \"then\"");
    if (auto r = e.find("restartMs"); r != e.end())
      f.after.restartMs =
          static_cast<std::uint32_t>(parseUnsigned(*r, fw + " \"restartMs\"", kMaxRestartMs));
    const bool plainAnswer =
        f.after.then != Aftermath::Then::None && !e.contains("status") && !e.contains("errno");
    if (!plainAnswer && e.contains("status") == e.contains("errno"))
      throw BoardError(
          fw +
          ": give either \"status\" (the method's status word) or \"errno\" (the ioctl fails)");
    if (auto s = e.find("status"); s != e.end()) {
      f.status = status32(*s, fw + " \"status\"");
      if (f.status == 0)
        throw BoardError(fw + ": \"status\" 0 is no fault (negative: error, positive: warning)");
    } else if (e.contains("errno")) {
      f.err = static_cast<int>(parseUnsigned(e.at("errno"), fw + " \"errno\"", 511));
      if (f.err == 0) throw BoardError(fw + ": \"errno\" must be 1..511");
    }
    if (auto a = e.find("afterCalls"); a != e.end())
      f.afterCalls = parseUnsigned(*a, fw + " \"afterCalls\"", 1u << 30);
    if (auto c = e.find("count"); c != e.end()) {
      f.count = parseSigned(*c, fw + " \"count\"", -1, 1 << 30);
      if (f.count == 0)
        throw BoardError(fw + ": \"count\" must be positive or -1 (every later call)");
    }
    if (auto c = e.find("comment"); c != e.end() && !c->is_string())
      throw BoardError(fw + ": \"comment\" must be a string");
    out.push_back(std::move(f));
  }
  return out;
}

std::array<std::uint8_t, 16> recordValue(const json& v, const std::string& where) {
  std::array<std::uint8_t, 16> r{};
  if (v.is_object()) {
    checkKeys(v, {"hex"}, where);
    auto h = v.find("hex");
    std::optional<Bytes> bytes;
    if (h != v.end() && h->is_string()) bytes = fromHex(h->get<std::string>());
    if (!bytes || bytes->size() != 16) throw BoardError(where + ": \"hex\" must hold 16 bytes");
    std::copy(bytes->begin(), bytes->end(), r.begin());
    return r;
  }
  // {u32 +0, u32 +4, u16 +8, u16 +10, u16 +12, u8 +14, u8 +15}
  static constexpr std::pair<int, int> kFields[] = {{0, 4},  {4, 4},  {8, 2}, {10, 2},
                                                    {12, 2}, {14, 1}, {15, 1}};
  if (!v.is_array() || v.size() != 7)
    throw BoardError(
        where + ": must be 7 numbers {u32, u32, u16, u16, u16, u8, u8} or {\"hex\": 16 bytes}");
  for (std::size_t i = 0; i < 7; ++i) {
    const auto [off, size] = kFields[i];
    const std::uint64_t max = size == 4 ? 0xFFFFFFFFull : size == 2 ? 0xFFFFull : 0xFFull;
    std::uint64_t x = parseUnsigned(v[i], where + "[" + std::to_string(i) + "]", max);
    for (int k = 0; k < size; ++k)
      r[static_cast<std::size_t>(off + k)] = static_cast<std::uint8_t>(x >> (8 * k));
  }
  return r;
}

std::map<std::string, std::int32_t> faultsValue(const json& v, const std::string& where,
                                                bool board) {
  if (!v.is_object()) throw BoardError(where + ": must be an object {operation: status}");
  std::map<std::string, std::int32_t> out;
  for (auto it = v.begin(); it != v.end(); ++it) {
    const std::string fw = where + " \"" + it.key() + "\"";
    if (board ? !isBoardEnumOperation(it.key()) : !isMachineEnumOperation(it.key()))
      throw BoardError(fw + ": not an enumeration operation that can fail " +
                       (board
                            ? std::string("for a board (deviceAt, openSession, getAttributeReader, "
                                          "readU32.<n>, readString.<n>)")
                            : std::string("machine-wide (initialize, getAllKelDevices, hasChanged, "
                                          "refresh)")));
    if (it.value().is_null()) continue;
    out[it.key()] = status32(it.value(), fw);
  }
  return out;
}

std::uint32_t attributeNumber(const std::string& key, const std::string& where) {
  return static_cast<std::uint32_t>(
      parseUnsigned(json(key), where + " attribute \"" + key + "\"", 0xFFFFFFFFu));
}

void enumerationValue(BoardModel& m, const json& v, const std::string& where) {
  if (!v.is_object()) throw BoardError(where + ": must be an object");
  checkKeys(v, {"attributes", "strings", "faults"}, where);
  if (auto a = v.find("attributes"); a != v.end()) {
    if (!a->is_object())
      throw BoardError(where + " \"attributes\": must be an object {number: value}");
    for (auto it = a->begin(); it != a->end(); ++it)
      m.extraAttributes[attributeNumber(it.key(), where)] =
          u32(it.value(), where + " attribute " + it.key());
  }
  if (auto s = v.find("strings"); s != v.end()) {
    if (!s->is_object()) throw BoardError(where + " \"strings\": must be an object {number: text}");
    for (auto it = s->begin(); it != s->end(); ++it) {
      const std::uint32_t n = attributeNumber(it.key(), where);
      if (n == 5)
        throw BoardError(where + " string 5: is the board's \"description\"; give that field");
      m.extraStrings[n] = textField(it.value(), where + " string " + it.key(), kMaxStringAttribute);
    }
  }
  if (auto f = v.find("faults"); f != v.end())
    m.enumFaults = faultsValue(*f, where + " \"faults\"", true);
}

std::vector<ModuleFile> moduleFilesValue(const json& v, const std::string& where) {
  if (!v.is_array()) throw BoardError(where + ": must be an array of {\"name\", \"text\"}");
  std::vector<ModuleFile> out;
  std::set<std::string> names;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const std::string fw = where + " " + std::to_string(i);
    if (!v[i].is_object()) throw BoardError(fw + ": must be an object {\"name\", \"text\"}");
    checkKeys(v[i], {"name", "text"}, fw);
    ModuleFile f;
    f.name = stringField(v[i], "name", fw, "", true);
    checkModuleFileName(f.name, fw);
    f.text = stringField(v[i], "text", fw, "", true);
    if (f.text.size() > kMaxModuleFileBytes) throw BoardError(fw + ": text is longer than 1 MiB");
    if (!names.insert(f.name).second) throw BoardError(fw + ": duplicate module file " + f.name);
    out.push_back(std::move(f));
  }
  return out;
}

}  // namespace

std::uint64_t parseUnsigned(const json& v, const std::string& where, std::uint64_t max) {
  std::uint64_t u = 0;
  if (v.is_boolean()) {
    u = v.get<bool>() ? 1 : 0;
  } else if (v.is_number_unsigned()) {
    u = v.get<std::uint64_t>();
  } else if (v.is_number_integer()) {
    throw BoardError(where + ": must not be negative");
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    errno = 0;
    char* end = nullptr;
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ')
      throw BoardError(where + ": \"" + s + "\" is not an unsigned number");
    u = std::strtoull(s.c_str(), &end, 0);
    if (*end != '\0' || errno == ERANGE)
      throw BoardError(where + ": \"" + s + "\" is not an unsigned number");
  } else {
    throw BoardError(where + ": must be a number (or a text such as \"0x7B10\")");
  }
  if (u > max)
    throw BoardError(where + ": " + std::to_string(u) + " is larger than " + std::to_string(max));
  return u;
}

std::int64_t parseSigned(const json& v, const std::string& where, std::int64_t min,
                         std::int64_t max) {
  std::int64_t x = 0;
  if (v.is_number_unsigned()) {
    std::uint64_t u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(max))
      throw BoardError(where + ": " + std::to_string(u) + " is out of range");
    x = static_cast<std::int64_t>(u);
  } else if (v.is_number_integer()) {
    x = v.get<std::int64_t>();
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    errno = 0;
    char* end = nullptr;
    x = s.empty() ? 0 : std::strtoll(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0' || errno == ERANGE)
      throw BoardError(where + ": \"" + s + "\" is not a number");
  } else {
    throw BoardError(where + ": must be a number");
  }
  if (x < min || x > max) throw BoardError(where + ": " + std::to_string(x) + " is out of range");
  return x;
}

bool isMachineEnumOperation(const std::string& op) {
  return op == "initialize" || op == "getAllKelDevices" || op == "hasChanged" || op == "refresh";
}

bool isBoardEnumOperation(const std::string& op) {
  if (op == "deviceAt" || op == "openSession" || op == "getAttributeReader") return true;
  for (const char* prefix : {"readU32.", "readString."}) {
    const std::string p = prefix;
    if (op.size() > p.size() && op.compare(0, p.size(), p) == 0) {
      const std::string n = op.substr(p.size());
      if (n.size() > 10 || n.find_first_not_of("0123456789") != std::string::npos) return false;
      if (n.size() > 1 && n[0] == '0') return false;  // decimal as the stand-in forms it
      return std::stoull(n) <= 0xFFFFFFFFull;
    }
  }
  return false;
}

void checkModuleFileName(const std::string& name, const std::string& where) {
  if (name.empty()) throw BoardError(where + ": module file name is empty");
  if (name.size() > 255) throw BoardError(where + ": module file name is longer than 255 bytes");
  if (name.find('/') != std::string::npos || name.find("..") != std::string::npos)
    throw BoardError(where + ": module file name \"" + name + "\" must not contain '/' or \"..\"");
  if (name[0] == '.')
    throw BoardError(where + ": module file name \"" + name + "\" must not start with '.'");
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F)
      throw BoardError(where + ": module file name \"" + name + "\" contains a control character");
}

namespace {

void temperatureLimitField(BoardModel& m, const json& v, const std::string& w) {
  auto l = u32List(v, w, false);
  if (l.size() > 2) throw BoardError(w + ": one or two limits");
  m.temperatureLimit = l[0];
  if (l.size() == 2) m.temperatureLimit2 = l[1];
}

void fanSpeedField(BoardModel& m, const json& v, const std::string& w) {
  if (!v.is_object()) throw BoardError(w + ": must be an object {\"index\": i, \"value\": speed}");
  checkKeys(v, {"index", "value"}, w);
  if (!v.contains("index") || !v.contains("value"))
    throw BoardError(w + ": needs \"index\" and \"value\"");
  auto i = parseUnsigned(v.at("index"), w + " \"index\"", kMaxListEntries);
  if (i >= m.fans.size())
    throw BoardError(w + ": the board has " + std::to_string(m.fans.size()) + " fans, no fan " +
                     std::to_string(i));
  m.fans[i] = u32(v.at("value"), w + " \"value\"");
}

void routingFaultsField(BoardModel& m, const json& v, const std::string& w) {
  if (!v.is_object())
    throw BoardError(w +
                     ": must be an object {\"extraResults\", \"extraConflicts\", "
                     "\"extraPathIds\", \"unterminatedName\"}");
  checkKeys(v, {"extraResults", "extraConflicts", "extraPathIds", "unterminatedName"}, w);
  RoutingFaults f = m.routingFaults;
  const std::pair<const char*, std::uint32_t*> counts[] = {{"extraResults", &f.extraResults},
                                                           {"extraConflicts", &f.extraConflicts},
                                                           {"extraPathIds", &f.extraPathIds}};
  for (const auto& [name, field] : counts)
    if (auto e = v.find(name); e != v.end()) *field = u32(*e, w + " \"" + name + "\"");
  if (auto e = v.find("unterminatedName"); e != v.end()) {
    if (!e->is_boolean()) throw BoardError(w + " \"unterminatedName\": must be true or false");
    f.unterminatedName = e->get<bool>();
  }
  m.routingFaults = f;
}

void firmwareField(BoardModel& m, const json& v, const std::string& w) {
  if (!v.is_object())
    throw BoardError(w + ": must be an object {\"durationMs\", \"versionAfterUpdate\"}");
  checkKeys(v, {"durationMs", "versionAfterUpdate"}, w);
  if (auto d = v.find("durationMs"); d != v.end())
    m.firmwareDurationMs =
        static_cast<std::uint32_t>(parseUnsigned(*d, w + " \"durationMs\"", 600000));
  if (auto a = v.find("versionAfterUpdate"); a != v.end()) {
    if (a->is_null())
      m.versionAfterUpdate.reset();
    else
      m.versionAfterUpdate = u32(*a, w + " \"versionAfterUpdate\"");
  }
}

using FieldParser = void (*)(BoardModel&, const json&, const std::string& where);

// Every typed model field: board files and the run-time `set` request read them alike.
const std::map<std::string_view, FieldParser>& modelFields() {
  using M = BoardModel;
  using J = json;
  using W = std::string;
  // clang-format off
  static const std::map<std::string_view, FieldParser> fields = {
      {"deviceNumber", [](M& m, const J& v, const W& w) { m.deviceNumber = u32(v, w); }},
      {"productId", [](M& m, const J& v, const W& w) { m.productId = u32(v, w); }},
      {"vendorId",
       [](M& m, const J& v, const W& w) {
         m.vendorId = static_cast<std::uint32_t>(parseUnsigned(v, w, 0xFFFF));
       }},
      {"serial", [](M& m, const J& v, const W& w) { m.serial = u32(v, w); }},
      {"description",
       [](M& m, const J& v, const W& w) { m.description = textField(v, w, kMaxStringAttribute); }},
      {"chassisSlot", [](M& m, const J& v, const W& w) { m.chassisSlot = u32(v, w); }},
      {"busType", [](M& m, const J& v, const W& w) { m.busType = u32(v, w); }},
      {"supported", [](M& m, const J& v, const W& w) { m.supported = u32(v, w); }},
      {"primaryName",
       [](M& m, const J& v, const W& w) { m.primaryName = textField(v, w, kMaxStringAttribute); }},
      {"secondaryName",
       [](M& m, const J& v, const W& w) {
         m.secondaryName = textField(v, w, kMaxStringAttribute);
       }},
      {"enumeration", [](M& m, const J& v, const W& w) { enumerationValue(m, v, w); }},
      {"firmwareVersion", [](M& m, const J& v, const W& w) { m.firmwareVersion = u32(v, w); }},
      {"hardwareRevision", [](M& m, const J& v, const W& w) { m.hardwareRevision = u32(v, w); }},
      {"temperature", [](M& m, const J& v, const W& w) { m.temperatures = u32List(v, w, false); }},
      {"temperatureLimit", temperatureLimitField},
      {"fans", [](M& m, const J& v, const W& w) { m.fans = u32List(v, w, true); }},
      {"fanSpeed", fanSpeedField},
      {"dated0", [](M& m, const J& v, const W& w) { m.dated0 = datedValue(v, w, m.dated0); }},
      {"dated1", [](M& m, const J& v, const W& w) { m.dated1 = datedValue(v, w, m.dated1); }},
      {"diagnostic",
       [](M& m, const J& v, const W& w) {
         m.diagnostic = static_cast<std::uint8_t>(parseUnsigned(v, w, 0xFF));
       }},
      {"op0406",
       [](M& m, const J& v, const W& w) {
         m.op0406 = static_cast<std::uint32_t>(
             parseSigned(v, w, std::numeric_limits<std::int32_t>::min(), 0xFFFFFFFFll));
       }},
      {"module", [](M& m, const J& v, const W& w) { m.module = moduleValue(v, w); }},
      {"moduleRecord", [](M& m, const J& v, const W& w) { m.moduleRecord = recordValue(v, w); }},
      {"topographyName",
       [](M& m, const J& v, const W& w) {
         m.topographyName = textField(v, w, kMaxTopographyName);
       }},
      {"routingFaults", routingFaultsField},
      {"driverFaults",
       [](M& m, const J& v, const W& w) { m.driverFaults = driverFaultsValue(v, w); }},
      {"firmware", firmwareField},
  };
  // clang-format on
  return fields;
}

}  // namespace

bool applyModelField(BoardModel& m, const std::string& key, const json& v,
                     const std::string& where) {
  const auto field = modelFields().find(key);
  if (field == modelFields().end()) return false;
  field->second(m, v, where + " \"" + key + "\"");
  return true;
}

void checkDriverFaults(const BoardModel& m, const std::vector<InterfaceSpec>& interfaces,
                       const std::string& where) {
  for (std::size_t i = 0; i < m.driverFaults.size(); ++i) {
    const DriverFault& f = m.driverFaults[i];
    const std::string fw = where + " entry " + std::to_string(i) + " (" + f.method + ")";
    bool owned = false;
    for (const auto& iface : interfaces)
      if (f.interface.empty() || f.interface == iface.name)
        owned = owned || qodrvdesc::findMethodByName(iface.name, f.method) != nullptr;
    if (!owned) {
      std::string names;
      for (const auto& iface : interfaces) names += (names.empty() ? "" : ", ") + iface.name;
      throw BoardError(fw + ": no interface of the board (" + names + ")" +
                       (f.interface.empty() ? "" : " named \"" + f.interface + "\"") +
                       " has a method of that name");
    }
  }
}

std::uint32_t BoardSpec::busPropertyU32(const std::string& name) const {
  for (const auto& [n, v] : busProperties) {
    if (n != name) continue;
    std::uint32_t x = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(v.size(), 4); ++i)
      x |= static_cast<std::uint32_t>(v[i]) << (8 * i);
    return x;
  }
  return 0;
}

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> defaultBusProperties(
    std::uint32_t deviceNumber) {
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> out;
  const std::pair<const char*, std::uint32_t> values[] = {
      {"pciBusNumber", deviceNumber}, {"pciDeviceNumber", 0},  {"pciFunctionNumber", 0},
      {"pcieLinkWidth", 4},           {"pcieMaxLinkWidth", 8}, {"pcieTransferRate", 2},
      {"pcieMaxTransferRate", 3}};
  for (const auto& [name, v] : values)
    out.emplace_back(name, std::vector<std::uint8_t>{static_cast<std::uint8_t>(v),
                                                     static_cast<std::uint8_t>(v >> 8),
                                                     static_cast<std::uint8_t>(v >> 16),
                                                     static_cast<std::uint8_t>(v >> 24)});
  return out;
}

namespace {

void parseInterfaces(const json& ifs, BoardSpec& b, const std::string& at) {
  if (!ifs.is_array() || ifs.empty())
    throw BoardError(at + ": \"interfaces\" must be a non-empty array");
  std::set<std::string> entries, nodes;
  std::size_t index = 0;
  for (const auto& ij : ifs) {
    const std::string iw = at + " interface " + std::to_string(index++);
    if (!ij.is_object()) throw BoardError(iw + ": must be an object");
    checkKeys(ij, {"name", "a", "b", "node"}, iw);
    InterfaceSpec i;
    i.name = stringField(ij, "name", iw, "", true);
    i.a = stringField(ij, "a", iw, "0", false);
    i.b = stringField(ij, "b", iw, "0", false);
    i.node = stringField(ij, "node", iw, "0", false);
    checkName(i.name, "interface name", iw, 128, false);
    checkName(i.a, "field \"a\"", iw, 32, true);
    checkName(i.b, "field \"b\"", iw, 32, true);
    checkName(i.node, "field \"node\"", iw, 32, true);
    if (!entries.insert(i.entryName()).second)
      throw BoardError(iw + ": duplicate interface entry " + i.entryName());
    if (!nodes.insert(b.nodeName(i)).second)
      throw BoardError(iw + ": duplicate node " + b.nodeName(i));
    if (std::string("/dev/qo/").size() + b.nodeName(i).size() > kMaxInterfacePath)
      throw BoardError(iw + ": node path is longer than 255 bytes");
    b.interfaces.push_back(std::move(i));
  }
}

void parseBusProperties(const json& props, BoardSpec& b, const std::string& at) {
  if (!props.is_object()) throw BoardError(at + ": \"busProperties\" must be an object");
  for (auto p = props.begin(); p != props.end(); ++p) {
    const std::string pw = at + " bus property \"" + p.key() + "\"";
    checkName(p.key(), "bus property name", pw, 64, false);
    b.busProperties.emplace_back(p.key(), busValue(p.value(), pw));
  }
}

// One key of a board object other than "device".
void parseBoardKey(BoardSpec& b, const std::string& key, const json& value, const std::string& at) {
  if (key == "interfaces") {
    parseInterfaces(value, b, at);
  } else if (key == "busProperties") {
    parseBusProperties(value, b, at);
  } else if (key == "moduleFiles") {
    b.moduleFiles = moduleFilesValue(value, at + " \"moduleFiles\"");
  } else if (key == "comment") {
    if (!value.is_string()) throw BoardError(at + ": \"comment\" must be a string");
  } else if (key == "fanSpeed") {
    throw BoardError(at + ": \"fanSpeed\" is a run-time change; a board file gives \"fans\"");
  } else if (!applyModelField(b.model, key, value, at)) {
    throw BoardError(at + ": unknown key \"" + key + "\"");
  }
}

// Defaults that depend on the name: the device number is its trailing digits.
void nameDefaults(BoardSpec& b) {
  std::size_t digits = b.device.find_last_not_of("0123456789") + 1;
  if (digits < b.device.size()) {
    const std::string n = b.device.substr(digits);
    if (n.size() <= 10 && std::stoull(n) <= 0xFFFFFFFFull)
      b.model.deviceNumber = static_cast<std::uint32_t>(std::stoull(n));
  }
  b.model.description = "Vorlix board " + b.device;
  b.model.secondaryName = b.device;
}

}  // namespace

BoardSpec parseBoard(const json& j, const std::string& where) {
  if (!j.is_object()) throw BoardError(where + ": a board must be a JSON object");
  BoardSpec b;
  b.source = j;
  b.device = stringField(j, "device", where, "", true);
  checkName(b.device, "device name", where, 64, false);
  if (b.device[0] == '.') throw BoardError(where + ": device name must not start with '.'");
  const std::string at = where + " (" + b.device + ")";
  nameDefaults(b);
  bool serialGiven = false;
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (it.key() == "device") continue;
    parseBoardKey(b, it.key(), it.value(), at);
    serialGiven = serialGiven || it.key() == "serial";
  }
  if (!j.contains("interfaces"))
    throw BoardError(at + ": \"interfaces\" must be a non-empty array");
  if (!j.contains("busProperties")) b.busProperties = defaultBusProperties(b.model.deviceNumber);
  checkDriverFaults(b.model, b.interfaces, at + " \"driverFaults\"");
  if (!serialGiven) b.model.serial = 0x51000000u + b.model.deviceNumber;
  return b;
}

MachineSpec parseMachine(const json& j) {
  if (!j.is_object())
    throw BoardError("the board description must be a JSON object {\"boards\": [...]}");
  checkKeys(j, {"boards", "comment", "moduleFiles", "enumeration"}, "board description");
  auto bs = j.find("boards");
  if (bs == j.end() || !bs->is_array())
    throw BoardError("the board description needs an array \"boards\"");
  MachineSpec m;
  std::set<std::string> devices;
  std::map<std::uint32_t, std::string> numbers;
  std::map<std::array<std::uint32_t, 3>, std::string> addresses;
  std::size_t index = 0;
  for (const auto& bj : *bs) {
    const std::string where = "board " + std::to_string(index++);
    BoardSpec b = parseBoard(bj, where);
    if (!devices.insert(b.device).second)
      throw BoardError(where + ": duplicate device name " + b.device);
    if (auto [it, fresh] = numbers.emplace(b.model.deviceNumber, b.device); !fresh)
      throw BoardError(where + " (" + b.device + "): device number " +
                       std::to_string(b.model.deviceNumber) + " is already used by " + it->second);
    std::array<std::uint32_t, 3> pci{b.busPropertyU32("pciBusNumber"),
                                     b.busPropertyU32("pciDeviceNumber"),
                                     b.busPropertyU32("pciFunctionNumber")};
    if (auto [it, fresh] = addresses.emplace(pci, b.device); !fresh)
      throw BoardError(where + " (" + b.device + "): PCI address " + std::to_string(pci[0]) + ":" +
                       std::to_string(pci[1]) + "." + std::to_string(pci[2]) +
                       " is already used by " + it->second);
    m.boards.push_back(std::move(b));
  }
  std::set<std::string> fileNames;
  if (auto f = j.find("moduleFiles"); f != j.end())
    m.moduleFiles = moduleFilesValue(*f, "\"moduleFiles\"");
  for (const auto& f : m.moduleFiles) fileNames.insert(f.name);
  for (const auto& b : m.boards)
    for (const auto& f : b.moduleFiles)
      if (!fileNames.insert(f.name).second)
        throw BoardError("board " + b.device + ": module file " + f.name +
                         " is given twice in the board file");
  if (auto e = j.find("enumeration"); e != j.end()) {
    if (!e->is_object()) throw BoardError("\"enumeration\" must be an object");
    checkKeys(*e, {"faults"}, "\"enumeration\"");
    if (auto f = e->find("faults"); f != e->end())
      m.enumFaults = faultsValue(*f, "\"enumeration\" \"faults\"", false);
  }
  return m;
}

std::vector<BoardSpec> parseBoards(const json& j) { return parseMachine(j).boards; }

MachineSpec loadMachineFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw BoardError("board file " + path + ": cannot be opened");
  std::stringstream ss;
  ss << in.rdbuf();
  json j;
  try {
    j = json::parse(ss.str());
  } catch (const json::parse_error& e) {
    throw BoardError("board file " + path + ": not valid JSON: " + e.what());
  }
  try {
    return parseMachine(j);
  } catch (const BoardError& e) {
    throw BoardError("board file " + path + ": " + e.what());
  }
}

std::vector<BoardSpec> loadBoardFile(const std::string& path) {
  return loadMachineFile(path).boards;
}

namespace {

// What the enumeration publishes of the board.
void identityJson(const BoardSpec& b, json& j) {
  const BoardModel& m = b.model;
  j["device"] = b.device;
  j["deviceNumber"] = m.deviceNumber;
  j["productId"] = m.productId;
  j["vendorId"] = m.vendorId;
  j["serial"] = m.serial;
  j["description"] = m.description;
  j["pci"] = {{"bus", b.busPropertyU32("pciBusNumber")},
              {"device", b.busPropertyU32("pciDeviceNumber")},
              {"function", b.busPropertyU32("pciFunctionNumber")}};
  j["chassisSlot"] = m.chassisSlot;
  j["busType"] = m.busType;
  j["supported"] = m.supported;
  j["primaryName"] = m.primaryName;
  j["secondaryName"] = m.secondaryName;
  json attrs = json::object(), strings = json::object();
  for (const auto& [n, v] : m.extraAttributes) attrs[std::to_string(n)] = v;
  for (const auto& [n, v] : m.extraStrings) strings[std::to_string(n)] = v;
  j["enumeration"] = {{"attributes", attrs}, {"strings", strings}, {"faults", m.enumFaults}};
}

// What the driver methods answer.
void readingsJson(const BoardModel& m, json& j) {
  j["firmwareVersion"] = m.firmwareVersion;
  j["hardwareRevision"] = m.hardwareRevision;
  j["temperature"] = m.temperatures;
  j["temperatureLimit"] = {m.temperatureLimit, m.temperatureLimit2};
  j["fans"] = m.fans;
  auto dated = [](const DatedValue& d) {
    return json{{"seconds", d.seconds == kNeverSet ? json(nullptr) : json(d.seconds)},
                {"value", d.value}};
  };
  j["dated0"] = dated(m.dated0);
  j["dated1"] = dated(m.dated1);
  j["diagnostic"] = m.diagnostic;
  j["op0406"] = m.op0406;
}

json moduleJson(const ModuleSpec& module) {
  switch (module.state) {
    case ModuleSpec::State::Absent:
      break;
    case ModuleSpec::State::Unreadable:
      return {{"unreadable", true}, {"status", module.errorStatus}};
    case ModuleSpec::State::Present: {
      auto field = [](std::uint32_t value, std::int32_t status) {
        return status ? json{{"status", status}} : json(value);
      };
      return {{"id", field(module.id, module.idStatus)},
              {"revision", field(module.revision, module.revisionStatus)},
              {"serial", field(module.serial, module.serialStatus)}};
    }
  }
  return nullptr;
}

json driverFaultsJson(const std::vector<DriverFault>& driverFaults) {
  json faults = json::array();
  for (const auto& f : driverFaults) {
    json e{{"method", f.method}, {"afterCalls", f.afterCalls}, {"count", f.count}};
    if (!f.interface.empty()) e["interface"] = f.interface;
    if (f.err)
      e["errno"] = f.err;
    else if (f.status)
      e["status"] = f.status;
    if (f.after.then != Aftermath::Then::None) {
      e["then"] = thenName(f.after.then);
      e["restartMs"] = f.after.restartMs;
    }
    faults.push_back(std::move(e));
  }
  return faults;
}

}  // namespace

json modelJson(const BoardSpec& b) {
  const BoardModel& m = b.model;
  json j;
  identityJson(b, j);
  readingsJson(m, j);
  j["module"] = moduleJson(m.module);
  j["driverFaults"] = driverFaultsJson(m.driverFaults);
  j["moduleRecord"] = {{"hex", toHex(m.moduleRecord.data(), m.moduleRecord.size())}};
  j["topographyName"] = m.topographyName;
  j["routingFaults"] = {{"extraResults", m.routingFaults.extraResults},
                        {"extraConflicts", m.routingFaults.extraConflicts},
                        {"extraPathIds", m.routingFaults.extraPathIds},
                        {"unterminatedName", m.routingFaults.unterminatedName}};
  j["firmware"] = {
      {"durationMs", m.firmwareDurationMs},
      {"versionAfterUpdate", m.versionAfterUpdate ? json(*m.versionAfterUpdate) : json(nullptr)}};
  json ifs = json::array();
  for (const auto& i : b.interfaces) ifs.push_back(i.name);
  j["interfaces"] = ifs;
  return j;
}

Aftermath::Then thenValue(const std::string& text, const std::string& where) {
  if (text.empty()) return Aftermath::Then::None;
  if (text == "unplug") return Aftermath::Then::Unplug;
  if (text == "crash") return Aftermath::Then::Crash;
  throw BoardError(where + ": must be \"unplug\" or \"crash\", not \"" + text + "\"");
}

const char* thenName(Aftermath::Then then) {
  switch (then) {
    case Aftermath::Then::Unplug:
      return "unplug";
    case Aftermath::Then::Crash:
      return "crash";
    case Aftermath::Then::None:
      break;
  }
  return "";
}

}  // namespace qosim
