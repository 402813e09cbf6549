// The TCP receiver end to end over loopback: what each kind of connection
// leaves in the storage directory and which events it reports.

#include "intake/tcp_receiver.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "Common/Include/xtrace.h"
#include "diag/catalogue.h"
#include "intake/testing/receiver_fixture.h"
#include "platform/registry.h"

namespace corvane::intake {
namespace {

using namespace std::string_literals;
using testing::CompressedStream;
using testing::ExchangeResult;
using testing::kLoopbackAddressLine;
using testing::SendFullScan;
using testing::ServerEnd;
using testing::SyntheticScan;
using testing::TestClient;
using testing::WithCrLf;

std::string Sample(const std::string& name) {
  return corvane::testing::ReadFileOrEmpty(std::string(CORVANE_SAMPLE_SCANS_DIR) + "/" + name);
}

class TcpReceiverTest : public testing::ReceiverTest {};

TEST_F(TcpReceiverTest, ZlibScanBecomesOneScnFileWithCrLfLinesAndTheAddressLine) {
  std::string scan = Sample("debian12-full.scn");
  if (scan.empty()) GTEST_SKIP() << "sample scans not found in " << CORVANE_SAMPLE_SCANS_DIR;
  context_.software_scan_frequency = 7;
  StartReceiver();

  ExchangeResult result =
      SendFullScan(port(), "{3D1219C7-0000-0000-0000-000000005EED}", CompressedStream(scan));
  ASSERT_TRUE(result.reply);
  EXPECT_EQ(result.reply->option_flags, 0x47FFFFu);
  EXPECT_EQ(result.reply->software_scan_frequency, 7u);
  EXPECT_EQ(result.reply->logon_depth, 5u);
  EXPECT_EQ(result.end, ServerEnd::kClosed);  // a stored scan ends in an orderly close
  Settle();

  std::vector<std::string> stored = AllStoredFiles();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_TRUE(stored[0].starts_with("/SCA") && stored[0].ends_with(".scn")) << stored[0];
  EXPECT_EQ(Read(context_.storage.root + stored[0]), WithCrLf(scan) + kLoopbackAddressLine);
  EXPECT_TRUE(Events().empty());
}

TEST_F(TcpReceiverTest, PlainScanDropsFfBytesAndCanGoWithoutTheAddressLine) {
  settings().use_connection_address = 0;
  settings().scan_file_prefix = "PLAINSCAN";
  StartReceiver();

  ExchangeResult result =
      SendFullScan(port(), "{P}", "Device ID = {P}\0\xFFOS - Name = Debian\xFF\0"s);
  ASSERT_TRUE(result.reply);
  EXPECT_TRUE(result.server_closed);
  Settle();

  std::vector<std::string> files = FilesIn(context_.storage.root);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].starts_with("PLA") && files[0].ends_with(".scn")) << files[0];
  EXPECT_EQ(Read(context_.storage.root + "/" + files[0]),
            "Device ID = {P}\r\nOS - Name = Debian\r\n");
}

TEST_F(TcpReceiverTest, ReplyFlagsFollowTheDeviceIdOnlyWhenTheRequestCarriesOne) {
  settings().do_delta = 0;
  settings().disable_encryption = 1;
  // Received text is data: with tracing on, it must show up verbatim.
  const std::string hostile_id = "%s%n%n{BAD}";
  context_.configuration.bad_device_ids.Add(hostile_id);
  context_.configuration.bad_device_ids.Add("");
  context_.configuration.force_full_scans.Add("{FULL}");
  context_.configuration.force_full_scans.Add("");
  platform::registry::SetValue(platform::RegRoot::kLocalMachine, "Software\\Arvex\\Corvane\\XTrace",
                               "CVDiv32", platform::RegValue::Dword(1));
  xtrace::InitForModule(context_.program_directory + "/CVDiv32", "CVDiv32");
  StartReceiver();

  auto flags_for = [&](const std::string& request) -> uint32_t {
    TestClient client(port());
    EXPECT_TRUE(client.Send(request));
    std::optional<ReplyRecord> reply = client.ReceiveReply();
    return reply ? reply->option_flags : 0;
  };
  EXPECT_EQ(flags_for(BuildFullScanRequest(hostile_id)), 0xDFFFFu);
  EXPECT_EQ(flags_for(BuildFullScanRequest("{FULL}")), 0x25FFFFu);
  EXPECT_EQ(flags_for(BuildFullScanRequest("{OTHER}")), 0x5FFFFu);
  EXPECT_EQ(flags_for("\x00\x04\0\0\0\0\0\0"s), 0x5FFFFu);     // header only: no device ID
  EXPECT_EQ(flags_for("\x00\x04\0\0\0\0\0\0\0"s), 0x2DFFFFu);  // an empty device ID
  Settle();
  xtrace::Shutdown();

  EXPECT_TRUE(AllStoredFiles().empty());
  EXPECT_TRUE(Events().empty());
  EXPECT_NE(Read(context_.program_directory + "/CVDiv32.xlg").find("device ID " + hostile_id),
            std::string::npos);
}

