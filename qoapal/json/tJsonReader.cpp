#include "qoapal/json/tJsonReader.h"

#include "qoapal/json/jsonUtf8.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json {
namespace {

inline bool isSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

inline int hexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline const char* fail(tJsonToken& token, const char* at, int kind) {
  token.type = kTypeInvalid;
  token.start = at;
  token.length = 0;
  token.flag = kind;
  return nullptr;
}

// Scans a string whose opening quote is at p; returns the position after the closing quote.
// With anyBytes, bytes from 0x80 up pass as they are (no UTF-8 check).
const char* scanString(const char* p, const char* end, tJsonToken& token, bool anyBytes) {
  const char* start = p + 1;
  const auto* q = reinterpret_cast<const unsigned char*>(start);
  const auto* e = reinterpret_cast<const unsigned char*>(end);
  while (q < e) {
    const unsigned char c = *q;
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
      ++q;
      continue;
    }
    if (c == '"') {
      token.type = kTypeString;
      token.start = start;
      token.length = static_cast<std::size_t>(reinterpret_cast<const char*>(q) - start);
      token.flag = 0;
      return reinterpret_cast<const char*>(q + 1);
    }
    if (c == '\\') {
      if (e - q < 2) return fail(token, reinterpret_cast<const char*>(q), kErrorBadString);
      switch (q[1]) {
        case '"':
        case '/':
        case '\\':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
          q += 2;
          continue;
        case 'u':
          if (e - q < 6 || hexValue(q[2]) < 0 || hexValue(q[3]) < 0 || hexValue(q[4]) < 0 ||
              hexValue(q[5]) < 0) {
            return fail(token, reinterpret_cast<const char*>(q), kErrorBadString);
          }
          q += 6;
          continue;
        default:
          return fail(token, reinterpret_cast<const char*>(q), kErrorBadString);
      }
    }
    if (c < 0x20) return fail(token, reinterpret_cast<const char*>(q), kErrorBadString);
    const std::size_t n = anyBytes ? 1 : wellFormedUtf8Length(q, e);
    if (n == 0) return fail(token, reinterpret_cast<const char*>(q), kErrorBadString);
    q += n;
  }
  return fail(token, end, kErrorBadString);  // the text ends inside the string
}

// Scans a number starting at p (a minus or a digit); null when no digit follows the minus.
const char* scanNumber(const char* p, const char* end, tJsonToken& token) {
  const char* start = p;
  if (*p == '-') ++p;
  if (p == end || !isDigit(*p)) return fail(token, start, kErrorStringExpected);
  while (p < end && isDigit(*p)) ++p;
  bool fraction = false;
  if (p < end && *p == '.' && end - p >= 2 && isDigit(p[1])) {
    p += 2;
    while (p < end && isDigit(*p)) ++p;
    fraction = true;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    if (q < end && (*q == '+' || *q == '-')) ++q;
    if (q < end && isDigit(*q)) {
      while (q < end && isDigit(*q)) ++q;
      p = q;
      fraction = true;
    }
  }
  token.type = kTypeNumber;
  token.start = start;
  token.length = static_cast<std::size_t>(p - start);
  token.flag = fraction ? 1 : 0;
  return p;
}

inline bool startsWith(const char* p, const char* end, const char* word, std::size_t n) {
  return static_cast<std::size_t>(end - p) >= n && std::memcmp(p, word, n) == 0;
}

// Scans a scalar at p (not whitespace, not end). Returns the position after it.
const char* scanScalar(const char* p, const char* end, tJsonToken& token, bool anyBytes) {
  const char c = *p;
  if (c == '"') return scanString(p, end, token, anyBytes);
  if (c == '-' || isDigit(static_cast<unsigned char>(c))) return scanNumber(p, end, token);
  int type = kTypeInvalid, flag = 0;
  std::size_t n = 0;
  if (startsWith(p, end, "true", 4)) {
    type = kTypeBoolean;
    flag = 1;
    n = 4;
  } else if (startsWith(p, end, "false", 5)) {
    type = kTypeBoolean;
    n = 5;
  } else if (startsWith(p, end, "null", 4)) {
    type = kTypeNull;
    n = 4;
  } else {
    // Tried as string, number, object, array, boolean and null: all fail at this character,
    // so the first of them (string) names the error.
    return fail(token, p, kErrorStringExpected);
  }
  token.type = type;
  token.start = p;
  token.length = n;
  token.flag = flag;
  return p + n;
}

