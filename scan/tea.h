// The block cipher of enciphered datagram scans: TEA (32 cycles, delta
// 0x9E3779B9) over 8-byte blocks read as two little-endian 32-bit words,
// and the rule that says which blocks of a packet are enciphered.
//
// The 128-bit key is shared with the scanners (docs/datagram-protocol.md);
// DatagramScanKey() assembles it at run time. Everything here is pure and
// thread-safe; nothing throws or allocates.

#ifndef CORVANE_SCAN_TEA_H_
#define CORVANE_SCAN_TEA_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::scan {

using TeaKey = std::array<uint32_t, 4>;

inline constexpr size_t kTeaBlockSize = 8;

// The key this server and its scanners share.
TeaKey DatagramScanKey();

// One block in place; `block` holds at least kTeaBlockSize bytes.
void TeaEncipherBlock(uint8_t* block, const TeaKey& key);
void TeaDecipherBlock(uint8_t* block, const TeaKey& key);

// Every whole block of a packet payload starting at offset 0, 8, 16, ...
// whose start is at most `payload.size()` - 10. The last two bytes and a
// partial block stay as they are, so a payload shorter than 10 bytes is
// left untouched. Encipher and decipher use the same rule, so they undo
// each other for every length.
void EncipherPayload(std::span<uint8_t> payload, const TeaKey& key);
void DecipherPayload(std::span<uint8_t> payload, const TeaKey& key);

}  // namespace corvane::scan

#endif  // CORVANE_SCAN_TEA_H_
