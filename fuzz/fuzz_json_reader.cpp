// Reads arbitrary bytes as JSON with an explicit length (no terminator), walks every member and
// element, decodes every string and reads every number. Checks that positions and tokens stay
// inside the text and that decoding never needs more than the raw length plus one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qoapal/json/tJsonReader.h"

namespace json = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool inside(const json::tJsonReader& reader, const char* p) {
  return p != nullptr && p >= reader.begin() && p <= reader.end();
}

void checkToken(const json::tJsonReader& reader, const json::tJsonToken& token) {
  if (token.type == json::kTypeInvalid) {
    if (token.flag != json::kErrorNone && token.start != nullptr)
      check(inside(reader, token.start));
    return;
  }
  check(inside(reader, token.start) && inside(reader, token.start + token.length));
}

void decode(const json::tJsonToken& token) {
  std::vector<char> out(token.length + 1);
  std::size_t n = 0;
  if (json::tJsonReader::decodeString(token.start, token.length, out.data(), out.size(), &n)) {
    check(n <= token.length && out[n] == '\0');
  }
}

void walk(const json::tJsonReader& reader, const char* position, int depth) {
  json::tJsonToken token;
  if (reader.peekValue(position, token) == nullptr) {
    checkToken(reader, token);
    return;
  }
  checkToken(reader, token);
  json::tJsonToken deep;
  const char* after = reader.readValue(position, deep);
  if (after != nullptr) check(inside(reader, after) && deep.type == token.type);
  checkToken(reader, deep);
  if (depth > 48) return;  // the reader itself takes any depth; keep this walk's stack small
  switch (token.type) {
    case json::kTypeString:
      decode(token);
      break;
    case json::kTypeNumber:
      (void)reader.getInt(position, 0);
      (void)reader.getUnsigned(position, 0);
      break;
    case json::kTypeObject: {
      json::tJsonToken key;
      bool found = false;
      int count = 0;
      for (const char* value = reader.firstMember(position, key, found);
           value != nullptr && found && count < 10000;
           value = reader.nextMember(value, key, found)) {
        check(inside(reader, value));
        checkToken(reader, key);
        decode(key);
        char name[8] = {};
        std::memcpy(name, key.start, key.length < 7 ? key.length : 7);
        (void)reader.findMember(position, name);
        walk(reader, value, depth + 1);
        ++count;
      }
      break;
    }
    case json::kTypeArray: {
      json::tJsonToken error;
      int count = 0;
      for (const char* element = reader.firstElement(position, &error);
           element != nullptr && count < 10000; element = reader.nextElement(element, &error)) {
        check(inside(reader, element));
        walk(reader, element, depth + 1);
        ++count;
      }
      checkToken(reader, error);
      break;
    }
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact copy: any read past `size` is caught by AddressSanitizer.
  std::vector<char> text(data, data + size);
  const char* bytes = text.empty() ? nullptr : text.data();
  json::tJsonReader reader(bytes, size);
  walk(reader, reader.begin(), 0);

  json::tJsonReader bounded = json::tJsonReader::bounded(bytes, size);
  json::tJsonToken token;
  const char* after = bounded.readValue(bounded.begin(), token);
  if (size != 0 && std::memchr(bytes, 0, size) == nullptr) {
    check(after == nullptr && token.errorKind() == json::kErrorNotTerminated);
  }

  // The whole input as one raw string.
  std::vector<char> out(size + 1);
  (void)json::tJsonReader::decodeString(bytes, size, out.data(), out.size());
  return 0;
}
