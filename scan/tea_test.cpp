// TEA blocks against published vectors, and which bytes of a payload the
// cipher touches.

#include "scan/tea.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <vector>

namespace corvane::scan {
namespace {

std::array<uint8_t, 8> Enciphered(std::array<uint8_t, 8> block, const TeaKey& key) {
  TeaEncipherBlock(block.data(), key);
  return block;
}

TEST(TeaTest, BlocksMatchThePublishedVectorAndUndoEachOther) {
  // The reference vector (zero key, zero block), each 32-bit word little-endian.
  const std::array<uint8_t, 8> zero_cipher{0x0a, 0x3a, 0xea, 0x41, 0x40, 0xa9, 0xba, 0x94};
  EXPECT_EQ(Enciphered({}, TeaKey{}), zero_cipher);
  std::array<uint8_t, 8> block = zero_cipher;
  TeaDecipherBlock(block.data(), TeaKey{});
  EXPECT_EQ(block, (std::array<uint8_t, 8>{}));

  const TeaKey key = DatagramScanKey();
  const std::array<uint8_t, 8> plain{'D', 'e', 'v', 'i', 'c', 'e', ' ', 'I'};
  block = Enciphered(plain, key);
  EXPECT_NE(block, plain);
  EXPECT_NE(block, Enciphered(plain, TeaKey{}));
  TeaDecipherBlock(block.data(), key);
  EXPECT_EQ(block, plain);
}

TEST(TeaTest, TheSharedKeyMatchesWhatScannersAreTold) {
  // Key words and check block as docs/datagram-protocol.md gives them.
  const TeaKey key = DatagramScanKey();
  EXPECT_EQ(key, (TeaKey{0x7C3A91E5, 0x2B58D40F, 0xE6917C23, 0x5AD3086B}));
  EXPECT_EQ(Enciphered({'D', 'e', 'v', 'i', 'c', 'e', ' ', 'I'}, key),
            (std::array<uint8_t, 8>{0x32, 0x62, 0x15, 0x68, 0x0b, 0x28, 0xd8, 0x72}));
}

// Which bytes a payload of `length` keeps unchanged when enciphered.
std::vector<bool> UnchangedBytes(size_t length) {
  std::vector<uint8_t> payload(length);
  std::iota(payload.begin(), payload.end(), uint8_t{1});
  std::vector<uint8_t> original = payload;
  EncipherPayload(payload, DatagramScanKey());
  std::vector<bool> unchanged(length);
  for (size_t i = 0; i < length; ++i) unchanged[i] = payload[i] == original[i];
  DecipherPayload(payload, DatagramScanKey());
  EXPECT_EQ(payload, original) << "length " << length;
  return unchanged;
}

TEST(TeaTest, OnlyWholeBlocksFollowedByTwoBytesAreEnciphered) {
  for (size_t length : {0u, 7u, 9u}) {
    std::vector<bool> unchanged = UnchangedBytes(length);
    EXPECT_EQ(std::count(unchanged.begin(), unchanged.end(), false), 0) << length;
  }
  // 10 bytes: one block and the two plain bytes.
  std::vector<bool> ten = UnchangedBytes(10);
  EXPECT_LT(std::count(ten.begin(), ten.begin() + 8, true), 3);
  EXPECT_TRUE(ten[8] && ten[9]);
  // 17 bytes: the block at 8 would leave one byte, so it stays plain.
  std::vector<bool> seventeen = UnchangedBytes(17);
  EXPECT_TRUE(std::all_of(seventeen.begin() + 8, seventeen.end(), [](bool b) { return b; }));
  // 542 bytes: the last block starts at 528; bytes 536 to 541 stay.
  std::vector<bool> full = UnchangedBytes(542);
  EXPECT_LT(std::count(full.begin() + 528, full.begin() + 536, true), 3);
  EXPECT_TRUE(std::all_of(full.begin() + 536, full.end(), [](bool b) { return b; }));
}

}  // namespace
}  // namespace corvane::scan
