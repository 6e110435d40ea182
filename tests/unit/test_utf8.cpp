#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qo/dsc/Utf8.h"
#include "qo/dsc/exception.h"

namespace {

using qo::dsc::clampUtf8;
using qo::dsc::clampUtf8Length;
using qo::dsc::utf8CountCharacters;
using qo::dsc::utf8ToWide;
using qo::dsc::wideToUtf8;
using qo::dsc::exception::BufferOverflow;
using qo::dsc::exception::InvalidArgument;
using qo::dsc::exception::InvalidSequence;

std::string bytes(std::initializer_list<unsigned> values) {
  std::string text;
  for (unsigned v : values) text.push_back(static_cast<char>(v));
  return text;
}

std::wstring wide(std::initializer_list<std::uint32_t> values) {
  std::wstring text;
  for (std::uint32_t v : values) text.push_back(static_cast<wchar_t>(v));
  return text;
}

// ---------------------------------------------------------------------------------------------
TEST(Utf8Decoding, DecodesEachSequenceLength) {
  EXPECT_EQ(utf8ToWide(bytes({0xC3, 0xA9})), wide({0xE9}));
  EXPECT_EQ(utf8ToWide("abc"), L"abc");
  EXPECT_EQ(utf8ToWide(bytes({0xE2, 0x82, 0xAC})), wide({0x20AC}));
  EXPECT_EQ(utf8ToWide(bytes({0xF0, 0x9F, 0x98, 0x80})), wide({0x1F600}));
  EXPECT_EQ(utf8ToWide(bytes({0xF8, 0x88, 0x80, 0x80, 0x80})), wide({0x200000}));
  EXPECT_EQ(utf8ToWide(bytes({0xFB, 0xBF, 0xBF, 0xBF, 0xBF})), wide({0x3FFFFFF}));
  EXPECT_EQ(utf8ToWide(bytes({0xFC, 0x84, 0x80, 0x80, 0x80, 0x80})), wide({0x4000000}));
  EXPECT_EQ(utf8ToWide(bytes({0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF})), wide({0x7FFFFFFF}));
}

TEST(Utf8Decoding, AcceptsSurrogatesAndValuesBeyondUnicode) {
  EXPECT_EQ(utf8ToWide(bytes({0xED, 0xA0, 0x80})), wide({0xD800}));
  EXPECT_EQ(utf8ToWide(bytes({0xED, 0xBF, 0xBF})), wide({0xDFFF}));
  EXPECT_EQ(utf8ToWide(bytes({0xF4, 0x90, 0x80, 0x80})), wide({0x110000}));
  EXPECT_EQ(utf8ToWide(bytes({0xF7, 0xBF, 0xBF, 0xBF})), wide({0x1FFFFF}));
}

TEST(Utf8Decoding, KeepsEmbeddedNulAndCountsCharacters) {
  const std::string text = bytes({'a', 0x00, 0xC3, 0xA9, 'z'});
  EXPECT_EQ(utf8CountCharacters(text), 4u);
  EXPECT_EQ(utf8ToWide(text), wide({'a', 0, 0xE9, 'z'}));
  EXPECT_EQ(utf8ToWide(""), L"");
}

// ---------------------------------------------------------------------------------------------
TEST(Utf8RefusedInput, RefusesOverlongForms) {
  for (const std::string& text :
       {bytes({0xC0, 0x80}), bytes({0xC1, 0xBF}), bytes({0xE0, 0x80, 0x80}),
        bytes({0xE0, 0x9F, 0xBF}), bytes({0xF0, 0x80, 0x80, 0x80}), bytes({0xF0, 0x8F, 0xBF, 0xBF}),
        bytes({0xF8, 0x87, 0xBF, 0xBF, 0xBF}), bytes({0xFC, 0x83, 0xBF, 0xBF, 0xBF, 0xBF})}) {
    EXPECT_THROW(utf8ToWide(text), InvalidSequence) << testing::PrintToString(text);
  }
  // The smallest accepted second bytes right after the refused ones.
  EXPECT_EQ(utf8ToWide(bytes({0xE0, 0xA0, 0x80})), wide({0x800}));
  EXPECT_EQ(utf8ToWide(bytes({0xF0, 0x90, 0x80, 0x80})), wide({0x10000}));
}

TEST(Utf8RefusedInput, RefusesEveryInvalidLeadByte) {
  std::vector<unsigned> refused = {0xC0, 0xC1, 0xFE, 0xFF};
  for (unsigned b = 0x80; b <= 0xBF; ++b) refused.push_back(b);
  for (unsigned lead : refused) {
    // Followed by continuation bytes, so only the lead byte is at fault.
    const std::string text = bytes({'x', lead, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF});
    EXPECT_THROW(utf8ToWide(text), InvalidSequence) << "lead " << lead;
  }
}

TEST(Utf8RefusedInput, RefusesMissingContinuationBytes) {
  EXPECT_THROW(utf8ToWide(bytes({0xC3, 0x41})), InvalidSequence);
  EXPECT_THROW(utf8ToWide(bytes({0xE2, 0x82, 0x41})), InvalidSequence);
  EXPECT_THROW(utf8ToWide(bytes({0xF0, 0x9F, 0xC3, 0xA9})), InvalidSequence);
  EXPECT_THROW(utf8ToWide(bytes({0xE2, 0xC0, 0x80})), InvalidSequence);
}

TEST(Utf8RefusedInput, RefusesSequencesCutByTheEndAtEveryPosition) {
  const std::vector<std::string> sequences = {
      bytes({0xC3, 0xA9}), bytes({0xE2, 0x82, 0xAC}), bytes({0xF0, 0x9F, 0x98, 0x80}),
      bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), bytes({0xFC, 0x84, 0x80, 0x80, 0x80, 0x80})};
  for (const std::string& whole : sequences) {
    ASSERT_NO_THROW(utf8ToWide("ab" + whole));
    for (std::size_t keep = 1; keep < whole.size(); ++keep) {
      const std::string cut = "ab" + whole.substr(0, keep);
      EXPECT_THROW(utf8CountCharacters(cut), InvalidSequence) << testing::PrintToString(cut);
      EXPECT_THROW(utf8ToWide(cut), InvalidSequence) << testing::PrintToString(cut);
    }
  }
}

