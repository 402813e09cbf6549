// Writing the pending rows: how each row hangs off the device row (its key
// columns and values), the INSERT, UPDATE and deletion statements, the order
// of the tables, the purge after a full scan, and statement execution with
// its SQL copy.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <utility>

#include "Common/Include/xtrace.h"
#include "db/dialect.h"
#include "db/schema.h"
#include "store/names.h"
#include "store/scan_store.h"

namespace corvane::store {
namespace {

namespace kind = db::schema;

// Tables the purge leaves alone when the scan had no software section.
constexpr std::string_view kSoftwareTables[] = {
    "AppSoftware",   "AppSoftwareSuites", "BiosStrings",   "Drivers",
    "KernelDrivers", "Services",          "SystemDrivers", "OSConfigFiles",
    "Font",          "DeskAccessory",     "Extension",     "ComputerVulnerability",
};

// Columns of a FileInfoInstance row that belong to the file catalogue or to
// its usage metering: never cleared through the instance.
constexpr std::string_view kFileInfoColumns[] = {
    "ExeName",
    "FileSize",
    "Title",
    "FileName",
    "Version",
    "Vendor",
    "FileInfo_Idn",
    "SCM_DaysSinceLastUsed",
    "SCM_DateDiscovered",
    "SCM_DaysSinceDiscovered",
};

// Children of one-per-device tables and the parent row they need.
struct ChildParent {
  std::string_view table;
  std::string_view parent;
};
constexpr ChildParent kDeviceChildParents[] = {
    {"MBSlot", "Motherboard"}, {"MBCache", "Motherboard"},  {"MemCache", "Memory"},
    {"MemorySlot", "Memory"},  {"EMSDriverInfo", "Memory"}, {"XMSDriverInfo", "Memory"},
    {"BusSlots", "Bus"},       {"BiosStrings", "BIOS"},     {"Manufacturer", "BIOS"},
};

template <size_t N>
bool IsOneOf(std::string_view name, const std::string_view (&names)[N]) {
  return std::any_of(std::begin(names), std::end(names), [name](std::string_view candidate) {
    return EqualsIgnoringCase(name, candidate);
  });
}

bool IsIdColumn(std::string_view column) { return Upper(column).find("_IDN") != std::string::npos; }

bool HasKeyValue(const scan::PendingRow& row) {
  return !row.key_column.empty() && !row.key_value.empty();
}

// The value a key literal stands for: a quoted text without its quotes and
// with its doubled quotes single again; a number as written.
std::string ValueOfLiteral(std::string_view literal) {
  if (literal.size() < 2 || literal.front() != '\'' || literal.back() != '\'') {
    return std::string(literal);
  }
  std::string value;
  for (size_t i = 1; i + 1 < literal.size(); ++i) {
    value += literal[i];
    if (literal[i] == '\'' && literal[i + 1] == '\'') ++i;
  }
  return value;
}

std::string InstanceName(const scan::PendingRow& row) {
  return Upper(row.table) + '\n' + row.key_value;
}

// The condition that names a row: the key columns paired with their values,
// "column=value" without blanks, then the row's own key.
std::string Condition(const RowKey& key, const scan::PendingRow& row) {
  std::string condition;
  const auto append = [&condition](std::string_view column, std::string_view value) {
    if (!condition.empty()) condition += " AND ";
    condition += column;
    condition += '=';
    condition += value;
  };
  for (const auto& [column, value] : key.parts) append(column, value);
  if (HasKeyValue(row)) append(row.key_column, row.key_value);
  return condition;
}

// One statement to run, with the image value it binds, if any, and the
// further image values of the row, written one by one afterwards.
struct Statement {
  std::string sql;
  std::optional<std::string> image;
  std::vector<const scan::PendingAttribute*> more_images;
  // An INSERT's text up to and including "VALUES", and its "(...)": rows of
  // one table with the same head can share one statement.
  std::string insert_head;
  std::string insert_values;
};

// The value an attribute contributes: "?" for the image the statement binds,
// NULL for an empty or a further image, else its literal.
std::string ValueOf(const scan::PendingAttribute& attribute, Statement& statement) {
  if (attribute.data_type == db::kValueBinary) {
    if (attribute.literal.empty()) return "NULL";
    if (!statement.image) {
      statement.image = attribute.literal;
      return "?";
    }
    statement.more_images.push_back(&attribute);
    return "NULL";
  }
  // Literals are never empty; should one be, NULL keeps the statement valid.
  return attribute.literal.empty() ? "NULL" : attribute.literal;
}

Statement InsertStatement(const scan::PendingRow& row, const RowKey& key) {
  Statement statement;
  if (row.attributes.empty()) return statement;
  std::string columns;
  std::string values;
  bool key_among_attributes = false;
  for (const scan::PendingAttribute& attribute : row.attributes) {
    if (!columns.empty()) {
      columns += ',';
      values += ',';
    }
    columns += attribute.column;
    values += ValueOf(attribute, statement);
    key_among_attributes =
        key_among_attributes || EqualsIgnoringCase(attribute.column, row.key_column);
  }
  for (size_t i = 0; i < key.parts.size(); ++i) {
    columns += i == 0 ? "," : ", ";
    values += i == 0 ? "," : ", ";
    columns += key.parts[i].first;
    values += key.parts[i].second;
  }
  // A column named twice would make the INSERT fail.
  if (HasKeyValue(row) && !key_among_attributes) {
    columns += ',' + row.key_column;
    values += ',' + row.key_value;
  }
  statement.insert_head = "INSERT INTO " + row.table + "(" + columns + ") VALUES";
  statement.insert_values = "(" + values + ")";
  statement.sql = statement.insert_head + statement.insert_values;
  return statement;
}

Statement UpdateStatement(const scan::PendingRow& row, const RowKey& key) {
  Statement statement;
  if (row.attributes.empty()) return statement;
  // Without a condition the UPDATE would change the rows of every device.
  const std::string condition = Condition(key, row);
  if (condition.empty()) return statement;
  std::string set;
  for (const scan::PendingAttribute& attribute : row.attributes) {
    if (!set.empty()) set += ',';
    set += attribute.column + " = " + ValueOf(attribute, statement);
  }
  statement.sql = "UPDATE " + row.table + " SET " + set + " WHERE " + condition;
  return statement;
}

// UTF-8 to Windows-1252, the ANSI code page of the SQL copy. Characters the
// code page lacks, and broken sequences, become "?" as the system's own
// conversion writes them; the five bytes Windows-1252 leaves undefined come
// back from the code points the scan decoder gives them.
std::string ToAnsi(std::string_view text) {
  static constexpr std::pair<char32_t, unsigned char> kHigh[] = {
      {0x20AC, 0x80}, {0x201A, 0x82}, {0x0192, 0x83}, {0x201E, 0x84}, {0x2026, 0x85},
      {0x2020, 0x86}, {0x2021, 0x87}, {0x02C6, 0x88}, {0x2030, 0x89}, {0x0160, 0x8A},
      {0x2039, 0x8B}, {0x0152, 0x8C}, {0x017D, 0x8E}, {0x2018, 0x91}, {0x2019, 0x92},
      {0x201C, 0x93}, {0x201D, 0x94}, {0x2022, 0x95}, {0x2013, 0x96}, {0x2014, 0x97},
      {0x02DC, 0x98}, {0x2122, 0x99}, {0x0161, 0x9A}, {0x203A, 0x9B}, {0x0153, 0x9C},
      {0x017E, 0x9E}, {0x0178, 0x9F}, {0x0081, 0x81}, {0x008D, 0x8D}, {0x008F, 0x8F},
      {0x0090, 0x90}, {0x009D, 0x9D},
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      out += static_cast<char>(byte);
      ++i;
      continue;
    }
    size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 0;
    char32_t code = length == 4 ? byte & 0x07 : length == 3 ? byte & 0x0F : byte & 0x1F;
    bool valid = length != 0 && i + length <= text.size() && byte < 0xF5;
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    if (!valid) {
      out += '?';
      ++i;
      continue;
    }
    i += length;
    if (code >= 0xA0 && code <= 0xFF) {
      out += static_cast<char>(code);
      continue;
    }
    char replacement = '?';
    for (const auto& [high, ansi] : kHigh) {
      if (high == code) replacement = static_cast<char>(ansi);
    }
    out += replacement;
  }
  return out;
}

// The duration of a statement, in whole milliseconds, as seconds.
template <typename Run>
double SecondsOf(Run&& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return static_cast<double>(elapsed.count()) * 0.001;
}

}  // namespace

