// The hosts' shared command-line behaviour: escaping of bytes that are not UTF-8, JSON that
// never throws, nearest names, board names in both forms, tables sized by their content.
#include <gtest/gtest.h>

#include "tools/common/host_cli.h"
#include "tools/common/host_client.h"

namespace {

TEST(HostCli, TextThatIsNotUtf8IsEscapedByteByByte) {
  struct Case {
    std::string in, shown;
    bool utf8;
  };
  const Case cases[] = {
      {"Front0", "Front0", true},
      {"caf\xC3\xA9", "caf\xC3\xA9", true},
      {"Front\xFF", "Front\\xFF", false},
      {"\xC0\xAF", "\\xC0\\xAF", false},                    // overlong '/'
      {"\xED\xA0\x80", "\\xED\\xA0\\x80", false},           // a surrogate
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80", false},  // above U+10FFFF
      {"\xE2\x82", "\\xE2\\x82", false},                    // cut short
      {"a\x1B[2Jb", "a\\x1B[2Jb", true},                    // a terminal escape
      {"tab\there\n", "tab\there\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(hostcli::isUtf8(c.in), c.utf8);
    EXPECT_EQ(hostcli::printable(c.in), c.shown);
  }
}

TEST(HostCli, HostStringsAreCharactersAndMalformedBytesBecomeReplacements) {
  const std::pair<std::string, std::wstring> cases[] = {
      {"KEL0", L"KEL0"},
      {"caf\xC3\xA9", L"caf\u00E9"},
      {"\xE2\x82\xAC", L"\u20AC"},
      {"\xF0\x9F\x94\x8C", std::wstring(1, static_cast<wchar_t>(0x1F50C))},
      {"x\xFF.bin", L"x\uFFFD.bin"},
      {"\xC0\xAF", L"\uFFFD\uFFFD"},            // overlong
      {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},  // a surrogate
      {"\xE2\x82", L"\uFFFD\uFFFD"},            // cut short
  };
  for (const auto& [utf8, wide] : cases) EXPECT_EQ(hostabi::wideFromUtf8(utf8), wide) << utf8;
}

TEST(HostCli, JsonWithBytesThatAreNotUtf8IsStillOneDocument) {
  const nlohmann::json doc = {{"path", "x\xFF.bin"}, {"list", {"ok", "\xFE"}}, {"n", 3}};
  const std::string text = hostcli::dumpJson(doc);
  const auto back = nlohmann::json::parse(text);
  EXPECT_EQ(back["path"], "x\\xFF.bin");
  EXPECT_EQ(back["list"][1], "\\xFE");
  EXPECT_EQ(back["n"], 3);
  const auto error = nlohmann::json::parse(hostcli::jsonError("unknown terminal \"A\xFF\"", 3));
  EXPECT_EQ(error, (nlohmann::json{{"error", "unknown terminal \"A\\xFF\""}, {"exitCode", 3}}));
}

TEST(HostCli, NearestNamesAreCloseOnesClosestFirst) {
  const std::vector<std::string> commands = {"list",    "show",  "diag",
                                             "refresh", "watch", "firmware"};
  struct Case {
    std::string typed;
    std::vector<std::string> nearest;
  };
  const Case cases[] = {
      {"lsit", {"list"}},      {"shwo", {"show"}},
      {"refesh", {"refresh"}}, {"firm", {"firmware"}},  // a prefix
      {"xyzzy", {}},           {"WATCH", {"watch"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    EXPECT_EQ(hostcli::nearest(c.typed, commands), c.nearest);
  }
  EXPECT_EQ(hostcli::nearestHint("lsit", commands), " (nearest: list)");
  EXPECT_EQ(hostcli::nearestHint("xyzzy", commands), "");
}

TEST(HostCli, BoardNamesInBothFormsGiveTheDeviceNumber) {
  const std::pair<const char*, long> cases[] = {
      {"KEL1", 1},   {"kel12", 12}, {"qovorlix1", 1},   {"QOVORLIX0", 0}, {"KEL", -1},
      {"KEL01", -1}, {"KEL1x", -1}, {"qovorlix-1", -1}, {"PXI1", -1},     {"KEL9999999999", -1},
  };
  for (const auto& [name, number] : cases) EXPECT_EQ(hostcli::boardNumber(name), number) << name;
}

TEST(HostCli, TableColumnsAreAsWideAsTheirContent) {
  hostcli::Table table;
  table.add({"NAME", "PRODUCT", "STATE"});
  table.add({"KEL0", "VX214", "ok"});
  table.add({"KEL12", "PCIe-VX210", "pending power cycle"});
  table.add({"K\xC3\xA9L", "x\xFF", ""});
  EXPECT_EQ(table.text(),
            "NAME   PRODUCT     STATE\n"
            "KEL0   VX214       ok\n"
            "KEL12  PCIe-VX210  pending power cycle\n"
            "K\xC3\xA9L    x\\xFF\n");
}

}  // namespace
