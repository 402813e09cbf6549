// The datagram intake over loopback UDP: acknowledgements, reassembly into
// scan files, requests and their reply, and the listener's failures.

#include "intake/datagram_intake.h"

#include <gtest/gtest.h>

#include "diag/catalogue.h"
#include "intake/datagram_protocol.h"
#include "intake/scan_protocol.h"
#include "intake/testing/datagram_fixture.h"

namespace corvane::intake {
namespace {

using namespace std::string_literals;
using testing::DataPacket;
using testing::UdpTestClient;

// A scan text that travels in exactly three datagrams.
std::vector<std::string> ThreePacketScan(bool encipher = false) {
  std::string text = "Device ID = {THREE}\n";
  for (int i = 0; i < 30; ++i)
    text += "Software - Package - (Name:p" + std::to_string(i) + ") - V = 1\n";
  std::optional<std::vector<std::string>> datagrams = BuildScanDatagrams(text, encipher);
  EXPECT_TRUE(datagrams && datagrams->size() == 3);
  return datagrams.value_or(std::vector<std::string>(3));
}

class DatagramIntakeTest : public testing::DatagramTest {};

TEST_F(DatagramIntakeTest, OutOfOrderAndRepeatedPacketsGiveTheSameFile) {
  StartIntake();
  std::vector<std::string> scan = ThreePacketScan();
  UdpTestClient client(port());
  SendAcknowledged(client, scan[1]);
  SendAcknowledged(client, scan[1]);  // repeated: acknowledged again
  SendAcknowledged(client, scan[0]);
  EXPECT_EQ(intake_->IncompleteScans(), 1u);
  SendAcknowledged(client, scan[2]);
  std::string shuffled = TakeScanFile();

  for (const std::string& datagram : scan) SendAcknowledged(client, datagram);
  std::string in_order = TakeScanFile();
  ASSERT_FALSE(in_order.empty());
  EXPECT_TRUE(in_order.starts_with("Device ID = {THREE}\r\nSoftware - Package - (Name:p0)"));
  EXPECT_TRUE(in_order.ends_with("(Name:p29) - V = 1\r\n"));
  EXPECT_EQ(shuffled, in_order);
  EXPECT_EQ(intake_->IncompleteScans(), 0u);
  EXPECT_TRUE(FilesIn(context_.storage.root).empty());  // no temporary file left
}

TEST_F(DatagramIntakeTest, EncipheredSetGivesTheSameFileAsThePlainOne) {
  StartIntake();
  UdpTestClient client(port());
  for (const std::string& datagram : ThreePacketScan(false)) SendAcknowledged(client, datagram);
  std::string plain = TakeScanFile();
  for (const std::string& datagram : ThreePacketScan(true)) SendAcknowledged(client, datagram);
  std::string enciphered = TakeScanFile();
  ASSERT_FALSE(plain.empty());
  EXPECT_EQ(enciphered, plain);
}

TEST_F(DatagramIntakeTest, BadPacketsGetNoAcknowledgement) {
  StartIntake();
  UdpTestClient client(port());
  // Each of these would be acknowledged before the good packet sent last,
  // since one thread handles the datagrams in order.
  std::string off_by_one = DataPacket(2, 2, "Late - Line = 2\0\0"s);
  off_by_one[6] = static_cast<char>(off_by_one[6] + 1);
  ASSERT_TRUE(client.Send(off_by_one));
  ASSERT_TRUE(client.Send(DataPacket(2, 65535, "Far - Line = 3\0\0"s)));
  ASSERT_TRUE(client.Send(BuildDatagram({0x0500, 1, 1, 0}, "")));
  ASSERT_TRUE(client.Send("\x00\x04\x01\x00\x01"s));  // shorter than a header
  SendAcknowledged(client, DataPacket(2, 1, "Device ID = {BAD}\0\0"s));
  EXPECT_EQ(client.Receive(200), std::nullopt);
  EXPECT_TRUE(FilesIn(context_.storage.root).empty());

  SendAcknowledged(client, DataPacket(2, 2, "Late - Line = 2\0\0"s));
  EXPECT_EQ(TakeScanFile(), "Device ID = {BAD}\r\nLate - Line = 2\r\n");
}

TEST_F(DatagramIntakeTest, OnePacketScanIsWrittenAtOnce) {
  settings().scan_file_prefix = "UDPX";
  StartIntake();
  UdpTestClient client(port());
  SendAcknowledged(client, DataPacket(1, 1, "Device ID = {ONE}\0OS - Name = Linux\0\0"s));
  // Acknowledged after it was handled: it never waited in the assembly list.
  EXPECT_EQ(intake_->IncompleteScans(), 0u);
  std::string name;
  EXPECT_EQ(TakeScanFile(&name), "Device ID = {ONE}\r\nOS - Name = Linux\r\n");
  EXPECT_TRUE(name.starts_with("UDP") && name.size() == 11) << name;
}

TEST_F(DatagramIntakeTest, TwoPortsOfOneAddressShareOneEntry) {
  StartIntake();
  UdpTestClient first(port());
  UdpTestClient second(port());
  SendAcknowledged(first, DataPacket(2, 1, "Device ID = {PORTS}\0\0"s));
  SendAcknowledged(second, DataPacket(2, 2, "Second - Port = 1\0\0"s));
  EXPECT_EQ(TakeScanFile(), "Device ID = {PORTS}\r\nSecond - Port = 1\r\n");
  EXPECT_EQ(first.Receive(100), std::nullopt);  // its own acknowledgement only
}

TEST_F(DatagramIntakeTest, RequestsAreAnsweredOnceStartedWithTheDatagramReply) {
  settings().do_delta = 1;
  settings().logon_depth = 7;
  settings().disable_encryption = 1;  // the datagram reply asks for it anyway
  context_.software_scan_frequency = 12;
  context_.configuration.force_full_scans.Add("{M}");
  StartIntake();
  UdpTestClient asker(port());
  UdpTestClient same_machine(port());
  UdpTestClient other_machine(port(), 0x7F000002);
  UdpTestClient marker(port(), 0x7F000003);
  ASSERT_TRUE(asker.Send(BuildRequestDatagram()));
  ASSERT_TRUE(same_machine.Send(BuildRequestDatagram()));
  ASSERT_TRUE(other_machine.Send(BuildDatagram({kDatagramScanData, 0, 0, 1}, "")));
  ASSERT_TRUE(marker.Send(BuildDatagram({kDatagramScanData, 0, 0, 2}, "")));  // not a request
  SendAcknowledged(marker, DataPacket(2, 1, "Device ID = {M}\0\0"s));
  // One entry per machine; nothing is answered before the start.
  EXPECT_EQ(intake_->QueuedRequests(), 2u);
  EXPECT_EQ(asker.Receive(100), std::nullopt);

  context_.started.Set();
  for (UdpTestClient* client : {&asker, &other_machine}) {
    std::optional<std::string> reply = client->Receive();
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), kReplyRecordSize);
    std::optional<ReplyRecord> record = ParseReplyRecord(*reply);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->option_flags, 0x47FFFFu);
    EXPECT_EQ(record->software_scan_frequency, 12u);
    EXPECT_EQ(record->logon_depth, 7u);
    EXPECT_EQ(reply->substr(20), std::string(24, '\0'));
  }
  EXPECT_EQ(same_machine.Receive(100), std::nullopt);
  EXPECT_EQ(marker.Receive(100), std::nullopt);
  EXPECT_EQ(intake_->QueuedRequests(), 0u);
}

