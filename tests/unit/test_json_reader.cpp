// In-place JSON reader: tokens, errors, bounds, nesting, iteration, strings and numbers.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "qoapal/json/tJsonReader.h"

namespace json = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json;
using json::tJsonReader;
using json::tJsonToken;

namespace {

// Reads the whole text as one value; returns the token.
tJsonToken readAll(const char* text, const char** after = nullptr) {
  tJsonReader reader(text);
  tJsonToken token;
  const char* p = reader.readValue(reader.begin(), token);
  if (after != nullptr) *after = p;
  return token;
}

// Expects reading `text` to fail with `kind` at byte offset `offset`.
void expectError(const char* text, int kind, std::size_t offset) {
  tJsonReader reader(text);
  tJsonToken token;
  EXPECT_EQ(reader.readValue(reader.begin(), token), nullptr) << text;
  EXPECT_EQ(token.type, json::kTypeInvalid) << text;
  EXPECT_EQ(token.errorKind(), kind) << text;
  EXPECT_EQ(token.start, text + offset) << text;
}

// A heap copy of exactly `text` without terminator, so over-reads show under AddressSanitizer.
std::unique_ptr<char[]> exactCopy(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() ? text.size() : 1]);
  std::memcpy(copy.get(), text.data(), text.size());
  return copy;
}

std::string decoded(const char* raw) {
  char out[256];
  std::size_t n = 0;
  if (!tJsonReader::decodeString(raw, std::strlen(raw), out, sizeof out, &n)) return "<fail>";
  return std::string(out, n);
}

}  // namespace

TEST(JsonReaderValues, TypesFlagsAndSpans) {
  const char* after = nullptr;
  tJsonToken t = readAll("  \"ab\\n\" ", &after);
  EXPECT_EQ(t.type, json::kTypeString);
  EXPECT_EQ(std::string(t.start, t.length), "ab\\n");
  EXPECT_STREQ(after, " ");

  t = readAll("-12");
  EXPECT_EQ(t.type, json::kTypeNumber);
  EXPECT_EQ(t.flag, 0);
  EXPECT_EQ(t.length, 3u);
  t = readAll("1.5e-3");
  EXPECT_EQ(t.type, json::kTypeNumber);
  EXPECT_EQ(t.flag, 1);
  EXPECT_EQ(t.length, 6u);
  t = readAll("2E4");
  EXPECT_EQ(t.flag, 1);

  EXPECT_EQ(readAll("true").type, json::kTypeBoolean);
  EXPECT_EQ(readAll("true").flag, 1);
  EXPECT_EQ(readAll("false").flag, 0);
  EXPECT_EQ(readAll("null").type, json::kTypeNull);

  const char* text = "{\"a\":[1,{\"b\":null}],\"c\":{}} tail";
  t = readAll(text, &after);
  EXPECT_EQ(t.type, json::kTypeObject);
  EXPECT_EQ(t.start, text);
  EXPECT_EQ(t.length, 27u);
  EXPECT_STREQ(after, " tail");
  EXPECT_EQ(readAll("[]").type, json::kTypeArray);
}

TEST(JsonReaderValues, NumberStopsBeforeDanglingPointOrExponent) {
  const char* after = nullptr;
  tJsonToken t = readAll("1.", &after);
  EXPECT_EQ(t.type, json::kTypeNumber);
  EXPECT_EQ(t.length, 1u);
  EXPECT_EQ(t.flag, 0);
  t = readAll("7e+", &after);
  EXPECT_EQ(t.length, 1u);
  EXPECT_STREQ(after, "e+");
}

TEST(JsonReaderValues, PeekIsShallow) {
  const char* text = " [1, 2, oops";
  tJsonReader reader(text);
  tJsonToken t;
  EXPECT_EQ(reader.peekValue(reader.begin(), t), text + 1);
  EXPECT_EQ(t.type, json::kTypeArray);
  EXPECT_EQ(reader.readValue(reader.begin(), t), nullptr);  // the deep read sees the fault
  const char* s = " \"x\"";
  tJsonReader strings(s);
  EXPECT_EQ(strings.peekValue(strings.begin(), t), s + 1);
  EXPECT_EQ(t.type, json::kTypeString);
}

