// In-place JSON writer: editable buffers, member insertion, escaping, room and growth.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qoapal/json/tJsonReader.h"
#include "qoapal/json/tJsonWriter.h"

namespace json = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json;

namespace {

// A fixed-size buffer with guard bytes around it, to catch writes outside it.
struct tGuardedBuffer {
  explicit tGuardedBuffer(std::size_t bytes) : storage(bytes + 32, '\x5a'), size(bytes) {}
  char* data() { return storage.data() + 16; }
  bool guardsIntact() const {
    for (std::size_t i = 0; i < 16; ++i) {
      if (storage[i] != '\x5a' || storage[16 + size + i] != '\x5a') return false;
    }
    return true;
  }
  std::vector<char> storage;
  std::size_t size;
};

bool isValidJson(const char* text) {
  json::tJsonReader reader(text);
  json::tJsonToken token;
  const char* after = reader.readValue(reader.begin(), token);
  return after != nullptr && after == reader.end();
}

}  // namespace

TEST(JsonWriterInitEditable, MarksBufferAndReturnsClosingBracket) {
  tGuardedBuffer b(16);
  char* pos = json::initEditable(b.data(), b.size, "{}");
  ASSERT_NE(pos, nullptr);
  EXPECT_EQ(pos, b.data() + 1);
  EXPECT_EQ(*pos, '}');
  EXPECT_STREQ(b.data(), "{}");
  EXPECT_EQ(b.data()[15], 'J');
  for (int i = 2; i < 15; ++i) EXPECT_EQ(b.data()[i], '\0') << i;
  EXPECT_EQ(json::freeRoom(pos), 12u);
  EXPECT_TRUE(b.guardsIntact());
}

TEST(JsonWriterInitEditable, RejectsTextThatDoesNotFit) {
  tGuardedBuffer b(4);
  EXPECT_EQ(json::initEditable(b.data(), 4, "[1]"), nullptr);  // 3 + 1 >= 4
  EXPECT_NE(json::initEditable(b.data(), 4, "[]"), nullptr);
  EXPECT_TRUE(b.guardsIntact());
}

TEST(JsonWriterInitEditable, RejectsTextNotEndingInBracketAndNullBuffer) {
  char buffer[32];
  EXPECT_EQ(json::initEditable(buffer, sizeof buffer, "{\"a\":1"), nullptr);
  EXPECT_EQ(json::initEditable(buffer, sizeof buffer, "12"), nullptr);
  EXPECT_EQ(json::initEditable(buffer, sizeof buffer, "}"), nullptr);
  EXPECT_EQ(json::initEditable(nullptr, 32, "{}"), nullptr);
}

TEST(JsonWriterInitEditable, KeepsOwnTextWhenTextIsNull) {
  char buffer[32];
  std::strcpy(buffer, "[1, 2] ");
  char* pos = json::initEditable(buffer, sizeof buffer, nullptr);
  ASSERT_NE(pos, nullptr);
  EXPECT_EQ(pos, buffer + 5);
  EXPECT_STREQ(buffer, "[1, 2] ");
  EXPECT_EQ(buffer[31], 'J');
  pos = json::addInt(nullptr, pos, nullptr, 3);
  EXPECT_STREQ(buffer, "[1, 2,3] ");
}

TEST(JsonWriterMembers, AppendsWithCommaRule) {
  char buffer[64];
  char* pos = json::initEditable(buffer, sizeof buffer, "{}");
  pos = json::addInt(nullptr, pos, "a", 1);
  ASSERT_NE(pos, nullptr);
  EXPECT_STREQ(buffer, "{\"a\":1}");
  pos = json::addString(nullptr, pos, "b", "x");
  ASSERT_NE(pos, nullptr);
  EXPECT_STREQ(buffer, "{\"a\":1,\"b\":\"x\"}");
  EXPECT_EQ(*pos, '}');
}

TEST(JsonWriterMembers, EmptyContainerWithWhitespaceGetsNoComma) {
  char buffer[64];
  char* pos = json::initEditable(buffer, sizeof buffer, "{ \n }");
  pos = json::addBool(nullptr, pos, "x", true);
  EXPECT_STREQ(buffer, "{ \n \"x\":true}");
}

TEST(JsonWriterMembers, WritesEveryKind) {
  char buffer[256];
  char* pos = json::initEditable(buffer, sizeof buffer, "{}");
  pos = json::addInt(nullptr, pos, "i", INT32_MIN);
  pos = json::addUnsigned(nullptr, pos, "u", 4294967295u);
  pos = json::addU64(nullptr, pos, "q", 18446744073709551615ull);
  pos = json::addI64(nullptr, pos, "l", -5);
  pos = json::addBool(nullptr, pos, "f", false);
  pos = json::addRaw(nullptr, pos, "r", "[1,{}]");
  pos = json::addRaw(nullptr, pos, "n", nullptr);
  pos = json::addString(nullptr, pos, "s", nullptr);
  ASSERT_NE(pos, nullptr);
  EXPECT_STREQ(buffer,
               "{\"i\":-2147483648,\"u\":4294967295,\"q\":18446744073709551615,\"l\":-5,"
               "\"f\":false,\"r\":[1,{}],\"n\":null,\"s\":\"\"}");
  EXPECT_TRUE(isValidJson(buffer));
}

