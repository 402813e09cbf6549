#include "db/metaschema.h"

#include <algorithm>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <exception>

#include "Common/Include/ascii_case.h"
#include "db/connection.h"
#include "db/dialect.h"
#include "db/error.h"
#include "platform/paths.h"

namespace corvane::db {
namespace {

// The catalogue is asked for room for this many tables at first; most
// inventory databases have fewer.
constexpr size_t kInitialDeviceTableRoom = 130;

// An integer key as the scanner sends it, read the way the C library reads
// a decimal number; out-of-range keys stick at the 32-bit limits rather
// than wrap into some other instance's number.
int32_t KeyNumber(std::string_view key) {
  const std::string text(key);
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// A number value of the history as a 32-bit integer. Scanned texts are read
// by their digits, as FormatSqlValue writes the component column, so that
// the history agrees with what was stored; nullopt when that gives no
// number.
std::optional<int32_t> HistoryNumber(const DbValue& value) {
  if (value.type() != DbValue::Type::kText) return value.ToInt32();
  // Digits alone never read as -1: that literal stands for a text without
  // digits, such as the marker of a deleted item.
  const std::string literal = FormatSqlValue(kValueNumber, value, kDbmsUnknown, nullptr);
  if (literal == "null" || literal == "-1") return std::nullopt;
  return DbValue::Text(literal).ToInt32();
}

std::string HexLiteral(const DbValue& value, DbmsKind kind) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  auto append = [&hex](unsigned char byte) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  };
  if (value.type() == DbValue::Type::kBytes) {
    hex.reserve(value.bytes().size() * 2);
    for (uint8_t byte : value.bytes()) append(byte);
  } else {
    const std::string text = value.ToText();
    hex.reserve(text.size() * 2);
    for (char c : text) append(static_cast<unsigned char>(c));
  }
  switch (kind) {
    case kDbmsSqlite:
      return "X'" + hex + "'";
    case kDbmsPostgres:
      return "decode('" + hex + "', 'hex')";
    case kDbmsOracle:
      return "HEXTORAW('" + hex + "')";
    default:
      return "0x" + hex;
  }
}

// Appends one value column of the history row; nothing for a value that is
// empty, null or an error, or that the column cannot take.
void AppendHistoryValue(DataType type, std::string_view column, const DbValue& value, DbmsKind kind,
                        std::string& columns, std::string& values) {
  if (value.is_null_like()) return;
  switch (type) {
    case kValueText:
    case kValueDate:
      AppendColumnValue(type, column, value, 0, kind, columns, values);
      return;
    case kValueNumber:
      if (std::optional<int32_t> number = HistoryNumber(value))
        AppendColumnValue(type, column, value, *number, kind, columns, values);
      return;
    case kValueBinary:
      columns += ", ";
      columns += column;
      values += ", ";
      values += HexLiteral(value, kind);
      return;
  }
}

}  // namespace

DataType DataTypeOfTypeName(std::string_view type_name) {
  const std::string name = Upper(type_name);
  if (name == "CHAR" || name == "VARCHAR" || name == "TEXT") return kValueText;
  if (name == "INT") return kValueNumber;
  if (name == "IMAGE") return kValueBinary;
  if (name == "DATETIME") return kValueDate;
  return DataTypeForColumnType(type_name).value_or(kValueText);
}

bool MetaschemaChanged(const DbValue& fresh_stamp, const DbValue& saved_stamp) {
  if (fresh_stamp.type() != DbValue::Type::kDate || saved_stamp.type() != DbValue::Type::kDate)
    return true;
  return fresh_stamp.date() > saved_stamp.date();
}

std::optional<HistoryRowText> HistoryRow(DbmsKind kind, int32_t computer_idn,
                                         const DbValue& old_value, const DbValue& new_value,
                                         const AttributeInfo& attribute, int pk_value_type,
                                         std::string_view key_value, int64_t change_time) {
  std::string columns = "COMPUTER_IDN, METAOBJATTRRELATIONS_IDN, CHANGEDATE";
  // The change date is written as the ODBC escape on every database.
  std::string values = std::to_string(computer_idn) + ", " +
                       std::to_string(attribute.metaobject_id) + ", " +
                       DateLiteral(change_time, kDbmsSqlServer);
  if (key_value.empty()) {
    columns += ", PKVALTYPE";
    values += ", " + std::to_string(kPkValueNone);
  } else if (pk_value_type == kPkValueText) {
    columns += ", PKVALTYPE, PKVALSTR";
    values += ", " + std::to_string(kPkValueText) + ", '" + DoubleSingleQuotes(key_value) + "'";
  } else if (pk_value_type == kPkValueInteger) {
    columns += ", PKVALTYPE, PKVALINT";
    values += ", " + std::to_string(kPkValueInteger) + ", " + std::to_string(KeyNumber(key_value));
  } else {
    return std::nullopt;
  }

  // The value columns of each DataType, new before old.
  struct ValueColumns {
    DataType type;
    const char* new_column;
    const char* old_column;
  };
  static constexpr ValueColumns kValueColumns[] = {
      {kValueText, "NEWSTR", "OLDSTR"},
      {kValueNumber, "NEWINT", "OLDINT"},
      {kValueDate, "NEWDATE", "OLDDATE"},
      {kValueBinary, "NEWIMG", "OLDIMG"},
  };
  for (const ValueColumns& pair : kValueColumns) {
    if (pair.type != attribute.data_type) continue;
    AppendHistoryValue(pair.type, pair.new_column, new_value, kind, columns, values);
    AppendHistoryValue(pair.type, pair.old_column, old_value, kind, columns, values);
  }
  return HistoryRowText{std::move(columns), std::move(values)};
}

