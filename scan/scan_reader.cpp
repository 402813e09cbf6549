// The scan contents reader: from scan text to resolved lines and pending rows.
//
// Choices where the format leaves room, and the safe handling of bad input:
// - A row is handed over with no_merge exactly when it holds deleted items.
//   The row that is open when "_DELETED" comes is an ordinary one and may
//   still be merged with an earlier part of the same instance; the row that
//   is open when "_ENDDELETED" comes is a deleted one.
// - Deleted and ordinary items never share a row, even when an ordinary line
//   right after "_ENDDELETED" names the same instance: it would otherwise be
//   written as a deletion.
// - A row is keyed when the writer gave it a key column. Its key travels as
//   the SQL literal of the key's type; a key type the reader cannot write
//   leaves no literal, and the row is dropped rather than written with the
//   scanned text. A row without a key column hands over an empty key, so no
//   scanned key text (e.g. of a key the metaschema does not know) can reach
//   a statement.
// - The path of a deleted configuration file is decoded like the file names
//   of contents blocks, so that it names the same row.

#include "scan/scan_reader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Common/Include/ascii_case.h"
#include "db/dialect.h"
#include "db/value.h"
#include "scan/code_page.h"
#include "scan/contents_block.h"
#include "scan/line_splitter.h"
#include "scan/scan_item.h"
#include "scan/scan_text.h"

namespace corvane::scan {
namespace {

constexpr std::string_view kSoftwareMarker = "_SOFTWARE";
constexpr std::string_view kLastSyncDateMarker = "Last Sync Date";
constexpr std::string_view kDeletedConfigMarker = "Cfg -";
constexpr std::string_view kDeletedMarker = "_DELETED";
constexpr std::string_view kEndDeletedMarker = "_ENDDELETED";
constexpr std::string_view kProfilesMarker = "Profiles - (Profile:";
constexpr char kItemDeleted[] = "ItemDeleted";
constexpr std::string_view kUnmodeledData = "UnmodeledData";

// The metaschema fields the reader fills itself for the items it builds
// without splitting a line; the writer's answer still decides.
struct Preset {
  const char* key_column;
  const char* parent_table;
  int pk_value_type;
  db::DataType data_type;
  int table_kind;
  bool has_key;
  int parent_kind;
};

// Configuration files hang off the device's operating system row.
constexpr char kFilePath[] = "FilePath";
constexpr char kOs[] = "Operating_System";
// Fields: key column, parent table, key type, data type, table kind, has
// key, parent kind.
constexpr Preset kConfigContents{kFilePath, kOs, kKeyText, db::kValueBinary, 4, true, 5};
constexpr Preset kConfigNumbers{kFilePath, kOs, kKeyText, db::kValueNumber, 4, true, 5};
constexpr Preset kBiosContents{"", "", kKeyText, db::kValueBinary, 4, false, 5};
constexpr Preset kBiosNumbers{"", "", kKeyText, db::kValueNumber, 4, false, 5};
constexpr Preset kDeletedConfig{kFilePath, kOs, kKeyText, db::kValueText, 4, true, 5};
// The BIOS text has no key, yet its deleted item has always carried the
// has-key mark; with no key column it stays an unkeyed row here.
constexpr Preset kDeletedBios{"", "", 0, db::kValueText, 4, true, 5};

void ApplyPreset(const Preset& preset, ScanLine& line) {
  line.key_column = preset.key_column;
  line.parent_table = preset.parent_table;
  line.pk_value_type = preset.pk_value_type;
  line.data_type = preset.data_type;
  line.table_kind = preset.table_kind;
  line.has_key = preset.has_key;
  line.parent_kind = preset.parent_kind;
}

void MarkDeleted(ScanLine& line) {
  line.value = kItemDeleted;
  line.deleted = true;
}

class Reader {
 public:
  Reader(InventoryWriter& writer, std::string_view text, bool mac, const CreatorTypes& creators)
      : writer_(writer), text_(text), decoder_(mac), creators_(creators) {}