// The byte a one-character escape stands for ('u' gives 0: four hex digits follow); -1 for a
// character that starts no escape.
int simpleEscape(unsigned char e) {
  if (e == 'u') return 0;
  for (const tShortEscape& escape : kShortEscapes)
    if (escape.letter == e) return escape.byte;
  return -1;
}

// The UTF-8 bytes of code point `cp` (at most 0x10FFFF) into `bytes`; their count.
int encodeUtf8(std::uint32_t cp, unsigned char (&bytes)[4]) {
  if (cp < 0x80) {
    bytes[0] = static_cast<unsigned char>(cp);
    return 1;
  }
  const int n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  static constexpr unsigned char kLead[] = {0, 0, 0xc0, 0xe0, 0xf0};
  for (int i = n - 1; i > 0; --i, cp >>= 6) {
    bytes[i] = static_cast<unsigned char>(0x80 | (cp & 0x3f));
  }
  bytes[0] = static_cast<unsigned char>(kLead[n] | cp);
  return n;
}

// Four hex digits at q (before end) into value; false when they are not there.
bool readHex4(const unsigned char* q, const unsigned char* end, std::uint32_t& value) {
  if (end - q < 4) return false;
  value = 0;
  for (int i = 0; i < 4; ++i) {
    const int h = hexValue(q[i]);
    if (h < 0) return false;
    value = value * 16 + static_cast<std::uint32_t>(h);
  }
  return true;
}

// The code point of the \u escape whose digits start at p (a surrogate pair taken whole); p is
// moved past it. False for a lone or unpaired surrogate or digits missing.
bool readUnicodeEscape(const unsigned char*& p, const unsigned char* end, std::uint32_t& cp) {
  if (!readHex4(p, end, cp)) return false;
  p += 4;
  if (cp >= 0xdc00 && cp <= 0xdfff) return false;  // low surrogate without a high one
  if (cp >= 0xd800 && cp <= 0xdbff) {
    std::uint32_t low;
    if (end - p < 6 || p[0] != '\\' || p[1] != 'u' || !readHex4(p + 2, end, low) || low < 0xdc00 ||
        low > 0xdfff) {
      return false;  // high surrogate not followed by a low one
    }
    p += 6;
    cp = (cp - 0xd800) * 1024 + (low - 0xdc00) + 0x10000;
  }
  return true;
}

// Applies `sink(unsigned char)` to each decoded byte; false on a bad escape or a sink refusal.
template <class Sink>
bool decode(const char* raw, std::size_t length, Sink&& sink) {
  const auto* p = reinterpret_cast<const unsigned char*>(raw);
  const auto* end = p + length;
  while (p < end) {
    if (*p != '\\') {
      if (!sink(*p++)) return false;
      continue;
    }
    if (end - p < 2) return false;
    const int simple = simpleEscape(p[1]);
    const bool unicode = p[1] == 'u';
    p += 2;
    if (simple < 0) return false;
    if (!unicode) {
      if (!sink(static_cast<unsigned char>(simple))) return false;
      continue;
    }
    std::uint32_t cp;
    if (!readUnicodeEscape(p, end, cp)) return false;
    unsigned char bytes[4];
    const int n = encodeUtf8(cp, bytes);
    for (int i = 0; i < n; ++i) {
      if (!sink(bytes[i])) return false;
    }
  }
  return true;
}

// Decimal order of magnitude of a number text (number of integer digits after leading zeros,
// minus the zeros leading the fraction when there are none, plus the exponent), saturated.
long decimalOrder(const char* p, const char* end) {
  if (p < end && *p == '-') ++p;
  while (p < end && *p == '0') ++p;
  long order = 0;
  while (p < end && isDigit(*p)) {
    if (order < 1000000) ++order;
    ++p;
  }
  if (p < end && *p == '.') {
    ++p;
    if (order == 0) {
      while (p < end && *p == '0') {
        if (order > -1000000) --order;
        ++p;
      }
    }
    while (p < end && isDigit(*p)) ++p;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    long exponent = 0;
    while (p < end && isDigit(*p)) {
      if (exponent < 1000000) exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    order += negative ? -exponent : exponent;
  }
  return order;
}

}  // namespace

tJsonReader::tJsonReader(const char* text) noexcept {
  if (text != nullptr) {
    begin_ = text;
    end_ = text + std::strlen(text);
    failure_ = kErrorNone;
  }
}

tJsonReader::tJsonReader(const char* data, std::size_t length) noexcept {
  if (data != nullptr) {
    begin_ = data;
    end_ = data + length;
    failure_ = kErrorNone;
  }
}