std::vector<std::string> HistoryInsertStatements(DbmsKind kind,
                                                 const std::vector<HistoryRowText>& rows,
                                                 size_t rows_per_statement) {
  if (kind == kDbmsOracle || rows_per_statement == 0) rows_per_statement = 1;
  // Column lists in the order they first appear, each with its rows.
  std::vector<std::pair<const std::string*, std::vector<const std::string*>>> groups;
  for (const HistoryRowText& row : rows) {
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&row](const auto& entry) { return *entry.first == row.columns; });
    if (group == groups.end()) group = groups.insert(groups.end(), {&row.columns, {}});
    group->second.push_back(&row.values);
  }
  std::vector<std::string> statements;
  for (const auto& [columns, values] : groups) {
    for (size_t first = 0; first < values.size(); first += rows_per_statement) {
      std::string sql = "INSERT INTO HISTORY (" + *columns + ") VALUES ";
      const size_t last = std::min(values.size(), first + rows_per_statement);
      for (size_t i = first; i < last; ++i) {
        if (i > first) sql += ", ";
        sql += "(" + *values[i] + ")";
      }
      statements.push_back(std::move(sql));
    }
  }
  return statements;
}

std::optional<std::string> HistoryInsertStatement(DbmsKind kind, int32_t computer_idn,
                                                  const DbValue& old_value,
                                                  const DbValue& new_value,
                                                  const AttributeInfo& attribute, int pk_value_type,
                                                  std::string_view key_value, int64_t change_time) {
  std::optional<HistoryRowText> row = HistoryRow(kind, computer_idn, old_value, new_value,
                                                 attribute, pk_value_type, key_value, change_time);
  if (!row) return std::nullopt;
  return "INSERT INTO HISTORY (" + row->columns + ") VALUES (" + row->values + ")";
}

Metaschema::Metaschema() { device_tables_.reserve(kInitialDeviceTableRoom); }

Metaschema::~Metaschema() = default;

bool Metaschema::Attach(Connection* connection, DbmsKind kind, int lookup_option) {
  if (connection == nullptr) return false;
  connection_ = connection;
  lookup_option_ = lookup_option;
  // A component loaded over an earlier connection reads over this one now:
  // the earlier one may be gone (a reconnection after a database failure).
  if (metadata_ != nullptr) metadata_->SetConnection(connection, kind);
  switch (kind) {
    case kDbmsSqlServer:
    case kDbmsOracle:
    case kDbmsSqlite:
    case kDbmsPostgres:
      dbms_kind_ = kind;
      return true;
    default:
      return false;
  }
}

bool Metaschema::Load() {
  try {
    metadata_ = std::make_unique<MetadataComponent>();
    // The new component may live where the old one did.
    cached_metadata_ = nullptr;
    metadata_->SetConnection(connection_, dbms_kind_);
    metadata_->Load();
    device_tables_.clear();
    text_widths_.clear();
    DiscoverDeviceTables("TABLE");
    DiscoverDeviceTables("VIEW");
    server_name_ = platform::ComputerName();
    loaded_ = true;
  } catch (const DbError&) {
    loaded_ = false;
  }
  return loaded_;
}

bool Metaschema::Refresh() {
  try {
    if (metadata_ == nullptr) return Load();
    metadata_->Reset();
    metadata_->Load();
    loaded_ = true;
  } catch (const DbError&) {
    loaded_ = false;
  }
  return loaded_;
}

bool Metaschema::ReadStamp(DbValue& stamp) {
  if (metadata_ == nullptr) return false;
  try {
    stamp = metadata_->Stamp();
    if (stamp.is_null_like()) {
      metadata_->RefreshStamp();
      stamp = metadata_->Stamp();
    }
  } catch (const DbError&) {
    stamp = DbValue::Error();
  }
  return !stamp.is_null_like();
}

void Metaschema::DiscoverDeviceTables(std::string_view table_type) {
  for (const std::string& table : connection_->Tables(table_type)) {
    const std::string upper = Upper(table);
    const bool file_table = upper == "FILEINFO" || upper == "FILEINFOINSTANCE";
    bool device_table = false;
    for (const Connection::Column& column : connection_->Columns(table)) {
      const std::string upper_column = Upper(column.name);
      if (upper_column == "COMPUTER_IDN") device_table = true;
      if (column.text_width > 0)
        text_widths_.emplace(upper + '\n' + upper_column, column.text_width);
    }
    if (device_table && !file_table) device_tables_.push_back(table);
  }
}