TEST(JsonReaderErrors, KindsAndPositions) {
  expectError("[1,2,]", json::kErrorCommaBeforeClose, 5);
  expectError("{\"a\":1,}", json::kErrorCommaBeforeClose, 7);
  expectError("", json::kErrorNoInput, 0);
  expectError(" \t\r\n", json::kErrorNoInput, 4);
  expectError("x", json::kErrorStringExpected, 0);
  expectError("-", json::kErrorStringExpected, 0);
  expectError("tru", json::kErrorStringExpected, 0);
  expectError("{1:2}", json::kErrorStringExpected, 1);
  expectError("{\"a\" 1}", json::kErrorColonExpected, 5);
  expectError("{\"a\":1 \"b\":2}", json::kErrorCommaOrCloseExpected, 7);
  expectError("[1}", json::kErrorCommaOrCloseExpected, 2);
  expectError("{\"a\":", json::kErrorObject, 5);
  expectError("{\"a\":1", json::kErrorObject, 6);
  expectError("[1,", json::kErrorArray, 3);
  expectError("[[[", json::kErrorArray, 3);
  expectError("[\"a\\q\"]", json::kErrorBadString, 3);
  expectError("\"a\\u12G4\"", json::kErrorBadString, 2);
  expectError("\"tab\there\"", json::kErrorBadString, 4);
  expectError("\"unterminated", json::kErrorBadString, 13);
  expectError("\"end\\", json::kErrorBadString, 4);
  expectError("[1,x]", json::kErrorStringExpected, 3);
}