tJsonReader tJsonReader::bounded(const char* text, std::size_t maxLength) noexcept {
  tJsonReader reader;
  if (text == nullptr) return reader;
  const void* nul = std::memchr(text, '\0', maxLength);
  reader.begin_ = text;
  if (nul == nullptr) {
    reader.end_ = text;
    reader.failure_ = kErrorNotTerminated;
  } else {
    reader.end_ = static_cast<const char*>(nul);
    reader.failure_ = kErrorNone;
  }
  return reader;
}

const char* tJsonReader::checkPosition(const char* position, tJsonToken& token) const noexcept {
  if (failure_ != kErrorNone) return fail(token, begin_, failure_);
  std::less_equal<const char*> le;
  if (position == nullptr || !le(begin_, position) || !le(position, end_)) {
    return fail(token, position, kErrorNoInput);
  }
  return position;
}

const char* tJsonReader::skipSpace(const char* p) const noexcept {
  while (p < end_ && isSpace(static_cast<unsigned char>(*p))) ++p;
  return p;
}

namespace {

// The open containers of a value being checked, one bit each (set: an object).
class tOpenContainers {
 public:
  int depth() const noexcept { return depth_; }
  void push(bool object) noexcept {
    const std::uint64_t bit = std::uint64_t{1} << (depth_ % 64);
    if (object) {
      bits_[depth_ / 64] |= bit;
    } else {
      bits_[depth_ / 64] &= ~bit;
    }
    ++depth_;
  }
  void pop() noexcept { --depth_; }
  bool topIsObject() const noexcept {
    return ((bits_[(depth_ - 1) / 64] >> ((depth_ - 1) % 64)) & 1) != 0;
  }

 private:
  std::uint64_t bits_[tJsonReader::kMaximumDepth / 64] = {};
  int depth_ = 0;
};

void setToken(tJsonToken& token, int type, const char* start, std::size_t length) {
  token.type = type;
  token.start = start;
  token.length = length;
  token.flag = 0;
}

}  // namespace

// Past the member name and colon at p (inside an object), at the member's value; null with the
// error in token when they are not there.
const char* tJsonReader::skipMemberName(const char* p, tJsonToken& token) const noexcept {
  if (*p != '"') return fail(token, p, kErrorStringExpected);
  p = scanString(p, end_, token, anyStringBytes_);
  if (p == nullptr) return nullptr;
  p = skipSpace(p);
  if (p == end_) return fail(token, p, kErrorObject);
  if (*p != ':') return fail(token, p, kErrorColonExpected);
  p = skipSpace(p + 1);
  if (p == end_) return fail(token, p, kErrorObject);
  return p;
}

// Reads the value at p (whitespace skipped, p inside the text). Containers are checked with an
// explicit stack of open brackets, one bit each, instead of recursion.
const char* tJsonReader::parse(const char* p, tJsonToken& token, bool deep) const noexcept {
  p = skipSpace(p);
  if (p == end_) return fail(token, p, kErrorNoInput);
  const char c = *p;
  if (c != '{' && c != '[') return scanScalar(p, end_, token, anyStringBytes_);
  const char* const first = p;
  const int firstType = c == '{' ? kTypeObject : kTypeArray;
  if (!deep) {
    setToken(token, firstType, p, 1);
    return p;
  }
  tOpenContainers open;
  auto notClosed = [&](const char* at) {
    return fail(token, at, open.topIsObject() ? kErrorObject : kErrorArray);
  };
  for (;;) {  // p at an opening bracket: open a container
    if (open.depth() == kMaximumDepth) return fail(token, p, kErrorTooDeep);
    const bool object = *p == '{';
    open.push(object);
    p = skipSpace(p + 1);
    if (p == end_) return notClosed(p);
    if (*p == (object ? '}' : ']')) {
      ++p;
      open.pop();
      goto afterValue;
    }
  elementOrMember:  // p at a non-space character inside the container on top
    if (open.topIsObject() && (p = skipMemberName(p, token)) == nullptr) return nullptr;
    if (*p == '{' || *p == '[') continue;  // open the nested container
    p = scanScalar(p, end_, token, anyStringBytes_);
    if (p == nullptr) return nullptr;
  afterValue:
    if (open.depth() == 0) break;
    p = skipSpace(p);
    if (p == end_) return notClosed(p);
    if (*p == ',') {
      p = skipSpace(p + 1);
      if (p == end_) return notClosed(p);
      if (*p == '}' || *p == ']') return fail(token, p, kErrorCommaBeforeClose);
      goto elementOrMember;
    }
    if (*p != (open.topIsObject() ? '}' : ']')) return fail(token, p, kErrorCommaOrCloseExpected);
    ++p;
    open.pop();
    goto afterValue;
  }
  setToken(token, firstType, first, static_cast<std::size_t>(p - first));
  return p;
}