// --- Statement execution ---------------------------------------------------

void ScanStore::ExecuteText(const std::string& sql) {
  WriteQueuedInserts();
  if (sql_copy_ != nullptr) *sql_copy_ << ToAnsi(sql) << "\r\n";
  if (statement_observer_) statement_observer_(sql);
  last_statement_seconds_ = SecondsOf([&] { connection_.Execute(sql); });
}

void ScanStore::ExecuteWithImage(const std::string& sql, const std::string& bytes) {
  WriteQueuedInserts();
  if (statement_observer_) statement_observer_(sql);
  last_statement_seconds_ = SecondsOf([&] {
    connection_.ExecuteWithBinary(sql, std::vector<uint8_t>(bytes.begin(), bytes.end()));
  });
}

void ScanStore::QueueInsert(const std::string& head, const std::string& values,
                            const std::string& sql) {
  // Well inside every DBMS's limits on statement length and VALUES rows.
  constexpr size_t kMaxRows = 500;
  constexpr size_t kMaxText = 256 * 1024;
  if (insert_batch_.head != head || insert_batch_.rows.size() >= kMaxRows ||
      insert_batch_.text_size + values.size() > kMaxText) {
    WriteQueuedInserts();
    insert_batch_.head = head;
  }
  // The copy holds every row's own statement, in the order they were made.
  if (sql_copy_ != nullptr) *sql_copy_ << ToAnsi(sql) << "\r\n";
  insert_batch_.text_size += values.size() + 1;
  insert_batch_.rows.push_back(values);
}

