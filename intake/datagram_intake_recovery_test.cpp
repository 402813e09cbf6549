// The datagram intake when scanners abandon scans or lose acknowledgements:
// a sender's next scan is written whole and alone, a resent last datagram
// starts nothing, and the rest of a set the server dropped is refused.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "diag/catalogue.h"
#include "intake/datagram_intake.h"
#include "intake/testing/datagram_fixture.h"

namespace corvane::intake {
namespace {

using namespace std::string_literals;
using testing::DataPacket;
using testing::ScanDatagrams;
using testing::UdpTestClient;

constexpr uint32_t kLoopbackNet = 0x7F000000;

class DatagramRecoveryTest : public testing::DatagramTest {
 protected:
  // The file that `scan` gives on its own, sent from a machine of its own.
  std::string FileOf(const std::vector<std::string>& scan) {
    UdpTestClient alone(port(), kLoopbackNet + 254);
    for (const std::string& datagram : scan) SendAcknowledged(alone, datagram);
    return TakeScanFile();
  }

  // The senders named by "Last Packet not Sent", in the order reported.
  static std::vector<std::string> SendersReported() {
    std::vector<std::string> names;
    for (const notifex::EventRecord& event : Events()) {
      if (event.event_id != diag::kMsgLastPacketNotSent) continue;
      EXPECT_EQ(event.type, diag::kKindInformation);
      EXPECT_EQ(event.inserts.size(), 1u);
      names.push_back(event.inserts.empty() ? "" : event.inserts[0]);
    }
    return names;
  }
};

TEST_F(DatagramRecoveryTest, AbandonedScanIsNotMixedIntoTheSendersNextScan) {
  StartIntake();
  std::vector<std::string> next = ScanDatagrams("NEXT", 5);
  const std::string expected = FileOf(next);
  ASSERT_FALSE(expected.empty());

  UdpTestClient client(port());
  std::vector<std::string> abandoned = ScanDatagrams("ABANDONED", 5);
  for (int i = 0; i < 3; ++i) SendAcknowledged(client, abandoned[i]);
  for (const std::string& datagram : next) SendAcknowledged(client, datagram);
  EXPECT_EQ(TakeScanFile(), expected);
  EXPECT_EQ(SendersReported(), std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(intake_->IncompleteScans(), 0u);
  EXPECT_TRUE(FilesIn(context_.storage.root, ".scn").empty());
}

TEST_F(DatagramRecoveryTest, StrayDatagramDoesNotSwallowTheNextScan) {
  StartIntake();
  std::vector<std::string> scan = ScanDatagrams("EIGHT", 8);
  const std::string expected = FileOf(scan);
  ASSERT_FALSE(expected.empty());

  UdpTestClient client(port());
  SendAcknowledged(client, DataPacket(3, 1, "Device ID = {STRAY}\0\0"s));
  for (const std::string& datagram : scan) SendAcknowledged(client, datagram);
  EXPECT_EQ(TakeScanFile(), expected);
  EXPECT_EQ(SendersReported(), std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(intake_->IncompleteScans(), 0u);
}

TEST_F(DatagramRecoveryTest, ResentLastDatagramStartsNoScan) {
  StartIntake();
  std::vector<std::string> first = ScanDatagrams("FIRST", 3);
  std::vector<std::string> second = ScanDatagrams("SECOND", 3);
  const std::string expected = FileOf(second);
  ASSERT_FALSE(expected.empty());

  UdpTestClient client(port());
  for (const std::string& datagram : first) SendAcknowledged(client, datagram);
  EXPECT_TRUE(TakeScanFile().starts_with("Device ID = {FIRST}\r\n"));
  // Its acknowledgement was lost, so the scanner sends the last one again.
  SendAcknowledged(client, first[2]);
  EXPECT_EQ(intake_->IncompleteScans(), 0u);
  for (const std::string& datagram : second) SendAcknowledged(client, datagram);
  EXPECT_EQ(TakeScanFile(), expected);
  EXPECT_TRUE(SendersReported().empty());
}

TEST_F(DatagramRecoveryTest, ResentOneDatagramScanIsWrittenOnce) {
  StartIntake();
  UdpTestClient client(port());
  const std::string once = DataPacket(1, 1, "Device ID = {ONCE}\0\0"s);
  SendAcknowledged(client, once);
  SendAcknowledged(client, once);
  SendAcknowledged(client, DataPacket(1, 1, "Device ID = {AFTER}\0\0"s));
  // The writer takes complete scans in order, so a second copy of the first
  // would be on disk before the last one.
  std::vector<std::string> taken{TakeScanFile(), TakeScanFile()};
  std::sort(taken.begin(), taken.end());
  EXPECT_EQ(taken, (std::vector<std::string>{"Device ID = {AFTER}\r\n", "Device ID = {ONCE}\r\n"}));
  EXPECT_TRUE(FilesIn(context_.storage.root, ".scn").empty());
}

TEST_F(DatagramRecoveryTest, FullAssemblyListMakesRoomForANewSender) {
  DatagramIntakeOptions options;
  options.max_incomplete_scans = 3;
  StartIntake(options);
  std::vector<std::string> scan = ScanDatagrams("NEW", 3);
  const std::string expected = FileOf(scan);
  ASSERT_FALSE(expected.empty());

  // Four machines start a scan and go silent: the first of them makes room.
  std::vector<std::unique_ptr<UdpTestClient>> gone;
  for (uint32_t host = 2; host <= 5; ++host) {
    gone.push_back(std::make_unique<UdpTestClient>(port(), kLoopbackNet + host));
    SendAcknowledged(*gone.back(), DataPacket(3, 1, "Device ID = {GONE}\0\0"s));
  }
  EXPECT_EQ(intake_->IncompleteScans(), 3u);
  UdpTestClient client(port());
  for (const std::string& datagram : scan) SendAcknowledged(client, datagram);
  EXPECT_EQ(TakeScanFile(), expected);
  EXPECT_EQ(SendersReported(), (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));

  // The rest of a dropped set is refused; a new start is taken.
  ASSERT_TRUE(gone[0]->Send(DataPacket(3, 2, "Late - Line = 2\0\0"s)));
  SendAcknowledged(*gone[0], DataPacket(3, 1, "Device ID = {BACK}\0\0"s));
  EXPECT_EQ(gone[0]->Receive(100), std::nullopt);
}

TEST_F(DatagramRecoveryTest, ElevenHundredAbandonedSendersAtTheBuiltInLimitDoNotShutOutTheNext) {
  StartIntake({});
  std::vector<std::string> scan = ScanDatagrams("NEXT", 3);
  const std::string expected = FileOf(scan);
  ASSERT_FALSE(expected.empty());
  // 127.0.1.0 onwards: one loopback address per machine that goes silent.
  for (uint32_t host = 0; host < 1100; ++host) {
    UdpTestClient gone(port(), kLoopbackNet + 0x100 + host);
    SendAcknowledged(gone, DataPacket(3, 1, "Device ID = {GONE}\0\0"s));
  }
  EXPECT_EQ(intake_->IncompleteScans(), kMaxIncompleteDatagramScans);
  UdpTestClient client(port());
  for (const std::string& datagram : scan) SendAcknowledged(client, datagram);
  EXPECT_EQ(TakeScanFile(), expected);
}

TEST_F(DatagramRecoveryTest, StaleSetIsNotContinuedButANewStartIs) {
  auto now = std::make_shared<std::atomic<uint64_t>>(5000);
  StartIntake(DatagramIntakeOptions{.clock = [now] { return now->load(); }});
  std::vector<std::string> scan = ScanDatagrams("SLOW", 5);
  const std::string expected = FileOf(scan);
  ASSERT_FALSE(expected.empty());

  UdpTestClient client(port());
  for (int i = 0; i < 3; ++i) SendAcknowledged(client, scan[i]);
  *now += 301;
  EXPECT_EQ(intake_->DropStaleScans(300), std::vector<std::string>{"127.0.0.1"});
  // Reporting the dropped sets is the caller's.
  EXPECT_TRUE(SendersReported().empty());

  // Packet 4 gets no answer, so the first one that comes is packet 1's.
  ASSERT_TRUE(client.Send(scan[3]));
  for (const std::string& datagram : scan) SendAcknowledged(client, datagram);
  EXPECT_EQ(TakeScanFile(), expected);
  EXPECT_EQ(client.Receive(100), std::nullopt);
}

}  // namespace
}  // namespace corvane::intake
