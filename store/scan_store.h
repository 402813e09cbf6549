// The scan store: writes one device's scan into the inventory database.
//
// For one scan it keeps an in-memory copy of everything the database holds
// for the device (the snapshot, with a seen mark per stored value), decides
// for every scanned attribute whether it is new, changed or unchanged,
// collects what must be written per component instance (pending rows),
// writes those rows parents first with generated INSERT, UPDATE and DELETE
// statements, and after a full scan removes what the scan no longer reports.
// A text value or instance key longer than its column (by the width the
// database catalogue declares) is cut to fit, at a character boundary, before
// it is compared or written. Software files are split on the way: the
// device's file instance (FileInfoInstance) keeps its path and
// device-specific columns, and is linked to the shared file catalogue
// (FileInfo, one row per file name and size, created on first sight) that
// holds title, vendor and version.
//
// Ownership: borrows the connection and the metaschema of its thread's
// device processor; both must outlive the store. One store per scan.
// Errors: every failing statement, snapshot query or metaschema lookup
// raises db::DbError; nothing is caught here (the caller rolls the scan's
// transaction back). Single-value queries answer EMPTY instead of failing.
// Thread safety: none; belongs to one processing thread.

#ifndef CORVANE_STORE_SCAN_STORE_H_
#define CORVANE_STORE_SCAN_STORE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "db/connection.h"
#include "db/dbms.h"
#include "db/metaschema.h"
#include "db/value.h"
#include "scan/inventory_writer.h"

namespace corvane::store {

// A stored value and its seen mark (set when the scan confirms or replaces
// the value).
struct SnapshotCell {
  db::DbValue value;
  bool seen = false;
};

// One stored row: one cell per column, in the table's column order.
struct SnapshotRecord {
  std::vector<SnapshotCell> cells;
};

// Finds a table's stored rows by the value of one column without walking
// the table: each distinct value names the first row (in the table's order)
// that holds it, as a walk from the front would find it. Texts are indexed
// as trimmed, numbers as 32-bit integers (decimals converted, doubles
// truncated); other values are not indexed.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
struct SnapshotColumnIndex {
  std::unordered_map<std::string, size_t, TextHash, std::equal_to<>> by_text;
  std::unordered_map<int64_t, size_t> by_number;
};

// The stored rows of one table for the device.
struct SnapshotTable {
  std::vector<std::string> columns;  // as the database returns them
  std::vector<SnapshotRecord> records;

  // Lookup aids the store builds on first use, so that finding a column or
  // an instance costs the same for a device of ten rows and of ten thousand.
  std::unordered_map<std::string, int> column_positions;  // upper-case name; first wins
  std::unordered_map<int, SnapshotColumnIndex> column_indexes;
  // The record positions whose key-list columns all hold comparable values;
  // computed once per table and scan.
  std::optional<std::vector<bool>> acceptable;
  // Set while only some instances are read (a delta scan's): the key
  // literals read so far.
  std::optional<std::unordered_set<std::string>> fetched_keys;
};

// Table name (as listed in the metaschema's device tables) to its rows;
// tables without rows for the device have no entry.
using DeviceSnapshot = std::map<std::string, SnapshotTable>;

// Receives the changes of tracked attributes (attributes whose tracking
// flags are not 0): the change history. `old_value` is empty for a value
// that appears; dates come as formatted texts.
class ChangeRecorder {
 public:
  virtual ~ChangeRecorder() = default;
  virtual void RecordChange(int32_t computer_idn, const db::DbValue& old_value,
                            const db::DbValue& new_value, const db::AttributeInfo& attribute,
                            int pk_value_type, const std::string& key_value) = 0;
  // Writes what the recorded changes left to be written, in the scan's
  // transaction; the store calls it once its pending rows are written.
  virtual void WriteRecordedRows() {}
};

// The columns that hang a row off the device row, each with its value's
// SQL literal, in statement order: ("Computer_Idn", "12"),
// ("NetworkSoftware_Idn", "3").
struct RowKey {
  RowKey() = default;
  RowKey(std::string column, std::string value) { Add(std::move(column), std::move(value)); }
  void Add(std::string column, std::string value) {
    parts.emplace_back(std::move(column), std::move(value));
  }
  std::vector<std::pair<std::string, std::string>> parts;
};

class ScanStore : public scan::InventoryWriter {
 public:
  ScanStore(db::Connection& connection, db::DbmsKind kind, db::Metaschema& metaschema);
  ScanStore(const ScanStore&) = delete;
  ScanStore& operator=(const ScanStore&) = delete;

