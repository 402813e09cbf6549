// The attribute writer: the device snapshot, the comparison of each scanned
// attribute with it, and the collection of pending rows.

#include "store/scan_store.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <utility>

#include "db/dialect.h"
#include "db/schema.h"
#include "store/names.h"

namespace corvane::store {
namespace {

// Stored texts are compared after the trimming SqlQuote applies when it
// writes them, so an unchanged value never reads as changed.
std::string_view Trim(std::string_view text) { return db::TrimSqlWhiteSpace(text); }

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
  unread_tables_.clear();
  snapshot_loaded_ = false;
  pending_.clear();
  pending_by_instance_.clear();
  inserted_rows_.clear();
  bound_adapter_key_.clear();
  adapter_of_child_.clear();
  has_software_section_ = false;
  has_deletions_ = false;
  identity_changes_ = 0;
  hardware_changes_ = 0;
  values_cut_ = 0;
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

void ScanStore::StartNewDevice() {
  snapshot_.clear();
  unread_tables_.clear();
  snapshot_loaded_ = true;
}

void ScanStore::LoadSnapshot() {
  snapshot_.clear();
  unread_tables_.clear();
  for (std::string& table : TablesWithDeviceRows()) unread_tables_.insert(std::move(table));
  snapshot_loaded_ = true;
}

SnapshotTable* ScanStore::StoredTable(const std::string& name) {
  auto found = snapshot_.find(name);
  if (found != snapshot_.end() && !found->second.fetched_keys) return &found->second;
  if (unread_tables_.erase(name) == 0) return nullptr;
  // A table read for some instances only is read whole when it is asked for
  // as a whole.
  if (found != snapshot_.end()) snapshot_.erase(found);
  ReadTable(name, {}, std::string(), snapshot_[name]);
  found = snapshot_.find(name);
  if (found->second.columns.empty()) {
    snapshot_.erase(found);
    return nullptr;
  }
  return &found->second;
}

SnapshotTable* ScanStore::StoredInstance(const std::string& name, std::string_view key_column,
                                         const std::string& key_literal) {
  // Only a delta scan, which is never purged, needs no more than the rows
  // of the instances it names: reading them by their key spares it the
  // device's thousand other packages.
  if (!has_deletions_ || key_literal.empty() || key_column.empty()) return StoredTable(name);
  auto found = snapshot_.find(name);
  if (found != snapshot_.end() && !found->second.fetched_keys) return &found->second;
  if (found == snapshot_.end()) {
    if (unread_tables_.count(name) == 0) return nullptr;
    found = snapshot_.emplace(name, SnapshotTable()).first;
    found->second.fetched_keys.emplace();
  }
  SnapshotTable& table = found->second;
  if (table.fetched_keys->insert(key_literal).second) {
    ReadTable(name, key_column, key_literal, table);
    // The lookup aids are made again over the rows read so far.
    table.column_indexes.clear();
    table.acceptable.reset();
  }
  return table.columns.empty() ? nullptr : &table;
}

void ScanStore::ReadAllTables() {
  while (!unread_tables_.empty()) {
    const std::string name = *unread_tables_.begin();  // erased from the set as it is read
    StoredTable(name);
  }
}

const DeviceSnapshot& ScanStore::snapshot() {
  ReadAllTables();
  return snapshot_;
}

void ScanStore::ReadTable(const std::string& table, std::string_view key_column,
                          const std::string& key_literal, SnapshotTable& stored) {
  WriteQueuedInserts();
  // The device's file instances are compared like every other table's rows:
  // without them every file of every scan would be written again, and a
  // file gone from a full scan would never be purged. The metaschema leaves
  // FileInfoInstance out of its device tables because its rows are tied to
  // the file catalogue. A file's size, title, vendor and version are stored
  // in its catalogue row, and the instance's columns of those names stay
  // NULL: read with the linked catalogue row's values in their place, the
  // instance compares with the scan as the file it is (an unchanged file
  // writes nothing, a changed size or version is a change). Unseen, these
  // columns are still never cleared by the purge: the deletion rule leaves
  // catalogue columns of an instance alone.
  constexpr std::string_view kFromCatalogue[] = {"FileSize", "Title", "Vendor", "Version"};
  const bool file_instances = table == CatalogueName("FileInfoInstance");
  std::string device = std::to_string(computer_idn_);
  if (!key_column.empty()) {
    device += std::string(" AND ") + (file_instances ? "i." : "") + std::string(key_column) +
              " = " + key_literal;
  }
  db::Recordset rows =
      file_instances
          ? connection_.Query(
                "SELECT i.*, f.FileSize, f.Title, f.Vendor, f.Version FROM " + table +
                " i LEFT JOIN " + CatalogueName("FileInfo") +
                " f ON f.FileInfo_Idn = i.FileInfo_Idn WHERE i.COMPUTER_IDN = " + device)
          : connection_.Query("SELECT * FROM " + table + " WHERE COMPUTER_IDN = " + device);
  if (rows.AtEnd()) return;
  const int width =
      rows.FieldCount() - (file_instances ? static_cast<int>(std::size(kFromCatalogue)) : 0);
  const bool first_rows = stored.columns.empty();
  std::vector<std::pair<int, int>> replaced;  // instance column, catalogue column
  for (int i = 0; i < width; ++i) {
    if (first_rows) stored.columns.push_back(rows.FieldName(i));
    for (size_t k = 0; file_instances && k < std::size(kFromCatalogue); ++k) {
      if (EqualsIgnoringCase(rows.FieldName(i), kFromCatalogue[k])) {
        replaced.emplace_back(i, width + static_cast<int>(k));
      }
    }
  }
  for (; !rows.AtEnd(); rows.Next()) {
    SnapshotRecord record;
    record.cells.reserve(width);
    for (int i = 0; i < width; ++i) record.cells.push_back({rows.Value(i), false});
    for (auto [instance, catalogue] : replaced)
      record.cells[instance].value = rows.Value(catalogue);
    stored.records.push_back(std::move(record));
  }
}

std::vector<std::string> ScanStore::TablesWithDeviceRows() {
  // A device has rows in a fraction of the device tables; one probe names
  // them, so that only those are read.
  constexpr size_t kTablesPerProbe = 100;  // well below any DBMS's limit of terms
  const std::string device = std::to_string(computer_idn_);
  std::vector<std::string> tables;
  for (const std::string& table : metaschema_.device_tables()) {
    // The change history and the custom jobs are the device tables nothing
    // is compared with and nothing is purged from; the history only grows,
    // so reading it would make every scan of a device slower than the one
    // before.
    if (!EqualsIgnoringCase(table, "HISTORY") &&
        !EqualsIgnoringCase(table, db::schema::jobs::kTable)) {
      tables.push_back(table);
    }
  }
  tables.push_back(CatalogueName("FileInfoInstance"));
  std::vector<std::string> with_rows;
  for (size_t first = 0; first < tables.size(); first += kTablesPerProbe) {
    std::string probe;
    const size_t last = std::min(tables.size(), first + kTablesPerProbe);
    for (size_t i = first; i < last; ++i) {
      if (!probe.empty()) probe += " UNION ALL ";
      probe += "SELECT " + std::to_string(i) + (kind_ == db::kDbmsOracle ? " FROM DUAL" : "") +
               " WHERE EXISTS (SELECT 1 FROM " + tables[i] + " WHERE COMPUTER_IDN = " + device +
               ")";
    }
    for (db::Recordset rows = connection_.Query(probe); !rows.AtEnd(); rows.Next()) {
      const std::optional<int32_t> index = rows.Value(0).ToInt32();
      if (index && *index >= 0 && static_cast<size_t>(*index) < tables.size()) {
        with_rows.push_back(tables[*index]);
      }
    }
  }
  return with_rows;
}

int ScanStore::ColumnPosition(SnapshotTable& table, std::string_view column) const {
  if (table.column_positions.empty()) {
    for (size_t i = 0; i < table.columns.size(); ++i) {
      table.column_positions.emplace(Upper(table.columns[i]), static_cast<int>(i));
    }
  }
  auto found = table.column_positions.find(Upper(column));
  return found == table.column_positions.end() ? -1 : found->second;
}

const SnapshotColumnIndex& ScanStore::IndexOf(SnapshotTable& table, int column) const {
  auto [entry, added] = table.column_indexes.try_emplace(column);
  SnapshotColumnIndex& index = entry->second;
  if (!added) return index;
  for (size_t i = 0; i < table.records.size(); ++i) {
    const db::DbValue& value = table.records[i].cells[column].value;
    // emplace keeps the first record of a value, as a walk from the front
    // would find it.
    if (value.type() == db::DbValue::Type::kText) {
      index.by_text.emplace(std::string(Trim(value.text())), i);
    } else if (std::optional<int32_t> number = StoredInteger(value)) {
      index.by_number.emplace(*number, i);
    }
  }
  return index;
}

std::optional<size_t> ScanStore::FindByKey(SnapshotTable& table, int column,
                                           std::string_view key_value) const {
  const SnapshotColumnIndex& index = IndexOf(table, column);
  std::optional<size_t> found;
  if (auto text = index.by_text.find(key_value); text != index.by_text.end()) {
    found = text->second;
  }
  if (std::optional<int64_t> key = ReadInteger(key_value)) {
    if (auto number = index.by_number.find(*key); number != index.by_number.end()) {
      if (!found || number->second < *found) found = number->second;
    }
  }
  return found;
}

bool ScanStore::Acceptable(SnapshotTable& table, std::string_view table_name, size_t record) const {
  if (!table.acceptable) {
    std::vector<int> key_columns;
    for (const std::string& key_name : metaschema_.KeyList(table_name)) {
      const std::string stored_name = CatalogueName(Trim(key_name));
      for (size_t i = 0; i < table.columns.size(); ++i) {
        if (table.columns[i] == stored_name) key_columns.push_back(static_cast<int>(i));
      }
    }
    std::vector<bool> acceptable(table.records.size(), true);
    for (size_t r = 0; r < table.records.size(); ++r) {
      for (int column : key_columns) {
        if (!ComparableKeyValue(table.records[r].cells[column].value)) acceptable[r] = false;
      }
    }
    table.acceptable = std::move(acceptable);
  }
  return (*table.acceptable)[record];
}

void ScanStore::RecordChange(const db::DbValue& old_value, const db::DbValue& new_value,
                             const db::AttributeInfo& attribute, int pk_value_type,
                             const std::string& key_value) {
  if (change_recorder_ == nullptr || attribute.track_flags == 0) return;
  change_recorder_->RecordChange(computer_idn_, old_value, new_value, attribute, pk_value_type,
                                 key_value);
}

void ScanStore::CutToColumn(const db::AttributeInfo& info, std::string& value) {
  if (info.data_type != db::kValueText) return;
  const int width = metaschema_.TextWidth(info.table, info.column);
  if (width <= 0 || !db::CutToWidth(value, static_cast<size_t>(width), kind_)) return;
  ++values_cut_;
  // A cut that ends at a blank: the literal drops it, and the stored value
  // must still equal the scanned one on the next scan.
  value = std::string(db::TrimSqlWhiteSpace(value));
}

ScanStore::StoredCell ScanStore::FindStoredCell(const db::AttributeInfo& info,
                                                const db::AttributeInfo* key_info,
                                                int pk_value_type, const std::string& key_value) {
  const std::string table_name = CatalogueName(info.table);
  SnapshotTable* stored_table =
      key_info ? StoredInstance(table_name, key_info->column,
                                scan::KeyLiteral(pk_value_type, key_value, kind_))
               : StoredTable(table_name);
  if (stored_table == nullptr) return {};
  SnapshotTable& table = *stored_table;
  const int column = ColumnPosition(table, info.column);
  if (column < 0) return {.column_missing = true};

  std::optional<size_t> record;
  int key_column = -1;
  if (EqualsIgnoringCase(info.table, "UnmodeledData")) {
    const int id_column = ColumnPosition(table, "METAOBJATTRRELATIONS_IDN");
    if (id_column >= 0) {
      const SnapshotColumnIndex& index = IndexOf(table, id_column);
      if (auto found = index.by_number.find(info.metaobject_id); found != index.by_number.end())
        record = found->second;
    }
  } else if (key_info) {
    key_column = ColumnPosition(table, key_info->column);
    if (key_column >= 0) record = FindByKey(table, key_column, key_value);
  } else if (!table.records.empty()) {
    record = 0;
  }
  // A record refused here is treated as a new instance: its key stays
  // unseen, so the purge removes the stale row the new one replaces.
  if (!record || !Acceptable(table, info.table, *record)) return {};
  SnapshotRecord& stored = table.records[*record];
  if (key_column >= 0) stored.cells[key_column].seen = true;
  return {.cell = &stored.cells[column]};
}

void ScanStore::NoteBoundAdapterChild(const db::AttributeInfo& info,
                                      const db::AttributeInfo* key_info, int pk_value_type,
                                      const std::string& key_value) {
  // A bound adapter's children are read right after its own lines, and
  // their own keys do not say which adapter they belong to.
  if (key_info && EqualsIgnoringCase(info.table, "BoundAdapter")) {
    bound_adapter_key_ = scan::KeyLiteral(pk_value_type, key_value, kind_);
  } else if (EqualsIgnoringCase(info.parent_table, "BoundAdapter")) {
    const std::string key =
        key_info ? scan::KeyLiteral(pk_value_type, key_value, kind_) : std::string();
    adapter_of_child_[Upper(info.table) + '\n' + Upper(key)] = bound_adapter_key_;
  }
}

bool ScanStore::WriteAttribute(scan::ScanLine& line) {
  line.column.clear();
  const db::AttributeInfo* info = metaschema_.FindAttribute(line.component, line.attribute);
  if (info == nullptr) return false;
  const db::AttributeInfo* key_info = nullptr;
  if (!line.key_attribute.empty()) {
    key_info = metaschema_.FindAttribute(line.component, line.key_attribute);
  }
  const int pk_value_type = key_info ? PkValueType(*key_info) : 0;
  // Cut before anything compares or writes them, so that a stored cut value
  // is met by the same cut value on every scan. A deleted item's value only
  // marks the deletion; its key must name the stored (cut) instance.
  if (!line.deleted) CutToColumn(*info, line.value);
  if (key_info) CutToColumn(*key_info, line.key_value);

  const StoredCell stored = FindStoredCell(*info, key_info, pk_value_type, line.key_value);
  if (stored.column_missing) return false;
  NoteBoundAdapterChild(*info, key_info, pk_value_type, line.key_value);

  SnapshotCell* const cell = stored.cell;
  if (cell != nullptr) {
    cell->seen = true;
    if (Unchanged(cell->value, line.value)) return false;
  }
  // The value as the change history takes it.
  db::DbValue new_value = db::DbValue::Text(line.value);
  if (info->data_type == db::kValueDate) {
    std::optional<int64_t> seconds = ScannedSeconds(line.value);
    new_value = seconds ? DateText(*seconds, kind_) : db::DbValue();
  }
  db::DbValue old_value;
  if (cell != nullptr) {
    // Filling a stored empty value is no modification of the device.
    if (!StoredEmpty(cell->value)) {
      if (info->marker) ++identity_changes_;
      if (!has_software_section_) ++hardware_changes_;
    }
    old_value = cell->value.type() == db::DbValue::Type::kDate ? DateText(cell->value.date(), kind_)
                                                               : cell->value;
  }
  RecordChange(old_value, new_value, *info, pk_value_type, line.key_value);

  // What the row writer needs of the line.
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
  // True: the stored instance had this attribute and its value changed.
  return cell != nullptr;
}

void ScanStore::AddPendingRow(scan::PendingRow row, bool no_merge) {
  std::string key = Upper(row.table);
  if (EqualsIgnoringCase(row.parent_table, "BoundAdapter")) {
    auto adapter = adapter_of_child_.find(key + '\n' + Upper(row.key_value));
    if (adapter != adapter_of_child_.end()) row.parent_key_value = adapter->second;
  }
  // Deleted rows stand alone both ways: merged into another row they would
  // turn its changes into a deletion, and a later row merged into them would
  // lose its values to that deletion.
  const bool mergeable =
      !no_merge && !row.deleted && !EqualsIgnoringCase(row.table, "UnmodeledData");
  std::string instance;
  if (mergeable) {
    instance = key + '\n' + Upper(row.key_value);
    if (auto found = pending_by_instance_.find(instance); found != pending_by_instance_.end()) {
      scan::PendingRow& target = found->second->second;
      target.exists = target.exists || row.exists;
      for (const scan::PendingAttribute& attribute : row.attributes) {
        MergeAttribute(target, attribute);
      }
      return;
    }
  }
  auto added = pending_.emplace(std::move(key), std::move(row));
  if (mergeable) pending_by_instance_.emplace(std::move(instance), added);
}

}  // namespace corvane::store
