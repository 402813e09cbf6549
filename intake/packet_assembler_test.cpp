// Reassembly of datagram scans and the bounds that keep a flood of packets
// from exhausting memory.

#include "intake/packet_assembler.h"

#include <gtest/gtest.h>

namespace corvane::intake {
namespace {

using Result = PacketAssembler::Result;

const SenderKey kAlpha = SenderKey::Udp({10, 0, 0, 7});
const SenderKey kBeta = SenderKey::Udp({10, 0, 0, 8});

SenderKey NumberedSender(uint32_t n) {
  return SenderKey::Udp(
      {10, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
}

class PacketAssemblerTest : public ::testing::Test {
 protected:
  Result Add(const SenderKey& sender, uint16_t total, uint16_t sequence, const std::string& payload,
             uint64_t now = 1000) {
    return assembler_.Add(sender, total, sequence, payload, now, completed_);
  }

  PacketAssembler assembler_{AssemblerLimits{MaxSetPacketsFor(10000000), 1024, 1u << 20}};
  std::optional<CompleteSet> completed_;
};

TEST_F(PacketAssemblerTest, OutOfOrderAndRepeatedPacketsCompleteInSequenceOrder) {
  EXPECT_EQ(Add(kAlpha, 3, 2, "two"), Result::kStored);
  EXPECT_EQ(Add(kBeta, 2, 1, "other"), Result::kStored);
  EXPECT_EQ(Add(kAlpha, 3, 1, "one"), Result::kStored);
  EXPECT_EQ(Add(kAlpha, 3, 2, "changed"), Result::kRepeated);
  EXPECT_FALSE(completed_);
  EXPECT_EQ(assembler_.incomplete_sets(), 2u);

  EXPECT_EQ(Add(kAlpha, 3, 3, "three"), Result::kStored);
  ASSERT_TRUE(completed_);
  EXPECT_EQ(completed_->sender, kAlpha);
  EXPECT_EQ(completed_->packets, (scan::PacketSet{"one", "two", "three"}));
  EXPECT_EQ(assembler_.incomplete_sets(), 1u);

  // The next set of the same sender starts afresh.
  EXPECT_EQ(Add(kAlpha, 2, 2, "again"), Result::kStored);
  EXPECT_FALSE(completed_);
}

TEST_F(PacketAssemblerTest, OnePacketSetIsCompleteAtOnce) {
  EXPECT_EQ(Add(kAlpha, 1, 1, "only"), Result::kStored);
  ASSERT_TRUE(completed_);
  EXPECT_EQ(completed_->packets, (scan::PacketSet{"only"}));
  EXPECT_EQ(assembler_.incomplete_sets(), 0u);
  EXPECT_EQ(assembler_.buffered_bytes(), 0u);
}

TEST_F(PacketAssemblerTest, SequenceOutsideTheSetIsRefusedAndTakesNoMemory) {
  EXPECT_EQ(Add(kAlpha, 2, 65535, "far"), Result::kRefused);
  EXPECT_EQ(assembler_.incomplete_sets(), 0u);
  EXPECT_EQ(Add(kAlpha, 2, 1, "one"), Result::kStored);
  const size_t bytes = assembler_.buffered_bytes();
  EXPECT_EQ(Add(kAlpha, 2, 65535, "far"), Result::kRefused);
  EXPECT_EQ(Add(kAlpha, 0, 3, "beyond"), Result::kRefused);
  EXPECT_EQ(Add(kAlpha, 2, 0, "zero"), Result::kRefused);
  EXPECT_EQ(assembler_.buffered_bytes(), bytes);
  // A total above the limit for "Max Scan File Size" never starts a set.
  EXPECT_EQ(Add(kBeta, 40000, 1, "huge"), Result::kRefused);
  EXPECT_EQ(Add(kBeta, 0, 40000, "huge"), Result::kRefused);
  EXPECT_EQ(assembler_.incomplete_sets(), 1u);
}

TEST_F(PacketAssemblerTest, UnknownTotalIsTakenFromALaterPacket) {
  EXPECT_EQ(Add(kAlpha, 0, 2, "two"), Result::kStored);
  EXPECT_EQ(Add(kAlpha, 0, 5, "five"), Result::kStored);
  EXPECT_EQ(Add(kAlpha, 0, 1, "one"), Result::kStored);
  EXPECT_FALSE(completed_);
  // Packet 2 again, now telling the total of 2: packet 5 goes, the set is whole.
  EXPECT_EQ(Add(kAlpha, 2, 2, "two"), Result::kRepeated);
  ASSERT_TRUE(completed_);
  EXPECT_EQ(completed_->packets, (scan::PacketSet{"one", "two"}));
  EXPECT_EQ(assembler_.buffered_bytes(), 0u);
}

TEST_F(PacketAssemblerTest, TenThousandUnfinishedSendersStayBoundedUntilDropped) {
  size_t stored = 0;
  for (uint32_t n = 0; n < 10000; ++n) {
    if (Add(NumberedSender(n), 3, 1, std::string(542, 'x'), 1000 + n / 5000) == Result::kStored) {
      ++stored;
    }
  }
  EXPECT_EQ(stored, 1024u);
  EXPECT_EQ(assembler_.incomplete_sets(), 1024u);
  EXPECT_LE(assembler_.buffered_bytes(), assembler_.limits().max_buffered_bytes);
  // A sender already in the list may go on while new ones are refused.
  EXPECT_EQ(Add(NumberedSender(0), 3, 2, "more"), Result::kStored);
  EXPECT_EQ(Add(NumberedSender(20000), 3, 1, "new"), Result::kRefused);

  EXPECT_TRUE(assembler_.DropOlderThan(1300, 300).empty());
  std::vector<SenderKey> dropped = assembler_.DropOlderThan(1301, 300);
  EXPECT_EQ(dropped.size(), 1024u);
  EXPECT_EQ(assembler_.incomplete_sets(), 0u);
  EXPECT_EQ(assembler_.buffered_bytes(), 0u);
  EXPECT_EQ(Add(NumberedSender(20000), 3, 1, "new"), Result::kStored);
}

TEST_F(PacketAssemblerTest, ByteBudgetRefusesPacketsUntilSetsComplete) {
  PacketAssembler small(AssemblerLimits{100, 10, 3 * (542 + 96)});
  std::optional<CompleteSet> done;
  const std::string full(542, 'p');
  EXPECT_EQ(small.Add(kAlpha, 3, 1, full, 0, done), Result::kStored);
  EXPECT_EQ(small.Add(kAlpha, 3, 2, full, 0, done), Result::kStored);
  EXPECT_EQ(small.Add(kBeta, 3, 1, full, 0, done), Result::kStored);
  EXPECT_EQ(small.Add(kBeta, 3, 2, full, 0, done), Result::kRefused);
  EXPECT_EQ(small.Add(kAlpha, 3, 3, full, 0, done), Result::kRefused);
  // Payloads beyond 542 bytes are not kept, so they cost no more.
  small.Clear();
  EXPECT_EQ(small.Add(kAlpha, 3, 1, std::string(5000, 'q'), 0, done), Result::kStored);
  EXPECT_EQ(small.buffered_bytes(), 542u + 96u);
}

TEST(PacketAssemblerNamesTest, LimitsAndSenderNames) {
  EXPECT_EQ(MaxSetPacketsFor(10000000), 36901);
  EXPECT_EQ(MaxSetPacketsFor(271), 1);
  EXPECT_EQ(MaxSetPacketsFor(272), 2);
  EXPECT_EQ(MaxSetPacketsFor(0), 1);
  EXPECT_EQ(MaxSetPacketsFor(4000000000u), 65535);

  EXPECT_EQ(SenderName(SenderKey::Udp({192, 168, 1, 20})), "192.168.1.20");
  SenderKey ipx;
  ipx.transport = Transport::kIpx;
  ipx.address = {0x00, 0x00, 0xAB, 0xCD, 0x00, 0x11, 0x22, 0x33, 0x44, 0xFF, 0x26, 0xF5};
  EXPECT_EQ(SenderName(ipx), "0000ABCD:0011223344FF");
  EXPECT_NE(ipx, SenderKey::Udp({0x00, 0x00, 0xAB, 0xCD}));
}

}  // namespace
}  // namespace corvane::intake