  // --- Per scan (set by the per-device processing).
  // The device's Computer_Idn; below 1 there is no device row.
  void set_computer_idn(int32_t computer_idn) { computer_idn_ = computer_idn; }
  int32_t computer_idn() const { return computer_idn_; }
  // Forgets the cached parent ids, the flags, the counters, the snapshot and
  // the pending rows: the state of a fresh scan.
  void ResetForScan();
  // Texts of the change events.
  void set_event_texts(std::string device_id, std::string device_name,
                       std::string application_name);
  // Where tracked changes go; null (the default) records nothing.
  void set_change_recorder(ChangeRecorder* recorder) { change_recorder_ = recorder; }
  // The "GenerateSQL" copy: every statement executed as text is first
  // written there, followed by CR LF, in the ANSI code page, except the file
  // catalogue's own statements. Null: no copy.
  void set_sql_copy(std::ostream* copy) { sql_copy_ = copy; }
  // Sees every statement the store executes (text, parameterised and parent
  // inserts; not the single-value queries), for statistics and tests.
  void set_statement_observer(std::function<void(std::string_view sql)> observer) {
    statement_observer_ = std::move(observer);
  }

  // Reads the device's stored rows: one "SELECT * FROM <table> WHERE
  // COMPUTER_IDN = <id>" per device table of the metaschema (the change
  // history excepted: nothing is compared with it or purged from it).
  // The tables are listed by one probe and each is read when the scan first
  // touches it (or before the purge), so a delta scan reads only what it
  // changes.
  void LoadSnapshot();
  // For a device whose row this scan's transaction created: it has no stored
  // rows, so the snapshot is known to be empty without a query, and no row
  // needs a query to tell whether it exists.
  void StartNewDevice();
  bool snapshot_loaded() const { return snapshot_loaded_; }
  // The whole snapshot, every table read.
  const DeviceSnapshot& snapshot();

  // --- scan::InventoryWriter.
  void SetHasSoftwareSection(bool value) override { has_software_section_ = value; }
  void SetHasDeletions(bool value) override { has_deletions_ = value; }
  bool WriteAttribute(scan::ScanLine& line) override;
  void AddPendingRow(scan::PendingRow row, bool no_merge) override;
  // Writes the pending rows, parents first, and forgets them.
  void FlushPendingRows() override;
  db::DbmsKind dbms_kind() const override { return kind_; }

  // After the contents of a full scan (snapshot loaded, no deletions):
  // deletes the stored instances and clears the stored attributes the scan
  // did not report.
  void PurgeUnseenValues();

  // --- Results of the scan.
  bool has_software_section() const { return has_software_section_; }
  bool has_deletions() const { return has_deletions_; }
  // Modifications of identity (marker) attributes.
  uint32_t identity_changes() const { return identity_changes_; }
  // Modifications made before the software section.
  uint32_t hardware_changes() const { return hardware_changes_; }
  // Text values and instance keys longer than their column (by the width
  // the database catalogue gives it), cut at a character boundary to fit.
  uint32_t values_cut() const { return values_cut_; }
  // Duration of the most recent flushed statement, in seconds.
  double last_statement_seconds() const { return last_statement_seconds_; }
  // Seconds spent in this scan finding the rows of file instances and
  // suites, and linking file instances to the file catalogue. Statistics
  // only; both are written to the trace log at the end of every flush.
  double file_instance_seconds() const { return file_instance_seconds_; }
  double file_catalogue_seconds() const { return file_catalogue_seconds_; }
  // Pending rows by upper-case table name, in insertion order per name.
  const std::multimap<std::string, scan::PendingRow>& pending() const { return pending_; }

