// Datagram packet sets and their conversion into scan files.
//
// A packet set is the payloads of one datagram scan in sequence order, as
// the datagram intake assembled them. Each payload holds NUL-terminated
// strings, one scan line each; an empty string ends the payload, and only
// its first kPacketPayloadSize bytes are looked at. A set is enciphered
// (scan/tea.h) unless its first packet is missing, empty or begins with
// "Device I". A contents block ("_BeginContents", four header lines, the
// file's bytes, "_EndContents") may span packets; the first header line is
// the contents length, and the file gets the length actually received.
//
// The conversion is split in two: PacketSetToScanText is pure (payloads
// in, scan file text out, or nothing when the set is malformed and must be
// dropped) and thread-safe; WritePacketSetAsScan adds the file. Memory is
// bounded by the set's own size: a declared contents length only limits
// what is copied, it never sizes a buffer.

#ifndef CORVANE_SCAN_PACKET_SET_H_
#define CORVANE_SCAN_PACKET_SET_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/tea.h"

namespace corvane::scan {

inline constexpr size_t kPacketPayloadSize = 542;
// Header lines of a contents block are kept to this many characters.
inline constexpr size_t kContentsHeaderLineLimit = 511;

// One payload per sequence number (index 0 holds packet 1); nullopt for a
// packet that is missing, which is skipped.
using PacketSet = std::vector<std::optional<std::string>>;

// True when the set's first packet is present, not empty, and does not
// begin with "Device I".
bool IsEncipheredPacketSet(const PacketSet& packets);

// The scan file text of `packets`: every string as a line ending in CR LF,
// contents blocks with their header lines, bytes and actual length. An
// enciphered set is deciphered with `key` first. nullopt when the set is
// abandoned: after a contents block's declared length, a string that holds
// neither "_EndContents" nor exactly CR LF. A block still open when the
// packets end is dropped, its "_BeginContents" line kept. Throws only
// std::bad_alloc.
std::optional<std::string> PacketSetToScanText(const PacketSet& packets, const TeaKey& key);

// Converts `packets` with DatagramScanKey() and writes the text as a new
// scan file in `directory`: a unique temporary name from `prefix`, synced
// to the device, then renamed to its ".scn" name. Returns the final path;
// nullopt when the set was abandoned, memory ran out or the file could not
// be written (traced), in which case no file is left behind. Thread-safe.
std::optional<std::string> WritePacketSetAsScan(const PacketSet& packets,
                                                const std::string& directory,
                                                std::string_view prefix);

}  // namespace corvane::scan

#endif  // CORVANE_SCAN_PACKET_SET_H_
