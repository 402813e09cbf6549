// The scan protocol's bytes, on fixed fixtures.

#include "intake/scan_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace corvane::intake {
namespace {

using namespace std::string_literals;

TEST(ScanRequest, DeviceIdIsReadOnlyBeyondTheHeaderUpToItsNul) {
  ScanRequest full = ParseScanRequest("\x00\x04\x01\x02\x03\x04\x05\x06{DEV-1}\0tail"s);
  EXPECT_EQ(full.type_word, kFullScanRequest);
  EXPECT_EQ(full.device_id, "{DEV-1}");

  ScanRequest header_only = ParseScanRequest("\x00\x04\0\0\0\0\0\0"s);
  EXPECT_EQ(header_only.type_word, kFullScanRequest);
  EXPECT_FALSE(header_only.device_id.has_value());

  ScanRequest empty_id = ParseScanRequest("\x00\x04\0\0\0\0\0\0\0"s);
  EXPECT_EQ(empty_id.device_id, "");

  ScanRequest unterminated = ParseScanRequest("\x00\x04\0\0\0\0\0\0abc"s);
  EXPECT_EQ(unterminated.device_id, "abc");

  EXPECT_EQ(ParseScanRequest("\x01\x04payload"s).type_word, kMiniScanRequest);
  EXPECT_EQ(ParseScanRequest("\x07"s).type_word, 0x0007);
  EXPECT_EQ(ParseScanRequest("").type_word, 0);
}

TEST(ScanRequest, BuiltRequestsParseBack) {
  std::string request = BuildFullScanRequest("{ABC}");
  EXPECT_EQ(request, "\x00\x04\0\0\0\0\0\0{ABC}\0"s);
  EXPECT_EQ(ParseScanRequest(request).device_id, "{ABC}");

  std::string mini = BuildMiniScanPacket("one\r\ntwo\n");
  EXPECT_EQ(mini, "\x01\x04one\0two\0\0"s);
  EXPECT_EQ(BuildMiniScanPacket("one\ntwo"), "\x01\x04one\0two\0\0"s);
}

TEST(ScanRequest, ProgressOfARequestThatArrivesInPieces) {
  // Every prefix of a built request short of its end leaves it open.
  for (const std::string& request : {BuildFullScanRequest("{DEV-1}"), BuildMiniScanPacket("a\nb\n"),
                                     "\x99\x09\0\0\0\0\0\0{U}\0"s}) {
    EXPECT_EQ(ScanRequestProgress(request.substr(0, 1)), RequestProgress::kPartial);
    for (size_t size = 2; size < request.size(); ++size) {
      EXPECT_EQ(ScanRequestProgress(request.substr(0, size)), RequestProgress::kTypeKnown)
          << size << " bytes of a request of " << request.size();
    }
    EXPECT_EQ(ScanRequestProgress(request), RequestProgress::kComplete);
  }
  EXPECT_EQ(ScanRequestProgress(""), RequestProgress::kPartial);
  // NULs inside the header are no device ID's end.
  EXPECT_EQ(ScanRequestProgress("\x00\x04\0\0\0\0\0\0"s), RequestProgress::kTypeKnown);
  // A mini-scan line end alone does not end the payload.
  EXPECT_EQ(ScanRequestProgress("\x01\x04one\0two\0"s), RequestProgress::kTypeKnown);
  std::string unterminated = "\x00\x04\0\0\0\0\0\0"s + std::string(kReceiveChunkSize, 'x');
  EXPECT_EQ(ScanRequestProgress(unterminated.substr(0, kReceiveChunkSize - 1)),
            RequestProgress::kTypeKnown);
  EXPECT_EQ(ScanRequestProgress(unterminated.substr(0, kReceiveChunkSize)),
            RequestProgress::kComplete);
}

TEST(ReplyRecord, FlagsFollowTheSettingsAndTheDeviceSets) {
  EXPECT_EQ(ReplyOptionFlags({.do_delta = true, .disable_encryption = false}), 0x47FFFFu);
  EXPECT_EQ(ReplyOptionFlags({.do_delta = false, .disable_encryption = true}), 0x5FFFFu);
  EXPECT_EQ(
      ReplyOptionFlags({.do_delta = false, .disable_encryption = true, .bad_device_id = true}),
      0xDFFFFu);
  EXPECT_EQ(ReplyOptionFlags({.do_delta = true,
                              .disable_encryption = true,
                              .bad_device_id = true,
                              .force_full_scan = true}),
            0x2FFFFFu);
}

TEST(ReplyRecord, LayoutIsLittleEndianWithZeroTail) {
  ReplyRecordBytes record = BuildReplyRecord(0x47FFFF, 0x01020304, 5);
  std::string bytes(record.begin(), record.end());
  std::string expected =
      "\xFF\xFF\x01\x01\x00\x00\x04\x00"
      "\xFF\xFF\x47\x00"
      "\x04\x03\x02\x01"
      "\x05\x00\x00\x00"s +
      std::string(24, '\0');
  EXPECT_EQ(bytes, expected);

  std::optional<ReplyRecord> parsed = ParseReplyRecord(bytes);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->option_flags, 0x47FFFFu);
  EXPECT_EQ(parsed->software_scan_frequency, 0x01020304u);
  EXPECT_EQ(parsed->logon_depth, 5u);

