// Data line splitting, abbreviation expansion, deleted-file lines and the
// decoding of line text.

#include "scan/line_splitter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "scan/code_page.h"
#include "scan/creator_types.h"
#include "scan/scan_text.h"

namespace corvane::scan {
namespace {

ScanItem Split(std::string_view line) {
  std::optional<ScanItem> item = SplitDataLine(line);
  EXPECT_TRUE(item.has_value()) << line;
  return item.value_or(ScanItem());
}

TEST(SplitDataLineTest, ComputerAttributePathAndKey) {
  ScanItem id = Split("Device ID = 1234");
  EXPECT_EQ(id.component, "Computer");
  EXPECT_EQ(id.attribute, "Device ID");
  EXPECT_EQ(id.value, "1234");
  EXPECT_FALSE(id.keyed);

  ScanItem host = Split("Network - TCPIP - Host Name =   alpha  \n");
  EXPECT_EQ(host.component, "Computer.Network.TCPIP");
  EXPECT_EQ(host.attribute, "Host Name");
  EXPECT_EQ(host.value, "alpha");

  ScanItem package = Split("Software - Package - (Name:Foo  ) - Version = 1.0");
  EXPECT_EQ(package.component, "Computer.Software.Package");
  EXPECT_TRUE(package.keyed);
  EXPECT_EQ(package.key_name, "Name");
  EXPECT_EQ(package.key_value, "Foo");
  EXPECT_EQ(package.attribute, "Version");
  EXPECT_EQ(package.value, "1.0");
}

TEST(SplitDataLineTest, DottedSegmentsAreQuotedInTheQualifiedName) {
  ScanItem card = Split("Net.Card - Speed = 100");
  EXPECT_EQ(card.component, "Computer.Net.Card");
  EXPECT_EQ(card.qualified_component, "Computer.\"Net.Card\"");
  EXPECT_EQ(ComponentNamesOfPath("A - b.c - D").qualified, "Computer.A.\"b.c\".D");
}

TEST(SplitDataLineTest, KeyEdgeCases) {
  // Text between the key and the attribute's own " - " is not in the path.
  ScanItem nested = Split("Disk - (Name:vda) - Part - Size = 5");
  EXPECT_EQ(nested.component, "Computer.Disk");
  EXPECT_EQ(nested.attribute, "Size");
  // Key value keeps leading blanks and may hold " =" and ":".
  ScanItem odd = Split("File - (Path: C:\\a = b) - Size = 3");
  EXPECT_EQ(odd.key_name, "Path");
  EXPECT_EQ(odd.key_value, " C:\\a = b");
  EXPECT_EQ(odd.value, "3");
  // No ":" inside the parentheses: no key, the whole line is split.
  ScanItem no_colon = Split("Group - (wheel) - Members = 2");
  EXPECT_FALSE(no_colon.keyed);
  EXPECT_EQ(no_colon.component, "Computer.Group.(wheel)");
  // No ") - ": the attribute part starts at the next " - ".
  ScanItem unclosed = Split("A - (B - C = v");
  EXPECT_FALSE(unclosed.keyed);
  EXPECT_EQ(unclosed.component, "Computer.A.(B");
  EXPECT_EQ(unclosed.attribute, "C");
  // " - (" after the " =" is part of the value.
  EXPECT_EQ(Split("Note = x - (y:z) - w").value, "x - (y:z) - w");
}

TEST(SplitDataLineTest, LinesWithoutDataAreRejected) {
  EXPECT_FALSE(SplitDataLine("_SOFTWARE").has_value());
  EXPECT_FALSE(SplitDataLine("A - B=1").has_value());
  EXPECT_FALSE(SplitDataLine("Soft - (Name:x = y) - Version").has_value());
}

TEST(LineExpanderTest, AbbreviationsRepeatThePreviousComponent) {
  LineExpander expander;
  EXPECT_FALSE(expander.Expand("* - Domain = beta\n").has_value());  // nothing before it
  EXPECT_EQ(expander.Expand("Network - TCPIP - Host Name = alpha\n"),
            "Network - TCPIP - Host Name = alpha\n");
  EXPECT_EQ(expander.Expand("* - Domain = beta\n"), "Network - TCPIP - Domain = beta\n");
  // The expansion is the new previous line, so chains work.
  EXPECT_EQ(expander.Expand("* - DNS = gamma\n"), "Network - TCPIP - DNS = gamma\n");
  // Blank lines neither count nor change the previous line.
  EXPECT_FALSE(expander.Expand("\n").has_value());
  EXPECT_EQ(expander.Expand("* - X = 1"), "Network - TCPIP - X = 1");
  // A starred line without "=" is used unchanged and becomes the previous.
  EXPECT_EQ(expander.Expand("*marker\n"), "*marker\n");
  EXPECT_FALSE(expander.Expand("* - Y = 2\n").has_value());
  EXPECT_EQ(expander.previous(), "*marker\n");
}

TEST(LineExpanderTest, PreviousLineWithoutPathDropsTheAbbreviation) {
  LineExpander expander;
  expander.Expand("Device ID = 1\n");
  EXPECT_FALSE(expander.Expand("* - Name = a\n").has_value());
  expander.Expand(" - Lead = 1\n");  // its only " - " is at the start
  EXPECT_FALSE(expander.Expand("* - Name = a\n").has_value());
  // " - " after the first "=" does not count.
  expander.Expand("Note = a - b\n");
  EXPECT_FALSE(expander.Expand("* - Name = a\n").has_value());
  // A 100,000-character abbreviation expands whole.
  expander.Expand("Software - Package - (Name:x) - Version = 1\n");
  std::string tail(100000, 'v');
  std::optional<std::string> long_line = expander.Expand("* - Description = " + tail);
  ASSERT_TRUE(long_line.has_value());
  EXPECT_EQ(Split(*long_line).value, tail);
}

TEST(RewriteDeletedConfigLineTest, ConfigurationFileAndBiosText) {
  DeletedConfigItem file = RewriteDeletedConfigLine("Cfg - /etc/fstab 75 1796000000\n");
  EXPECT_FALSE(file.bios);
  EXPECT_EQ(file.line,
            "Configuration Files - File - (File Path:/etc/fstab) - File Path =/etc/fstab");
  EXPECT_EQ(file.item, Split(file.line));

  DeletedConfigItem bios = RewriteDeletedConfigLine("Cfg - CVBIOS.TXT 39 1796000000\n");
  EXPECT_TRUE(bios.bios);
  EXPECT_EQ(bios.line, "BIOS - BIOS Strings - Size =1796000000");
  EXPECT_EQ(bios.item, Split(bios.line));
  EXPECT_FALSE(RewriteDeletedConfigLine("Cfg - cvbios.txt 1\n").bios);  // case-sensitive
  // A path with ") - " stays whole.
  EXPECT_EQ(RewriteDeletedConfigLine("Cfg - /a)_-_b:c").item.key_value, "/a)_-_b:c");
}

TEST(DecodingTest, AnsiScansAreWindows1252) {
  ScanTextDecoder ansi(false);
  EXPECT_EQ(ansi.ToUtf8("Caf\xE9 \x80 \x81"), "Caf\xC3\xA9 \xE2\x82\xAC \xC2\x81");
  CreatorTypes none;
  std::optional<ScanItem> item =
      ParseDataLine("Users - (Name:J\xF6rg) - Home = /home/j\xF6rg\n", ansi, none);
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->key_value, "J\xC3\xB6rg");
  EXPECT_FALSE(ParseDataLine("no separator\n", ansi, none).has_value());
}

TEST(DecodingTest, InvalidUtf8InMacScansIsReplaced) {
  ScanTextDecoder mac(true);
  EXPECT_EQ(SanitizeUtf8("a\xFF"
                         "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(SanitizeUtf8("\xE2\x82"), "\xEF\xBF\xBD");              // truncated: one replacement
  EXPECT_EQ(SanitizeUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
  EXPECT_EQ(SanitizeUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_TRUE(IsValidUtf8(SanitizeUtf8("\xF4\x90\x80\x80\x80")));
  CreatorTypes none;
  std::optional<ScanItem> item = ParseDataLine("App - (Name:\xE9t\xE9) - V = \x80\n", mac, none);
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->key_value, "\xEF\xBF\xBDt\xEF\xBF\xBD");
  EXPECT_TRUE(IsValidUtf8(item->value));
  // Creator codes are substituted before the line is split.
  EXPECT_EQ(ParseDataLine("Files - (Path:Disk:Apps:Word) - Name = 'ABCD'\n", mac, none)->value,
            "Word");
}

#ifdef CORVANE_SAMPLE_SCANS_DIR
TEST(ParseDataLineTest, SampleDeltaScanExpandsAndSplits) {
  std::ifstream in(std::string(CORVANE_SAMPLE_SCANS_DIR) + "/debian12-delta.scn", std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::string text = bytes.str();
  if (text.empty()) GTEST_SKIP() << "sample scans not present";
  ScanTextDecoder decoder(IsMacScan(text));
  CreatorTypes none;
  LineExpander expander;
  std::vector<ScanItem> items;
  size_t cursor = 0;
  while (std::optional<Line> line = ReadLine(text, &cursor)) {
    std::optional<std::string> expanded = expander.Expand(line->text);
    if (!expanded || expanded->starts_with("_")) continue;
    if (std::optional<ScanItem> item = ParseDataLine(*expanded, decoder, none)) {
      items.push_back(*item);
    }
  }
  ASSERT_EQ(items.size(), 12u);
  ScanItem architecture = items[8];  // "* - Architecture = amd64"
  EXPECT_EQ(architecture.component, "Computer.Software.Package");
  EXPECT_EQ(architecture.key_value, "sample-new-tool");
  EXPECT_EQ(architecture.attribute, "Architecture");
  EXPECT_EQ(architecture.value, "amd64");
}
#endif

}  // namespace
}  // namespace corvane::scan