TEST(Utf8RefusedInput, ReportsTheDecoderAsRaiseSite) {
  try {
    utf8ToWide(bytes({0xC0, 0x80}));
    FAIL() << "no exception";
  } catch (const InvalidSequence& e) {
    EXPECT_STREQ(e.what(), "Invalid UTF8 encoding sequence");
    EXPECT_EQ(e.code(), 0x8ABC7030u);
    EXPECT_STREQ(e.file(), "qo/dsc/Utf8ToWide");
    EXPECT_NE(e.line(), 0u);
  }
}

// ---------------------------------------------------------------------------------------------
TEST(Utf8Encoding, EncodesEachLengthAtItsBoundaries) {
  EXPECT_EQ(wideToUtf8(wide({0x7F})), bytes({0x7F}));
  EXPECT_EQ(wideToUtf8(wide({0x80})), bytes({0xC2, 0x80}));
  EXPECT_EQ(wideToUtf8(wide({0x7FF})), bytes({0xDF, 0xBF}));
  EXPECT_EQ(wideToUtf8(wide({0x800})), bytes({0xE0, 0xA0, 0x80}));
  EXPECT_EQ(wideToUtf8(wide({0xFFFF})), bytes({0xEF, 0xBF, 0xBF}));
  EXPECT_EQ(wideToUtf8(wide({0x10000})), bytes({0xF0, 0x90, 0x80, 0x80}));
  EXPECT_EQ(wideToUtf8(wide({0x1F600})), bytes({0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(wideToUtf8(wide({0x1FFFFF})), bytes({0xF7, 0xBF, 0xBF, 0xBF}));
  EXPECT_EQ(wideToUtf8(wide({0x200000})), bytes({0xF8, 0x88, 0x80, 0x80, 0x80}));
  EXPECT_EQ(wideToUtf8(wide({0x3FFFFFF})), bytes({0xFB, 0xBF, 0xBF, 0xBF, 0xBF}));
  EXPECT_EQ(wideToUtf8(wide({0x4000000})), bytes({0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}));
  EXPECT_EQ(wideToUtf8(wide({0x7FFFFFFF})), bytes({0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}));
}

TEST(Utf8Encoding, WritesQuestionMarkForValuesFrom0x80000000) {
  EXPECT_EQ(wideToUtf8(wide({0x80000000u})), "?");
  EXPECT_EQ(wideToUtf8(wide({'a', 0xFFFFFFFFu, 'b'})), "a?b");
  EXPECT_EQ(qo::dsc::wideUtf8Length(wide({0x80000000u, 0x7FFFFFFF})), 7u);
}

TEST(Utf8Encoding, TakesNulTerminatedHostStrings) {
  const wchar_t host[] = {L'K', L'E', L'L', 0xE9, L'\0', L'x', L'\0'};
  EXPECT_EQ(wideToUtf8(host), bytes({'K', 'E', 'L', 0xC3, 0xA9}));
  EXPECT_EQ(wideToUtf8(L""), "");
  const wchar_t* none = nullptr;
  try {
    wideToUtf8(none);
    FAIL() << "no exception";
  } catch (const InvalidArgument& e) {
    EXPECT_STREQ(e.file(), "qo/dsc/WideToUtf8");
    EXPECT_EQ(e.code(), 0x8ABC700Fu);
  }
}

// ---------------------------------------------------------------------------------------------
TEST(Utf8RoundTrip, EveryValueUpToBeyondUnicodeSurvives) {
  std::wstring all;
  for (std::uint32_t cp = 0; cp <= 0x110100; ++cp) all.push_back(static_cast<wchar_t>(cp));
  const std::string encoded = wideToUtf8(all);
  EXPECT_EQ(encoded.size(), qo::dsc::wideUtf8Length(all));
  EXPECT_EQ(utf8ToWide(encoded), all);
}

TEST(Utf8RoundTrip, LongFormsSurvive) {
  std::wstring values;
  for (std::uint32_t cp = 0x1FFF00; cp < 0x7FFFFFFF; cp = cp * 3 + 7) {
    values.push_back(static_cast<wchar_t>(cp));
  }
  values.push_back(static_cast<wchar_t>(0x7FFFFFFF));
  EXPECT_EQ(utf8ToWide(wideToUtf8(values)), values);
}

// ---------------------------------------------------------------------------------------------
TEST(Utf8BufferVariants, DecodeIntoExactBufferAndRefuseSmallerOne) {
  const std::string text = bytes({'a', 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80});
  wchar_t out[4];
  EXPECT_EQ(utf8ToWide(text, out, 4), 3u);
  EXPECT_EQ(std::wstring(out), wide({'a', 0xE9, 0x1F600}));

  wchar_t small[3] = {L'q', L'q', L'q'};
  EXPECT_THROW(utf8ToWide(text, small, 3), BufferOverflow);
  EXPECT_EQ(small[0], L'q');  // nothing written after refusing
  EXPECT_THROW(utf8ToWide(text, nullptr, 0), BufferOverflow);
  // Malformed input is reported as such even with a small buffer.
  EXPECT_THROW(utf8ToWide(bytes({0xC0, 0x80}), small, 1), InvalidSequence);
}

TEST(Utf8BufferVariants, EncodeIntoExactBufferAndRefuseSmallerOne) {
  const std::wstring text = wide({'a', 0xE9, 0x1F600});
  char out[8];
  EXPECT_EQ(wideToUtf8(text, out, 8), 7u);
  EXPECT_EQ(std::string(out), bytes({'a', 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80}));

  char small[7] = {'q', 'q', 'q', 'q', 'q', 'q', 'q'};
  try {
    wideToUtf8(text, small, 7);
    FAIL() << "no exception";
  } catch (const BufferOverflow& e) {
    EXPECT_STREQ(e.what(), "Buffer overflowed");
    EXPECT_STREQ(e.file(), "qo/dsc/WideToUtf8");
  }
  EXPECT_EQ(small[0], 'q');
  char one[1];
  EXPECT_EQ(wideToUtf8(L"", one, 1), 0u);
  EXPECT_EQ(one[0], '\0');
}

// ---------------------------------------------------------------------------------------------
TEST(Utf8Clamp, KeepsTextsThatFit) {
  const std::string text = bytes({'a', 0xC3, 0xA9});
  EXPECT_EQ(clampUtf8Length(text.data(), text.size(), 3), 3u);
  EXPECT_EQ(clampUtf8Length(text.data(), text.size(), 100), 3u);
  EXPECT_EQ(clampUtf8(std::string_view(text)), text);
  std::string copy = text;
  clampUtf8(copy);
  EXPECT_EQ(copy, text);
}

TEST(Utf8Clamp, CutsBeforeASplitCharacter) {
  // "a" + U+00E9 (2 bytes) + U+20AC (3 bytes) + U+1F600 (4 bytes) + "z"
  const std::string text = bytes({'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 'z'});
  const std::size_t expected[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10};
  for (std::size_t limit = 0; limit < text.size(); ++limit) {
    EXPECT_EQ(clampUtf8Length(text.data(), text.size(), limit), expected[limit])
        << "limit " << limit;
  }
}

}  // namespace