TEST_F(DatagramIntakeTest, StaleScansAreDroppedAndNamed) {
  auto now = std::make_shared<std::atomic<uint64_t>>(5000);
  StartIntake(DatagramIntakeOptions{.clock = [now] { return now->load(); }});
  UdpTestClient client(port());
  SendAcknowledged(client, DataPacket(3, 1, "Device ID = {STALE}\0\0"s));
  *now += 300;
  EXPECT_TRUE(intake_->DropStaleScans(300).empty());
  *now += 1;
  EXPECT_EQ(intake_->DropStaleScans(300), std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(intake_->IncompleteScans(), 0u);
}

TEST_F(DatagramIntakeTest, NoIpxAndABusyPortFailQuietlyOrWithEvent2056) {
  StartIntake();
  EXPECT_FALSE(intake_->SetUpIpx());
  intake_->CloseIpx();
  EXPECT_TRUE(Events().empty());

  // A second listener on the same port cannot bind.
  settings().udp_port = port();
  DatagramIntakeOptions options;
  options.loopback_only = true;
  DatagramIntake second(context_, options);
  EXPECT_FALSE(second.SetUpUdp());
  EXPECT_EQ(second.udp_port(), 0);
  std::vector<notifex::EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_id, diag::kMsgUdpBindFailed);
  EXPECT_EQ(events[0].type, diag::kKindWarning);
  EXPECT_EQ(events[0].inserts, std::vector<std::string>{std::to_string(EADDRINUSE)});
}

}  // namespace
}  // namespace corvane::intake
