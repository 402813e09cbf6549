// The output forms of cvadmin's inventory commands: aligned text counts
// characters, CSV follows RFC 4180, JSON is valid whatever the database
// holds.

#include "tools/cvadmin/tabular.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tools/cvadmin/inventory_view.h"

namespace corvane::cvadmin {
namespace {

TEST(TabularTest, ColumnsAlignByCharactersAndLinesEndWithoutBlanks) {
  const Tabular table{{"Name", "Version"},
                      {{"caf\xC3\xA9", "1"}, {"a", ""}, {"longer name", "2.0"}}};
  std::ostringstream out;
  WriteAligned(out, table);
  EXPECT_EQ(out.str(),
            "Name         Version\n"
            "-----------  -------\n"
            "caf\xC3\xA9         1\n"
            "a\n"
            "longer name  2.0\n");
}

TEST(TabularTest, CsvQuotesWhatWouldBreakARecord) {
  const Tabular table{{"Name", "Description"},
                      {{"plain", "a, b"}, {"quoted \"x\"", "two\nlines"}, {"", "cr\r"}}};
  std::ostringstream out;
  WriteCsv(out, table);
  EXPECT_EQ(out.str(),
            "Name,Description\r\n"
            "plain,\"a, b\"\r\n"
            "\"quoted \"\"x\"\"\",\"two\nlines\"\r\n"
            ",\"cr\r\"\r\n");
}

TEST(TabularTest, JsonIsValidForAnyBytes) {
  EXPECT_EQ(JsonString("a\"b\\c\n\t\x01\x7F"), "\"a\\\"b\\\\c\\n\\t\\u0001\\u007f\"");
  EXPECT_EQ(JsonString("caf\xC3\xA9 \xE2\x82\xAC"), "\"caf\xC3\xA9 \xE2\x82\xAC\"");
  // A stray byte, a cut sequence, an overlong form and a surrogate.
  EXPECT_EQ(JsonString("x\xFFy\xC3"), "\"x\\ufffdy\\ufffd\"");
  EXPECT_EQ(JsonString("\xC0\xAF"), "\"\\ufffd\\ufffd\"");
  EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");

  std::ostringstream out;
  WriteJson(out, {{"A", "B"}, {{"1", "x"}, {"2", ""}}});
  EXPECT_EQ(out.str(), "[\n  {\"A\": \"1\", \"B\": \"x\"},\n  {\"A\": \"2\", \"B\": \"\"}\n]\n");
  std::ostringstream empty;
  WriteJson(empty, {{"A"}, {}});
  EXPECT_EQ(empty.str(), "[]\n");
}

TEST(TabularTest, FormatsAndDatesAreReadStrictly) {
  EXPECT_EQ(ParseOutputFormat("json"), OutputFormat::kJson);
  EXPECT_FALSE(ParseOutputFormat("JSON").has_value());
  EXPECT_EQ(ParseDate("2026-12-09"), 1796774400);
  EXPECT_EQ(ParseDate("2026-12-09 08:30"), 1796774400 + 8 * 3600 + 30 * 60);
  EXPECT_EQ(ParseDate("2026-12-09 08:30:15"), 1796774400 + 8 * 3600 + 30 * 60 + 15);
  EXPECT_FALSE(ParseDate("2026-13-01").has_value());
  EXPECT_FALSE(ParseDate("yesterday").has_value());
  EXPECT_FALSE(ParseDate("2026-12-09 08:30:15 and more").has_value());
  EXPECT_EQ(FormatTimestamp(1796774400 + 61), "2026-12-09 00:01:01");
}

}  // namespace
}  // namespace corvane::cvadmin