TEST(JsonReaderErrors, MalformedUtf8InStrings) {
  expectError("\"\xc3\"", json::kErrorBadString, 1);          // truncated sequence
  expectError("\"\xc0\xaf\"", json::kErrorBadString, 1);      // overlong
  expectError("\"\xed\xa0\x80\"", json::kErrorBadString, 1);  // encoded surrogate
  expectError("\"\xf5\x80\x80\x80\"", json::kErrorBadString, 1);
  expectError("\"\xff\"", json::kErrorBadString, 1);
  EXPECT_EQ(readAll("\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"").type, json::kTypeString);
}

TEST(JsonReaderDepth, AcceptsMaximumAndRefusesDeeper) {
  const int max = tJsonReader::kMaximumDepth;
  std::string ok = std::string(max, '[') + std::string(max, ']');
  EXPECT_EQ(readAll(ok.c_str()).type, json::kTypeArray);
  std::string deep = std::string(max + 1, '[') + std::string(max + 1, ']');
  expectError(deep.c_str(), json::kErrorTooDeep, max);
  std::string objects;
  for (int i = 0; i < max + 1; ++i) objects += "{\"k\":";
  objects += "1";
  objects += std::string(max + 1, '}');
  expectError(objects.c_str(), json::kErrorTooDeep, 5 * max);
}

TEST(JsonReaderDepth, HugeNestingFailsWithoutExhaustingTheStack) {
  std::string deep(1000000, '[');
  expectError(deep.c_str(), json::kErrorTooDeep, tJsonReader::kMaximumDepth);
  // Iterating members of a shallow object whose value is too deep reports the same kind.
  std::string member = "{\"a\":" + deep + "}";
  tJsonReader reader(member.c_str());
  tJsonToken key;
  bool found = false;
  const char* value = reader.firstMember(reader.begin(), key, found);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(reader.nextMember(value, key, found), nullptr);
  EXPECT_EQ(key.errorKind(), json::kErrorTooDeep);
}

TEST(JsonReaderBounds, BoundedTextMustBeTerminatedWithinTheBound) {
  const char text[6] = {'[', '1', ',', '2', ']', 'x'};  // no NUL anywhere
  tJsonReader reader = tJsonReader::bounded(text, sizeof text);
  tJsonToken t;
  EXPECT_EQ(reader.readValue(reader.begin(), t), nullptr);
  EXPECT_EQ(t.errorKind(), json::kErrorNotTerminated);
  bool found = true;
  EXPECT_EQ(reader.firstMember(reader.begin(), t, found), nullptr);
  EXPECT_FALSE(found);
  EXPECT_EQ(reader.getInt(reader.begin(), -7), -7);

  const char terminated[8] = "[1,2]";
  tJsonReader ok = tJsonReader::bounded(terminated, sizeof terminated);
  EXPECT_EQ(ok.readValue(ok.begin(), t), terminated + 5);
  EXPECT_EQ(t.type, json::kTypeArray);
  tJsonReader tooShort = tJsonReader::bounded(terminated, 5);  // the NUL is byte 5
  EXPECT_EQ(tooShort.readValue(tooShort.begin(), t), nullptr);
  EXPECT_EQ(t.errorKind(), json::kErrorNotTerminated);
}

TEST(JsonReaderBounds, ExactSpanIsNeverOverRead) {
  struct Case {
    std::string text;
    int type;
    int kind;
  };
  const Case cases[] = {
      {"123", json::kTypeNumber, 0},         {"-4.5e7", json::kTypeNumber, 0},
      {"1.", json::kTypeNumber, 0},          {"1e", json::kTypeNumber, 0},
      {"true", json::kTypeBoolean, 0},       {"nul", 0, json::kErrorStringExpected},
      {"\"ab", 0, json::kErrorBadString},    {"\"a\\", 0, json::kErrorBadString},
      {"\"\\u12", 0, json::kErrorBadString}, {"\"\xe2\x82", 0, json::kErrorBadString},
      {"[1,2", 0, json::kErrorArray},        {"{\"a\"", 0, json::kErrorObject},
      {"{\"a\":", 0, json::kErrorObject},    {"-", 0, json::kErrorStringExpected},
  };
  for (const Case& c : cases) {
    auto copy = exactCopy(c.text);
    tJsonReader reader(copy.get(), c.text.size());
    tJsonToken t;
    const char* after = reader.readValue(reader.begin(), t);
    EXPECT_EQ(t.type, c.type) << c.text;
    if (c.kind != 0) {
      EXPECT_EQ(after, nullptr) << c.text;
      EXPECT_EQ(t.errorKind(), c.kind) << c.text;
    }
    // Numbers and strings are read up to the end of the span and not further.
    (void)reader.getInt(reader.begin(), 0);
    std::size_t length = 0;
    (void)reader.getString(reader.begin(), nullptr, &length);
  }
}

TEST(JsonReaderBounds, PositionsOutsideTheTextAreRefused) {
  const char* text = "[1]";
  const char* other = "[2]";
  tJsonReader reader(text);
  tJsonToken t;
  EXPECT_EQ(reader.readValue(nullptr, t), nullptr);
  EXPECT_EQ(t.errorKind(), json::kErrorNoInput);
  EXPECT_EQ(reader.readValue(other, t), nullptr);
  EXPECT_EQ(t.errorKind(), json::kErrorNoInput);
  EXPECT_EQ(reader.nextElement(nullptr, &t), nullptr);
  EXPECT_EQ(t.errorKind(), json::kErrorNoInput);
  tJsonReader none(static_cast<const char*>(nullptr));
  EXPECT_EQ(none.readValue(none.begin(), t), nullptr);
  EXPECT_EQ(t.errorKind(), json::kErrorNoInput);
}

TEST(JsonReaderIteration, MembersInTextOrder) {
  const char* text = "{ \"seeds\" : [1, 2], \"cost\":3 ,\"x\":{\"y\":[]} }";
  tJsonReader reader(text);
  tJsonToken key;
  bool found = false;
  std::string keys;
  const char* value = reader.firstMember(reader.begin(), key, found);
  const char* last = nullptr;
  while (value != nullptr && found) {
    keys += std::string(key.start, key.length) + ";";
    last = value;
    value = reader.nextMember(value, key, found);
  }
  EXPECT_EQ(keys, "seeds;cost;x;");
  EXPECT_FALSE(found);
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "");  // after the closing brace
  EXPECT_EQ(*last, '{');

  EXPECT_NE(reader.firstMember(text, key, found), nullptr);
  tJsonReader empty(" { } ");
  value = empty.firstMember(empty.begin(), key, found);
  EXPECT_FALSE(found);
  EXPECT_STREQ(value, " ");
}

TEST(JsonReaderIteration, MemberErrors) {
  tJsonReader notObject("[1]");
  tJsonToken key;
  bool found = true;
  EXPECT_EQ(notObject.firstMember(notObject.begin(), key, found), nullptr);
  EXPECT_EQ(key.errorKind(), json::kErrorObject);
  EXPECT_FALSE(found);

  tJsonReader trailing("{\"a\":1,}");
  const char* value = trailing.firstMember(trailing.begin(), key, found);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(trailing.nextMember(value, key, found), nullptr);
  EXPECT_EQ(key.errorKind(), json::kErrorCommaBeforeClose);
  EXPECT_FALSE(found);

  tJsonReader truncated("{\"a\":[1,2");
  value = truncated.firstMember(truncated.begin(), key, found);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(truncated.nextMember(value, key, found), nullptr);
  EXPECT_EQ(key.errorKind(), json::kErrorArray);
}

TEST(JsonReaderIteration, Elements) {
  const char* text = "[ \"a\", 2 ,[3], {\"b\":4} ]";
  tJsonReader reader(text);
  tJsonToken error;
  int count = 0;
  std::string types;
  for (const char* e = reader.firstElement(reader.begin(), &error); e != nullptr;
       e = reader.nextElement(e, &error)) {
    tJsonToken t;
    reader.peekValue(e, t);
    types += std::to_string(t.type);
    ++count;
  }
  EXPECT_EQ(count, 4);
  EXPECT_EQ(types, "4356");
  EXPECT_EQ(error.errorKind(), json::kErrorNone);

  tJsonReader empty("[]");
  EXPECT_EQ(empty.firstElement(empty.begin(), &error), nullptr);
  EXPECT_EQ(error.errorKind(), json::kErrorNone);

  tJsonReader bad("[1,2,]");
  const char* e = bad.firstElement(bad.begin(), &error);
  e = bad.nextElement(e, &error);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(bad.nextElement(e, &error), nullptr);
  EXPECT_EQ(error.errorKind(), json::kErrorCommaBeforeClose);
  EXPECT_EQ(error.start, bad.begin() + 5);

  tJsonReader notArray("{}");
  EXPECT_EQ(notArray.firstElement(notArray.begin(), &error), nullptr);
  EXPECT_EQ(error.errorKind(), json::kErrorArray);
}

TEST(JsonReaderIteration, FindMemberComparesDecodedKeys) {
  const char* text = "{\"ab\":1,\"\\u0061\\u0062c\":2,\"a\\\"b\":3,\"abc\":4,\"\xc3\xa9\":5}";
  tJsonReader reader(text);
  EXPECT_EQ(reader.getInt(reader.findMember(reader.begin(), "ab"), -1), 1);
  EXPECT_EQ(reader.getInt(reader.findMember(reader.begin(), "abc"), -1), 2);  // first match
  EXPECT_EQ(reader.getInt(reader.findMember(reader.begin(), "a\"b"), -1), 3);
  EXPECT_EQ(reader.getInt(reader.findMember(reader.begin(), "\xc3\xa9"), -1), 5);
  EXPECT_EQ(reader.findMember(reader.begin(), "a"), nullptr);
  EXPECT_EQ(reader.findMember(reader.begin(), "abcd"), nullptr);
  EXPECT_EQ(reader.findMember(reader.begin(), nullptr), nullptr);
  EXPECT_FALSE(tJsonReader::decodedEquals("a\\u0000", 7, "a"));
  EXPECT_TRUE(tJsonReader::decodedEquals("", 0, ""));
}

TEST(JsonReaderStrings, DecodesEscapes) {
  EXPECT_EQ(decoded("a\\\"b\\\\c\\/d\\b\\f\\n\\r\\t"), "a\"b\\c/d\b\f\n\r\t");
  EXPECT_EQ(decoded("\\u0041\\u00e9\\u20ac"), "A\xc3\xa9\xe2\x82\xac");
  EXPECT_EQ(decoded("x\\u0000y"), std::string("x\0y", 3));
  EXPECT_EQ(decoded("\\q"), "<fail>");
  EXPECT_EQ(decoded("\\u12"), "<fail>");
  EXPECT_EQ(decoded("abc\\"), "<fail>");
}

TEST(JsonReaderStrings, SurrogatePairs) {
  EXPECT_EQ(decoded("\\ud83d\\ude00"), "\xf0\x9f\x98\x80");
  EXPECT_EQ(decoded("\\uD83D\\uDE00!"), "\xf0\x9f\x98\x80!");
  EXPECT_EQ(decoded("\\ud83d"), "<fail>");
  EXPECT_EQ(decoded("\\ud83dx"), "<fail>");
  EXPECT_EQ(decoded("\\ud83d\\u0041"), "<fail>");
  EXPECT_EQ(decoded("\\ude00"), "<fail>");
  EXPECT_EQ(decoded("\\udbff\\udfff"), "\xf4\x8f\xbf\xbf");
}

TEST(JsonReaderStrings, OutputBufferIsNeverOverrun) {
  char out[8];
  std::memset(out, '#', sizeof out);
  std::size_t n = 99;
  // 5 decoded bytes need 6 with the NUL.
  EXPECT_FALSE(tJsonReader::decodeString("abcde", 5, out, 5, &n));
  EXPECT_EQ(out[5], '#');
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(tJsonReader::decodeString("abcde", 5, out, 6, &n));
  EXPECT_STREQ(out, "abcde");
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(out[6], '#');
  // The raw length plus one is always enough.
  const char* raw = "\\ud83d\\ude00\\n";
  char exact[15];
  EXPECT_TRUE(tJsonReader::decodeString(raw, 14, exact, 15, &n));
  EXPECT_EQ(n, 5u);
  EXPECT_FALSE(tJsonReader::decodeString(raw, 14, nullptr, 15, &n));
  EXPECT_FALSE(tJsonReader::decodeString(raw, 14, exact, 0, &n));
}

TEST(JsonReaderStrings, GetStringOrDefault) {
  tJsonReader reader("{\"s\":\"val\\tue\",\"n\":1}");
  std::size_t length = 0;
  const char* s = reader.getString(reader.findMember(reader.begin(), "s"), "dflt", &length);
  EXPECT_EQ(std::string(s, length), "val\\tue");
  s = reader.getString(reader.findMember(reader.begin(), "n"), "dflt", &length);
  EXPECT_STREQ(s, "dflt");
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(reader.getString(nullptr, nullptr, &length), nullptr);
  EXPECT_EQ(length, 0u);
}

TEST(JsonReaderNumbers, IntegersAndTruncatedDoubles) {
  auto getInt = [](const char* text) { return tJsonReader(text).getInt(text, -99); };
  auto getUnsigned = [](const char* text) { return tJsonReader(text).getUnsigned(text, 99u); };
  EXPECT_EQ(getInt("42"), 42);
  EXPECT_EQ(getInt(" -17"), -17);
  EXPECT_EQ(getInt("2.9"), 2);
  EXPECT_EQ(getInt("-2.9"), -2);
  EXPECT_EQ(getInt("1e3"), 1000);
  EXPECT_EQ(getInt("15E-1"), 1);
  EXPECT_EQ(getInt("010"), 10);  // decimal, not octal
  EXPECT_EQ(getInt("2147483647"), 2147483647);
  EXPECT_EQ(getInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(getInt("4294967297"), 1);  // modulo 2^32
  EXPECT_EQ(getUnsigned("-1"), 4294967295u);
  EXPECT_EQ(getUnsigned("2.9"), 2u);
  EXPECT_EQ(getUnsigned("4294967295"), 4294967295u);
  // Beyond 64 bits values saturate first.
  EXPECT_EQ(getUnsigned("99999999999999999999999"), 4294967295u);
  EXPECT_EQ(getUnsigned("-99999999999999999999999"), 0u);
  EXPECT_EQ(getUnsigned("1e999"), 4294967295u);
  EXPECT_EQ(getInt("1e-999"), 0);
  EXPECT_EQ(getInt("0.0000001e3"), 0);
  // Not numbers: the default.
  EXPECT_EQ(getInt("\"5\""), -99);
  EXPECT_EQ(getInt("true"), -99);
  EXPECT_EQ(getInt("[5]"), -99);
  EXPECT_EQ(getUnsigned("-x"), 99u);
}

namespace {
// Switches LC_ALL to a German locale (decimal comma) for the life of the object, generating
// the locale into a private directory when the system has none installed.
class tDecimalCommaLocale {
 public:
  tDecimalCommaLocale() {
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8"};
    for (const char* name : names) {
      if (std::setlocale(LC_ALL, name) != nullptr) {
        setOk();
        return;
      }
    }
    char dir[] = "/tmp/qo-locale-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    const std::string command =
        "localedef -i de_DE -f UTF-8 " + dir_ + "/de_DE.UTF-8 >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return;
    ::setenv("LOCPATH", dir_.c_str(), 1);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr) setOk();
  }
  ~tDecimalCommaLocale() {
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
  }
  bool ok() const { return ok_; }

 private:
  void setOk() {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", 1.5);
    ok_ = text[1] == ',';
  }
  bool ok_ = false;
  std::string dir_;
};
}  // namespace

TEST(JsonReaderLocale, DecimalCommaLocaleDoesNotChangeNumbers) {
  tDecimalCommaLocale locale;
  if (!locale.ok()) GTEST_SKIP() << "no decimal-comma locale could be set up (localedef)";
  const char* text = "[2.5, 2.9, -1.5e1, 7]";
  tJsonReader reader(text);
  std::int32_t values[4];
  int i = 0;
  for (const char* e = reader.firstElement(reader.begin()); e != nullptr && i < 4;
       e = reader.nextElement(e)) {
    values[i++] = reader.getInt(e, -1);
  }
  ASSERT_EQ(i, 4);
  EXPECT_EQ(values[0], 2);
  EXPECT_EQ(values[1], 2);
  EXPECT_EQ(values[2], -15);
  EXPECT_EQ(values[3], 7);
  const char* cost = "2.9";
  EXPECT_EQ(tJsonReader(cost).getUnsigned(cost, 0), 2u);
}
