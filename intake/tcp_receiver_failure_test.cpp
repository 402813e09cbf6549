// The TCP receiver's failure paths over loopback: broken, reset, stalled and
// oversized transfers, the connection limit and the listener's own failures.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "diag/catalogue.h"
#include "intake/testing/receiver_fixture.h"

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

class TcpReceiverFailureTest : public testing::ReceiverTest {
 protected:
  // Starts a plain scan and waits until the receiver has its temporary file.
  void StartPlainScan(TestClient& client) {
    ASSERT_TRUE(client.Send(BuildFullScanRequest("{R}")));
    ASSERT_TRUE(client.ReceiveReply());
    ASSERT_TRUE(client.Send("Device ID = {R}\0OS - Name = partial"s));
    ASSERT_TRUE(WaitForFile(context_.storage.root, ".tmp"));
  }
};

TEST_F(TcpReceiverFailureTest, CutOrBrokenZlibStreamLeavesNothingAndReportsFaultyPacket) {
  StartReceiver();
  std::string stream = CompressedStream(SyntheticScan("{CUT}", 3000));
  ASSERT_GT(stream.size(), 4096u);

  // The client learns from the reset that its scan was not taken.
  ExchangeResult cut = SendFullScan(port(), "{CUT}", stream.substr(0, stream.size() / 2));
  EXPECT_EQ(cut.end, ServerEnd::kReset);
  ExchangeResult broken = SendFullScan(port(), "{BROKEN}", "neither zlib nor plain text");
  EXPECT_EQ(broken.end, ServerEnd::kReset);
  Settle();

  EXPECT_TRUE(AllStoredFiles().empty());
  std::vector<notifex::EventRecord> events = Events();
  ASSERT_EQ(events.size(), 2u);
  for (const notifex::EventRecord& event : events) {
    EXPECT_EQ(event.source, diag::kApplicationName);
    EXPECT_EQ(event.event_id, diag::kMsgFaultyPacket);
    EXPECT_EQ(event.type, diag::kKindError);
    EXPECT_TRUE(event.inserts.empty());
  }
}

TEST_F(TcpReceiverFailureTest, ResetPlainStreamIsDiscardedSilently) {
  StartReceiver();
  TestClient client(port());
  StartPlainScan(client);
  client.Reset();
  Settle();

  EXPECT_TRUE(AllStoredFiles().empty());
  EXPECT_TRUE(Events().empty());
}

TEST_F(TcpReceiverFailureTest, ResetWithoutIgnoreGoesToErrorTransWithEvent2069) {
  settings().ignore_connection_reset = 0;
  StartReceiver();
  TestClient client(port());
  StartPlainScan(client);
  client.Reset();
  Settle();

  EXPECT_TRUE(FilesIn(context_.storage.root).empty());
  std::vector<std::string> parked = FilesIn(context_.storage.error_trans);
  ASSERT_EQ(parked.size(), 1u);
  EXPECT_TRUE(parked[0].starts_with("SCA") && parked[0].ends_with(".scn")) << parked[0];
  EXPECT_EQ(Read(context_.storage.error_trans + "/" + parked[0]),
            "Device ID = {R}\r\nOS - Name = partial"s + kLoopbackAddressLine);
  std::vector<notifex::EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_id, diag::kMsgTcpReceiveError);
  EXPECT_EQ(events[0].inserts, std::vector<std::string>{std::to_string(ECONNRESET)});
}

