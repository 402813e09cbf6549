// Reading embedded file contents.

#include "scan/contents_block.h"

#include <algorithm>
#include <limits>

#include "Common/Include/ascii_case.h"
#include "scan/code_page.h"
#include "scan/scan_text.h"

namespace corvane::scan {
namespace {

constexpr size_t npos = std::string_view::npos;

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Moves the cursor past the next line that contains "_EndContents", or to the
// end of the text.
void SkipPastEnd(std::string_view text, size_t* cursor) {
  while (std::optional<Line> line = ReadLine(text, cursor)) {
    if (line->text.find(kEndContents) != npos) return;
  }
}

}  // namespace

std::string ContentsBlock::SizeText() const { return std::to_string(size); }

std::string ContentsBlock::TimeText() const { return std::to_string(time); }

int64_t LeadingDigitsValue(std::string_view text) {
  size_t at = text.find_first_not_of(" \t\r\n\v\f");
  if (at == npos) return 0;
  bool negative = false;
  if (text[at] == '+' || text[at] == '-') negative = text[at++] == '-';
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  int64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    int digit = text[at] - '0';
    // Accumulate towards the sign so that the most negative value fits.
    if (negative) {
      value = (value < (kMin + digit) / 10) ? kMin : value * 10 - digit;
    } else {
      value = (value > (kMax - digit) / 10) ? kMax : value * 10 + digit;
    }
  }
  return value;
}

std::optional<ContentsBlock> ReadContentsBlock(std::string_view text, size_t* cursor) {
  std::array<std::string, 4> header;
  for (std::string& line : header) {
    std::optional<Line> piece = ReadLine(text, cursor, kHeaderBufferSize);
    if (!piece) {
      *cursor = text.size();
      return std::nullopt;
    }
    line = std::move(piece->text);
    if (line.ends_with('\n')) line.pop_back();
  }

  ContentsBlock block;
  bool size_first = AllDigits(header[0]);
  const std::string& size_text = size_first ? header[0] : header[3];
  const std::string& time_text = size_first ? header[1] : header[2];
  const std::string& base_name = size_first ? header[2] : header[0];
  const std::string& directory = size_first ? header[3] : header[1];
  block.size = LeadingDigitsValue(size_text);
  block.time = static_cast<uint32_t>(LeadingDigitsValue(time_text));
  block.file_name = directory + base_name;
  block.bios = EqualsIgnoringCase(base_name, kBiosFileName);

  // The contents can never be larger than the text that follows, whatever
  // the header claims.
  int64_t size = std::max<int64_t>(block.size, 0);
  size_t remaining = *cursor < text.size() ? text.size() - *cursor : 0;
  block.contents.reserve(static_cast<size_t>(std::min<uint64_t>(size, remaining)));

  int64_t count = 0;
  while (std::optional<Line> line = ReadLine(text, cursor)) {
    count += static_cast<int64_t>(line->consumed);
    std::string_view piece = line->text;
    if (piece.starts_with(kEndContents)) return block;
    size_t end_marker = piece.find(kEndContents);
    if (count > size) {
      int64_t keep = static_cast<int64_t>(line->consumed) - (count - size);
      keep = std::clamp<int64_t>(keep, 0, static_cast<int64_t>(std::min(piece.size(), end_marker)));
      block.contents.append(piece.substr(0, static_cast<size_t>(keep)));
      if (end_marker == npos) SkipPastEnd(text, cursor);
      return block;
    }
    if (end_marker != npos) {
      block.contents.append(piece.substr(0, end_marker));
      return block;
    }
    block.contents.append(piece);
  }
  // Data that exactly fills the declared size is whole even without the
  // marker line; anything less means the text stopped inside the file.
  block.cut = count < size;
  return block;
}

std::array<ScanItem, 3> ContentsBlockItems(const ContentsBlock& block, ScanTextDecoder& decoder) {
  ScanItem base;
  if (block.bios) {
    base.component = base.qualified_component = "Computer.BIOS.BIOS Strings";
  } else {
    base.component = base.qualified_component = "Computer.Configuration Files.File";
    base.keyed = true;
    base.key_name = "File Path";
    base.key_value = decoder.ToUtf8(block.file_name);
  }
  std::array<ScanItem, 3> items{base, base, base};
  items[0].attribute = block.bios ? "Data" : "File Data";
  items[0].value = block.contents;
  items[1].attribute = block.bios ? "Size" : "File Size";
  items[1].value = block.SizeText();
  items[2].attribute = block.bios ? "Scan Date" : "File Date";
  items[2].value = block.TimeText();
  return items;
}

}  // namespace corvane::scan
