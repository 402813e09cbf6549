// Embedded file contents in a scan: a configuration file or the BIOS text.
//
// A block is "_BeginContents", four header lines, the file's bytes as lines,
// and a line that begins with (or contains) "_EndContents". When the first
// header line is all digits (or empty) the headers are size, time, base name,
// directory; otherwise directory and name come first: base name, directory,
// time, size. The file name is the directory immediately followed by the base
// name; a base name of "CVBIOS.TXT" (ignoring case) marks the BIOS text.
// Header lines are read in pieces of at most 254 characters (255-byte
// buffers), so a longer header spills into the next one.
//
// The contents keep the bytes that the lines carry (a CR LF reads as LF) up to
// the declared size, counted in bytes of the text as it stands (CRs of CR LF
// included), and end at the "_EndContents" line or the end of the text.
//
// Choices where the format leaves room, and the safe handling of bad input:
// - The declared size is read by the leading-digits rule (white space, sign,
//   digits; anything else gives 0) as a 64-bit value that saturates; its text
//   is written back as that value in signed decimal. The time keeps the low
//   32 bits of the same reading, written back unsigned.
// - A negative size keeps no bytes; a huge one keeps what the text holds. The
//   contents never take more memory than the text that follows the headers.
// - Only a final LF is removed from a header line: a header cut at 254
//   characters, or the last line of a text without a line end, keeps all of
//   its characters.
// - The BIOS test looks at the base-name header in both orders (the third in
//   the first order, the first in the second).
// - When the data meets the declared size on a line that also holds
//   "_EndContents", nothing from the marker on joins the contents.
// - A block that meets the end of the text before its "_EndContents" line
//   and before its declared size is marked cut: the text was cut short
//   inside it, and whatever the scan would have reported after the cut is
//   missing too.
//
// Pure functions over the text; thread-safe.

#ifndef CORVANE_SCAN_CONTENTS_BLOCK_H_
#define CORVANE_SCAN_CONTENTS_BLOCK_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "scan/scan_item.h"

namespace corvane::scan {

class ScanTextDecoder;

inline constexpr char kBeginContents[] = "_BeginContents";
inline constexpr char kEndContents[] = "_EndContents";
inline constexpr char kBiosFileName[] = "CVBIOS.TXT";
inline constexpr size_t kHeaderBufferSize = 255;

struct ContentsBlock {
  int64_t size = 0;  // as declared
  uint32_t time = 0;
  // Directory and base name as the scan carries them (its character set).
  std::string file_name;
  bool bios = false;
  // The file's bytes, at most max(size, 0) of them.
  std::string contents;
  // The text ended inside the block: no "_EndContents", size not reached.
  bool cut = false;

  std::string SizeText() const;
  std::string TimeText() const;
};

// The leading-digits reading of a header: optional white space and sign,
// then digits; saturates at the limits of int64; 0 when there are no digits.
int64_t LeadingDigitsValue(std::string_view text);

// Reads the block whose "_BeginContents" line ends at `*cursor` and moves the
// cursor past its "_EndContents" line (or to the end of the text, with `cut`
// set when the declared size was not reached). nullopt when fewer than four
// header lines follow: the cursor then stands at the end of the text.
std::optional<ContentsBlock> ReadContentsBlock(std::string_view text, size_t* cursor);

// The block as the three items of one instance, in the order contents, size,
// time: "Computer.Configuration Files.File" keyed by "File Path" with
// "File Data", "File Size", "File Date"; or for the BIOS text
// "Computer.BIOS.BIOS Strings" without a key with "Data", "Size",
// "Scan Date". The file name is decoded to UTF-8 with `decoder`; the contents
// stay bytes.
std::array<ScanItem, 3> ContentsBlockItems(const ContentsBlock& block, ScanTextDecoder& decoder);

}  // namespace corvane::scan

#endif  // CORVANE_SCAN_CONTENTS_BLOCK_H_