  // The text is parsed once into steps (items and section markers) before
  // anything reaches the writer: an item the scan reports again later (the
  // receiver appends the connection's address after the scan's own, for
  // one) is superseded, so only the last value of an item is compared and
  // written, and a scan that reports two values for one attribute does not
  // flip the stored value, and record a change, on every scan. Nothing
  // reaches the writer from a text cut short.
  bool Run() {
    // At most one item per line, and a few more per contents block.
    steps_.reserve(static_cast<size_t>(std::count(text_.begin(), text_.end(), '\n')) + 16);
    if (!Walk()) return false;
    MarkSupersededItems();
    writer_.SetHasSoftwareSection(false);
    // A delta scan is known as one before its first item: the writer then
    // reads only the stored instances the scan names.
    const bool delta = std::any_of(steps_.begin(), steps_.end(),
                                   [](const Step& step) { return step.kind == Step::kDeletions; });
    writer_.SetHasDeletions(delta);
    for (Step& step : steps_) {
      switch (step.kind) {
        case Step::kSoftwareSection:
          writer_.SetHasSoftwareSection(true);
          break;
        case Step::kDeletions:
          break;
        case Step::kItem:
          if (!step.superseded) Submit(step.line);
          break;
      }
    }
    HandOver();
    writer_.FlushPendingRows();
    return true;
  }

 private:
  struct Step {
    enum Kind { kItem, kSoftwareSection, kDeletions };
    Kind kind = kItem;
    bool superseded = false;
    ScanLine line;
  };

  bool Walk() {
    size_t cursor = 0;
    while (std::optional<Line> piece = ReadLine(text_, &cursor)) {
      if (IsBlankLine(piece->text)) continue;
      std::optional<std::string_view> expanded = expander_.ExpandInPlace(piece->text);
      if (!expanded) continue;
      const std::string_view line = *expanded;
      if (line.starts_with(kBeginContents)) {
        // A block cut short means the text is, too: nothing of it is kept.
        if (!ReadContents(&cursor)) return false;
      } else if (line.starts_with(kSoftwareMarker)) {
        steps_.push_back({Step::kSoftwareSection, false, {}});
      } else if (line.starts_with(kLastSyncDateMarker)) {
        continue;
      } else if (line.starts_with(kDeletedConfigMarker)) {
        if (in_deleted_) DeletedConfig(line);
      } else if (line.starts_with(kDeletedMarker)) {
        steps_.push_back({Step::kDeletions, false, {}});
        in_deleted_ = true;
      } else if (line.starts_with(kEndDeletedMarker)) {
        in_deleted_ = false;
      } else if (line.starts_with(kProfilesMarker)) {
        continue;
      } else {
        DataLine(line);
      }
    }
    return true;
  }

  void DataLine(std::string_view text) {
    std::optional<ScanItem> item = ParseDataLine(text, decoder_, creators_);
    if (!item) return;
    // The key attribute is already part of the instance; in the deleted
    // section that very line is what removes the instance.
    if (!in_deleted_ && EqualsIgnoringCase(item->attribute, item->key_name)) return;
    // Built in its step, not moved there: a line is nine strings.
    ScanLine& line = steps_.emplace_back().line;
    line = ScanLineOf(std::move(*item));
    if (in_deleted_) MarkDeleted(line);
  }

  void DeletedConfig(std::string_view text) {
    DeletedConfigItem deleted = RewriteDeletedConfigLine(decoder_.ToUtf8(WithoutLineFeed(text)));
    ScanLine line = ScanLineOf(std::move(deleted.item));
    ApplyPreset(deleted.bios ? kDeletedBios : kDeletedConfig, line);
    MarkDeleted(line);
    Collect(std::move(line));
  }

  // The block whose "_BeginContents" line was just read, as three items:
  // contents, size, time. False when the text ends inside the block: before
  // its four headers, or before its "_EndContents" line and declared size.
  bool ReadContents(size_t* cursor) {
    std::optional<ContentsBlock> block = ReadContentsBlock(text_, cursor);
    if (!block || block->cut) return false;
    std::array<ScanItem, 3> items = ContentsBlockItems(*block, decoder_);
    bool bios = block->bios;
    block.reset();  // the contents live on in the first item only
    for (size_t i = 0; i < items.size(); ++i) {
      ScanLine line = ScanLineOf(std::move(items[i]));
      if (i == 0) {
        ApplyPreset(bios ? kBiosContents : kConfigContents, line);
      } else {
        ApplyPreset(bios ? kBiosNumbers : kConfigNumbers, line);
      }
      Collect(std::move(line));
    }
    return true;
  }

  void Collect(ScanLine line) { steps_.push_back({Step::kItem, false, std::move(line)}); }

