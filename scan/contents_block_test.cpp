// Embedded contents blocks: both header orders, declared sizes against the
// data, and hostile sizes.

#include "scan/contents_block.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "scan/code_page.h"
#include "scan/scan_text.h"

namespace corvane::scan {
namespace {

// Reads the block that follows the "_BeginContents" line at the start of
// `text`; `rest` receives what the cursor left behind.
std::optional<ContentsBlock> Read(std::string_view text, std::string* rest = nullptr) {
  size_t cursor = 0;
  std::optional<Line> begin = ReadLine(text, &cursor);
  EXPECT_TRUE(begin && begin->text.starts_with(kBeginContents));
  std::optional<ContentsBlock> block = ReadContentsBlock(text, &cursor);
  if (rest) *rest = std::string(text.substr(cursor));
  return block;
}

TEST(ContentsBlockTest, SizeFirstOrder) {
  std::string rest;
  std::optional<ContentsBlock> block =
      Read("_BeginContents\n10\n1796000000\nhosts\n/etc/\nab\ncd\n_EndContents\nNext = 1\n", &rest);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->size, 10);
  EXPECT_EQ(block->TimeText(), "1796000000");
  EXPECT_EQ(block->file_name, "/etc/hosts");
  EXPECT_FALSE(block->bios);
  EXPECT_EQ(block->contents, "ab\ncd\n");
  EXPECT_EQ(rest, "Next = 1\n");
}

TEST(ContentsBlockTest, NameFirstOrderAndBiosInEitherOrder) {
  std::optional<ContentsBlock> block =
      Read("_BeginContents\r\nhosts\r\nC:\\etc\\\r\n42\r\n4\r\nabcdef\r\n_EndContents\r\n");
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->size, 4);
  EXPECT_EQ(block->time, 42u);
  EXPECT_EQ(block->file_name, "C:\\etc\\hosts");
  EXPECT_EQ(block->contents, "abcd");

  EXPECT_TRUE(Read("_BeginContents\n3\n0\ncvbios.txt\n\nabc\n_EndContents\n")->bios);
  EXPECT_TRUE(Read("_BeginContents\nCVBIOS.TXT\n\n0\n3\nabc\n_EndContents\n")->bios);
}

TEST(ContentsBlockTest, DeclaredSizeSmallerThanDataKeepsExactlyThatMany) {
  std::string rest;
  std::optional<ContentsBlock> block =
      Read("_BeginContents\n5\n0\nf\n/\nabc\ndefgh\nijk\n_EndContents\nA = 1\n", &rest);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->contents, "abc\nd");
  EXPECT_EQ(rest, "A = 1\n");  // the rest of the data is skipped
  // The marker inside the line that reaches the size never joins the data.
  block = Read("_BeginContents\n6\n0\nf\n/\nab_EndContents\nA = 1\n", &rest);
  EXPECT_EQ(block->contents, "ab");
  EXPECT_EQ(rest, "A = 1\n");
}

TEST(ContentsBlockTest, EndMarkerInsideALineAndMissingEnd) {
  std::optional<ContentsBlock> block =
      Read("_BeginContents\n100\n0\nf\n/\nline\ntail_EndContents junk\nA = 1\n");
  EXPECT_EQ(block->contents, "line\ntail");
  EXPECT_FALSE(block->cut);
  std::string rest;
  block = Read("_BeginContents\n100\n0\nf\n/\nno end\n", &rest);
  EXPECT_EQ(block->contents, "no end\n");
  EXPECT_EQ(rest, "");
  // The text stopped inside the file: neither the marker nor the size came.
  EXPECT_TRUE(block->cut);
  EXPECT_TRUE(Read("_BeginContents\n5\n0\nf\n/\n")->cut);
  EXPECT_TRUE(Read("_BeginContents\n5\n0\nf\n/\nabcd")->cut);
}

TEST(ContentsBlockTest, ABlockThatReachesItsSizeIsWholeWithoutItsMarker) {
  // Exactly the declared bytes, then the end of the text.
  std::optional<ContentsBlock> block = Read("_BeginContents\n4\n0\nf\n/\nabc\n");
  EXPECT_EQ(block->contents, "abc\n");
  EXPECT_FALSE(block->cut);
  // More data than declared: the rest is skipped to the end of the text.
  block = Read("_BeginContents\n2\n0\nf\n/\nabc\ndef\n");
  EXPECT_EQ(block->contents, "ab");
  EXPECT_FALSE(block->cut);
  // Sizes of nothing are met at once.
  EXPECT_FALSE(Read("_BeginContents\n0\n0\nf\n/\n")->cut);
  EXPECT_FALSE(Read("_BeginContents\nf\n/\n0\n-3\n")->cut);
  EXPECT_FALSE(Read("_BeginContents\n9\n0\nf\n/\nab\n_EndContents\n")->cut);
}