TEST_F(TcpReceiverFailureTest, IdleConnectionsTimeOutAndAStalledScanGoesToErrorTrans) {
  settings().tcp_idle_timeout_seconds = 1;
  StartReceiver();
  TestClient silent(port());
  TestClient stalled(port());
  ASSERT_TRUE(stalled.Send(BuildFullScanRequest("{STALL}")));
  ASSERT_TRUE(stalled.ReceiveReply());
  ASSERT_TRUE(stalled.Send("Device ID = {STALL}\0first line\0"s));

  EXPECT_EQ(silent.WaitForServerEnd(10000), ServerEnd::kReset);
  EXPECT_EQ(stalled.WaitForServerEnd(10000), ServerEnd::kReset);
  Settle();

  EXPECT_TRUE(FilesIn(context_.storage.root).empty());
  std::vector<std::string> parked = FilesIn(context_.storage.error_trans);
  ASSERT_EQ(parked.size(), 1u);
  EXPECT_EQ(Read(context_.storage.error_trans + "/" + parked[0]),
            "Device ID = {STALL}\r\nfirst line\r\n"s + kLoopbackAddressLine);
  std::vector<notifex::EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);  // the silent one never started a scan
  EXPECT_EQ(events[0].event_id, diag::kMsgTcpReceiveError);
  EXPECT_EQ(events[0].inserts, std::vector<std::string>{std::to_string(ETIMEDOUT)});
}

TEST_F(TcpReceiverFailureTest, AScanFileNeverGrowsPastTwiceTheMaximumScanSize) {
  settings().max_scan_file_size = 10000;
  const uint64_t bound = 2 * settings().max_scan_file_size;
  StartReceiver();
  // Just under twice the maximum passes: the processing thread judges size.
  std::string fits = SyntheticScan("{FITS}", 300);
  ASSERT_GT(fits.size(), 10000u);
  ASSERT_LT(fits.size(), 19000u);
  EXPECT_EQ(SendFullScan(port(), "{FITS}", CompressedStream(fits)).end, ServerEnd::kClosed);

  // A few kilobytes of zlib that inflate to megabytes of line ends, each of
  // which the file holds as two bytes: the bound is on the file, so what is
  // kept stops at it, in "ErrorTrans" and, for an unknown type word, in
  // "ErrorScan" alike.
  std::string bomb = CompressedStream(std::string(4 << 20, '\n'));
  ASSERT_LT(bomb.size(), 8192u);
  std::string unknown_type = BuildFullScanRequest("{BIG}");
  unknown_type[1] = 0x09;
  for (const std::string& request : {BuildFullScanRequest("{BIG}"), unknown_type}) {
    TestClient client(port());
    ASSERT_TRUE(client.Send(request));
    ASSERT_TRUE(client.ReceiveReply());
    client.Send(bomb);
    EXPECT_EQ(client.WaitForServerEnd(10000), ServerEnd::kReset);
  }
  Settle();

  ASSERT_EQ(FilesIn(context_.storage.root, ".scn").size(), 1u);
  EXPECT_EQ(FilesIn(context_.storage.root).size(), 1u);
  for (const std::string& directory : {context_.storage.error_trans, context_.storage.error_scan}) {
    std::vector<std::string> kept = FilesIn(directory);
    ASSERT_EQ(kept.size(), 1u) << directory;
    std::string text = Read(directory + "/" + kept[0]);
    EXPECT_LE(text.size(), bound) << directory;
    EXPECT_GT(text.size(), bound / 2) << directory;  // what fitted is kept
    EXPECT_TRUE(text.starts_with("\r\n\r\n")) << directory;
  }
  std::vector<notifex::EventRecord> events = Events();
  ASSERT_EQ(events.size(), 3u);  // 2069 for each bomb, 2068 for the unknown type
  int receive_errors = 0;
  for (const notifex::EventRecord& event : events) {
    if (event.event_id != diag::kMsgTcpReceiveError) continue;
    ++receive_errors;
    EXPECT_EQ(event.inserts, std::vector<std::string>{std::to_string(EFBIG)});
  }
  EXPECT_EQ(receive_errors, 2);
}