  void Submit(ScanLine& line) {
    bool exists = writer_.WriteAttribute(line);
    if (line.column.empty()) return;
    if (StartsNewRow(line)) {
      HandOver();
      StartRow(line);
    }
    PendingRow& row = *current_;
    PendingAttribute attribute{std::move(line.column), std::move(line.value), line.data_type};
    bool replaced = false;
    for (PendingAttribute& held : row.attributes) {
      if (EqualsIgnoringCase(held.column, attribute.column)) {
        held = std::move(attribute);
        replaced = true;
        break;
      }
    }
    if (!replaced) row.attributes.push_back(std::move(attribute));
    row.exists = exists;
  }

  // An item is its component, instance and attribute, named as the
  // metaschema compares them. Deleted items are never superseded: each one
  // removes something.
  static bool SameItem(const ScanLine& a, const ScanLine& b) {
    return a.key_value == b.key_value && EqualsIgnoringCase(a.attribute, b.attribute) &&
           EqualsIgnoringCase(a.component, b.component) &&
           EqualsIgnoringCase(a.key_attribute, b.key_attribute);
  }

  // Equal items hash alike: the key value as it is, the names by what case
  // does not change (their lengths and folded ends). SameItem decides.
  static uint64_t ItemHash(const ScanLine& line) {
    const auto folded_ends = [](std::string_view name) -> uint64_t {
      if (name.empty()) return 0;
      return (static_cast<uint64_t>(static_cast<unsigned char>(corvane::AsciiLower(name.front())))
              << 8) |
             static_cast<unsigned char>(corvane::AsciiLower(name.back()));
    };
    uint64_t hash = std::hash<std::string_view>{}(line.key_value);
    for (std::string_view name :
         {std::string_view(line.component), std::string_view(line.attribute),
          std::string_view(line.key_attribute)}) {
      hash = hash * 1099511628211ull + (name.size() << 16 | folded_ends(name));
    }
    return hash;
  }

  void MarkSupersededItems() {
    std::unordered_multimap<uint64_t, size_t> last_of_item;
    last_of_item.reserve(steps_.size());
    for (size_t i = 0; i < steps_.size(); ++i) {
      const Step& step = steps_[i];
      if (step.kind != Step::kItem || step.line.deleted) continue;
      const uint64_t hash = ItemHash(step.line);
      bool replaced = false;
      auto [begin, end] = last_of_item.equal_range(hash);
      for (auto it = begin; it != end; ++it) {
        if (SameItem(steps_[it->second].line, step.line)) {
          steps_[it->second].superseded = true;
          it->second = i;
          replaced = true;
          break;
        }
      }
      if (!replaced) last_of_item.emplace(hash, i);
    }
  }

  bool StartsNewRow(const ScanLine& line) const {
    return !current_ || line.deleted || current_->deleted ||
           EqualsIgnoringCase(current_->table, kUnmodeledData) ||
           !EqualsIgnoringCase(current_->table, line.table) ||
           !EqualsIgnoringCase(current_->key_value, line.key_value);
  }

  void StartRow(const ScanLine& line) {
    PendingRow& row = current_.emplace();
    row.table = line.table;
    row.parent_table = line.parent_table;
    row.key_value = line.key_value;
    row.key_column = line.key_column;
    row.pk_value_type = line.pk_value_type;
    row.table_kind = line.table_kind;
    row.parent_kind = line.parent_kind;
    row.image = line.data_type == db::kValueBinary;
    row.has_key = line.has_key;
    row.deleted = line.deleted;
    row.metaobject_id = line.metaobject_id;
  }

  void HandOver() {
    if (!current_) return;
    PendingRow row = std::move(*current_);
    current_.reset();
    if (row.key_column.empty()) {
      row.key_value.clear();
    } else {
      std::string literal = KeyLiteral(row.pk_value_type, row.key_value, writer_.dbms_kind());
      if (literal.empty()) return;
      row.key_value = std::move(literal);
    }
    bool no_merge = row.deleted;
    writer_.AddPendingRow(std::move(row), no_merge);
  }

  InventoryWriter& writer_;
  std::string_view text_;
  ScanTextDecoder decoder_;
  const CreatorTypes& creators_;
  LineExpander expander_;
  bool in_deleted_ = false;
  std::optional<PendingRow> current_;
  std::vector<Step> steps_;
};

}  // namespace

bool ReadScan(InventoryWriter& writer, std::string_view scan_text, bool mac,
              const CreatorTypes& creators) {
  return Reader(writer, scan_text, mac, creators).Run();
}

}  // namespace corvane::scan