void ScanStore::WriteQueuedInserts() {
  if (insert_batch_.rows.empty()) return;
  std::string sql = std::move(insert_batch_.head);
  sql.reserve(sql.size() + insert_batch_.text_size);
  for (size_t i = 0; i < insert_batch_.rows.size(); ++i) {
    if (i > 0) sql += ',';
    sql += insert_batch_.rows[i];
  }
  insert_batch_ = InsertBatch();
  if (statement_observer_) statement_observer_(sql);
  last_statement_seconds_ = SecondsOf([&] { connection_.Execute(sql); });
}

std::optional<int32_t> ScanStore::QueryId(const std::string& sql) {
  WriteQueuedInserts();
  const db::DbValue value = connection_.QuerySingleValue(sql);
  if (value.is_null_like()) return std::nullopt;
  return value.ToInt32();
}

// --- Existence from the snapshot ------------------------------------------

std::optional<bool> ScanStore::StoredRowExists(const scan::PendingRow& row,
                                               const SnapshotRecord** record) {
  if (record != nullptr) *record = nullptr;
  if (!snapshot_loaded_) return std::nullopt;
  if (inserted_rows_.count(InstanceName(row)) != 0) return true;
  const bool keyed = HasKeyValue(row) && !EqualsIgnoringCase(row.table, "UnmodeledData");
  SnapshotTable* stored_table =
      keyed ? StoredInstance(CatalogueName(row.table), row.key_column, row.key_value)
            : StoredTable(CatalogueName(row.table));
  if (stored_table == nullptr) return false;
  SnapshotTable& table = *stored_table;
  std::optional<size_t> position;
  if (EqualsIgnoringCase(row.table, "UnmodeledData")) {
    const int id_column = ColumnPosition(table, "METAOBJATTRRELATIONS_IDN");
    if (id_column < 0) return std::nullopt;
    const SnapshotColumnIndex& index = IndexOf(table, id_column);
    if (auto id = index.by_number.find(row.metaobject_id); id != index.by_number.end()) {
      position = id->second;
    }
  } else if (HasKeyValue(row)) {
    const int key_column = ColumnPosition(table, row.key_column);
    if (key_column < 0) return std::nullopt;
    position = FindByKey(table, key_column, ValueOfLiteral(row.key_value));
  } else if (!table.records.empty()) {
    position = 0;
  }
  // A stored row that cannot be named by its key list is replaced by a new
  // one, as the attribute writer decided.
  if (!position || !Acceptable(table, row.table, *position)) return false;
  if (record != nullptr) *record = &table.records[*position];
  return true;
}

