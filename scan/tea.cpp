#include "scan/tea.h"

namespace corvane::scan {
namespace {

constexpr uint32_t kDelta = 0x9E3779B9u;
constexpr int kCycles = 32;
// The two bytes at a payload's end that are never enciphered.
constexpr size_t kPlainTail = 2;

// The key words are kept as halves far apart, so the key does not stand in
// the program file as one run of 16 bytes.
constexpr uint16_t kKeyHigh[4] = {0x7C3A, 0x2B58, 0xE691, 0x5AD3};
constexpr uint16_t kKeyLow[4] = {0x91E5, 0xD40F, 0x7C23, 0x086B};

uint32_t Load(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void Store(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

template <typename BlockFunction>
void ForEachBlock(std::span<uint8_t> payload, const TeaKey& key, BlockFunction function) {
  for (size_t offset = 0; offset + kTeaBlockSize + kPlainTail <= payload.size();
       offset += kTeaBlockSize) {
    function(payload.data() + offset, key);
  }
}

}  // namespace

TeaKey DatagramScanKey() {
  TeaKey key;
  for (size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<uint32_t>(kKeyHigh[i]) << 16 | kKeyLow[i];
  }
  return key;
}

void TeaEncipherBlock(uint8_t* block, const TeaKey& key) {
  uint32_t v0 = Load(block);
  uint32_t v1 = Load(block + 4);
  uint32_t sum = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    sum += kDelta;
    v0 += ((v1 << 4) + key[0]) ^ (v1 + sum) ^ ((v1 >> 5) + key[1]);
    v1 += ((v0 << 4) + key[2]) ^ (v0 + sum) ^ ((v0 >> 5) + key[3]);
  }
  Store(block, v0);
  Store(block + 4, v1);
}

void TeaDecipherBlock(uint8_t* block, const TeaKey& key) {
  uint32_t v0 = Load(block);
  uint32_t v1 = Load(block + 4);
  uint32_t sum = kDelta * kCycles;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    v1 -= ((v0 << 4) + key[2]) ^ (v0 + sum) ^ ((v0 >> 5) + key[3]);
    v0 -= ((v1 << 4) + key[0]) ^ (v1 + sum) ^ ((v1 >> 5) + key[1]);
    sum -= kDelta;
  }
  Store(block, v0);
  Store(block + 4, v1);
}

void EncipherPayload(std::span<uint8_t> payload, const TeaKey& key) {
  ForEachBlock(payload, key, TeaEncipherBlock);
}

void DecipherPayload(std::span<uint8_t> payload, const TeaKey& key) {
  ForEachBlock(payload, key, TeaDecipherBlock);
}

}  // namespace corvane::scan
