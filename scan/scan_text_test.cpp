// Line reading and key lookups over scan texts.

#include "scan/scan_text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace corvane::scan {
namespace {

std::vector<Line> AllLines(std::string_view text) {
  std::vector<Line> lines;
  size_t cursor = 0;
  while (std::optional<Line> line = ReadLine(text, &cursor)) lines.push_back(*line);
  return lines;
}

TEST(ReadLineTest, LongLineComesInPiecesOf511) {
  std::vector<Line> lines = AllLines(std::string(600, 'x'));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text.size(), 511u);
  EXPECT_EQ(lines[0].consumed, 511u);
  EXPECT_EQ(lines[1].text.size(), 89u);
}

TEST(ReadLineTest, CrLfReadsAsLfButCountsTheCr) {
  std::vector<Line> lines = AllLines("a = 1\r\nb\rc\n\r\n" + std::string(510, 'y') + "\r\n");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].text, "a = 1\n");
  EXPECT_EQ(lines[0].consumed, 7u);
  EXPECT_EQ(lines[1].text, "b\rc\n");  // a lone CR is text
  EXPECT_TRUE(IsBlankLine(lines[2].text));
  EXPECT_EQ(lines[2].consumed, 2u);
  // A CR LF split by the 511 limit keeps its CR; the LF comes alone.
  EXPECT_EQ(lines[3].text, std::string(510, 'y') + "\r");
  EXPECT_EQ(lines[4].text, "\n");
}

TEST(ReadLineTest, TextEndsAtFirstNul) {
  std::string text("Device ID = 1\nDevice Name = a\0Device Name = b\n", 46);
  std::vector<Line> lines = AllLines(text);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].text, "Device Name = a");
  EXPECT_EQ(GetDeviceName(text), "a");
  EXPECT_EQ(ScanText(text).view(), "Device ID = 1\nDevice Name = a");
}

TEST(ReadLineTest, HundredThousandCharacterLine) {
  std::string text = "Device Name = " + std::string(100000, 'n') + "\nDevice ID = 7\n";
  EXPECT_EQ(AllLines(text).size(), 197u);  // 100015 characters: 196 pieces
  EXPECT_EQ(GetScanValue(text, kDeviceIdKey), "7");
  EXPECT_EQ(GetDeviceName(text).size(), 511u - 14u);  // the first piece only
}

TEST(GetScanValueTest, FirstMatchTrimmedAndStopsAtSoftwareSection) {
  const std::string text =
      "Device ID =  \t{ABC} \r\n"
      "Device ID = second\n"
      "Network - TCPIP - Host Name = alpha\n"
      "device name = lower\n"
      "_SOFTWARE = Packages\n"
      "Device Name = late\n"
      "OS - Name = Mac OS X\n";
  EXPECT_EQ(GetScanValue(text, kDeviceIdKey), "{ABC}");
  EXPECT_EQ(GetScanValue(text, kHostNameKey), "alpha");
  EXPECT_EQ(GetScanValue(text, kDeviceNameKey), "");  // case-sensitive, then the stop
  EXPECT_EQ(GetDeviceName(text), "late");
  EXPECT_FALSE(IsMacScan(text));  // the OS line lies after the stop
  EXPECT_EQ(GetWholeScanValue(text, kDeviceIdKey), "{ABC}");
  EXPECT_EQ(GetWholeScanValue(text, kDeviceNameKey), "");
}

TEST(GetScanValueTest, AWholeValueRunsPastTheFirstPieceOfItsLine) {
  const std::string id(10000, 'x');
  const std::string text = "Device ID = " + id + " \r\nDevice Name = n\n";
  EXPECT_EQ(GetScanValue(text, kDeviceIdKey), id.substr(0, 511 - 12));
  EXPECT_EQ(GetWholeScanValue(text, kDeviceIdKey), id);
  EXPECT_EQ(GetWholeScanValue(text, kDeviceNameKey), "n");
  // At the end of the text, and at a NUL.
  EXPECT_EQ(GetWholeScanValue("Device ID = " + id, kDeviceIdKey), id);
  EXPECT_EQ(GetWholeScanValue(std::string("Device ID = ab\0cd\n", 19), kDeviceIdKey), "ab");
}

TEST(IsMacScanTest, ExactNamesIgnoringCase) {
  EXPECT_TRUE(IsMacScan("OS - Name = Mac OS X\n"));
  EXPECT_TRUE(IsMacScan("OS - Name =   mac os x server  \r\n"));
  EXPECT_FALSE(IsMacScan("OS - Name = Mac OS X 10.4\n"));
}

#ifdef CORVANE_SAMPLE_SCANS_DIR
TEST(GetScanValueTest, SampleScanIdentifiesItsDevice) {
  std::ifstream in(std::string(CORVANE_SAMPLE_SCANS_DIR) + "/debian12-full.scn", std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::string full = bytes.str();
  if (full.empty()) GTEST_SKIP() << "sample scans not present";
  EXPECT_EQ(GetScanValue(full, kDeviceIdKey), "{3D1219C7-0000-0000-0000-000000005EED}");
  EXPECT_EQ(GetScanValue(full, kNicAddressKey), "02FC00000001");
  EXPECT_EQ(GetScanValue(full, kOsNameKey), "Debian GNU/Linux 12");
}
#endif

}  // namespace
}  // namespace corvane::scan