TEST(JsonWriterMembers, BareElementsAndNestedContainers) {
  char buffer[128];
  char* pos = json::initEditable(buffer, sizeof buffer, "[]");
  char* inner = json::beginObject(nullptr, pos, nullptr);
  ASSERT_NE(inner, nullptr);
  inner = json::addUnsigned(nullptr, inner, "ticket", 7);
  char* list = json::beginArray(nullptr, inner, "path");
  list = json::addString(nullptr, list, nullptr, "A");
  list = json::addString(nullptr, list, nullptr, "B");
  inner = json::endValue(list);
  ASSERT_NE(inner, nullptr);
  inner = json::addBool(nullptr, inner, "ok", true);
  pos = json::endValue(inner);
  ASSERT_NE(pos, nullptr);
  pos = json::addInt(nullptr, pos, nullptr, 2);
  ASSERT_NE(pos, nullptr);
  EXPECT_STREQ(buffer, "[{\"ticket\":7,\"path\":[\"A\",\"B\"],\"ok\":true},2]");
  EXPECT_EQ(json::endValue(buffer), nullptr);  // not at a closing bracket
}

namespace {

// The text of a fixed 128-byte `container` ("{}" or "[]") after adding the string member (or
// element, for a null `name`) `value`; "<refused>" when the writer refused it.
std::string withString(const char* container, const char* name, const char* value) {
  char buffer[128];
  char* pos = json::initEditable(buffer, sizeof buffer, container);
  if (json::addString(nullptr, pos, name, value) == nullptr) return "<refused>";
  return buffer;
}

}  // namespace

TEST(JsonWriterEscaping, TabAndControlByte) {
  EXPECT_EQ(withString("{}", "v", "a\tb\x01"), "{\"v\":\"a\\tb\\u0001\"}");
}

TEST(JsonWriterEscaping, ShortEscapesDeleteAndUtf8) {
  const std::string buffer = withString("{}", "k\"", "\b\f\n\r\"\\\x7f\x1f/\xc3\xa9");
  EXPECT_EQ(buffer, "{\"k\\\"\":\"\\b\\f\\n\\r\\\"\\\\\\u007f\\u001f/\xc3\xa9\"}");
  EXPECT_EQ(json::escapedLength("\b\x01"
                                "a"),
            2u + 6u + 1u);
  // The text reads back to the same bytes.
  json::tJsonReader reader(buffer.c_str());
  const char* value = reader.findMember(reader.begin(), "k\"");
  ASSERT_NE(value, nullptr);
  std::size_t length = 0;
  const char* raw = reader.getString(value, nullptr, &length);
  char decoded[64];
  ASSERT_TRUE(json::tJsonReader::decodeString(raw, length, decoded, sizeof decoded));
  EXPECT_STREQ(decoded, "\b\f\n\r\"\\\x7f\x1f/\xc3\xa9");
}

TEST(JsonWriterEscaping, MalformedUtf8BecomesReplacementEscape) {
  // truncated sequence, lone continuation byte, overlong form, encoded surrogate, valid euro
  const std::string buffer = withString("[]", nullptr,
                                        "a\xc3"
                                        "b\x80\xc0\xaf\xed\xa0\x80\xe2\x82\xac");
  EXPECT_EQ(buffer, "[\"a\\ufffdb\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\xe2\x82\xac\"]");
  EXPECT_TRUE(isValidJson(buffer.c_str()));
  EXPECT_EQ(json::escapedLength("\xc3"), 6u);
  EXPECT_EQ(json::escapedLength("\xf0\x9f\x98\x80"), 4u);
}

TEST(JsonWriterRoom, FreeRoomIsSizeMinusTextMinusTwo) {
  tGuardedBuffer b(8);
  char* pos = json::initEditable(b.data(), 8, "[]");
  EXPECT_EQ(json::freeRoom(pos), 4u);
  char* after = json::addRaw(nullptr, pos, nullptr, "1234");  // exactly 4 bytes
  ASSERT_NE(after, nullptr);
  EXPECT_STREQ(b.data(), "[1234]");
  EXPECT_EQ(b.data()[7], 'J');
  EXPECT_EQ(json::freeRoom(after), 0u);
  EXPECT_TRUE(b.guardsIntact());
}

TEST(JsonWriterRoom, RejectsOneByteTooManyAndLeavesTextAlone) {
  tGuardedBuffer b(8);
  char* pos = json::initEditable(b.data(), 8, "[]");
  EXPECT_EQ(json::addRaw(nullptr, pos, nullptr, "12345"), nullptr);
  EXPECT_STREQ(b.data(), "[]");
  EXPECT_EQ(b.data()[7], 'J');
  EXPECT_TRUE(b.guardsIntact());
  // The comma counts: "[1]" has room 3, and ",12" needs 3 while ",123" needs 4.
  char* p1 = json::initEditable(b.data(), 8, "[1]");
  EXPECT_EQ(json::addRaw(nullptr, p1, nullptr, "123"), nullptr);
  EXPECT_NE(json::addRaw(nullptr, p1, nullptr, "12"), nullptr);
  EXPECT_STREQ(b.data(), "[1,12]");
  EXPECT_TRUE(b.guardsIntact());
}

