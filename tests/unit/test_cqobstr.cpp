// Host wide strings: block layout, size limits, null handling and the owner class.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "sysapicpp/com/CqoBStr.h"

namespace {

const std::uint32_t* blockOf(const wchar_t* s) {
  return reinterpret_cast<const std::uint32_t*>(s) - 1;
}

TEST(CqoBStrLayout, PrefixCharactersAndTerminatingZero) {
  wchar_t* s = CqoBStr::alloc(L"KEL12");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(blockOf(s)[0], 5u);
  EXPECT_EQ(std::memcmp(s, L"KEL12", 5 * sizeof(wchar_t)), 0);
  EXPECT_EQ(reinterpret_cast<const std::uint32_t*>(s)[5], 0u);
  EXPECT_EQ(CqoBStr::length(s), 5u);
  CqoBStr::free(s);
}

TEST(CqoBStrLayout, EmptyStringIsALengthZeroBlock) {
  wchar_t* s = CqoBStr::alloc(L"");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(blockOf(s)[0], 0u);
  EXPECT_EQ(s[0], L'\0');
  CqoBStr::free(s);
}

TEST(CqoBStrLayout, LengthVariantKeepsEmbeddedZerosAndNonBmpCharacters) {
  const wchar_t src[] = {L'a', L'\0', static_cast<wchar_t>(0x1F600), L'z'};
  wchar_t* s = CqoBStr::alloc(src, 4);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(CqoBStr::length(s), 4u);
  EXPECT_EQ(std::memcmp(s, src, sizeof src), 0);
  EXPECT_EQ(s[4], L'\0');
  CqoBStr::free(s);
}

TEST(CqoBStrLayout, HostMadeBlocksAreFreedFromTheirStart) {
  // A block allocated the way a host does it; free must hand the block start back to the heap
  // (the address sanitizer reports anything else).
  auto* block = static_cast<std::uint32_t*>(std::malloc(3 * sizeof(std::uint32_t)));
  ASSERT_NE(block, nullptr);
  block[0] = 1;
  block[1] = L'x';
  block[2] = 0;
  wchar_t* s = reinterpret_cast<wchar_t*>(block + 1);
  EXPECT_EQ(CqoBStr::length(s), 1u);
  CqoBStr::free(s);
}

TEST(CqoBStrNulls, NullSourcesGiveNullAndNullFreesNothing) {
  EXPECT_EQ(CqoBStr::alloc(nullptr), nullptr);
  EXPECT_EQ(CqoBStr::alloc(nullptr, 3), nullptr);
  EXPECT_EQ(CqoBStr::alloc(nullptr, 0), nullptr);
  EXPECT_EQ(CqoBStr::length(nullptr), 0u);
  CqoBStr::free(nullptr);
}

TEST(CqoBStrSize, BlockSizeMustFitThirtyTwoBits) {
  EXPECT_EQ(CqoBStr::blockSize(0), 8u);
  EXPECT_EQ(CqoBStr::blockSize(5), 28u);
  EXPECT_EQ(CqoBStr::blockSize(0x3FFFFFFD), 0xFFFFFFFCu);  // the longest that fits
  EXPECT_FALSE(CqoBStr::blockSize(0x3FFFFFFE).has_value());
  EXPECT_FALSE(CqoBStr::blockSize(0xFFFFFFFFu).has_value());
  EXPECT_FALSE(CqoBStr::blockSize(static_cast<std::size_t>(-1)).has_value());
  EXPECT_FALSE(CqoBStr::blockSize(static_cast<std::size_t>(-1) / 4).has_value());
}

TEST(CqoBStrSize, OverlongLengthGivesNullWithoutReadingTheSource) {
  const wchar_t one[] = L"a";  // far shorter than the claimed length: it must not be read
  EXPECT_EQ(CqoBStr::alloc(one, 0x3FFFFFFE), nullptr);
  EXPECT_EQ(CqoBStr::alloc(one, static_cast<std::size_t>(-1)), nullptr);
}

TEST(CqoBStrOwner, CopyMoveDetachAndReset) {
  CqoBStr a(L"abc");
  ASSERT_FALSE(a.isNull());
  EXPECT_EQ(a.size(), 3u);
  CqoBStr b(a);
  EXPECT_NE(b.get(), a.get());
  EXPECT_EQ(std::wcscmp(b.get(), L"abc"), 0);
  CqoBStr c(std::move(a));
  EXPECT_TRUE(a.isNull());
  EXPECT_EQ(std::wcscmp(c.get(), L"abc"), 0);
  c = b;
  EXPECT_NE(c.get(), b.get());
  wchar_t* raw = c.detach();
  EXPECT_TRUE(c.isNull());
  EXPECT_EQ(CqoBStr::length(raw), 3u);
  c.reset(raw);  // owned again, freed by c
  c = CqoBStr(L"longer text");
  EXPECT_EQ(c.size(), 11u);
  CqoBStr& alias = c;
  c = alias;  // self-assignment keeps the string
  EXPECT_EQ(c.size(), 11u);
}

TEST(CqoBStrOwner, NullStaysNullThroughCopies) {
  CqoBStr n;
  CqoBStr copy(n);
  EXPECT_TRUE(copy.isNull());
  CqoBStr fromNull(static_cast<const wchar_t*>(nullptr));
  EXPECT_TRUE(fromNull.isNull());
  EXPECT_EQ(fromNull.size(), 0u);
}

}  // namespace