const char* tJsonReader::readValue(const char* position, tJsonToken& token) const noexcept {
  if (checkPosition(position, token) == nullptr) return nullptr;
  return parse(position, token, true);
}

const char* tJsonReader::peekValue(const char* position, tJsonToken& token) const noexcept {
  if (checkPosition(position, token) == nullptr) return nullptr;
  const char* after = parse(position, token, false);
  return after != nullptr ? token.start - (token.type == kTypeString ? 1 : 0) : nullptr;
}

// p after an opening brace or a comma (whitespace skipped, not at the end): reads the key and
// the colon and returns the value's position.
const char* tJsonReader::memberHead(const char* p, tJsonToken& key, bool& found) const noexcept {
  if (*p != '"') return fail(key, p, kErrorStringExpected);
  p = scanString(p, end_, key, anyStringBytes_);
  if (p == nullptr) return nullptr;
  p = skipSpace(p);
  if (p == end_) return fail(key, p, kErrorObject);
  if (*p != ':') return fail(key, p, kErrorColonExpected);
  p = skipSpace(p + 1);
  if (p == end_) return fail(key, p, kErrorObject);
  found = true;
  return p;
}

const char* tJsonReader::firstMember(const char* objectPosition, tJsonToken& key,
                                     bool& found) const noexcept {
  found = false;
  if (checkPosition(objectPosition, key) == nullptr) return nullptr;
  const char* p = skipSpace(objectPosition);
  if (p == end_ || *p != '{') return fail(key, p, p == end_ ? kErrorNoInput : kErrorObject);
  p = skipSpace(p + 1);
  if (p == end_) return fail(key, p, kErrorObject);
  if (*p == '}') {
    key = tJsonToken{};
    return p + 1;
  }
  return memberHead(p, key, found);
}

const char* tJsonReader::nextMember(const char* valuePosition, tJsonToken& key,
                                    bool& found) const noexcept {
  found = false;
  tJsonToken value;
  const char* p = readValue(valuePosition, value);
  if (p == nullptr) {
    key = value;
    return nullptr;
  }
  p = skipSpace(p);
  if (p == end_) return fail(key, p, kErrorObject);
  if (*p == '}') {
    key = tJsonToken{};
    return p + 1;
  }
  if (*p != ',') return fail(key, p, kErrorCommaOrCloseExpected);
  p = skipSpace(p + 1);
  if (p == end_) return fail(key, p, kErrorObject);
  if (*p == '}' || *p == ']') return fail(key, p, kErrorCommaBeforeClose);
  return memberHead(p, key, found);
}

const char* tJsonReader::firstElement(const char* arrayPosition, tJsonToken* error) const noexcept {
  tJsonToken local;
  tJsonToken& e = error != nullptr ? *error : local;
  if (checkPosition(arrayPosition, e) == nullptr) return nullptr;
  const char* p = skipSpace(arrayPosition);
  if (p == end_ || *p != '[') return fail(e, p, p == end_ ? kErrorNoInput : kErrorArray);
  p = skipSpace(p + 1);
  if (p == end_) return fail(e, p, kErrorArray);
  e = tJsonToken{};
  if (*p == ']') return nullptr;
  return p;
}

const char* tJsonReader::nextElement(const char* elementPosition,
                                     tJsonToken* error) const noexcept {
  tJsonToken local;
  tJsonToken& e = error != nullptr ? *error : local;
  const char* p = readValue(elementPosition, e);
  if (p == nullptr) return nullptr;
  p = skipSpace(p);
  if (p == end_) return fail(e, p, kErrorArray);
  if (*p == ']') {
    e = tJsonToken{};
    return nullptr;
  }
  if (*p != ',') return fail(e, p, kErrorCommaOrCloseExpected);
  p = skipSpace(p + 1);
  if (p == end_) return fail(e, p, kErrorArray);
  if (*p == '}' || *p == ']') return fail(e, p, kErrorCommaBeforeClose);
  e = tJsonToken{};
  return p;
}