void ScanStore::NoteInserted(const scan::PendingRow& row) {
  if (snapshot_loaded_) inserted_rows_.insert(InstanceName(row));
}

db::DbValue ScanStore::StoredValue(const scan::PendingRow& row, const SnapshotRecord& record,
                                   std::string_view column) {
  // The record came from this table; nothing is read here.
  auto found = snapshot_.find(CatalogueName(row.table));
  if (found == snapshot_.end()) return db::DbValue();
  SnapshotTable* table = &found->second;
  const int position = ColumnPosition(*table, column);
  return position < 0 ? db::DbValue() : record.cells[position].value;
}

// --- Row keys --------------------------------------------------------------

RowKey ScanStore::ResolveRowKey(scan::PendingRow& row) {
  switch (row.table_kind) {
    case kind::kKindDevice:
      return DeviceRowKey(row);
    case kind::kKindKeyedRow:
      return KeyedRowKey(row);
    case kind::kKindDeviceChild:
      return DeviceChildKey(row);
    case kind::kKindNetworkSoftware:
    case kind::kKindOperatingSystem:
    case kind::kKindCorvane:
    case kind::kKindMif:
    case kind::kKindOsKeyedChild:
      return OwnIdParentKey(row);
    case kind::kKindFileInstance:
    case kind::kKindSuite: {
      const auto start = std::chrono::steady_clock::now();
      RowKey key = FamilyRowKey(row);
      file_instance_seconds_ +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      // A deleted file is only removed; it neither creates nor moves links.
      if (row.table_kind == kind::kKindFileInstance && !row.deleted) LinkFileInstance(row);
      return key;
    }
    case kind::kKindUnmodeled:
      return UnmodeledKey(row);
    default:
      return {};
  }
}

RowKey ScanStore::DeviceRowKey(scan::PendingRow& row) {
  const std::string idn = std::to_string(computer_idn_);
  if (EqualsIgnoringCase(row.table, "Computer")) {
    if (computer_idn_ < 1) return {};
    row.exists = true;
    return {"Computer_Idn", idn};
  }
  RowKey key{"Computer_Idn", idn};
  // Oracle's key is read back from the found row; elsewhere the snapshot
  // answers whether the row is there.
  if (kind_ != db::kDbmsOracle || !HasKeyValue(row)) {
    if (std::optional<bool> stored = StoredRowExists(row)) {
      if (*stored) row.exists = true;
      return key;
    }
  }
  const std::string sql =
      HasKeyValue(row)
          ? "SELECT " + row.key_column + " FROM " + row.table + " WHERE Computer_Idn = " + idn +
                " AND " + row.key_column + " = " + row.key_value
          : "SELECT Computer_Idn FROM " + row.table + " WHERE Computer_Idn = " + idn;
  WriteQueuedInserts();
  const db::DbValue found = connection_.QuerySingleValue(sql);
  if (found.is_null_like()) return key;
  row.exists = true;
  if (kind_ == db::kDbmsOracle && HasKeyValue(row)) {
    // Only a found row adds its key here; the INSERT of a new row appends the
    // key on its own.
    const db::DataType type =
        row.pk_value_type == scan::kKeyInteger ? db::kValueNumber : db::kValueText;
    key.Add(row.key_column, db::FormatSqlValue(type, found, kind_, nullptr));
  }
  return key;
}

RowKey ScanStore::KeyedRowKey(scan::PendingRow& row) {
  const std::string idn = std::to_string(computer_idn_);
  if (!HasKeyValue(row)) return {"Computer_Idn", idn};
  if (std::optional<bool> stored = StoredRowExists(row)) {
    if (*stored) row.exists = true;
    return {"Computer_Idn", idn};
  }
  if (QueryId("SELECT " + row.table + "_Idn FROM " + row.table + " WHERE Computer_Idn = " + idn +
              " AND " + row.key_column + " = " + row.key_value)) {
    row.exists = true;
  }
  return {"Computer_Idn", idn};
}