namespace {
struct tFixedGrow {
  int calls = 0;
  static char* fail(void* self, char* /*position*/) {
    ++static_cast<tFixedGrow*>(self)->calls;
    return nullptr;
  }
  // Claims success but does not make room.
  static char* noProgress(void* self, char* position) {
    ++static_cast<tFixedGrow*>(self)->calls;
    return position;
  }
};

// An editable buffer of `size` bytes holding `text`, grown (or not) by `growFunction`.
template <std::size_t size>
struct tFixedBuffer {
  tFixedBuffer(json::tJsonGrowFunction growFunction, const char* text)
      : context{growFunction, &grow}, pos(json::initEditable(buffer, size, text)) {}
  char buffer[size];
  tFixedGrow grow;
  const json::tJsonWriterContext context;
  char* pos;
};
}  // namespace

TEST(JsonWriterRoom, RefusesPositionNotAtClosingBracketOrMissingMarker) {
  tFixedBuffer<32> fixed(&tFixedGrow::fail, "{\"a\":1}");
  auto& [buffer, grow, context, pos] = fixed;
  EXPECT_EQ(json::addInt(&context, pos - 1, "b", 2), nullptr);
  EXPECT_EQ(json::addInt(&context, nullptr, "b", 2), nullptr);
  buffer[20] = 'x';  // garbage between the text and the marker: not an editable buffer
  EXPECT_EQ(json::addString(&context, pos, "n", "abcdefg"), nullptr);  // 14 bytes reach it
  EXPECT_EQ(grow.calls, 0);  // a broken buffer is not grown either
  EXPECT_STREQ(buffer, "{\"a\":1}");
  EXPECT_EQ(buffer[20], 'x');
}

TEST(JsonWriterGrowth, FailingGrowGivesNull) {
  tFixedBuffer<8> fixed(&tFixedGrow::fail, "{}");
  auto& [buffer, grow, context, pos] = fixed;
  EXPECT_EQ(json::addString(&context, pos, "name", "value"), nullptr);
  EXPECT_EQ(grow.calls, 1);
  EXPECT_STREQ(buffer, "{}");
  // Enough room: the grow function is not called.
  EXPECT_NE(json::addRaw(&context, pos, nullptr, "1"), nullptr);
  EXPECT_EQ(grow.calls, 1);
}

TEST(JsonWriterGrowth, GrowWithoutProgressDoesNotLoop) {
  tFixedBuffer<8> fixed(&tFixedGrow::noProgress, "{}");
  auto& [buffer, grow, context, pos] = fixed;
  EXPECT_EQ(json::addString(&context, pos, "name", "value"), nullptr);
  EXPECT_EQ(grow.calls, 1);
}

TEST(JsonWriterGrowth, GrowableBufferDoublesAndStaysEditable) {
  json::tJsonGrowableBuffer list("[]", 8);
  ASSERT_NE(list.insertionPoint(), nullptr);
  char* pos = list.insertionPoint();
  std::string expected = "[";
  for (int i = 0; i < 200; ++i) {
    pos = json::addString(list.context(), pos, nullptr, "terminal/PXI_Trig0");
    ASSERT_NE(pos, nullptr) << i;
    expected.append(i != 0 ? ",\"" : "\"").append("terminal/PXI_Trig0").append("\"");
  }
  expected += "]";
  EXPECT_EQ(std::string(list.text()), expected);
  EXPECT_GE(list.size(), expected.size() + 2);
  EXPECT_EQ(list.size() & (list.size() - 1), 0u);  // 8 doubled repeatedly
  EXPECT_EQ(list.text()[list.size() - 1], 'J');
  EXPECT_EQ(json::freeRoom(pos), list.size() - expected.size() - 2);
  EXPECT_TRUE(isValidJson(list.text()));
}

TEST(JsonWriterGrowth, OneLargeMemberGrowsSeveralTimes) {
  json::tJsonGrowableBuffer status("{}", 4);
  const std::string big(1000, 'x');
  char* pos = json::addString(status.context(), status.insertionPoint(), "big", big.c_str());
  ASSERT_NE(pos, nullptr);
  EXPECT_EQ(std::string(status.text()), "{\"big\":\"" + big + "\"}");
  EXPECT_EQ(status.size(), 1024u);
}

TEST(JsonWriterGrowth, MovedBufferKeepsGrowing) {
  json::tJsonGrowableBuffer first("[]", 4);
  char* pos = first.insertionPoint();
  json::tJsonGrowableBuffer second(std::move(first));
  EXPECT_EQ(first.text(), nullptr);
  for (int i = 0; i < 20; ++i) pos = json::addInt(second.context(), pos, nullptr, i);
  ASSERT_NE(pos, nullptr);
  EXPECT_TRUE(isValidJson(second.text()));
  EXPECT_EQ(std::string(second.text()).substr(0, 6), "[0,1,2");
}
