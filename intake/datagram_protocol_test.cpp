// The datagram wire format, and a scan split into payloads as a scanner
// sends it coming back whole through the packet-set conversion.

#include "intake/datagram_protocol.h"

#include <gtest/gtest.h>

#include "scan/packet_set.h"

namespace corvane::intake {
namespace {

using namespace std::string_literals;

TEST(DatagramProtocolTest, HeaderChecksumAcknowledgementAndReplyFlags) {
  std::string datagram = BuildDatagram({0x0400, 3, 0x0102, 0xBEEF}, "ab");
  EXPECT_EQ(datagram, "\x00\x04\x03\x00\x02\x01\xEF\xBE"s + "ab");
  std::optional<DatagramHeader> header = ParseDatagramHeader(datagram);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->type, 0x0400);
  EXPECT_EQ(header->total, 3);
  EXPECT_EQ(header->sequence, 0x0102);
  EXPECT_EQ(header->checksum, 0xBEEF);
  EXPECT_FALSE(ParseDatagramHeader(datagram.substr(0, 7)));
  EXPECT_EQ(AcknowledgementOf(datagram), (std::array<uint8_t, 2>{0x02, 0x01}));
  EXPECT_EQ(BuildRequestDatagram(), std::string(8, '\0'));

  // Bytes count 0 to 255, and the sum wraps at 65536.
  EXPECT_EQ(PayloadChecksum("\xFF\x01"s), 256);
  EXPECT_EQ(PayloadChecksum(std::string(300, '\xFF')), (300 * 255) % 65536);
  EXPECT_EQ(PayloadChecksum(""), 0);

  EXPECT_EQ(DatagramReplyFlags(false), 0x45FFFFu);
  EXPECT_EQ(DatagramReplyFlags(true), 0x47FFFFu);
}

// Every string of a payload, in order.
std::vector<std::string> StringsOf(const std::string& payload) {
  std::vector<std::string> strings;
  size_t start = 0;
  while (start < payload.size()) {
    size_t end = payload.find('\0', start);
    if (end == std::string::npos || end == start) break;
    strings.push_back(payload.substr(start, end - start));
    start = end + 1;
  }
  return strings;
}

TEST(DatagramProtocolTest, LinesFillPayloadsWithoutCrossingThem) {
  std::string text = "Device ID = {P}\n\n";
  for (int i = 0; i < 200; ++i)
    text += "Package - (Name:pkg" + std::to_string(i) + ") - Version = 1\r\n";
  text += std::string(1200, 'L') + "\n";
  std::optional<std::vector<std::string>> payloads = SplitScanIntoPayloads(text);
  ASSERT_TRUE(payloads);
  ASSERT_GT(payloads->size(), 5u);
  size_t package_lines = 0;
  for (const std::string& payload : *payloads) {
    ASSERT_LE(payload.size(), kDatagramPayloadSize);
    if (payload.size() < kDatagramPayloadSize) {
      EXPECT_TRUE(payload.ends_with("\0\0"s));
    }
    for (const std::string& line : StringsOf(payload)) {
      if (line.starts_with("Package")) {
        EXPECT_TRUE(line.ends_with(") - Version = 1")) << line;
        ++package_lines;
      }
    }
  }
  EXPECT_EQ(package_lines, 200u);
  EXPECT_EQ(StringsOf(payloads->back()).back(), std::string(1200 - 2 * 541, 'L'));
}

// A scan with a contents block bigger than two payloads.
std::string ScanWithBigContents(const std::string& declared) {
  std::string contents;
  for (int i = 0; i < 40; ++i)
    contents += "line " + std::to_string(i) + " of a configuration file\n";
  return "Device ID = {C}\n_BeginContents\n" + declared + "\n1796000000\nfstab\n\n" + contents +
         "_EndContents\nOS - Name = Linux\n";
}

TEST(DatagramProtocolTest, SplitScanComesBackThroughThePacketSetConversion) {
  std::string error;
  std::optional<std::vector<std::string>> datagrams =
      BuildScanDatagrams(ScanWithBigContents("9"), false, &error);
  ASSERT_TRUE(datagrams) << error;
  ASSERT_GT(datagrams->size(), 2u);
  scan::PacketSet plain;
  for (size_t i = 0; i < datagrams->size(); ++i) {
    std::optional<DatagramHeader> header = ParseDatagramHeader((*datagrams)[i]);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->type, kDatagramScanData);
    EXPECT_EQ(header->total, datagrams->size());
    EXPECT_EQ(header->sequence, i + 1);
    std::string payload = (*datagrams)[i].substr(kDatagramHeaderSize);
    EXPECT_EQ(header->checksum, PayloadChecksum(payload));
    plain.push_back(payload);
  }
  std::string contents;
  for (int i = 0; i < 40; ++i) {
    contents += "line " + std::to_string(i) + " of a configuration file\r\n";
  }
  // The length line tells what was sent; the empty header line became a blank.
  std::string expected = "Device ID = {C}\r\n_BeginContents\r\n" + std::to_string(contents.size()) +
                         "\r\n1796000000\r\nfstab\r\n \r\n" + contents +
                         "\r\n_EndContents\r\nOS - Name = Linux\r\n";
  EXPECT_EQ(scan::PacketSetToScanText(plain, scan::DatagramScanKey()), expected);

  std::optional<std::vector<std::string>> enciphered =
      BuildScanDatagrams(ScanWithBigContents("9"), true);
  ASSERT_TRUE(enciphered);
  scan::PacketSet packets;
  for (const std::string& datagram : *enciphered) {
    packets.push_back(datagram.substr(kDatagramHeaderSize));
  }
  EXPECT_NE(packets, plain);
  EXPECT_EQ(scan::PacketSetToScanText(packets, scan::DatagramScanKey()), expected);
}

TEST(DatagramProtocolTest, ScansThatCannotTravelAsDatagramsAreRefused) {
  std::string error;
  EXPECT_FALSE(SplitScanIntoPayloads(ScanWithBigContents("C:\\etc"), &error));
  EXPECT_NE(error.find("length"), std::string::npos);
  EXPECT_FALSE(BuildScanDatagrams("\n\n", false, &error));
}

}  // namespace
}  // namespace corvane::intake