const char* tJsonReader::findMember(const char* objectPosition, const char* name) const noexcept {
  if (name == nullptr) return nullptr;
  tJsonToken key;
  bool found = false;
  for (const char* value = firstMember(objectPosition, key, found); value != nullptr && found;
       value = nextMember(value, key, found)) {
    if (decodedEquals(key.start, key.length, name)) return value;
  }
  return nullptr;
}

const char* tJsonReader::getString(const char* position, const char* defaultValue,
                                   std::size_t* length) const noexcept {
  tJsonToken token;
  if (peekValue(position, token) != nullptr && token.type == kTypeString) {
    if (length != nullptr) *length = token.length;
    return token.start;
  }
  if (length != nullptr) *length = defaultValue != nullptr ? std::strlen(defaultValue) : 0;
  return defaultValue;
}

bool tJsonReader::integerValue(const char* position, std::int64_t& value) const noexcept {
  tJsonToken token;
  if (peekValue(position, token) == nullptr || token.type != kTypeNumber) return false;
  const char* p = token.start;
  const char* end = token.start + token.length;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  if (token.flag != 0) {
    // from_chars reads the C grammar's decimal point whatever the process locale says.
    double d = 0;
    const auto result = std::from_chars(p, end, d);
    if (result.ec == std::errc::result_out_of_range) {
      // Beyond the range of a double: huge when the decimal order is positive, else zero.
      d = decimalOrder(p, end) > 0 ? (*p == '-' ? -HUGE_VAL : HUGE_VAL) : 0.0;
    } else if (result.ec != std::errc{} || result.ptr != end) {
      return false;
    }
    d = std::trunc(d);
    if (d >= 9223372036854775808.0) {
      value = kMax;
    } else if (d < -9223372036854775808.0) {
      value = kMin;
    } else {
      value = static_cast<std::int64_t>(d);
    }
    return true;
  }
  const bool negative = *p == '-';
  if (negative) ++p;
  std::uint64_t magnitude = 0;
  bool saturated = false;
  for (; p < end; ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      saturated = true;
      break;
    }
    magnitude = magnitude * 10 + digit;
  }
  if (negative) {
    value = saturated || magnitude > static_cast<std::uint64_t>(kMax) + 1
                ? kMin
                : static_cast<std::int64_t>(0 - magnitude);
  } else {
    value = saturated || magnitude > static_cast<std::uint64_t>(kMax)
                ? kMax
                : static_cast<std::int64_t>(magnitude);
  }
  return true;
}

std::int32_t tJsonReader::getInt(const char* position, std::int32_t defaultValue) const noexcept {
  std::int64_t value;
  if (!integerValue(position, value)) return defaultValue;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

std::uint32_t tJsonReader::getUnsigned(const char* position,
                                       std::uint32_t defaultValue) const noexcept {
  std::int64_t value;
  if (!integerValue(position, value)) return defaultValue;
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(value));
}

bool tJsonReader::getBool(const char* position, bool defaultValue) const noexcept {
  tJsonToken token;
  if (peekValue(position, token) == nullptr || token.type != kTypeBoolean) return defaultValue;
  return token.flag != 0;
}

bool tJsonReader::decodeString(const char* raw, std::size_t length, char* out, std::size_t outSize,
                               std::size_t* outLength) noexcept {
  if (outLength != nullptr) *outLength = 0;
  if (out == nullptr || outSize == 0 || (raw == nullptr && length != 0)) return false;
  std::size_t n = 0;
  const bool ok = decode(raw, length, [&](unsigned char c) {
    if (n + 1 >= outSize) return false;  // keep room for the terminating NUL
    out[n++] = static_cast<char>(c);
    return true;
  });
  out[n] = '\0';
  if (!ok) {
    out[0] = '\0';
    return false;
  }
  if (outLength != nullptr) *outLength = n;
  return true;
}

bool tJsonReader::decodedEquals(const char* raw, std::size_t length, const char* name) noexcept {
  if (name == nullptr || (raw == nullptr && length != 0)) return false;
  if (length == 0) return *name == '\0';
  if (std::memchr(raw, '\\', length) == nullptr) {
    // No escapes: a plain comparison (raw strings never hold NUL bytes; check anyway).
    return std::memchr(raw, '\0', length) == nullptr && std::strncmp(raw, name, length) == 0 &&
           name[length] == '\0';
  }
  std::size_t i = 0;
  const bool ok = decode(raw, length, [&](unsigned char c) {
    if (name[i] == '\0' || static_cast<unsigned char>(name[i]) != c) return false;
    ++i;
    return true;
  });
  return ok && name[i] == '\0';
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json