 private:
  // --- Row keys, statements and purge (row_writer.cpp).
  RowKey ResolveRowKey(scan::PendingRow& row);
  // The strategies of ResolveRowKey, by table kind.
  RowKey DeviceRowKey(scan::PendingRow& row);
  RowKey KeyedRowKey(scan::PendingRow& row);
  RowKey DeviceChildKey(scan::PendingRow& row);
  RowKey OwnIdParentKey(scan::PendingRow& row);
  RowKey FamilyRowKey(scan::PendingRow& row);
  RowKey UnmodeledKey(scan::PendingRow& row);
  std::vector<std::string> TableOrder();
  void AppendTableLevels(const std::vector<std::string>& parents,
                         std::vector<std::string>& expanded, std::vector<std::string>& order);
  void WriteRow(scan::PendingRow& row);
  std::string DeletionStatement(const scan::PendingRow& row, const RowKey& key,
                                std::string_view attribute) const;
  // New rows queued to share an INSERT (see WriteRow).
  struct InsertBatch {
    std::string head;               // "INSERT INTO t(columns) VALUES"
    std::vector<std::string> rows;  // "(values)"
    size_t text_size = 0;
  };
  // Queues one row's INSERT: its head, its "(values)" and its whole text.
  void QueueInsert(const std::string& head, const std::string& values, const std::string& sql);
  void WriteQueuedInserts();
  void ExecuteText(const std::string& sql);
  void ExecuteWithImage(const std::string& sql, const std::string& bytes);
  // First field of a single-value query as a 32-bit integer (decimals
  // converted, doubles truncated); nullopt for EMPTY, NULL or no row.
  std::optional<int32_t> QueryId(const std::string& sql);

  // --- Software file catalogue (file_catalogue.cpp).
  // After the key of a file instance is resolved: moves the catalogue's
  // attributes off the instance row, links the instance to its catalogue row
  // (found by upper-case file name and size, or created) and leaves the
  // instance row its own attributes, plus FileInfo_Idn when the stored row
  // does not hold the link yet. Not for deleted rows.
  void LinkFileInstance(scan::PendingRow& row);
  struct FileLink {
    int32_t id = -1;        // the catalogue row the instance belongs to
    int32_t old_link = -1;  // the stored instance's link; -1 for none
  };
  FileLink LinkFileInfo(const scan::PendingRow& row,
                        std::vector<scan::PendingAttribute>& catalogue);
  int32_t FindOrCreateFileInfo(int32_t old_link,
                               const std::vector<scan::PendingAttribute>& catalogue,
                               const std::string& upper_name, const std::string& size_literal);
  int32_t InsertFileInfo(int32_t old_link, const std::vector<scan::PendingAttribute>& catalogue,
                         const std::string& upper_name);
  // Runs a catalogue statement: seen by the observer, not copied.
  void ExecuteCatalogue(const std::string& sql);
  // Reads, a few hundred names to a query, the catalogue rows of the file
  // names that the pending instance rows `rows` carry, so that linking them
  // needs no query per file. Names that are not plain ASCII are left to the
  // per-file lookup, whose UPPER on both sides the database spells.
  void PrefetchFileCatalogue(const std::vector<scan::PendingRow>& rows);
  // A catalogue row as the prefetch read it or this flush inserted it.
  struct CataloguedFile {
    std::optional<int64_t> size;  // NULL: a file reported without one
    int32_t id = -1;
    int32_t discovered = 0;
    int32_t action = 0;
  };
  // Upper-case file-name literal to the rows of that name, for the names
  // the prefetch asked for (a name asked for without rows has an empty
  // list: the catalogue holds no such file). Valid for one flush.
  std::unordered_map<std::string, std::vector<CataloguedFile>> catalogue_cache_;
  CataloguedFile* CachedFile(const std::string& upper_name, const std::string& size_literal);

  // --- Snapshot lookups (scan_store.cpp).
  // The stored rows of a table (named as the catalogue spells it), read on
  // first use; null when the device has none.
  SnapshotTable* StoredTable(const std::string& name);
  // The same, for one keyed instance: in a delta scan only the instance's
  // rows are read; otherwise the whole table.
  SnapshotTable* StoredInstance(const std::string& name, std::string_view key_column,
                                const std::string& key_literal);
  // Reads the device's rows of a table (with a key column: those whose key
  // is the literal) into `stored`, after the rows it holds.
  void ReadTable(const std::string& name, std::string_view key_column,
                 const std::string& key_literal, SnapshotTable& stored);
  void ReadAllTables();
  // The device tables (the change history excepted) that hold rows of the
  // device, in the metaschema's order.
  std::vector<std::string> TablesWithDeviceRows();
  int ColumnPosition(SnapshotTable& table, std::string_view column) const;
  const SnapshotColumnIndex& IndexOf(SnapshotTable& table, int column) const;
  // The first record whose value in `column` matches the key: a stored text
  // trimmed equal to it, a stored number equal to it read as an integer.
  std::optional<size_t> FindByKey(SnapshotTable& table, int column,
                                  std::string_view key_value) const;
  bool Acceptable(SnapshotTable& table, std::string_view table_name, size_t record) const;
  // Whether the database holds the pending row's instance, answered from the
  // snapshot and the rows this flush has inserted; nullopt when the snapshot
  // cannot tell (not loaded). `record` receives the stored record, if any.
  std::optional<bool> StoredRowExists(const scan::PendingRow& row,
                                      const SnapshotRecord** record = nullptr);
  void NoteInserted(const scan::PendingRow& row);
  // The stored value of `column` in a stored record (EMPTY when absent).
  db::DbValue StoredValue(const scan::PendingRow& row, const SnapshotRecord& record,
                          std::string_view column);