RowKey ScanStore::DeviceChildKey(scan::PendingRow& row) {
  const std::string idn = std::to_string(computer_idn_);
  std::optional<bool> stored = StoredRowExists(row);
  if (!stored) {
    std::string sql = "SELECT Computer_Idn FROM " + row.table + " WHERE Computer_Idn = " + idn;
    if (HasKeyValue(row)) sql += " AND " + row.key_column + " = " + row.key_value;
    stored = QueryId(sql).has_value();
  }
  if (*stored) {
    row.exists = true;
    return {"Computer_Idn", idn};
  }
  row.exists = false;
  for (const ChildParent& known : kDeviceChildParents) {
    if (EqualsIgnoringCase(row.table, known.table)) {
      row.parent_table = known.parent;
      row.parent_kind = kind::kKindDevice;
    }
  }
  // A deletion never creates rows, not even an empty parent.
  if ((row.parent_kind == kind::kKindDevice || row.parent_kind == kind::kKindNoPurge) &&
      !row.parent_table.empty() && !row.deleted) {
    scan::PendingRow parent;
    parent.table = row.parent_table;
    std::optional<bool> parent_stored = StoredRowExists(parent);
    if (!parent_stored) {
      parent_stored =
          QueryId("SELECT Computer_Idn FROM " + row.parent_table + " WHERE Computer_Idn = " + idn)
              .has_value();
    }
    if (!*parent_stored) {
      ExecuteText("INSERT INTO " + row.parent_table + "(Computer_Idn) VALUES(" + idn + ")");
      NoteInserted(parent);
    }
  }
  return {"Computer_Idn", idn};
}

RowKey ScanStore::OwnIdParentKey(scan::PendingRow& row) {
  std::string parent;
  int32_t* cached = nullptr;
  switch (row.table_kind) {
    case kind::kKindNetworkSoftware:
      parent = "NetworkSoftware";
      cached = &network_software_idn_;
      break;
    case kind::kKindCorvane:
      parent = "Corvane";
      cached = &corvane_idn_;
      break;
    case kind::kKindMif:
      parent = "MIF";
      cached = &mif_idn_;
      break;
    default:  // Operating_System and its keyed children
      parent = "Operating_System";
      cached = &operating_system_idn_;
      break;
  }
  const std::string id_column = parent + "_Idn";
  const std::string idn = std::to_string(computer_idn_);
  const std::string parent_query =
      "SELECT " + id_column + " FROM " + parent + " WHERE Computer_Idn = " + idn;
  if (*cached == 0) {
    if (std::optional<int32_t> id = QueryId(parent_query)) {
      *cached = *id;
    } else {
      row.exists = false;
    }
  }
  const bool is_parent = EqualsIgnoringCase(row.table, parent);
  if (*cached == 0 && !is_parent && !row.deleted) {
    ExecuteText("INSERT INTO " + parent + "(Computer_Idn) VALUES(" + idn + ")");
    scan::PendingRow parent_row;
    parent_row.table = parent;
    NoteInserted(parent_row);
    *cached = QueryId(parent_query).value_or(-1);
  }

  // Keyed children of the operating system are always looked up by their
  // key; without one there is nothing to find.
  const bool keyed = row.table_kind == kind::kKindOsKeyedChild || HasKeyValue(row);
  bool found = false;
  if (keyed && !HasKeyValue(row)) {
    found = false;
  } else if (std::optional<bool> stored = StoredRowExists(row)) {
    found = *stored;
  } else if (!keyed) {
    found = QueryId("SELECT " + id_column + " FROM " + row.table + " WHERE Computer_Idn = " + idn)
                .has_value();
  } else if (HasKeyValue(row)) {
    found = QueryId("SELECT " + id_column + " FROM " + row.table + " WHERE Computer_Idn = " + idn +
                    " AND " + row.key_column + " = " + row.key_value)
                .has_value();
  }
  const std::string parent_id = std::to_string(*cached);
  if (found) {
    row.exists = true;
    RowKey key{"Computer_Idn", idn};
    key.Add(id_column, parent_id);
    return key;
  }
  row.exists = false;
  RowKey key{"Computer_Idn", idn};
  if (!is_parent) key.Add(id_column, parent_id);
  // A new child of a bound adapter belongs to the adapter it was read under
  // (the adapters are written first, parents before children).
  if (EqualsIgnoringCase(row.parent_table, "BoundAdapter") && !row.parent_key_value.empty()) {
    const std::optional<int32_t> adapter =
        QueryId("SELECT BoundAdapter_Idn FROM BoundAdapter WHERE Computer_Idn = " + idn +
                " AND Name = " + row.parent_key_value);
    if (adapter) key.Add("BoundAdapter_Idn", std::to_string(*adapter));
  }
  return key;
}

