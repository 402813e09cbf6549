// The metadata component: reads the metaschema tables of the inventory
// database (METAOBJATTRRELATIONS, CV_MKEYS, METASYSTEMS) over a connection
// and answers which table and column hold an attribute. It also keeps the
// database's housekeeping (Maintain) and removes stale inventory
// (PurgeOldData).
//
// Ownership: the component borrows the Connection given to SetConnection;
// the connection must outlive it (or be replaced first).
// Errors: every operation that fails raises DbError (code and the driver's
// text, or kErrorFail with a description of its own); an unknown attribute
// is not an error (the lookups answer nullopt).
// Thread safety: none; belongs to one processing thread, like its
// connection.

#ifndef CORVANE_DB_METADATA_H_
#define CORVANE_DB_METADATA_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/dbms.h"
#include "db/value.h"

namespace corvane::db {

class Connection;

// One metaschema row as the component delivers it.
struct MetadataRecord {
  int32_t id = 0;  // METAOBJATTRRELATIONS_IDN
  std::string component_path;
  std::string attribute;
  std::string table;
  std::string column;
  DbValue parent_table;  // Null when the table hangs off nothing
  std::string type_name;
  int32_t table_kind = 0;
  int32_t parent_kind = 0;
  int32_t key_value = 0;     // 1: the component's key attribute
  int32_t marker_value = 0;  // 1: an identity attribute
  int32_t track_flags = 0;
  std::string display_name;
};

class MetadataComponent {
 public:
  MetadataComponent() = default;
  MetadataComponent(const MetadataComponent&) = delete;
  MetadataComponent& operator=(const MetadataComponent&) = delete;

  // `kind` selects the SQL dialect of the date literals it writes.
  void SetConnection(Connection* connection, DbmsKind kind);

  // Reads the metaschema rows and key lists into memory. Raises DbError when
  // there is no connection or the tables cannot be read (not an inventory
  // database).
  void Load();
  // Drops what Load read; lookups answer nothing until the next Load.
  void Reset();
  // Changes with every Load and Reset, so that what callers derived from the
  // records can tell it is stale.
  uint64_t generation() const { return generation_; }

  // The row of `attribute` of `component_path` (both compared ignoring ASCII
  // case). `lookup_option` is accepted for callers that pass one; this
  // component answers the same for every value. nullopt: no such attribute.
  std::optional<MetadataRecord> AttributeByPath(std::string_view component_path,
                                                std::string_view attribute,
                                                int lookup_option) const;
  // The row of the attribute stored in `table`.`column` (ignoring case); the
  // first one when several attributes share a column.
  std::optional<MetadataRecord> AttributeByColumn(std::string_view table, std::string_view column,
                                                  int lookup_option) const;

  // The key columns of `table` from CV_MKEYS ("XPK" + table), trimmed, in
  // their order; empty when the table has no key list.
  std::vector<std::string> KeyList(std::string_view table) const;

  // The distinct upper-case tables of the attributes whose parent table is
  // one of `upper_parents` (compared in upper case), in the order of their
  // first attribute.
  std::vector<std::string> ChildTables(const std::vector<std::string>& upper_parents) const;

  // Diagnostic name lists. A: the dotted names of the attributes stored in
  // `table` whose tracking flags share a bit with `track_mask` (0: all),
  // joined by `separator`, at most `max_count` (0: no limit). B: the same
  // for the attributes whose component path begins with `component_prefix`
  // and, when `attribute` is not empty, carry that name, of TableKind
  // `table_kind` (-1: any).
  void NameListA(std::string_view table, std::string_view separator, std::string& names,
                 int track_mask, int max_count) const;
  void NameListB(std::string_view component_prefix, std::string_view attribute,
                 std::string_view separator, std::string& names, int table_kind,
                 int max_count) const;

  // The display name of device `computer_idn`: its DeviceName, else its
  // DeviceId. False when the device has neither (or no row).
  bool NameByNumber(int32_t computer_idn, std::string& name) const;

  // Housekeeping, in its own transaction: deletes rows of per-device tables
  // whose device row is gone (left behind by a removed device), then lets the
  // DBMS refresh its planner statistics.
  void Maintain();
  // Removes the devices whose last inventory update is older than
  // `max_scan_age_days` days, with all their rows, and the history rows
  // older than that; 0 removes nothing. One transaction.
  void PurgeOldData(int32_t max_scan_age_days);

  // METASYSTEMS.METASTAMP of row 0: a Date, or Null while it was never set.
  DbValue Stamp() const;
  // Sets a missing stamp to the current time, so that Stamp answers a date.
  void RefreshStamp();

 private:
  uint64_t generation_ = 0;
  Connection& connection() const;
  // Every table of the catalogue with a Computer_Idn column, Computer excepted.
  std::vector<std::string> PerDeviceTables() const;

  Connection* connection_ = nullptr;
  DbmsKind kind_ = kDbmsUnknown;
  bool loaded_ = false;
  std::vector<MetadataRecord> records_;
  // Lower-cased "component\nattribute" and "table\ncolumn" to record index.
  std::map<std::string, size_t> by_path_;
  std::map<std::string, size_t> by_column_;
  // Lower-cased table name to its key columns.
  std::map<std::string, std::vector<std::string>> key_lists_;
};

}  // namespace corvane::db

#endif  // CORVANE_DB_METADATA_H_