  // --- Attribute writer helpers (scan_store.cpp).
  // The stored cell of an attribute in its instance's row, when the
  // snapshot holds an acceptable row for the instance (marking the
  // instance's key seen); `column_missing` when the stored table lacks the
  // attribute's column, so the line cannot be written.
  struct StoredCell {
    SnapshotCell* cell = nullptr;
    bool column_missing = false;
  };
  StoredCell FindStoredCell(const db::AttributeInfo& info, const db::AttributeInfo* key_info,
                            int pk_value_type, const std::string& key_value);
  // Remembers which bound adapter a child instance belongs to.
  void NoteBoundAdapterChild(const db::AttributeInfo& info, const db::AttributeInfo* key_info,
                             int pk_value_type, const std::string& key_value);
  // A table name of the metaschema as the catalogue stores it: upper case on
  // Oracle, lower case on PostgreSQL, as written elsewhere.
  std::string CatalogueName(std::string_view name) const;
  // Cuts a text `value` of `info`'s column to the column's width.
  void CutToColumn(const db::AttributeInfo& info, std::string& value);
  void RecordChange(const db::DbValue& old_value, const db::DbValue& new_value,
                    const db::AttributeInfo& attribute, int pk_value_type,
                    const std::string& key_value);

  db::Connection& connection_;
  db::DbmsKind kind_;
  db::Metaschema& metaschema_;

  int32_t computer_idn_ = -1;
  InsertBatch insert_batch_;
  DeviceSnapshot snapshot_;
  // Tables holding device rows that are not read into the snapshot yet.
  std::set<std::string> unread_tables_;
  bool snapshot_loaded_ = false;
  std::multimap<std::string, scan::PendingRow> pending_;
  // Pending rows that later parts of the same instance merge into: upper-case
  // table name and key value to the row. Deleted rows are never listed.
  std::unordered_map<std::string, std::multimap<std::string, scan::PendingRow>::iterator>
      pending_by_instance_;
  // Instances this flush has inserted ("TABLE\nkey literal").
  std::unordered_set<std::string> inserted_rows_;
  // The bound adapter whose lines the reader met last: its children are
  // read right after it and belong to it.
  std::string bound_adapter_key_;
  // A bound adapter's child instance ("TABLE\nKEY LITERAL") to the key
  // literal of its adapter.
  std::unordered_map<std::string, std::string> adapter_of_child_;
  bool has_software_section_ = false;
  bool has_deletions_ = false;
  uint32_t identity_changes_ = 0;
  uint32_t hardware_changes_ = 0;
  uint32_t values_cut_ = 0;
  double last_statement_seconds_ = 0;
  double file_instance_seconds_ = 0;
  double file_catalogue_seconds_ = 0;

  // Parent ids cached for one scan; 0 while unknown.
  int32_t network_software_idn_ = 0;
  int32_t operating_system_idn_ = 0;
  int32_t corvane_idn_ = 0;
  int32_t mif_idn_ = 0;
  int32_t file_info_instance_idn_ = 0;
  int32_t app_software_suites_idn_ = 0;

  std::string device_id_;
  std::string device_name_;
  std::string application_name_;
  ChangeRecorder* change_recorder_ = nullptr;
  std::ostream* sql_copy_ = nullptr;
  std::function<void(std::string_view)> statement_observer_;
};

}  // namespace corvane::store

#endif  // CORVANE_STORE_SCAN_STORE_H_