RowKey ScanStore::FamilyRowKey(scan::PendingRow& row) {
  const bool files = row.table_kind == kind::kKindFileInstance;
  const std::string parent = files ? "FileInfoInstance" : "AppSoftwareSuites";
  const std::string id_column = parent + "_Idn";
  int32_t& cached = files ? file_info_instance_idn_ : app_software_suites_idn_;
  const std::string idn = std::to_string(computer_idn_);
  if (cached == 0) {
    if (std::optional<int32_t> id =
            QueryId("SELECT " + id_column + " FROM " + parent + " WHERE Computer_Idn = " + idn)) {
      cached = *id;
    } else {
      row.exists = false;
    }
  }
  std::optional<int32_t> found;
  const SnapshotRecord* record = nullptr;
  std::optional<bool> stored = StoredRowExists(row, &record);
  if (stored && record != nullptr) {
    found = StoredValue(row, *record, id_column).ToInt32();
  }
  if (!stored || (*stored && record == nullptr) || (record != nullptr && !found)) {
    std::string sql = "SELECT " + id_column + " FROM " + row.table + " WHERE Computer_Idn = " + idn;
    if (HasKeyValue(row)) sql += " AND " + row.key_column + " = " + row.key_value;
    found = QueryId(sql);
  }
  if (!found) {
    row.exists = false;
    RowKey key{"Computer_Idn", idn};
    if (!EqualsIgnoringCase(row.table, parent)) key.Add(id_column, std::to_string(cached));
    return key;
  }
  RowKey key{"Computer_Idn", idn};
  key.Add(id_column, std::to_string(*found));
  if (HasKeyValue(row)) key.Add(row.key_column, row.key_value);
  row.exists = true;
  cached = *found;
  return key;
}

RowKey ScanStore::UnmodeledKey(scan::PendingRow& row) {
  const std::string idn = std::to_string(computer_idn_);
  const std::string metaobject = std::to_string(row.metaobject_id);
  RowKey key{"Computer_Idn", idn};
  key.Add("METAOBJATTRRELATIONS_IDN", metaobject);
  std::optional<int32_t> id;
  const SnapshotRecord* record = nullptr;
  std::optional<bool> stored = StoredRowExists(row, &record);
  if (record != nullptr) id = StoredValue(row, *record, "UNMODELEDDATA_IDN").ToInt32();
  if (!stored || *stored != id.has_value()) {
    id = QueryId("SELECT UNMODELEDDATA_IDN FROM UnmodeledData WHERE Computer_Idn = " + idn +
                 " AND METAOBJATTRRELATIONS_IDN = " + metaobject);
  }
  if (!id) {
    row.exists = false;
    return key;
  }
  row.exists = true;
  key.Add("UNMODELEDDATA_IDN", std::to_string(*id));
  return key;
}

// --- Statements ------------------------------------------------------------

std::string ScanStore::DeletionStatement(const scan::PendingRow& row, const RowKey& key,
                                         std::string_view attribute) const {
  if (EqualsIgnoringCase(row.table, "FileInfoInstance") && IsOneOf(attribute, kFileInfoColumns)) {
    return {};
  }
  // An empty condition would reach every device's rows.
  const std::string condition = Condition(key, row);
  if (condition.empty()) return {};
  if (EqualsIgnoringCase(row.table, "UnmodeledData")) {
    return "DELETE FROM " + row.table + " WHERE " + condition;
  }
  if (!row.key_column.empty() && EqualsIgnoringCase(attribute, row.key_column)) {
    // Without its key value the condition would name all of the device's
    // instances rather than the one deleted.
    if (row.key_value.empty()) return {};
    return "DELETE FROM " + row.table + " WHERE " + condition;
  }
  return "UPDATE " + row.table + " SET " + std::string(attribute) + " = NULL WHERE " + condition;
}