  EXPECT_FALSE(ParseReplyRecord(bytes.substr(0, 43)));
  bytes[2] = 0x02;
  EXPECT_FALSE(ParseReplyRecord(bytes));
}

TEST(ScanText, NulBecomesCrLfAndFfIsDropped) {
  std::string out = "kept|";
  AppendScanFileText("Device ID = x\0\xFFLine\xFF two\0\0"s, out);
  EXPECT_EQ(out, "kept|Device ID = x\r\nLine two\r\n\r\n");

  EXPECT_TRUE(IsPlainScanText("Device ID = {x}\0"s));
  EXPECT_FALSE(IsPlainScanText("Device ID ="s.substr(0, 10)));
  EXPECT_FALSE(IsPlainScanText("\x78\x9c"s));
}

TEST(ScanText, WireFormEndsLinesWithNul) {
  EXPECT_EQ(ScanTextForWire("a\nb\r\nc\rd\n"), "a\0b\0c\rd\0"s);
}

TEST(MiniScan, TwoNulsEndThePayload) {
  EXPECT_EQ(MiniScanFileText("first line\0second\xFF line\0\0ignored\0"s),
            "first line\r\nsecond line\r\n");
  EXPECT_EQ(MiniScanFileText("no end"), "no end");
  std::string long_payload(1500, '\0');
  for (size_t i = 0; i < long_payload.size(); i += 2) long_payload[i] = 'x';
  EXPECT_EQ(MiniScanFileText(long_payload).size(), kMaxMiniScanFileSize);
}

TEST(ConnectionAddress, OctetsAreZeroPaddedFirstOctetFirst) {
  EXPECT_EQ(ConnectionAddressLine({127, 0, 0, 1}),
            "Network - TCPIP - Address =127.000.000.001\r\n");
  EXPECT_EQ(ConnectionAddressLine({10, 20, 255, 7}),
            "Network - TCPIP - Address =010.020.255.007\r\n");
}

// Feeds `stream` in receive-sized chunks; the concatenated text and whether
// the stream ended.
std::pair<std::string, bool> InflateInChunks(std::string_view stream, size_t chunk_size) {
  ScanInflater inflater;
  std::string text;
  for (size_t at = 0; at < stream.size(); at += chunk_size) {
    if (inflater.Feed(stream.substr(at, chunk_size)) == ScanInflater::Result::kError) break;
    text += inflater.decoded();
  }
  return {text, inflater.finished()};
}

TEST(ScanInflater, ChunkedStreamInflatesWholeAndEnds) {
  std::string text;
  for (int i = 0; i < 3000; ++i)
    text += "Software - Package - (Name:pkg" + std::to_string(i) + ")\0"s;
  std::string stream = CompressScanText(text);
  auto [decoded, finished] = InflateInChunks(stream, kReceiveChunkSize);
  EXPECT_EQ(decoded, text);
  EXPECT_TRUE(finished);
}

TEST(ScanInflater, HighlyCompressedChunkGrowsTheOutput) {
  // Half a megabyte from about 500 bytes: one chunk must yield it all, past
  // more than one enlargement of the output buffer.
  std::string text(1 << 19, 'A');
  std::string stream = CompressScanText(text);
  ASSERT_LE(stream.size(), kReceiveChunkSize);
  auto [decoded, finished] = InflateInChunks(stream, kReceiveChunkSize);
  EXPECT_EQ(decoded.size(), text.size());
  EXPECT_TRUE(finished);
}

TEST(ScanInflater, CutOrBrokenStreamsDoNotEnd) {
  std::string stream = CompressScanText(std::string(5000, 'x') + "end");
  auto [cut_text, cut_finished] = InflateInChunks(stream.substr(0, stream.size() - 6), 100);
  EXPECT_FALSE(cut_finished);
  EXPECT_LT(cut_text.size(), 5003u);

  ScanInflater garbage;
  EXPECT_EQ(garbage.Feed("this is not zlib at all"), ScanInflater::Result::kError);
  EXPECT_FALSE(garbage.finished());
}

TEST(ScanInflater, InputAfterTheEndProducesNothing) {
  ScanInflater inflater;
  EXPECT_EQ(inflater.Feed(CompressScanText("abc")), ScanInflater::Result::kStreamEnd);
  EXPECT_EQ(inflater.decoded(), "abc");
  EXPECT_EQ(inflater.Feed("trailing"), ScanInflater::Result::kStreamEnd);
  EXPECT_EQ(inflater.decoded(), "");
}

}  // namespace
}  // namespace corvane::intake