TEST_F(TcpReceiverFailureTest, FailedTransfersKeepErrorTransWithinItsBound) {
  settings().max_scan_file_size = 200000;  // each failed transfer keeps 400000 bytes
  settings().max_error_directory_mb = 1;
  StartReceiver();
  const std::string bomb = CompressedStream(std::string(4 << 20, '\n'));
  for (int client = 0; client < 4; ++client) {
    TestClient sender(port());
    ASSERT_TRUE(sender.Send(BuildFullScanRequest("{BIG}")));
    ASSERT_TRUE(sender.ReceiveReply());
    sender.Send(bomb);
    EXPECT_EQ(sender.WaitForServerEnd(10000), ServerEnd::kReset);
    Settle();  // one after the other, so that their age is their order
  }

  // The third passed 1 MiB, and so did the fourth: each time the oldest went.
  std::vector<std::string> kept = FilesIn(context_.storage.error_trans);
  EXPECT_EQ(kept.size(), 2u);
  uint64_t total = 0;
  for (const std::string& name : kept)
    total += Read(context_.storage.error_trans + "/" + name).size();
  EXPECT_EQ(total, 800000u);
  std::vector<std::vector<std::string>> clean_ups;
  for (const notifex::EventRecord& event : Events()) {
    if (event.event_id == diag::kMsgErrorDirectoriesCleaned) clean_ups.push_back(event.inserts);
  }
  const std::vector<std::string> one_file = {"1", "400000", "1048576"};
  EXPECT_EQ(clean_ups, (std::vector<std::vector<std::string>>{one_file, one_file}));
}

TEST_F(TcpReceiverFailureTest, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  settings().max_tcp_connections = 2;
  StartReceiver();
  auto first = std::make_unique<TestClient>(port());
  TestClient second(port());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (receiver_->ActiveConnections() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(receiver_->ActiveConnections(), 2u);

  TestClient refused(port());
  EXPECT_EQ(refused.WaitForServerEnd(3000), ServerEnd::kReset);
  EXPECT_EQ(receiver_->ActiveConnections(), 2u);

  first.reset();  // frees a slot
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (receiver_->ActiveConnections() > 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ExchangeResult result =
      SendFullScan(port(), "{NEXT}", CompressedStream(SyntheticScan("{NEXT}", 5)));
  EXPECT_TRUE(result.server_closed);
  EXPECT_TRUE(WaitForFile(context_.storage.root, ".scn"));
}

TEST_F(TcpReceiverFailureTest, BindFailureReportsEvent2062AndCloseStopsIntake) {
  int occupant = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(settings().tcp_port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(occupant, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(occupant, 1), 0);

  TcpReceiver blocked(context_, TcpReceiverOptions{.loopback_only = true});
  EXPECT_FALSE(blocked.SetUp());
  blocked.Close();
  close(occupant);
  std::vector<notifex::EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_id, diag::kMsgTcpBindFailed);
  EXPECT_EQ(events[0].type, diag::kKindWarning);
  EXPECT_EQ(events[0].inserts, std::vector<std::string>{std::to_string(EADDRINUSE)});

  StartReceiver();
  uint16_t listening_port = port();
  receiver_->Close();
  EXPECT_THROW(TestClient{listening_port}, std::runtime_error);
  EXPECT_EQ(Events().size(), 1u);  // closing is no accept failure
}

TEST_F(TcpReceiverFailureTest, ScanBeforeTheStorageDirectoriesExistFailsWithoutStrayFiles) {
  // Server start builds the directories after the listener is up.
  context_.program_directory = root_.path() + "/fresh";
  context_.storage = {};
  ASSERT_EQ(mkdir(context_.program_directory.c_str(), 0755), 0);
  ASSERT_EQ(chdir(context_.program_directory.c_str()), 0);
  StartReceiver();

  EXPECT_EQ(SendFullScan(port(), "{EARLY}", CompressedStream(SyntheticScan("{EARLY}", 5))).end,
            ServerEnd::kReset);
  Settle();
  EXPECT_TRUE(FilesIn(context_.program_directory).empty());
  std::vector<notifex::EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_id, diag::kMsgTcpReceiveError);
  EXPECT_EQ(events[0].inserts, std::vector<std::string>{std::to_string(ENOENT)});
}

}  // namespace
}  // namespace corvane::intake