void ScanStore::WriteRow(scan::PendingRow& row) {
  // New rows of tables whose keys need no id read back are inserted a few
  // hundred to a statement; every other statement, and every query, writes
  // the queued rows first, so that it sees them.
  const bool batchable =
      !row.deleted && kind_ != db::kDbmsOracle &&
      (row.table_kind == kind::kKindKeyedRow || row.table_kind == kind::kKindDevice ||
       row.table_kind == kind::kKindFileInstance);
  if (!batchable) WriteQueuedInserts();
  const RowKey key = ResolveRowKey(row);
  if (row.deleted) {
    if (row.attributes.empty()) return;
    const std::string sql = DeletionStatement(row, key, row.attributes.front().column);
    if (!sql.empty()) ExecuteText(sql);
    return;
  }
  const Statement statement = row.exists ? UpdateStatement(row, key) : InsertStatement(row, key);
  if (statement.sql.empty()) return;
  if (batchable && !row.exists && !statement.image && !statement.insert_head.empty()) {
    QueueInsert(statement.insert_head, statement.insert_values, statement.sql);
    NoteInserted(row);
    return;
  }
  if (statement.image) {
    ExecuteWithImage(statement.sql, *statement.image);
  } else {
    ExecuteText(statement.sql);
  }
  if (!row.exists) NoteInserted(row);
  // One statement binds one image; a row with several writes the others
  // into the row it has just written, one at a time.
  if (statement.more_images.empty()) return;
  const std::string condition = Condition(key, row);
  if (condition.empty()) return;
  for (const scan::PendingAttribute* image : statement.more_images) {
    ExecuteWithImage("UPDATE " + row.table + " SET " + image->column + " = ? WHERE " + condition,
                     image->literal);
  }
}

// --- Flush -----------------------------------------------------------------

void ScanStore::AppendTableLevels(const std::vector<std::string>& parents,
                                  std::vector<std::string>& expanded,
                                  std::vector<std::string>& order) {
  const std::vector<std::string> level = metaschema_.ChildTables(parents);
  if (level.empty()) return;
  // Each table's children are asked for once: a metaschema whose parents
  // form a cycle would otherwise recurse without end.
  std::vector<std::string> deeper;
  for (const std::string& name : level) {
    if (std::find(expanded.begin(), expanded.end(), name) == expanded.end()) {
      expanded.push_back(name);
      deeper.push_back(name);
    }
  }
  if (!deeper.empty()) AppendTableLevels(deeper, expanded, order);
  order.insert(order.end(), level.begin(), level.end());
}

std::vector<std::string> ScanStore::TableOrder() {
  std::vector<std::string> order;
  std::vector<std::string> expanded = {"COMPUTER"};
  AppendTableLevels({"COMPUTER"}, expanded, order);
  order.insert(order.end(), {"APPSOFTWARE", "COMPONENTS", "COMPUTER"});
  // Built deepest level first; written the other way round, parents first.
  std::reverse(order.begin(), order.end());
  return order;
}

void ScanStore::FlushPendingRows() {
  for (const std::string& table : TableOrder()) {
    // The rows are taken out of the pending set: a table listed at several
    // depths is written at its first, shallowest, occurrence only.
    auto [begin, end] = pending_.equal_range(table);
    std::vector<scan::PendingRow> rows;
    for (auto it = begin; it != end; ++it) rows.push_back(std::move(it->second));
    pending_.erase(begin, end);
    if (!rows.empty() && rows.front().table_kind == kind::kKindFileInstance) {
      PrefetchFileCatalogue(rows);
    }
    for (scan::PendingRow& row : rows) WriteRow(row);
  }
  WriteQueuedInserts();
  catalogue_cache_.clear();
  // Rows of tables outside the metaschema's tree have nowhere to hang.
  pending_.clear();
  pending_by_instance_.clear();
  if (change_recorder_ != nullptr) change_recorder_->WriteRecordedRows();
  XTRACE("Software files of device %d: %.3f s finding instances, %.3f s on the file catalogue",
         static_cast<int>(computer_idn_), file_instance_seconds_, file_catalogue_seconds_);
}

// --- Purge -----------------------------------------------------------------

