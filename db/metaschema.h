// The metaschema: where each attribute of a scan is stored, and which tables
// hold per-device rows.
//
// A Metaschema wraps the metadata component (metadata.h), turns its answers
// into AttributeInfo records and discovers the per-device tables from the
// database catalogue. One per device processor.
//
// Ownership: borrows the Connection given to Attach; it must outlive the
// Metaschema (or be re-attached). Lookups return records owned by the
// caller.
// Errors: Load and Refresh catch DbError and answer false; lookups raise
// DbError when the component fails (an unknown attribute answers nullopt).
// Thread safety: none; belongs to one processing thread.

#ifndef CORVANE_DB_METASCHEMA_H_
#define CORVANE_DB_METASCHEMA_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/dbms.h"
#include "db/metadata.h"
#include "db/value.h"

namespace corvane::db {

class Connection;

// The lookup option the device processor attaches with.
inline constexpr int kDefaultLookupOption = 113;

// One looked-up attribute.
struct AttributeInfo {
  std::string table;
  std::string column;
  std::string parent_table;  // empty when the metaschema names none
  int32_t table_kind = 0;
  int32_t parent_kind = 0;
  int32_t metaobject_id = 0;  // METAOBJATTRRELATIONS_IDN
  bool is_key = false;        // the component's key attribute
  std::string dotted_name;    // component path "." attribute
  DataType data_type = kValueText;
  bool marker = false;  // changes count as identity changes
  int32_t track_flags = 0;
  std::string display_name;
};

// The DataType of a metaschema type name: "CHAR", "VARCHAR", "TEXT" text;
// "INT" number; "IMAGE" binary; "DATETIME" date (ignoring case). Other names
// are mapped by the column-type rules of the dialect (INTEGER, BLOB,
// TIMESTAMP, ...); whatever remains is text.
DataType DataTypeOfTypeName(std::string_view type_name);

// The change check: the metaschema counts as changed unless both stamps are
// dates and the fresh one is not later than the saved one. Pure.
bool MetaschemaChanged(const DbValue& fresh_stamp, const DbValue& saved_stamp);

class Metaschema {
 public:
  Metaschema();
  ~Metaschema();
  Metaschema(const Metaschema&) = delete;
  Metaschema& operator=(const Metaschema&) = delete;

  // Takes the connection (null: nothing changes, false). The kind is kept
  // when it is one this server writes SQL for (SQL Server, Oracle, SQLite,
  // PostgreSQL; result true), otherwise the previous kind stays (false).
  // The lookup option is stored in either case.
  bool Attach(Connection* connection, DbmsKind kind, int lookup_option);

  // Creates a fresh metadata component, loads it and discovers the device
  // tables (tables, then views). False on any database failure.
  bool Load();
  // Reloads the component's metadata; the device tables stay as found by
  // the load.
  bool Refresh();
  // The metaschema stamp; when the component has none yet it is asked to
  // refresh it and is read again. False when no date came back.
  bool ReadStamp(DbValue& stamp);

  std::optional<AttributeInfo> LookupAttribute(std::string_view component_path,
                                               std::string_view attribute) const;
  std::optional<AttributeInfo> LookupColumn(std::string_view table, std::string_view column) const;
  // The key columns of `table` (CV_MKEYS).
  std::vector<std::string> KeyList(std::string_view table) const;

  // Names of the tables and views with a Computer_Idn column, FileInfo and
  // FileInfoInstance excepted, spelled as the catalogue stores them.
  const std::vector<std::string>& device_tables() const { return device_tables_; }
  bool loaded() const { return loaded_; }
  DbmsKind dbms_kind() const { return dbms_kind_; }
  int lookup_option() const { return lookup_option_; }
  // The computer name of the machine running the server, read at load.
  const std::string& server_name() const { return server_name_; }
  Connection* connection() const { return connection_; }
  // The component itself, for maintenance and names; null before a load.
  MetadataComponent* metadata() const { return metadata_.get(); }

 private:
  void DiscoverDeviceTables(std::string_view table_type);
  AttributeInfo ToAttributeInfo(const MetadataRecord& record, std::string_view attribute) const;

  bool loaded_ = false;
  Connection* connection_ = nullptr;
  DbmsKind dbms_kind_ = kDbmsUnknown;
  int lookup_option_ = kDefaultLookupOption;
  std::vector<std::string> device_tables_;
  std::string server_name_;
  std::unique_ptr<MetadataComponent> metadata_;
};

}  // namespace corvane::db

#endif  // CORVANE_DB_METASCHEMA_H_
