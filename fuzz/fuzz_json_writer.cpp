// Interprets the input as a sequence of member writes of every kind, applied to three targets
// at once: a growable buffer, a small fixed buffer without growth, and a JsonStatus. After each
// step every text must still be valid JSON (checked with the reader), its marker intact, and a
// failed write must leave the text unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "qoapal/json/tJsonReader.h"
#include "qoapal/json/tJsonWriter.h"
#include "qoapal/status/JsonStatus.h"

namespace json = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tOwnedJsonStatus;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

struct tInput {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool empty() const { return at >= size; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  std::uint64_t bytes(int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | byte();
    return v;
  }
  // A string of up to 31 bytes (any bytes except NUL).
  std::string text() {
    const std::size_t n = byte() % 32;
    std::string s;
    for (std::size_t i = 0; i < n && !empty(); ++i) {
      const char c = static_cast<char>(byte());
      s += c != '\0' ? c : 'z';
    }
    return s;
  }
};

const char* const kRaw[] = {"1", "[]", "{}", "null", "[1,{\"a\":\"b\"}]", "-0.5e3", "\"r\\n\""};

// The buffer of `size` bytes at `buffer` holds valid JSON followed by NULs and the marker.
void checkEditable(const char* buffer, std::size_t size) {
  check(size >= 4 && buffer[size - 1] == json::kEditableMarker);
  const char* nul = static_cast<const char*>(std::memchr(buffer, 0, size - 1));
  check(nul != nullptr);
  for (const char* p = nul; p < buffer + size - 1; ++p) check(*p == '\0');
  json::tJsonReader reader(buffer, static_cast<std::size_t>(nul - buffer));
  json::tJsonToken token;
  check(reader.readValue(reader.begin(), token) == reader.end());
}

// One target: a writer context, the insertion point of the innermost open container and the
// kinds of the open containers (outer insertion points follow from endValue).
struct tTarget {
  const json::tJsonWriterContext* context;
  char* position;
  std::vector<bool> isObject;
};

// Applies operation `op` to a target; returns the new insertion point or null.
char* apply(const json::tJsonWriterContext* context, char* position, bool inObject, std::uint8_t op,
            const std::string& name, const std::string& value, std::uint64_t number, bool* opened) {
  const char* n = inObject ? name.c_str() : nullptr;
  *opened = false;
  switch (op % 9) {
    case 0:
      return json::addString(context, position, n, value.c_str());
    case 1:
      return json::addBool(context, position, n, (number & 1) != 0);
    case 2:
      return json::addInt(context, position, n, static_cast<std::int32_t>(number));
    case 3:
      return json::addUnsigned(context, position, n, static_cast<std::uint32_t>(number));
    case 4:
      return json::addU64(context, position, n, number);
    case 5:
      return json::addRaw(context, position, n, kRaw[number % 7]);
    case 6:
      *opened = true;
      return json::beginObject(context, position, n);
    case 7:
      *opened = true;
      return json::beginArray(context, position, n);
    default:
      return json::addI64(context, position, n, static_cast<std::int64_t>(number));
  }
}

// `text` gives the target's current text (a growing buffer moves).
template <class Text>
void step(tTarget& target, Text&& text, bool mustSucceed, std::uint8_t op, const std::string& name,
          const std::string& value, std::uint64_t number) {
  if (op % 10 == 9) {  // close the innermost container
    if (target.isObject.size() > 1) {
      target.position = json::endValue(target.position);
      check(target.position != nullptr && (*target.position == '}' || *target.position == ']'));
      target.isObject.pop_back();
    }
    return;
  }
  const std::string before(text());
  bool opened = false;
  char* result = apply(target.context, target.position, target.isObject.back(), op, name, value,
                       number, &opened);
  if (result == nullptr) {
    check(!mustSucceed);
    check(before == text());  // nothing written
    return;
  }
  target.position = result;
  if (opened) target.isObject.push_back(op % 9 == 6);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tInput input{data, size};
  const bool object = (input.byte() & 1) != 0;

  json::tJsonGrowableBuffer growable(object ? "{}" : "[]", 8);
  check(growable.insertionPoint() != nullptr);
  tTarget grown{growable.context(), growable.insertionPoint(), {object}};

  std::vector<char> fixedStorage(64);
  char* fixedPosition =
      json::initEditable(fixedStorage.data(), fixedStorage.size(), object ? "{}" : "[]");
  check(fixedPosition != nullptr);
  tTarget fixed{nullptr, fixedPosition, {object}};

  tOwnedJsonStatus status(-1);

  int steps = 0;
  while (!input.empty() && steps++ < 200) {
    const std::uint8_t op = input.byte();
    const std::string name = input.text();
    const std::string value = input.text();
    const std::uint64_t number = input.bytes(8);

    // A growing target always has room (far below its maximum size here).
    step(
        grown, [&] { return growable.text(); }, true, op, name, value, number);
    checkEditable(growable.text(), growable.size());
    step(
        fixed, [&] { return fixedStorage.data(); }, false, op, name, value, number);
    checkEditable(fixedStorage.data(), fixedStorage.size());

    bool ok = true;
    switch (op % 6) {
      case 0:
        ok = status->addString(name.c_str(), value.c_str());
        break;
      case 1:
        ok = status->addBool(name.c_str(), number & 1);
        break;
      case 2:
        ok = status->addInt(name.c_str(), static_cast<std::int32_t>(number));
        break;
      case 3:
        ok = status->addUnsigned(name.c_str(), static_cast<std::uint32_t>(number));
        break;
      case 4:
        ok = status->addU64(name.c_str(), number);
        break;
      default:
        ok = status->addRaw(name.c_str(), kRaw[number % 7]);
        break;
    }
    check(ok);
    checkEditable(status->json, status->capacity);
  }
  return 0;
}