int Metaschema::TextWidth(std::string_view table, std::string_view column) const {
  auto found = text_widths_.find(Upper(table) + '\n' + Upper(column));
  return found == text_widths_.end() ? 0 : found->second;
}

AttributeInfo Metaschema::ToAttributeInfo(const MetadataRecord& record,
                                          std::string_view attribute) const {
  AttributeInfo info;
  info.table = record.table;
  info.column = record.column;
  info.parent_table = record.parent_table.is_null_like() ? "" : record.parent_table.ToText();
  info.table_kind = record.table_kind;
  info.parent_kind = record.parent_kind;
  info.metaobject_id = record.id;
  info.is_key = record.key_value == 1;
  info.dotted_name = record.component_path + "." + std::string(attribute);
  info.data_type = DataTypeOfTypeName(record.type_name);
  info.marker = record.marker_value == 1;
  info.track_flags = record.track_flags;
  info.display_name = record.display_name.empty() ? info.dotted_name : record.display_name;
  return info;
}

std::optional<AttributeInfo> Metaschema::LookupAttribute(std::string_view component_path,
                                                         std::string_view attribute) const {
  const AttributeInfo* info = FindAttribute(component_path, attribute);
  if (info == nullptr) return std::nullopt;
  return *info;
}

const AttributeInfo* Metaschema::FindAttribute(std::string_view component_path,
                                               std::string_view attribute) const {
  if (metadata_ == nullptr) throw DbError(kErrorFail, "Metaschema: not loaded");
  if (cached_metadata_ != metadata_.get() || cached_generation_ != metadata_->generation() ||
      cached_lookup_option_ != lookup_option_) {
    attribute_cache_.clear();
    cached_metadata_ = metadata_.get();
    cached_generation_ = metadata_->generation();
    cached_lookup_option_ = lookup_option_;
  }
  std::string name;
  name.reserve(component_path.size() + attribute.size() + 1);
  name.append(component_path).append(1, '\n').append(attribute);
  auto cached = attribute_cache_.find(name);
  if (cached == attribute_cache_.end()) {
    std::optional<MetadataRecord> record =
        metadata_->AttributeByPath(component_path, attribute, lookup_option_);
    std::optional<AttributeInfo> info;
    if (record) info = ToAttributeInfo(*record, attribute);
    cached = attribute_cache_.emplace(std::move(name), std::move(info)).first;
  }
  return cached->second ? &*cached->second : nullptr;
}

std::optional<AttributeInfo> Metaschema::LookupColumn(std::string_view table,
                                                      std::string_view column) const {
  if (metadata_ == nullptr) throw DbError(kErrorFail, "Metaschema: not loaded");
  std::optional<MetadataRecord> record =
      metadata_->AttributeByColumn(table, column, lookup_option_);
  if (!record) return std::nullopt;
  return ToAttributeInfo(*record, record->attribute);
}

std::vector<std::string> Metaschema::KeyList(std::string_view table) const {
  if (metadata_ == nullptr) return {};
  return metadata_->KeyList(table);
}

std::vector<std::string> Metaschema::ChildTables(
    const std::vector<std::string>& upper_parents) const {
  if (metadata_ == nullptr) return {};
  return metadata_->ChildTables(upper_parents);
}

bool Metaschema::InsertHistoryRows(const std::vector<HistoryRowText>& rows) {
  // A few hundred rows keep a statement well inside every DBMS's limits on
  // statement length and VALUES rows.
  constexpr size_t kRowsPerStatement = 200;
  if (connection_ == nullptr) return false;
  bool all_written = true;
  for (const std::string& sql : HistoryInsertStatements(dbms_kind_, rows, kRowsPerStatement)) {
    // The savepoint statements answer for themselves: outside a transaction
    // they fail and change nothing.
    const bool guarded = dbms_kind_ == kDbmsPostgres;
    if (guarded) connection_->QuerySingleValue("SAVEPOINT corvane_history");
    try {
      connection_->Execute(sql);
      if (guarded) connection_->QuerySingleValue("RELEASE SAVEPOINT corvane_history");
    } catch (const std::exception&) {
      if (guarded) connection_->QuerySingleValue("ROLLBACK TO SAVEPOINT corvane_history");
      all_written = false;
    }
  }
  return all_written;
}

bool Metaschema::InsertHistoryRow(int32_t computer_idn, const DbValue& old_value,
                                  const DbValue& new_value, const AttributeInfo& attribute,
                                  int pk_value_type, const std::string& key_value) {
  // The history must never cost the device its scan: whatever goes wrong
  // here, including running out of memory, only loses this row.
  try {
    std::optional<HistoryRowText> row =
        HistoryRow(dbms_kind_, computer_idn, old_value, new_value, attribute, pk_value_type,
                   key_value, static_cast<int64_t>(std::time(nullptr)));
    if (!row) return false;
    return InsertHistoryRows({std::move(*row)});
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace corvane::db
