#include "db/metaschema.h"

#include <cctype>

#include "db/connection.h"
#include "db/dialect.h"
#include "db/error.h"
#include "platform/paths.h"

namespace corvane::db {
namespace {

// The catalogue is asked for room for this many tables at first; most
// inventory databases have fewer.
constexpr size_t kInitialDeviceTableRoom = 130;

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
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

Metaschema::Metaschema() { device_tables_.reserve(kInitialDeviceTableRoom); }

Metaschema::~Metaschema() = default;

bool Metaschema::Attach(Connection* connection, DbmsKind kind, int lookup_option) {
  if (connection == nullptr) return false;
  connection_ = connection;
  lookup_option_ = lookup_option;
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
    metadata_->SetConnection(connection_, dbms_kind_);
    metadata_->Load();
    device_tables_.clear();
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
    if (upper == "FILEINFO" || upper == "FILEINFOINSTANCE") continue;
    for (const Connection::Column& column : connection_->Columns(table)) {
      if (Upper(column.name) == "COMPUTER_IDN") {
        device_tables_.push_back(table);
        break;
      }
    }
  }
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
  if (metadata_ == nullptr) throw DbError(kErrorFail, "Metaschema: not loaded");
  std::optional<MetadataRecord> record =
      metadata_->AttributeByPath(component_path, attribute, lookup_option_);
  if (!record) return std::nullopt;
  return ToAttributeInfo(*record, attribute);
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

}  // namespace corvane::db
