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
    PacketAssembler::Outcome outcome = assembler_.Add(sender, total, sequence, payload, now);
    completed_ = std::move(outcome.completed);
    dropped_ = outcome.dropped;
    return outcome.result;
  }

  // Sends packets `from` to `to` of `payloads` (a whole scan, in order).
  void AddAll(const SenderKey& sender, const std::vector<std::string>& payloads, size_t from = 1,
              size_t to = 0, uint64_t now = 1000) {
    for (size_t n = from; n <= (to ? to : payloads.size()); ++n) {
      EXPECT_NE(Add(sender, static_cast<uint16_t>(payloads.size()), static_cast<uint16_t>(n),
                    payloads[n - 1], now),
                Result::kRefused)
          << "packet " << n;
    }
  }

  static scan::PacketSet SetOf(const std::vector<std::string>& payloads) {
    return scan::PacketSet(payloads.begin(), payloads.end());
  }

  PacketAssembler assembler_{AssemblerLimits{MaxSetPacketsFor(10000000), 1024, 1u << 20}};
  std::optional<CompleteSet> completed_;
  std::optional<SenderKey> dropped_;
};

TEST_F(PacketAssemblerTest, OutOfOrderAndRepeatedPacketsCompleteInSequenceOrder) {
  EXPECT_EQ(Add(kAlpha, 3, 2, "two"), Result::kStored);
  EXPECT_EQ(Add(kBeta, 2, 1, "other"), Result::kStored);
  EXPECT_EQ(Add(kAlpha, 3, 1, "one"), Result::kStored);
  EXPECT_EQ(Add(kAlpha, 3, 2, "two"), Result::kRepeated);
  EXPECT_FALSE(completed_);
  EXPECT_EQ(assembler_.incomplete_sets(), 2u);

  EXPECT_EQ(Add(kAlpha, 3, 3, "three"), Result::kStored);
  ASSERT_TRUE(completed_);
  EXPECT_EQ(completed_->sender, kAlpha);
  EXPECT_EQ(completed_->packets, (scan::PacketSet{"one", "two", "three"}));
  EXPECT_EQ(assembler_.incomplete_sets(), 1u);
  EXPECT_FALSE(dropped_);

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

TEST_F(PacketAssemblerTest, AbandonedSendersMakeRoomLeastRecentlyActiveFirst) {
  for (uint32_t n = 0; n < 1100; ++n) {
    EXPECT_EQ(Add(NumberedSender(n), 3, 1, std::string(542, 'x'), 1000 + n / 550), Result::kStored);
    if (n < 1024) {
      EXPECT_FALSE(dropped_);
    } else {
      // Sender 0 went on with packet 2, so sender 1 is the first to go.
      ASSERT_TRUE(dropped_);
      EXPECT_EQ(*dropped_, NumberedSender(n - 1023));
    }
    if (n == 1000) {
      EXPECT_EQ(Add(NumberedSender(0), 3, 2, "more"), Result::kStored);
    }
  }
  EXPECT_EQ(assembler_.incomplete_sets(), 1024u);
  EXPECT_LE(assembler_.buffered_bytes(), assembler_.limits().max_buffered_bytes);
  EXPECT_EQ(Add(NumberedSender(0), 3, 3, "done"), Result::kStored);
  ASSERT_TRUE(completed_);
  EXPECT_EQ(completed_->packets, (scan::PacketSet{std::string(542, 'x'), "more", "done"}));
  // A dropped set's rest is refused; its sender may start again.
  EXPECT_EQ(Add(NumberedSender(1), 3, 2, "late"), Result::kRefused);
  EXPECT_EQ(Add(NumberedSender(1), 3, 1, "again"), Result::kStored);

  EXPECT_TRUE(assembler_.DropOlderThan(1300, 300).empty());
  std::vector<SenderKey> dropped = assembler_.DropOlderThan(1301, 300);
  EXPECT_EQ(dropped.size(), 474u);
  EXPECT_EQ(assembler_.DropOlderThan(1302, 300).size(), 550u);
  EXPECT_EQ(assembler_.incomplete_sets(), 0u);
  EXPECT_EQ(assembler_.buffered_bytes(), 0u);
  EXPECT_EQ(Add(NumberedSender(20000), 3, 1, "new", 1302), Result::kStored);
}

TEST_F(PacketAssemblerTest, SendersNextScanNeverTakesTheAbandonedOnesPackets) {
  const std::vector<std::string> old_scan{"a1", "a2", "a3", "a4", "a5"};
  const std::vector<std::string> next_scan{"b1", "b2", "b3", "b4", "b5"};
  AddAll(kAlpha, old_scan, 1, 3);
  EXPECT_EQ(Add(kAlpha, 5, 1, "b1"), Result::kStored);
  EXPECT_EQ(dropped_, kAlpha);
  AddAll(kAlpha, next_scan, 2);
  ASSERT_TRUE(completed_);
  EXPECT_EQ(completed_->packets, SetOf(next_scan));
  EXPECT_EQ(assembler_.buffered_bytes(), 0u);

  // A scan that begins like the abandoned one keeps the packets it repeated
  // and loses the abandoned one's above the first that differs.
  AddAll(kAlpha, old_scan, 1, 4);
  const std::vector<std::string> similar{"a1", "a2", "c3", "c4", "c5"};
  EXPECT_EQ(Add(kAlpha, 5, 1, "a1"), Result::kRepeated);
  EXPECT_EQ(Add(kAlpha, 5, 2, "a2"), Result::kRepeated);
  EXPECT_FALSE(dropped_);
  EXPECT_EQ(Add(kAlpha, 5, 3, "c3"), Result::kStored);
  EXPECT_EQ(dropped_, kAlpha);
  EXPECT_EQ(Add(kAlpha, 5, 4, "c4"), Result::kStored);
  EXPECT_FALSE(dropped_);  // "a4" went with the abandoned scan
  EXPECT_FALSE(completed_);
  EXPECT_EQ(Add(kAlpha, 5, 5, "c5"), Result::kStored);
  ASSERT_TRUE(completed_);
  EXPECT_EQ(completed_->packets, SetOf(similar));
}

TEST_F(PacketAssemblerTest, PacketOfAnotherTotalStartsANewSet) {
  EXPECT_EQ(Add(kAlpha, 3, 1, "stray"), Result::kStored);
  // Refused packets and packets that do not tell a total leave it alone.
  EXPECT_EQ(Add(kAlpha, 40000, 1, "huge"), Result::kRefused);
  EXPECT_EQ(Add(kAlpha, 2, 3, "beyond"), Result::kRefused);
  EXPECT_EQ(Add(kAlpha, 0, 2, "unknown"), Result::kStored);
  EXPECT_FALSE(dropped_);

  std::vector<std::string> eight;
  for (int n = 1; n <= 8; ++n) eight.push_back("p" + std::to_string(n));
  EXPECT_EQ(Add(kAlpha, 8, 1, eight[0]), Result::kStored);
  EXPECT_EQ(dropped_, kAlpha);
  AddAll(kAlpha, eight, 2);
  ASSERT_TRUE(completed_);
  EXPECT_EQ(completed_->packets, SetOf(eight));
  EXPECT_EQ(assembler_.incomplete_sets(), 0u);
}

TEST_F(PacketAssemblerTest, ResentCompletingPacketIsRepeatedForABoundedTime) {
  AddAll(kAlpha, {"one", "two", "three"});
  ASSERT_TRUE(completed_);
  EXPECT_EQ(Add(kAlpha, 3, 3, "three", 1100), Result::kRepeated);
  EXPECT_FALSE(completed_);
  EXPECT_EQ(assembler_.incomplete_sets(), 0u);
  AddAll(kAlpha, {"uno", "dos", "tres"}, 1, 0, 1100);
  ASSERT_TRUE(completed_);
  EXPECT_EQ(completed_->packets, (scan::PacketSet{"uno", "dos", "tres"}));

  // A one-packet scan sent again is not written again, until the memory ends.
  EXPECT_EQ(Add(kBeta, 1, 1, "solo", 2000), Result::kStored);
  EXPECT_TRUE(completed_);
  EXPECT_EQ(Add(kBeta, 1, 1, "solo", 2300), Result::kRepeated);
  EXPECT_FALSE(completed_);
  EXPECT_EQ(Add(kBeta, 1, 1, "solo", 2301), Result::kStored);
  EXPECT_TRUE(completed_);
  // The same datagram under another total is another scan.
  EXPECT_EQ(Add(kBeta, 2, 1, "solo", 2301), Result::kStored);
}

TEST_F(PacketAssemblerTest, DroppedSetIsRefusedItsRestForABoundedTime) {
  AddAll(kAlpha, {"s1", "s2", "s3", "s4", "s5"}, 1, 3);
  EXPECT_EQ(assembler_.DropOlderThan(1301, 300), std::vector<SenderKey>{kAlpha});
  EXPECT_EQ(Add(kAlpha, 5, 4, "s4", 1302), Result::kRefused);
  EXPECT_EQ(Add(kAlpha, 0, 2, "s2", 1302), Result::kRefused);
  EXPECT_EQ(assembler_.incomplete_sets(), 0u);
  AddAll(kAlpha, {"s1", "s2", "s3", "s4", "s5"}, 1, 0, 1302);
  ASSERT_TRUE(completed_);

  AddAll(kBeta, {"t1", "t2", "t3"}, 1, 2);
  EXPECT_EQ(assembler_.DropOlderThan(1301, 300).size(), 1u);
  EXPECT_EQ(Add(kBeta, 3, 3, "t3", 1601), Result::kRefused);
  // Forgotten once the memory ends; a packet other than 1 may start a set.
  EXPECT_EQ(assembler_.remembered_senders(), 2u);
  EXPECT_EQ(assembler_.DropOlderThan(1602, 300).size(), 0u);
  EXPECT_EQ(assembler_.remembered_senders(), 1u);
  EXPECT_EQ(Add(kBeta, 3, 2, "t2", 1602), Result::kStored);
}

TEST_F(PacketAssemblerTest, MemoryOfSendersIsBounded) {
  PacketAssembler small(AssemblerLimits{100, 10, 1u << 20, 300, 2});
  for (uint32_t n = 0; n < 3; ++n) {
    EXPECT_EQ(small.Add(NumberedSender(n), 1, 1, "solo", 0).result, Result::kStored);
  }
  EXPECT_EQ(small.remembered_senders(), 2u);
  // The first one remembered was forgotten first.
  EXPECT_EQ(small.Add(NumberedSender(0), 1, 1, "solo", 0).result, Result::kStored);
  EXPECT_EQ(small.Add(NumberedSender(2), 1, 1, "solo", 0).result, Result::kRepeated);
}

TEST_F(PacketAssemblerTest, ByteBudgetRefusesPacketsUntilSetsComplete) {
  PacketAssembler small(AssemblerLimits{100, 10, 3 * (542 + 96)});
  const std::string full(542, 'p');
  EXPECT_EQ(small.Add(kAlpha, 3, 1, full, 0).result, Result::kStored);
  EXPECT_EQ(small.Add(kAlpha, 3, 2, full, 0).result, Result::kStored);
  EXPECT_EQ(small.Add(kBeta, 3, 1, full, 0).result, Result::kStored);
  EXPECT_EQ(small.Add(kBeta, 3, 2, full, 0).result, Result::kRefused);
  EXPECT_EQ(small.Add(kAlpha, 3, 3, full, 0).result, Result::kRefused);
  // A full budget drops nothing to make room.
  PacketAssembler::Outcome refused = small.Add(NumberedSender(9), 3, 1, full, 0);
  EXPECT_EQ(refused.result, Result::kRefused);
  EXPECT_FALSE(refused.dropped);
  EXPECT_EQ(small.incomplete_sets(), 2u);
  // Payloads beyond 542 bytes are not kept, so they cost no more.
  small.Clear();
  EXPECT_EQ(small.Add(kAlpha, 3, 1, std::string(5000, 'q'), 0).result, Result::kStored);
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
