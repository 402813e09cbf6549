// What the scan contents reader hands to the inventory writer: resolved scan
// lines, component instances waiting to be written (pending rows), and the
// writer interface that takes them.
//
// The reader (scan_reader.h) fills a ScanLine per item, lets the writer
// resolve and compare it, groups the lines the writer wants written into
// PendingRows and hands those over; the inventory store implements the
// writer. Plain value types; a writer belongs to one thread.

#ifndef CORVANE_SCAN_INVENTORY_WRITER_H_
#define CORVANE_SCAN_INVENTORY_WRITER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "db/dbms.h"
#include "db/dialect.h"
#include "db/value.h"
#include "scan/scan_item.h"

namespace corvane::scan {

// Key value types of an instance's key attribute.
inline constexpr int kKeyText = 2;
inline constexpr int kKeyInteger = 3;

// One scan item on its way to the database. The reader fills the first
// block; WriteAttribute fills the second from the metaschema (contents
// items and deleted "Cfg -" items come with the second block preset by the
// reader, and the metaschema's answer still decides).
struct ScanLine {
  // --- From the scan.
  std::string component;      // dotted metaschema path, "Computer.BIOS.BIOS Strings"
  std::string attribute;      // "Data"
  std::string key_attribute;  // empty for single-instance components
  std::string key_value;      // the instance's key as scanned
  // In: the value as scanned (UTF-8 text; a contents item's raw bytes).
  // Out: the SQL literal of the value (raw bytes for a binary value).
  std::string value;
  bool deleted = false;  // an item of the deleted section ("ItemDeleted")

  // --- Resolved by the writer. `column` stays empty when nothing has to be
  // written for this line.
  std::string table;
  std::string column;
  std::string key_column;
  std::string parent_table;
  int pk_value_type = 0;  // kKeyText or kKeyInteger, from the key attribute
  db::DataType data_type = db::kValueText;
  int table_kind = 0;
  bool has_key = false;
  int parent_kind = 0;
  int32_t metaobject_id = 0;  // METAOBJATTRRELATIONS_IDN
};

// The line of a split scan item, not yet resolved. The metaschema names
// components by their plain dotted path ("Computer.Network.Adapter"); the
// item's qualified name differs only for a segment holding a ".", whose
// quotes no metaschema entry carries.
inline ScanLine ScanLineOf(ScanItem item) {
  ScanLine line;
  line.component = std::move(item.component);
  line.attribute = std::move(item.attribute);
  line.key_attribute = std::move(item.key_name);
  line.key_value = std::move(item.key_value);
  line.value = std::move(item.value);
  return line;
}

// The SQL literal of an instance's key value; empty for a key type that has
// none (such a key can never reach a statement).
inline std::string KeyLiteral(int pk_value_type, const std::string& key_value, db::DbmsKind kind) {
  switch (pk_value_type) {
    case kKeyText:
      return db::FormatSqlValue(db::kValueText, db::DbValue::Text(key_value), kind, nullptr);
    case kKeyInteger:
      return db::FormatSqlValue(db::kValueNumber, db::DbValue::Text(key_value), kind, nullptr);
    default:
      return std::string();
  }
}

// One attribute of a pending row.
struct PendingAttribute {
  std::string column;
  std::string literal;  // SQL literal; a binary value's raw bytes
  db::DataType data_type = db::kValueText;
};

// One component instance waiting to be written.
struct PendingRow {
  std::string table;
  std::string parent_table;
  // The instance's key: as scanned while the reader fills the row, the SQL
  // literal of the key's type once handed over.
  std::string key_value;
  std::string key_column;  // empty when the table has no key column
  int pk_value_type = 0;
  int table_kind = 0;
  int parent_kind = 0;
  std::vector<PendingAttribute> attributes;
  bool image = false;    // the first attribute is binary
  bool exists = false;   // the row is in the database: UPDATE, not INSERT
  bool has_key = false;  // a key value is present
  bool deleted = false;  // from a delta scan's deleted section
  int32_t metaobject_id = 0;
  // For a child of a keyed parent instance (a bound adapter's): the SQL
  // literal of the parent's key it was read under; set by the writer.
  std::string parent_key_value;
};

// The inventory writer as the reader sees it. Database failures travel as
// db::DbError out of every call and end the reading.
class InventoryWriter {
 public:
  virtual ~InventoryWriter() = default;

  // Set by the reader: the software section is cleared when reading starts
  // and set on "_SOFTWARE"; the deletions flag is set before the first item
  // of a scan that has a "_DELETED" section, else cleared.
  virtual void SetHasSoftwareSection(bool value) = 0;
  virtual void SetHasDeletions(bool value) = 0;

  // Resolves and compares one line. True when the instance's stored row
  // exists and this attribute changed. The line is to be written exactly
  // when its `column` is not empty afterwards.
  virtual bool WriteAttribute(ScanLine& line) = 0;
  // Takes a finished instance; `no_merge` for deleted instances.
  virtual void AddPendingRow(PendingRow row, bool no_merge) = 0;
  // Writes every pending row; called once, at the end of the contents.
  virtual void FlushPendingRows() = 0;

  // The dialect the key literals are written in.
  virtual db::DbmsKind dbms_kind() const = 0;
};

}  // namespace corvane::scan

#endif  // CORVANE_SCAN_INVENTORY_WRITER_H_