TEST(ContentsBlockTest, FewerThanFourHeadersEndTheScan) {
  std::string rest;
  EXPECT_FALSE(Read("_BeginContents\n10\n0\nname", &rest).has_value());
  EXPECT_FALSE(Read("_BeginContents\n10\n0\n", &rest).has_value());
  EXPECT_EQ(rest, "");
  // A header longer than 254 characters spills into the next header.
  std::string a(254, 'a'), b(46, 'b');
  std::optional<ContentsBlock> block =
      Read("_BeginContents\n" + a + b + "\n/\n1\n2\nxy\n_EndContents\n");
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->file_name, b + a);  // headers: a, b, "/", "1"
  EXPECT_EQ(block->size, 1);
  EXPECT_EQ(block->contents, "2");
}

TEST(ContentsBlockTest, HostileSizesStayBoundedByTheText) {
  for (const char* size :
       {"4294967296", "-5", "99999999999999999999999", "-99999999999999999999"}) {
    std::string rest;
    std::optional<ContentsBlock> block = Read(
        std::string("_BeginContents\nname\n/\n7\n") + size + "\nabc\n_EndContents\nA = 1\n", &rest);
    ASSERT_TRUE(block.has_value()) << size;
    EXPECT_LE(block->contents.capacity(), 64u) << size;
    EXPECT_EQ(rest, "A = 1\n") << size;
    EXPECT_EQ(block->contents, block->size > 0 ? "abc\n" : "") << size;
  }
  EXPECT_EQ(LeadingDigitsValue(" -5x"), -5);
  EXPECT_EQ(LeadingDigitsValue("-99999999999999999999"), INT64_MIN);
  EXPECT_EQ(LeadingDigitsValue("abc"), 0);
  // The time keeps its low 32 bits.
  EXPECT_EQ(Read("_BeginContents\n0\n-1\nf\n/\n_EndContents\n")->TimeText(), "4294967295");
}

TEST(ContentsBlockTest, NulBytesEndTheText) {
  std::string text("_BeginContents\n50\n0\nf\n/\nab\0cd\n_EndContents\n", 43);
  std::optional<ContentsBlock> block = Read(text);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->contents, "ab");
}

std::string Sample(const std::string& name) {
#ifdef CORVANE_SAMPLE_SCANS_DIR
  std::ifstream in(std::string(CORVANE_SAMPLE_SCANS_DIR) + "/" + name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
#else
  return std::string();
#endif
}

TEST(ContentsBlockTest, SampleConfigFilesGiveConfigurationAndBiosItems) {
  std::string text = Sample("config-files.scn");
  if (text.empty()) GTEST_SKIP() << "sample scans not present";
  ScanTextDecoder decoder(IsMacScan(text));
  std::vector<ScanItem> items;
  size_t cursor = 0;
  while (std::optional<Line> line = ReadLine(text, &cursor)) {
    if (!line->text.starts_with(kBeginContents)) continue;
    std::optional<ContentsBlock> block = ReadContentsBlock(text, &cursor);
    ASSERT_TRUE(block.has_value());
    for (ScanItem& item : ContentsBlockItems(*block, decoder)) items.push_back(std::move(item));
  }
  ASSERT_EQ(items.size(), 6u);
  EXPECT_EQ(items[0].component, "Computer.Configuration Files.File");
  EXPECT_EQ(items[0].key_name, "File Path");
  EXPECT_EQ(items[0].key_value, "/etc/fstab");
  EXPECT_EQ(items[0].attribute, "File Data");
  EXPECT_EQ(items[0].value,
            "# /etc/fstab: static file system information.\n/dev/vda / ext4 defaults 0 1\n");
  EXPECT_EQ(items[1].attribute, "File Size");
  EXPECT_EQ(items[1].value, "77");  // declared with CR LF line ends
  EXPECT_EQ(items[2].attribute, "File Date");
  EXPECT_EQ(items[2].value, "1796000000");

  EXPECT_EQ(items[3].component, "Computer.BIOS.BIOS Strings");
  EXPECT_EQ(items[3].attribute, "Data");
  EXPECT_EQ(items[3].value, "QEMU BIOS 1.16.3\nSMBIOS 2.8 present.\n");
  EXPECT_EQ(items[4].attribute, "Size");
  EXPECT_EQ(items[4].value, "39");
  EXPECT_EQ(items[5].attribute, "Scan Date");

  // Sent over TCP the same scan has CR LF line ends and gives the same data.
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  cursor = crlf.find(kBeginContents) + sizeof(kBeginContents) + 1;
  EXPECT_EQ(ReadContentsBlock(crlf, &cursor)->contents, items[0].value);
}

}  // namespace
}  // namespace corvane::scan
