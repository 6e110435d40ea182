#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qo/dsc/CaseFoldingSource.h"
#include "qo/dsc/FoldCase.h"
#include "qo/dsc/exception.h"

namespace {

using qo::dsc::foldCase;
using qo::dsc::foldEquals;
using qo::dsc::kMaxFoldedLength;

std::u32string fold(char32_t cp) {
  char32_t out[kMaxFoldedLength] = {};
  const std::size_t n = foldCase(cp, out);
  EXPECT_GE(n, 1u);
  EXPECT_LE(n, kMaxFoldedLength);
  return std::u32string(out, n);
}

// ---------------------------------------------------------------------------------------------
TEST(FoldCaseMapping, FoldsSimpleAndFullForms) {
  EXPECT_EQ(fold(U'A'), U"a");
  EXPECT_EQ(fold(U'Z'), U"z");
  EXPECT_EQ(fold(0x00C9), std::u32string(1, 0x00E9));
  EXPECT_EQ(fold(0x00DF), U"ss");
  EXPECT_EQ(fold(0x0130), (std::u32string{0x0069, 0x0307}));
  EXPECT_EQ(fold(0x0149), (std::u32string{0x02BC, 0x006E}));
  EXPECT_EQ(fold(0xFB03), U"ffi");
  EXPECT_EQ(fold(0xFF21), std::u32string(1, 0xFF41));
  EXPECT_EQ(fold(0x2160), std::u32string(1, 0x2170));
  EXPECT_EQ(fold(0x24B6), std::u32string(1, 0x24D0));
  EXPECT_EQ(fold(0x1E9A), (std::u32string{0x0061, 0x02BE}));
}

TEST(FoldCaseMapping, LeavesOtherCodePointsUnchanged) {
  for (char32_t cp : {char32_t{0}, char32_t{'a'}, char32_t{'0'}, char32_t{0x40}, char32_t{0x5B},
                      char32_t{0x0391}, char32_t{0x0410}, char32_t{0x0233}, char32_t{0x1E9E},
                      char32_t{0x1DFF}, char32_t{0x2170}, char32_t{0xFF41}, char32_t{0xFF3B},
                      char32_t{0x10400}, char32_t{0x7FFFFFFF}, char32_t{0xFFFFFFFF}}) {
    EXPECT_EQ(fold(cp), std::u32string(1, cp)) << std::hex << static_cast<unsigned long>(cp);
  }
}

// The generated table against CaseFolding.txt read here independently of the generator.
TEST(FoldCaseMapping, MatchesCaseFoldingFileInEveryFoldedRange) {
  std::ifstream file(QO_CASEFOLDING_FILE);
  ASSERT_TRUE(file) << QO_CASEFOLDING_FILE;
  std::map<char32_t, std::u32string> expected;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string code, status, mapping;
    std::getline(fields, code, ';');
    std::getline(fields, status, ';');
    std::getline(fields, mapping, ';');
    if (status != " C" && status != " F") continue;
    std::u32string folded;
    std::istringstream values(mapping);
    std::string value;
    while (values >> value) folded.push_back(static_cast<char32_t>(std::stoul(value, nullptr, 16)));
    expected[static_cast<char32_t>(std::stoul(code, nullptr, 16))] = folded;
  }
  ASSERT_GT(expected.size(), 1000u);

  const std::pair<char32_t, char32_t> ranges[] = {{0x0041, 0x0232}, {0x1E00, 0x1E9B},
                                                  {0x2160, 0x216F}, {0x24B6, 0x24CF},
                                                  {0xFB00, 0xFB06}, {0xFF21, 0xFF3A}};
  std::size_t folding = 0;
  for (const auto& [first, last] : ranges) {
    for (char32_t cp = first; cp <= last; ++cp) {
      const auto it = expected.find(cp);
      const std::u32string want = it != expected.end() ? it->second : std::u32string(1, cp);
      if (it != expected.end()) ++folding;
      EXPECT_EQ(fold(cp), want) << std::hex << static_cast<unsigned long>(cp);
    }
  }
  EXPECT_GT(folding, 350u);  // 374 in Unicode 15
}

// ---------------------------------------------------------------------------------------------
TEST(FoldEquality, ComparesNamesIgnoringCase) {
  EXPECT_TRUE(foldEquals("PXI_Trig0", "pxi_trig0"));
  EXPECT_TRUE(foldEquals("", ""));
  EXPECT_TRUE(foldEquals("STRASSE",
                         "stra\xC3\x9F"
                         "e"));                             // sharp s folds to "ss"
  EXPECT_TRUE(foldEquals("\xEF\xAC\x83", "FFI"));           // U+FB03
  EXPECT_TRUE(foldEquals("\xEF\xBC\xA1", "\xEF\xBD\x81"));  // U+FF21 / U+FF41
  EXPECT_FALSE(foldEquals("abc", "abd"));
  EXPECT_FALSE(foldEquals("abc", "ab"));
  EXPECT_FALSE(foldEquals("ss", "s"));
  EXPECT_FALSE(foldEquals("\xCE\x91", "\xCE\xB1"));  // Greek alpha not folded
}

TEST(FoldEquality, RefusesMalformedText) {
  EXPECT_THROW(foldEquals("a\xC0\x80", "a"), qo::dsc::exception::InvalidSequence);
  EXPECT_THROW(foldEquals("A", "a\xE2\x82"), qo::dsc::exception::InvalidSequence);
  EXPECT_THROW(foldEquals("\xFF", "\xFF"), qo::dsc::exception::InvalidSequence);
}

}  // namespace
