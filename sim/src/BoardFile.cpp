#include "BoardFile.h"

#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include "QosimClient.h"

namespace qosim {

using nlohmann::json;

namespace {

constexpr std::size_t kMaxInterfacePath = 255;
constexpr std::size_t kMaxBusPropertyBytes = 4096;

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

void checkKeys(const json& obj, std::initializer_list<const char*> allowed, const std::string& where) {
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    bool known = false;
    for (const char* k : allowed) known = known || it.key() == k;
    if (!known) throw BoardError(where + ": unknown key \"" + it.key() + "\"");
  }
}

std::vector<std::uint8_t> busValue(const json& v, const std::string& where) {
  std::vector<std::uint8_t> out;
  if (v.is_number_integer()) {
    long long n = v.is_number_unsigned() ? static_cast<long long>(std::min<std::uint64_t>(
                                               v.get<std::uint64_t>(), 1ull << 40))
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
    if (h == v.end() || !h->is_string()) throw BoardError(where + ": {\"hex\": ...} expects a string");
    auto bytes = fromHex(h->get<std::string>());
    if (!bytes) throw BoardError(where + ": \"hex\" is not a hex string");
    if (bytes->size() > kMaxBusPropertyBytes)
      throw BoardError(where + ": raw value is longer than 4096 bytes");
    return *bytes;
  }
  throw BoardError(where + ": value must be an integer (written as 4 bytes little-endian) or "
                   "{\"hex\": \"...\"}");
}

}  // namespace

BoardSpec parseBoard(const json& j, const std::string& where) {
  if (!j.is_object()) throw BoardError(where + ": a board must be a JSON object");
  checkKeys(j, {"device", "interfaces", "busProperties"}, where);
  BoardSpec b;
  b.source = j;
  b.device = stringField(j, "device", where, "", true);
  checkName(b.device, "device name", where, 64, false);
  if (b.device[0] == '.') throw BoardError(where + ": device name must not start with '.'");
  const std::string at = where + " (" + b.device + ")";

  auto ifs = j.find("interfaces");
  if (ifs == j.end() || !ifs->is_array() || ifs->empty())
    throw BoardError(at + ": \"interfaces\" must be a non-empty array");
  std::set<std::string> entries, nodes;
  std::size_t index = 0;
  for (const auto& ij : *ifs) {
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

  auto props = j.find("busProperties");
  if (props != j.end()) {
    if (!props->is_object()) throw BoardError(at + ": \"busProperties\" must be an object");
    for (auto it = props->begin(); it != props->end(); ++it) {
      const std::string pw = at + " bus property \"" + it.key() + "\"";
      checkName(it.key(), "bus property name", pw, 64, false);
      b.busProperties.emplace_back(it.key(), busValue(it.value(), pw));
    }
  }
  return b;
}

std::vector<BoardSpec> parseBoards(const json& j) {
  if (!j.is_object()) throw BoardError("the board description must be a JSON object {\"boards\": [...]}");
  checkKeys(j, {"boards", "comment"}, "board description");
  auto bs = j.find("boards");
  if (bs == j.end() || !bs->is_array())
    throw BoardError("the board description needs an array \"boards\"");
  std::vector<BoardSpec> out;
  std::set<std::string> devices;
  std::size_t index = 0;
  for (const auto& bj : *bs) {
    BoardSpec b = parseBoard(bj, "board " + std::to_string(index++));
    if (!devices.insert(b.device).second)
      throw BoardError("board " + std::to_string(index - 1) + ": duplicate device name " + b.device);
    out.push_back(std::move(b));
  }
  return out;
}

std::vector<BoardSpec> loadBoardFile(const std::string& path) {
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
    return parseBoards(j);
  } catch (const BoardError& e) {
    throw BoardError("board file " + path + ": " + e.what());
  }
}

}  // namespace qosim
