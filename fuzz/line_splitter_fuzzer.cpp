// Fuzzes the treatment of scan lines: reading, abbreviation expansion, the
// deleted-file rewrite, decoding, creator-type substitution and splitting.
// The first input byte picks a Mac (UTF-8) or an ANSI scan.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "scan/code_page.h"
#include "scan/creator_types.h"
#include "scan/line_splitter.h"
#include "scan/scan_text.h"

namespace {

using namespace corvane::scan;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

const CreatorTypes& Creators() {
  static const CreatorTypes table =
      CreatorTypes::Parse("[Creator Types]\n'MSWD'=Microsoft Word\n'ttxt'=\"Text Edit\"\n'LONG'=" +
                          std::string(600, 'L') + "\n");
  return table;
}

void CheckItem(const ScanItem& item) {
  Require(item.component.starts_with("Computer"));
  Require(item.qualified_component.starts_with("Computer"));
  Require(item.keyed || item.key_name.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  bool mac = (data[0] & 1) != 0;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  // The input doubles as an INI text.
  CreatorTypes::Parse(text).Find("'MSWD'");

  ScanTextDecoder decoder(mac);
  LineExpander expander;
  size_t cursor = 0;
  while (std::optional<Line> line = ReadLine(text, &cursor)) {
    Require(line->text.size() <= kLineBufferSize - 1 && line->consumed > 0);
    std::optional<std::string> expanded = expander.Expand(line->text);
    if (!expanded) continue;
    if (expanded->starts_with("Cfg -")) {
      DeletedConfigItem deleted = RewriteDeletedConfigLine(*expanded);
      CheckItem(deleted.item);
      continue;
    }
    std::string decoded = decoder.ToUtf8(*expanded);
    Require(IsValidUtf8(decoded));
    if (std::optional<ScanItem> item = ParseDataLine(*expanded, decoder, Creators())) {
      CheckItem(*item);
    }
    std::string substituted(WithoutLineFeed(*expanded));
    SubstituteCreatorType(&substituted, Creators());
    if (std::optional<ScanItem> item = SplitDataLine(substituted)) CheckItem(*item);
  }
  GetScanValue(text, kDeviceIdKey);
  IsMacScan(text);
  return 0;
}
