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
//
// The change history: InsertHistoryRow writes one HISTORY row for a changed
// tracked attribute on the metaschema's connection. It never raises: a row
// that cannot be written (no connection, a key type without a column, a
// failing statement) answers false. A failed insert costs only that row:
// the drivers in use (SQLite, psqlODBC) roll back just the failing
// statement, so the scan's transaction goes on.

#ifndef CORVANE_DB_METASCHEMA_H_
#define CORVANE_DB_METASCHEMA_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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

// PkValueType of an instance's key: how HISTORY stores it.
inline constexpr int kPkValueNone = 0;  // the instance has no key value
inline constexpr int kPkValueText = 2;
inline constexpr int kPkValueInteger = 3;

// The INSERT of one HISTORY row recording a change of `attribute` of device
// `computer_idn`, made at `change_time` (seconds since 1970). Pure.
//  - CHANGEDATE is the ODBC escape {ts 'YYYY-MM-DD HH:MM:SS'} in local time
//    on every database (Oracle included).
//  - The key: an empty `key_value` gives PKVALTYPE 0 alone; kPkValueText
//    writes the key as given, quotes doubled, to PKVALSTR; kPkValueInteger
//    writes it read as a decimal integer (leading blanks, sign and digits;
//    0 without digits; saturated at the 32-bit limits) to PKVALINT. Any
//    other key type gives nullopt: the change gets no row.
//  - The values by the attribute's DataType, the new one first, each left
//    out (so NULL) when it is empty, null or an error:
//      text    NEWSTR, OLDSTR as SqlQuote literals;
//      number  NEWINT, OLDINT: numbers converted to 32 bits, texts read by
//              their digits as the component column is written; a value
//              that gives no 32-bit number is left out;
//      date    NEWDATE, OLDDATE: the date text (as the store formats it for
//              the dialect) in the dialect's date literal, TO_DATE on Oracle;
//      binary  NEWIMG, OLDIMG: the value's bytes (a text's UTF-8 bytes) as
//              the dialect's hexadecimal literal: X'..' (SQLite),
//              decode('..', 'hex') (PostgreSQL), HEXTORAW('..') (Oracle),
//              0x.. (SQL Server and the rest). Statements stay plain text,
//              like every other statement of the history, at the price of
//              twice the value's size in statement text.
//    Other DataTypes write no value columns.
// The column list and the value list of that row ("COMPUTER_IDN, ...",
// "12, ..."), for statements that insert several rows at once.
struct HistoryRowText {
  std::string columns;
  std::string values;
};
std::optional<HistoryRowText> HistoryRow(DbmsKind kind, int32_t computer_idn,
                                         const DbValue& old_value, const DbValue& new_value,
                                         const AttributeInfo& attribute, int pk_value_type,
                                         std::string_view key_value, int64_t change_time);

// INSERTs of the rows, in their order: rows of one column list share a
// multi-row INSERT of at most `rows_per_statement` rows (1 on Oracle, which
// has no multi-row VALUES). Pure.
std::vector<std::string> HistoryInsertStatements(DbmsKind kind,
                                                 const std::vector<HistoryRowText>& rows,
                                                 size_t rows_per_statement);

std::optional<std::string> HistoryInsertStatement(DbmsKind kind, int32_t computer_idn,
                                                  const DbValue& old_value,
                                                  const DbValue& new_value,
                                                  const AttributeInfo& attribute, int pk_value_type,
                                                  std::string_view key_value, int64_t change_time);

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
  // The same answer without a copy, from a cache of earlier answers while the
  // metadata is the same (every scan asks for the same few dozen attributes
  // thousands of times). Null when there is none. The record stays valid
  // until the metadata is loaded, refreshed or reattached.
  const AttributeInfo* FindAttribute(std::string_view component_path,
                                     std::string_view attribute) const;
  std::optional<AttributeInfo> LookupColumn(std::string_view table, std::string_view column) const;
  // The key columns of `table` (CV_MKEYS).
  std::vector<std::string> KeyList(std::string_view table) const;
  // The tables whose attributes name one of `upper_parents` as their parent
  // table, in upper case (the metaschema's parent relations, as loaded).
  std::vector<std::string> ChildTables(const std::vector<std::string>& upper_parents) const;

  // Writes the HISTORY row of HistoryInsertStatement, dated now, with this
  // metaschema's kind on its connection. True when the row was written;
  // every failure is swallowed and answers false.
  bool InsertHistoryRow(int32_t computer_idn, const DbValue& old_value, const DbValue& new_value,
                        const AttributeInfo& attribute, int pk_value_type,
                        const std::string& key_value);
  // Writes the rows with HistoryInsertStatements, a few statements for a
  // scan's thousand changes. True when all were written; a failure loses the
  // rows of the failing statement only, never the caller's transaction (on
  // PostgreSQL, where a failed statement would abort the transaction, each
  // statement runs under a savepoint of its own).
  bool InsertHistoryRows(const std::vector<HistoryRowText>& rows);

  // The length a bounded text column holds, as the database catalogue
  // reported it at load (table and column compared ignoring case); 0 for
  // columns of other types, unbounded text and columns it does not list.
  int TextWidth(std::string_view table, std::string_view column) const;

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
  // "TABLE\nCOLUMN" in upper case to the column's text width.
  std::unordered_map<std::string, int> text_widths_;
  std::string server_name_;
  std::unique_ptr<MetadataComponent> metadata_;
  // "component\nattribute" as asked, to the answer; valid for the metadata
  // generation and lookup option it was filled with.
  mutable std::unordered_map<std::string, std::optional<AttributeInfo>> attribute_cache_;
  mutable const MetadataComponent* cached_metadata_ = nullptr;
  mutable uint64_t cached_generation_ = 0;
  mutable int cached_lookup_option_ = 0;
};

}  // namespace corvane::db

#endif  // CORVANE_DB_METASCHEMA_H_
