#include "db/metadata.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "Common/Include/ascii_case.h"
#include "db/connection.h"
#include "db/dialect.h"
#include "db/error.h"
#include "db/schema.h"

namespace corvane::db {
namespace {

namespace meta = schema::meta;

std::string Trimmed(std::string_view text) {
  const auto is_blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::string PairKey(std::string_view first, std::string_view second) {
  return Lower(first) + '\n' + Lower(second);
}

int32_t IntField(const Recordset& rows, std::string_view name) {
  return rows.Value(name).ToInt32().value_or(0);
}

std::string TextField(const Recordset& rows, std::string_view name) {
  return rows.Value(name).ToText();
}

void AppendName(std::string& names, std::string_view separator, const MetadataRecord& record) {
  if (!names.empty()) names += separator;
  names += record.component_path;
  names += '.';
  names += record.attribute;
}

// Runs `body` in a transaction of its own: committed when it returns,
// rolled back when it raises (the original failure travels on).
template <typename Body>
void InTransaction(Connection& db, Body body) {
  db.BeginTransaction(true);
  try {
    body();
    db.Commit(true);
  } catch (...) {
    try {
      db.Rollback(true);
    } catch (const DbError&) {
      // The original failure is the one worth reporting.
    }
    throw;
  }
}

}  // namespace

void MetadataComponent::SetConnection(Connection* connection, DbmsKind kind) {
  connection_ = connection;
  kind_ = kind;
}

Connection& MetadataComponent::connection() const {
  if (connection_ == nullptr || !connection_->is_open())
    throw DbError(kErrorFail, "Metadata component: no open database connection");
  return *connection_;
}

void MetadataComponent::Load() {
  Reset();
  Connection& db = connection();
  std::vector<MetadataRecord> records;
  Recordset rows = db.Query("SELECT * FROM " + std::string(meta::kRelationsTable) + " ORDER BY " +
                            std::string(meta::kIdn));
  for (; !rows.AtEnd(); rows.Next()) {
    MetadataRecord record;
    record.id = IntField(rows, meta::kIdn);
    record.component_path = TextField(rows, meta::kComponentPath);
    record.attribute = TextField(rows, meta::kAttributeName);
    record.table = TextField(rows, meta::kTableName);
    record.column = TextField(rows, meta::kColumnName);
    const DbValue& parent = rows.Value(meta::kParentTable);
    record.parent_table = parent.is_null_like() || parent.ToText().empty()
                              ? DbValue::Null()
                              : DbValue::Text(parent.ToText());
    record.type_name = TextField(rows, meta::kTypeName);
    record.table_kind = IntField(rows, meta::kTableKind);
    record.parent_kind = IntField(rows, meta::kParentKind);
    record.key_value = IntField(rows, meta::kKeyFlag);
    record.marker_value = IntField(rows, meta::kMarker);
    record.track_flags = IntField(rows, meta::kTrackFlags);
    record.display_name = TextField(rows, meta::kDisplayName);
    records.push_back(std::move(record));
  }
  rows.Close();

  std::map<std::string, std::vector<std::string>> key_lists;
  Recordset keys = db.Query("SELECT " + std::string(meta::kKeyTable) + ", " +
                            std::string(meta::kKeyList) + " FROM " + std::string(meta::kKeysTable));
  for (; !keys.AtEnd(); keys.Next()) {
    std::vector<std::string> columns;
    const std::string list = keys.Value(1).ToText();
    size_t start = 0;
    while (start <= list.size()) {
      size_t comma = list.find(',', start);
      if (comma == std::string::npos) comma = list.size();
      std::string column = Trimmed(std::string_view(list).substr(start, comma - start));
      if (!column.empty()) columns.push_back(std::move(column));
      start = comma + 1;
    }
    key_lists[Lower(Trimmed(keys.Value(0).ToText()))] = std::move(columns);
  }

  records_ = std::move(records);
  for (size_t i = 0; i < records_.size(); ++i) {
    by_path_.emplace(PairKey(records_[i].component_path, records_[i].attribute), i);
    // The first attribute of a column answers for it (emplace keeps it).
    by_column_.emplace(PairKey(records_[i].table, records_[i].column), i);
  }
  key_lists_ = std::move(key_lists);
  ++generation_;
  loaded_ = true;
}

void MetadataComponent::Reset() {
  ++generation_;
  loaded_ = false;
  records_.clear();
  by_path_.clear();
  by_column_.clear();
  key_lists_.clear();
}

std::optional<MetadataRecord> MetadataComponent::AttributeByPath(std::string_view component_path,
                                                                 std::string_view attribute,
                                                                 int /*lookup_option*/) const {
  if (!loaded_) throw DbError(kErrorFail, "Metadata component: the metaschema is not loaded");
  auto found = by_path_.find(PairKey(component_path, attribute));
  if (found == by_path_.end()) return std::nullopt;
  return records_[found->second];
}

std::optional<MetadataRecord> MetadataComponent::AttributeByColumn(std::string_view table,
                                                                   std::string_view column,
                                                                   int /*lookup_option*/) const {
  if (!loaded_) throw DbError(kErrorFail, "Metadata component: the metaschema is not loaded");
  auto found = by_column_.find(PairKey(table, column));
  if (found == by_column_.end()) return std::nullopt;
  return records_[found->second];
}

std::vector<std::string> MetadataComponent::KeyList(std::string_view table) const {
  auto found = key_lists_.find(Lower(table));
  return found == key_lists_.end() ? std::vector<std::string>{} : found->second;
}

std::vector<std::string> MetadataComponent::ChildTables(
    const std::vector<std::string>& upper_parents) const {
  std::vector<std::string> children;
  for (const MetadataRecord& record : records_) {
    if (record.parent_table.is_null_like()) continue;
    const std::string parent = Upper(record.parent_table.ToText());
    if (std::find(upper_parents.begin(), upper_parents.end(), parent) == upper_parents.end()) {
      continue;
    }
    std::string table = Upper(Trimmed(record.table));
    if (table.empty()) continue;
    if (std::find(children.begin(), children.end(), table) == children.end()) {
      children.push_back(std::move(table));
    }
  }
  return children;
}

void MetadataComponent::NameListA(std::string_view table, std::string_view separator,
                                  std::string& names, int track_mask, int max_count) const {
  names.clear();
  int count = 0;
  for (const MetadataRecord& record : records_) {
    if (max_count > 0 && count == max_count) break;
    if (Lower(record.table) != Lower(table)) continue;
    if (track_mask != 0 && (record.track_flags & track_mask) == 0) continue;
    AppendName(names, separator, record);
    ++count;
  }
}

void MetadataComponent::NameListB(std::string_view component_prefix, std::string_view attribute,
                                  std::string_view separator, std::string& names, int table_kind,
                                  int max_count) const {
  names.clear();
  int count = 0;
  for (const MetadataRecord& record : records_) {
    if (max_count > 0 && count == max_count) break;
    if (!StartsWithIgnoringCase(record.component_path, component_prefix)) continue;
    if (!attribute.empty() && Lower(record.attribute) != Lower(attribute)) continue;
    if (table_kind != -1 && record.table_kind != table_kind) continue;
    AppendName(names, separator, record);
    ++count;
  }
}

bool MetadataComponent::NameByNumber(int32_t computer_idn, std::string& name) const {
  Recordset rows =
      connection().Query("SELECT DeviceName, DeviceId FROM Computer WHERE Computer_Idn = " +
                         std::to_string(computer_idn));
  if (rows.AtEnd()) return false;
  for (int field = 0; field < 2; ++field) {
    std::string text = Trimmed(rows.Value(field).ToText());
    if (!text.empty()) {
      name = std::move(text);
      return true;
    }
  }
  return false;
}

std::vector<std::string> MetadataComponent::PerDeviceTables() const {
  Connection& db = connection();
  std::vector<std::string> tables;
  for (const std::string& table : db.Tables("TABLE")) {
    if (Lower(table) == "computer") continue;
    for (const Connection::Column& column : db.Columns(table)) {
      if (Lower(column.name) == "computer_idn") {
        tables.push_back(table);
        break;
      }
    }
  }
  return tables;
}

void MetadataComponent::Maintain() {
  Connection& db = connection();
  const std::vector<std::string> tables = PerDeviceTables();
  InTransaction(db, [&] {
    for (const std::string& table : tables) {
      db.Execute("DELETE FROM " + table +
                 " WHERE Computer_Idn NOT IN (SELECT Computer_Idn FROM Computer)");
    }
  });
  // Statistics are refreshed outside the transaction: several DBMSs refuse
  // (or serialise) them inside one.
  switch (kind_) {
    case kDbmsSqlite:
    case kDbmsPostgres:
      db.Execute("ANALYZE");
      break;
    case kDbmsSqlServer:
      db.Execute("EXEC sp_updatestats");
      break;
    default:
      // Oracle and others gather statistics through their own scheduled jobs.
      break;
  }
}

void MetadataComponent::PurgeOldData(int32_t max_scan_age_days) {
  if (max_scan_age_days <= 0) return;
  Connection& db = connection();
  const int64_t cutoff =
      static_cast<int64_t>(std::time(nullptr)) - static_cast<int64_t>(max_scan_age_days) * 86400;
  const std::string cutoff_literal = DateLiteral(cutoff, kind_);
  const std::string stale_devices =
      "SELECT Computer_Idn FROM Computer WHERE LastUpdInvSvr IS NOT NULL AND LastUpdInvSvr < " +
      cutoff_literal;
  const std::vector<std::string> tables = PerDeviceTables();
  InTransaction(db, [&] {
    for (const std::string& table : tables) {
      if (Lower(table) == "history") continue;  // history ages by its own date below
      db.Execute("DELETE FROM " + table + " WHERE Computer_Idn IN (" + stale_devices + ")");
    }
    db.Execute("DELETE FROM HISTORY WHERE CHANGEDATE < " + cutoff_literal);
    db.Execute("DELETE FROM Computer WHERE Computer_Idn IN (" + stale_devices + ")");
  });
}

DbValue MetadataComponent::Stamp() const {
  Recordset rows = connection().Query("SELECT " + std::string(meta::kStamp) + " FROM " +
                                      std::string(meta::kSystemsTable) + " WHERE " +
                                      std::string(meta::kSystemIdn) + " = 0");
  if (rows.AtEnd()) return DbValue::Null();
  return rows.Value(0);
}

void MetadataComponent::RefreshStamp() {
  connection().Execute(
      "UPDATE " + std::string(meta::kSystemsTable) + " SET " + std::string(meta::kStamp) + " = " +
      DateLiteral(static_cast<int64_t>(std::time(nullptr)), kind_) + " WHERE " +
      std::string(meta::kSystemIdn) + " = 0 AND " + std::string(meta::kStamp) + " IS NULL");
}

}  // namespace corvane::db
