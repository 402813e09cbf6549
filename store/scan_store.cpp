// The attribute writer: the device snapshot, the comparison of each scanned
// attribute with it, and the collection of pending rows.

#include "store/scan_store.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "db/dialect.h"
#include "store/names.h"

namespace corvane::store {
namespace {

// Stored texts are compared after the trimming SqlQuote applies when it
// writes them, so an unchanged value never reads as changed.
std::string_view Trim(std::string_view text) { return db::TrimSqlWhiteSpace(text); }

int ColumnIndex(const SnapshotTable& table, std::string_view column) {
  for (size_t i = 0; i < table.columns.size(); ++i) {
    if (EqualsIgnoringCase(table.columns[i], column)) return static_cast<int>(i);
  }
  return -1;
}

// A stored number as a 32-bit integer: decimals converted, doubles truncated.
std::optional<int32_t> StoredInteger(const db::DbValue& value) {
  switch (value.type()) {
    case db::DbValue::Type::kInt32:
    case db::DbValue::Type::kDecimal:
    case db::DbValue::Type::kDouble:
      return value.ToInt32();
    default:
      return std::nullopt;
  }
}

// A key value read as a whole decimal integer (" 42", "-7"); nothing else.
std::optional<int64_t> ReadInteger(std::string_view text) {
  text = Trim(text);
  if (text.empty()) return std::nullopt;
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(copy.c_str(), &end, 10);
  if (end == copy.c_str() || *end != '\0' || errno == ERANGE) return std::nullopt;
  return value;
}

// The scanned number as the writer stores it: only its digits count, and a
// text without digits is written as -1 (the empty text as null, which no
// stored number equals).
std::optional<int64_t> ScannedNumber(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  if (digits.empty()) return text.empty() ? std::nullopt : std::optional<int64_t>(-1);
  return std::strtoll(digits.c_str(), nullptr, 10);
}

// Seconds since 1970 as a scanned date gives them (leading digits, C rules);
// nothing for a text without digits or the value -1, which are written NULL.
std::optional<int64_t> ScannedSeconds(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  long long seconds = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || errno == ERANGE || seconds == -1) return std::nullopt;
  return seconds;
}

// The time a stored date literal of `seconds` reads back as: written in local
// time to whole seconds and read back through the zone rules, exactly as the
// connection converts stored dates.
std::optional<int64_t> StoredDateOf(int64_t seconds) {
  time_t time = static_cast<time_t>(seconds);
  struct tm local {};
  if (localtime_r(&time, &local) == nullptr) return std::nullopt;
  local.tm_isdst = -1;
  time_t back = std::mktime(&local);
  if (back == static_cast<time_t>(-1)) return std::nullopt;
  return static_cast<int64_t>(back);
}

// A date as the change history takes it: a local-time text in the dialect's
// order.
db::DbValue DateText(int64_t seconds, db::DbmsKind kind) {
  time_t time = static_cast<time_t>(seconds);
  struct tm local {};
  if (localtime_r(&time, &local) == nullptr) return db::DbValue();
  char buffer[64];
  const char* format = kind == db::kDbmsOracle ? "%m/%d/%Y %H:%M:%S" : "%Y-%m-%d %H:%M:%S";
  size_t length = std::strftime(buffer, sizeof buffer, format, &local);
  if (length == 0) return db::DbValue();
  return db::DbValue::Text(std::string(buffer, length));
}

// Whether the stored value equals the scanned one, by the stored value's type.
bool Unchanged(const db::DbValue& stored, const std::string& scanned) {
  switch (stored.type()) {
    case db::DbValue::Type::kEmpty:
    case db::DbValue::Type::kNull:
      return scanned.empty();
    case db::DbValue::Type::kText:
      return Trim(stored.text()) == scanned;
    case db::DbValue::Type::kInt32:
    case db::DbValue::Type::kDecimal: {
      std::optional<int32_t> number = StoredInteger(stored);
      std::optional<int64_t> scanned_number = ScannedNumber(scanned);
      return number && scanned_number && *number == *scanned_number;
    }
    case db::DbValue::Type::kDate: {
      std::optional<int64_t> seconds = ScannedSeconds(scanned);
      if (!seconds) return false;
      std::optional<int64_t> date = StoredDateOf(*seconds);
      return date && *date == stored.date();
    }
    case db::DbValue::Type::kBytes:
      return stored.bytes().size() == scanned.size() &&
             std::equal(stored.bytes().begin(), stored.bytes().end(), scanned.begin(),
                        [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
    default:
      return false;
  }
}

// A stored value that a scanned one fills rather than modifies.
bool StoredEmpty(const db::DbValue& stored) {
  if (stored.is_null_like()) return true;
  if (stored.type() == db::DbValue::Type::kText) return Trim(stored.text()).empty();
  if (stored.type() == db::DbValue::Type::kBytes) return stored.bytes().empty();
  return false;
}

bool KeyMatches(const db::DbValue& stored, const std::string& key_value) {
  if (stored.type() == db::DbValue::Type::kText) return Trim(stored.text()) == key_value;
  std::optional<int32_t> number = StoredInteger(stored);
  if (!number) return false;
  std::optional<int64_t> key = ReadInteger(key_value);
  return key && *key == *number;
}

// A key-list value that identifies a row: texts without surrounding blanks,
// integers, decimals and dates. Null, doubles and bytes do not.
bool ComparableKeyValue(const db::DbValue& value) {
  switch (value.type()) {
    case db::DbValue::Type::kText:
      return Trim(value.text()).size() == value.text().size();
    case db::DbValue::Type::kInt32:
    case db::DbValue::Type::kDecimal:
    case db::DbValue::Type::kDate:
      return true;
    default:
      return false;
  }
}

int PkValueType(const db::AttributeInfo& key) {
  return key.data_type == db::kValueNumber ? scan::kKeyInteger : scan::kKeyText;
}

void MergeAttribute(scan::PendingRow& row, const scan::PendingAttribute& attribute) {
  for (scan::PendingAttribute& existing : row.attributes) {
    if (EqualsIgnoringCase(existing.column, attribute.column)) {
      existing = attribute;
      return;
    }
  }
  row.attributes.push_back(attribute);
}

}  // namespace

ScanStore::ScanStore(db::Connection& connection, db::DbmsKind kind, db::Metaschema& metaschema)
    : connection_(connection), kind_(kind), metaschema_(metaschema) {}

void ScanStore::ResetForScan() {
  snapshot_.clear();
  snapshot_loaded_ = false;
  pending_.clear();
  has_software_section_ = false;
  has_deletions_ = false;
  identity_changes_ = 0;
  hardware_changes_ = 0;
  last_statement_seconds_ = 0;
  file_instance_seconds_ = 0;
  file_catalogue_seconds_ = 0;
  network_software_idn_ = 0;
  operating_system_idn_ = 0;
  corvane_idn_ = 0;
  mif_idn_ = 0;
  file_info_instance_idn_ = 0;
  app_software_suites_idn_ = 0;
}

void ScanStore::set_event_texts(std::string device_id, std::string device_name,
                                std::string application_name) {
  device_id_ = std::move(device_id);
  device_name_ = std::move(device_name);
  application_name_ = std::move(application_name);
}

std::string ScanStore::CatalogueName(std::string_view name) const {
  if (kind_ == db::kDbmsOracle) return Upper(name);
  if (kind_ == db::kDbmsPostgres) return Lower(name);
  return std::string(name);
}

void ScanStore::LoadSnapshot() {
  snapshot_.clear();
  // The device's file instances are compared like every other table's rows:
  // without them every file of every scan would be written again, and a
  // file gone from a full scan would never be purged. The metaschema leaves
  // FileInfoInstance out of its device tables because its rows are tied to
  // the file catalogue; the store handles that link itself.
  std::vector<std::string> tables = metaschema_.device_tables();
  const std::string file_instances = CatalogueName("FileInfoInstance");
  tables.push_back(file_instances);
  for (const std::string& table : tables) {
    const std::string device = std::to_string(computer_idn_);
    db::Recordset rows =
        connection_.Query("SELECT * FROM " + table + " WHERE COMPUTER_IDN = " + device);
    if (rows.AtEnd()) continue;
    SnapshotTable stored;
    for (int i = 0; i < rows.FieldCount(); ++i) stored.columns.push_back(rows.FieldName(i));
    if (table == file_instances) {
      // A file's size, title, vendor and version are stored in its catalogue
      // row, and the instance's columns of those names stay NULL. Read with
      // the linked catalogue row's values in their place, the instance
      // compares with the scan as the file it is: an unchanged file writes
      // nothing, a changed size or version is a change. The columns keep the
      // instance's names and order. Unseen, these columns are still never
      // cleared by the purge: the deletion rule leaves catalogue columns of an
      // instance alone.
      std::string select;
      for (const std::string& column : stored.columns) {
        if (!select.empty()) select += ", ";
        const bool from_catalogue =
            EqualsIgnoringCase(column, "FileSize") || EqualsIgnoringCase(column, "Title") ||
            EqualsIgnoringCase(column, "Vendor") || EqualsIgnoringCase(column, "Version");
        select += (from_catalogue ? "f." : "i.") + column;
        if (from_catalogue) select += " AS " + column;
      }
      rows.Close();
      rows = connection_.Query(
          "SELECT " + select + " FROM " + table + " i LEFT JOIN " + CatalogueName("FileInfo") +
          " f ON f.FileInfo_Idn = i.FileInfo_Idn WHERE i.COMPUTER_IDN = " + device);
      if (rows.AtEnd()) continue;
    }
    for (; !rows.AtEnd(); rows.Next()) {
      SnapshotRecord record;
      record.cells.reserve(stored.columns.size());
      for (int i = 0; i < rows.FieldCount(); ++i) record.cells.push_back({rows.Value(i), false});
      stored.records.push_back(std::move(record));
    }
    snapshot_[table] = std::move(stored);
  }
  snapshot_loaded_ = true;
}

void ScanStore::RecordChange(const db::DbValue& old_value, const db::DbValue& new_value,
                             const db::AttributeInfo& attribute, int pk_value_type,
                             const std::string& key_value) {
  if (change_recorder_ == nullptr || attribute.track_flags == 0) return;
  change_recorder_->RecordChange(computer_idn_, old_value, new_value, attribute, pk_value_type,
                                 key_value);
}

bool ScanStore::WriteAttribute(scan::ScanLine& line) {
  line.column.clear();
  std::optional<db::AttributeInfo> info =
      metaschema_.LookupAttribute(line.component, line.attribute);
  if (!info) return false;
  std::optional<db::AttributeInfo> key_info;
  if (!line.key_attribute.empty()) {
    key_info = metaschema_.LookupAttribute(line.component, line.key_attribute);
  }
  const int pk_value_type = key_info ? PkValueType(*key_info) : 0;

  // The stored cell of this attribute in the instance's row, when the
  // snapshot holds an acceptable row for the instance.
  SnapshotCell* cell = nullptr;
  auto found_table = snapshot_.find(CatalogueName(info->table));
  if (found_table != snapshot_.end()) {
    SnapshotTable& table = found_table->second;
    const int column = ColumnIndex(table, info->column);
    if (column < 0) return false;

    SnapshotRecord* record = nullptr;
    if (EqualsIgnoringCase(info->table, "UnmodeledData")) {
      const int id_column = ColumnIndex(table, "METAOBJATTRRELATIONS_IDN");
      for (SnapshotRecord& candidate : table.records) {
        if (id_column < 0) break;
        if (StoredInteger(candidate.cells[id_column].value) == info->metaobject_id) {
          record = &candidate;
          break;
        }
      }
    } else if (key_info) {
      const int key_column = ColumnIndex(table, key_info->column);
      for (SnapshotRecord& candidate : table.records) {
        if (key_column < 0) break;
        if (KeyMatches(candidate.cells[key_column].value, line.key_value)) {
          candidate.cells[key_column].seen = true;
          record = &candidate;
          break;
        }
      }
    } else if (!table.records.empty()) {
      record = &table.records.front();
    }

    if (record != nullptr) {
      bool acceptable = true;
      for (const std::string& key_name : metaschema_.KeyList(info->table)) {
        const std::string stored_name = CatalogueName(Trim(key_name));
        for (size_t i = 0; i < table.columns.size(); ++i) {
          if (table.columns[i] == stored_name && !ComparableKeyValue(record->cells[i].value)) {
            acceptable = false;
          }
        }
      }
      if (acceptable) cell = &record->cells[column];
    }
  }

  db::DbValue new_value = db::DbValue::Text(line.value);
  if (info->data_type == db::kValueDate) {
    std::optional<int64_t> seconds = ScannedSeconds(line.value);
    new_value = seconds ? DateText(*seconds, kind_) : db::DbValue();
  }

  bool result = false;
  if (cell != nullptr) {
    const bool unchanged = Unchanged(cell->value, line.value);
    cell->seen = true;
    if (unchanged) return false;
    // Filling a stored empty value is no modification of the device.
    if (!StoredEmpty(cell->value)) {
      if (info->marker) ++identity_changes_;
      if (!has_software_section_) ++hardware_changes_;
    }
    const db::DbValue old_value = cell->value.type() == db::DbValue::Type::kDate
                                      ? DateText(cell->value.date(), kind_)
                                      : cell->value;
    RecordChange(old_value, new_value, *info, pk_value_type, line.key_value);
    result = true;
  } else {
    RecordChange(db::DbValue(), new_value, *info, pk_value_type, line.key_value);
  }

  line.value = db::FormatSqlValue(info->data_type, db::DbValue::Text(line.value), kind_, nullptr);
  line.table = info->table;
  line.column = info->column;
  line.parent_table = info->parent_table;
  line.data_type = info->data_type;
  line.table_kind = info->table_kind;
  line.parent_kind = info->parent_kind;
  line.metaobject_id = info->metaobject_id;
  if (key_info) {
    line.has_key = true;
    line.key_column = key_info->column;
    line.pk_value_type = pk_value_type;
  }
  return result;
}

void ScanStore::AddPendingRow(scan::PendingRow row, bool no_merge) {
  std::string key = Upper(row.table);
  // Deleted rows stand alone both ways: merged into another row they would
  // turn its changes into a deletion, and a later row merged into them would
  // lose its values to that deletion.
  if (!no_merge && !row.deleted && !EqualsIgnoringCase(row.table, "UnmodeledData")) {
    auto [begin, end] = pending_.equal_range(key);
    for (auto it = begin; it != end; ++it) {
      scan::PendingRow& target = it->second;
      if (target.deleted || !EqualsIgnoringCase(target.key_value, row.key_value)) continue;
      target.exists = target.exists || row.exists;
      for (const scan::PendingAttribute& attribute : row.attributes) {
        MergeAttribute(target, attribute);
      }
      return;
    }
  }
  pending_.emplace(std::move(key), std::move(row));
}

}  // namespace corvane::store