void ScanStore::PurgeUnseenValues() {
  if (!snapshot_loaded_ || has_deletions_) return;
  std::string last_table;
  std::string last_key;
  int32_t last_metaobject = 0;
  bool deleted_before = false;
  // Tables the scan never touched are read now: all of their rows go.
  ReadAllTables();
  for (auto& [table_name, table] : snapshot_) {
    if (EqualsIgnoringCase(table_name, "ComputerVulnerability") || table.records.empty()) continue;
    if (!has_software_section_ && IsOneOf(table_name, kSoftwareTables)) continue;

    std::vector<std::optional<db::AttributeInfo>> attributes;
    attributes.reserve(table.columns.size());
    for (const std::string& column : table.columns) {
      attributes.push_back(metaschema_.LookupColumn(table_name, column));
    }
    int metaobject_column = -1;
    int key_column = -1;
    for (size_t i = 0; i < table.columns.size(); ++i) {
      const std::string& column = table.columns[i];
      if (EqualsIgnoringCase(column, "METAOBJATTRRELATIONS_IDN")) {
        metaobject_column = static_cast<int>(i);
      }
      if (key_column < 0 && !IsIdColumn(column) && !EqualsIgnoringCase(column, "SOFTWARETYPE") &&
          attributes[i] && attributes[i]->is_key) {
        key_column = static_cast<int>(i);
      }
    }

    for (const SnapshotRecord& record : table.records) {
      // Each record names its own unmodeled attribute, whatever the order of
      // its columns.
      const int32_t metaobject_id =
          metaobject_column < 0 ? 0 : record.cells[metaobject_column].value.ToInt32().value_or(0);
      for (size_t i = 0; i < table.columns.size(); ++i) {
        const SnapshotCell& cell = record.cells[i];
        const std::string& column = table.columns[i];
        if (cell.seen || cell.value.is_null_like()) continue;
        if (EqualsIgnoringCase(column, "LastUpdInvSvr")) continue;
        if (!has_software_section_ && (EqualsIgnoringCase(column, "SWLastScanDate") ||
                                       EqualsIgnoringCase(column, "SWNumFiles")))
          continue;
        if (IsIdColumn(column)) continue;
        const std::optional<db::AttributeInfo>& info = attributes[i];
        if (!info || info->table_kind == kind::kKindNoPurge) continue;

        scan::PendingRow row;
        row.table = info->table;
        row.parent_table = info->parent_table;
        row.table_kind = info->table_kind;
        row.parent_kind = info->parent_kind;
        row.image = info->data_type == db::kValueBinary;
        row.deleted = true;
        row.metaobject_id = metaobject_id;
        row.attributes.push_back({info->column, std::string(), info->data_type});
        if (key_column >= 0) {
          const db::AttributeInfo& key = *attributes[key_column];
          row.key_column = key.column;
          // The stored key exactly as stored: a row stored with blanks
          // around its key (refused by the attribute writer and replaced by
          // a new row under the trimmed key) is the one to go, not its
          // replacement.
          const db::DbValue& stored_key = record.cells[key_column].value;
          row.key_value =
              key.data_type == db::kValueText && stored_key.type() == db::DbValue::Type::kText
                  ? "'" + db::DoubleSingleQuotes(stored_key.text()) + "'"
                  : db::FormatSqlValue(key.data_type, stored_key, kind_, nullptr);
          row.pk_value_type =
              key.data_type == db::kValueNumber ? scan::kKeyInteger : scan::kKeyText;
          row.has_key = true;
        }
        // The rest of a row just deleted is gone with it. Unmodeled rows
        // share the (empty) key and are told apart by their attribute.
        if (deleted_before && EqualsIgnoringCase(row.table, last_table) &&
            row.key_value == last_key && row.metaobject_id == last_metaobject) {
          continue;
        }
        const RowKey row_key = ResolveRowKey(row);
        const std::string sql = DeletionStatement(row, row_key, row.attributes.front().column);
        if (sql.empty()) continue;
        ExecuteText(sql);
        if (sql.starts_with("DELETE ")) {
          deleted_before = true;
          last_table = row.table;
          last_key = row.key_value;
          last_metaobject = row.metaobject_id;
        }
      }
    }
  }
}

}  // namespace corvane::store