TEST_F(TcpReceiverTest, RequestsAndPlainTextThatArriveByteByByteAreReadWhole) {
  context_.configuration.force_full_scans.Add("{TRICKLE}");
  StartReceiver();
  std::string scan = SyntheticScan("{TRICKLE}", 20);
  TestClient zlib(port());
  ASSERT_TRUE(zlib.SendByteByByte(BuildFullScanRequest("{TRICKLE}"), 5));
  std::optional<ReplyRecord> reply = zlib.ReceiveReply();
  ASSERT_TRUE(reply);
  // The device ID came whole: the server found it in its set.
  EXPECT_EQ(reply->option_flags, 0x47FFFFu | kReplyForceFullScanFlag);
  ASSERT_TRUE(zlib.Send(CompressedStream(scan)));
  zlib.ShutdownSending();
  EXPECT_EQ(zlib.WaitForServerEnd(), ServerEnd::kClosed);

  // A plain stream's start in pieces is still told from zlib data.
  TestClient plain(port());
  ASSERT_TRUE(plain.Send(BuildFullScanRequest("{PLAIN}")));
  ASSERT_TRUE(plain.ReceiveReply());
  ASSERT_TRUE(plain.SendByteByByte("Device ID = {PLAIN}\0"s, 5));
  plain.ShutdownSending();
  EXPECT_EQ(plain.WaitForServerEnd(), ServerEnd::kClosed);

  TestClient mini(port());
  ASSERT_TRUE(mini.SendByteByByte("\x01\x04Mini - One = 1\0\0"s, 5));
  size_t received = 0;
  EXPECT_EQ(mini.WaitForServerEnd(5000, &received), ServerEnd::kClosed);
  EXPECT_EQ(received, 0u);
  Settle();

  std::vector<std::string> scans = FilesIn(context_.storage.root, ".scn");
  ASSERT_EQ(scans.size(), 2u);
  std::vector<std::string> texts = {Read(context_.storage.root + "/" + scans[0]),
                                    Read(context_.storage.root + "/" + scans[1])};
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts[0], "Device ID = {PLAIN}\r\n"s + kLoopbackAddressLine);
  EXPECT_EQ(texts[1], WithCrLf(scan) + kLoopbackAddressLine);
  std::vector<std::string> minis = FilesIn(context_.storage.root, ".ims");
  ASSERT_EQ(minis.size(), 1u);
  EXPECT_EQ(Read(context_.storage.root + "/" + minis[0]), "Mini - One = 1\r\n");
  EXPECT_TRUE(AllStoredFiles().size() == 3u && Events().empty());
}

TEST_F(TcpReceiverTest, UnknownTypeWordIsReceivedIntoErrorScanWithEvent2068) {
  StartReceiver();
  std::string scan = SyntheticScan("{U}", 50);
  TestClient client(port());
  ASSERT_TRUE(client.Send("\x99\x09\0\0\0\0\0\0{U}\0"s));
  ASSERT_TRUE(client.ReceiveReply());
  ASSERT_TRUE(client.Send(CompressedStream(scan)));
  client.ShutdownSending();
  EXPECT_TRUE(client.WaitForServerClose());
  Settle();

  EXPECT_TRUE(FilesIn(context_.storage.root).empty());
  std::vector<std::string> kept = FilesIn(context_.storage.error_scan);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(kept[0].ends_with(".scn"));
  EXPECT_EQ(Read(context_.storage.error_scan + "/" + kept[0]),
            WithCrLf(scan) + kLoopbackAddressLine);
  std::vector<notifex::EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_id, diag::kMsgTcpInvalidScan);
  EXPECT_EQ(events[0].type, diag::kKindWarning);
}

TEST_F(TcpReceiverTest, MiniScanBecomesAnImsFileWithoutAReply) {
  StartReceiver();
  auto send_mini = [&] {
    TestClient client(port());
    ASSERT_TRUE(client.Send("\x01\x04Line one\0Line\xFF two\0\0ignored"s));
    client.ShutdownSending();
    size_t received = 0;
    EXPECT_TRUE(client.WaitForServerClose(5000, &received));
    EXPECT_EQ(received, 0u);
  };
  send_mini();
  Settle();
  std::vector<std::string> files = FilesIn(context_.storage.root);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].starts_with("IMS") && files[0].ends_with(".ims")) << files[0];
  EXPECT_EQ(Read(context_.storage.root + "/" + files[0]), "Line one\r\nLine two\r\n");

  settings().ignore_mini_scans = 1;
  send_mini();
  Settle();
  EXPECT_EQ(FilesIn(context_.storage.root).size(), 1u);
  EXPECT_TRUE(Events().empty());
}

}  // namespace
}  // namespace corvane::intake
