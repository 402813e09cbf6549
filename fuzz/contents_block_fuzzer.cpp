// Fuzzes the contents block reader over whole scan texts.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "scan/code_page.h"
#include "scan/contents_block.h"
#include "scan/scan_text.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane::scan;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  ScanTextDecoder decoder(false);
  size_t cursor = 0;
  while (std::optional<Line> line = ReadLine(text, &cursor)) {
    if (!line->text.starts_with(kBeginContents)) continue;
    size_t start = cursor;
    std::optional<ContentsBlock> block = ReadContentsBlock(text, &cursor);
    Require(cursor >= start && cursor <= text.size());
    if (!block) break;
    // Cut: the text ended inside the block, at its end or at a NUL.
    Require(!block->cut || cursor == text.size() || text[cursor] == '\0');
    Require(block->contents.size() <= text.size() - start);
    Require(block->contents.size() <= static_cast<uint64_t>(std::max<int64_t>(block->size, 0)));
    Require(block->contents.capacity() <= text.size() - start + 32);
    std::array<ScanItem, 3> items = ContentsBlockItems(*block, decoder);
    Require(items[0].value == block->contents);
    Require(IsValidUtf8(items[0].key_value));
  }
  return 0;
}
