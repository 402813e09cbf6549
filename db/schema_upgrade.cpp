#include "db/schema_upgrade.h"

#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/dialect.h"
#include "db/error.h"
#include "db/schema_create.h"
#include "db/schema_ddl.h"
#include "db/value.h"

namespace corvane::db {
namespace {

constexpr int kJobTableVersion = 3;
constexpr int kUniqueKeysVersion = 4;
constexpr size_t kNamedDuplicatesLimit = 10;

// The same catalogue entry: the unique key's comparison, a missing size
// included.
constexpr char kSameFile[] =
    "UPPER(k.FileName) = UPPER(d.FileName) AND (k.FileSize = d.FileSize OR "
    "(k.FileSize IS NULL AND d.FileSize IS NULL))";

class Upgrade {
 public:
  Upgrade(Connection& connection, DbmsKind kind, const schema::Schema& schema)
      : connection_(connection), kind_(kind), schema_(schema) {}

  SchemaUpgrade Run() {
    result_.from_version = StoredSchemaVersion(connection_);
    result_.to_version = schema_.version;
    if (result_.from_version > schema_.version) {
      throw DbError(kErrorFail, "the database's schema version " +
                                    std::to_string(result_.from_version) +
                                    " is newer than this program's " +
                                    std::to_string(schema_.version) + "; nothing was changed");
    }
    if (result_.from_version < kOldestUpgradableSchemaVersion) {
      throw DbError(kErrorFail, "the database's schema version " +
                                    std::to_string(result_.from_version) +
                                    " is older than any this program can upgrade; nothing was "
                                    "changed");
    }
    const bool transactional = kind_ == kDbmsSqlite || kind_ == kDbmsPostgres;
    connection_.BeginTransaction(transactional);
    try {
      Steps();
      connection_.Commit(transactional);
    } catch (const DbError& error) {
      std::string outcome = transactional ? "nothing was changed" : "part of it may be done";
      try {
        connection_.Rollback(transactional);
      } catch (const DbError&) {
        outcome = "rolling back failed as well";
      }
      throw DbError(error.code(),
                    "upgrading the inventory database failed (" + outcome + "): " + error.text());
    }
    return result_;
  }

 private:
  void Steps() {
    const int from = result_.from_version;
    if (from < kJobTableVersion && !TableExists(connection_, schema::jobs::kTable) &&
        schema_.FindTable(schema::jobs::kTable) != nullptr) {
      Run(schema::TableStatements(schema_, kind_, schema::jobs::kTable));
      result_.steps.push_back("Created the table " + std::string(schema::jobs::kTable) + ".");
    }
    if (from < kUniqueKeysVersion) AddUniqueKeys();
    AddMetaschemaRows();
    if (result_.steps.empty() && from == schema_.version) return;
    Execute("UPDATE " + std::string(schema::meta::kSystemsTable) + " SET " +
            std::string(schema::meta::kSchemaVersion) + " = " + std::to_string(schema_.version) +
            ", " + std::string(schema::meta::kStamp) + " = " +
            DateLiteral(static_cast<int64_t>(std::time(nullptr)), kind_) + " WHERE " +
            std::string(schema::meta::kSystemIdn) + " = 0");
  }

  void AddUniqueKeys() {
    RefuseRepeatedDeviceIds();
    MergeRepeatedFiles();
    for (const schema::Table& table : schema_.tables) {
      if (table.unique_keys.empty()) continue;
      Run(schema::UniqueKeyStatements(schema_, kind_, table.name));
      result_.steps.push_back("Created the unique keys of " + std::string(table.name) + ".");
    }
  }

  void RefuseRepeatedDeviceIds() {
    std::string named;
    size_t repeated = 0;
    for (Recordset rows = connection_.Query(
             "SELECT DeviceId, COUNT(*) FROM Computer WHERE DeviceId <> 'Unassigned' GROUP BY "
             "DeviceId HAVING COUNT(*) > 1 ORDER BY DeviceId");
         !rows.AtEnd(); rows.Next()) {
      if (++repeated > kNamedDuplicatesLimit) continue;
      if (!named.empty()) named += ", ";
      named += rows.Value(0).ToText() + " (" + rows.Value(1).ToText() + " rows)";
    }
    if (repeated == 0) return;
    if (repeated > kNamedDuplicatesLimit) {
      named += " and " + std::to_string(repeated - kNamedDuplicatesLimit) + " more";
    }
    throw DbError(kErrorFail,
                  std::to_string(repeated) +
                      " device IDs have more than one COMPUTER row: " + named +
                      ". Keep one row per device ID (delete the others with their rows in the "
                      "device tables), then run the upgrade again");
  }

  void MergeRepeatedFiles() {
    const std::string repeated =
        "SELECT d.FileInfo_Idn FROM FileInfo d WHERE EXISTS (SELECT 1 FROM FileInfo k WHERE "
        "k.FileInfo_Idn < d.FileInfo_Idn AND " +
        std::string(kSameFile) + ")";
    const int32_t count = connection_.QuerySingleValue("SELECT COUNT(*) FROM (" + repeated + ") r")
                              .ToInt32()
                              .value_or(0);
    if (count == 0) return;
    Execute(
        "UPDATE FileInfoInstance SET FileInfo_Idn = (SELECT MIN(k.FileInfo_Idn) FROM FileInfo k, "
        "FileInfo d WHERE d.FileInfo_Idn = FileInfoInstance.FileInfo_Idn AND " +
        std::string(kSameFile) + ") WHERE FileInfo_Idn IN (" + repeated + ")");
    Execute("DELETE FROM FileInfo WHERE FileInfo_Idn IN (" + repeated + ")");
    result_.steps.push_back("Merged " + std::to_string(count) +
                            " FileInfo rows that repeated a file name and size into the oldest "
                            "row of each.");
  }

  void AddMetaschemaRows() {
    const int32_t stored =
        connection_
            .QuerySingleValue("SELECT COUNT(*) FROM " + std::string(schema::meta::kRelationsTable))
            .ToInt32()
            .value_or(-1);
    const size_t wanted = schema_.attributes.size();
    if (stored < 0 || static_cast<size_t>(stored) >= wanted) return;
    std::vector<std::string> rows = schema::MetaschemaStatements(schema_, kind_, 0);
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(wanted), rows.end());
    rows.erase(rows.begin(), rows.begin() + stored);
    Run(rows);
    result_.steps.push_back("Added " + std::to_string(rows.size()) + " metaschema rows.");
  }

  void Run(const std::vector<std::string>& statements) {
    for (const std::string& sql : statements) Execute(sql);
  }
  void Execute(const std::string& sql) {
    try {
      connection_.Execute(sql);
    } catch (const DbError& error) {
      throw DbError(error.code(), error.text() + " (at: " + sql.substr(0, 160) + ")",
                    error.sql_state());
    }
  }

  Connection& connection_;
  DbmsKind kind_;
  const schema::Schema& schema_;
  SchemaUpgrade result_;
};

}  // namespace

int StoredSchemaVersion(Connection& connection) {
  if (!InventoryDatabaseExists(connection)) {
    throw DbError(kErrorFail, "the database holds no inventory schema (no table METASYSTEMS)");
  }
  Recordset row = connection.Query("SELECT " + std::string(schema::meta::kSchemaVersion) +
                                   " FROM " + std::string(schema::meta::kSystemsTable) + " WHERE " +
                                   std::string(schema::meta::kSystemIdn) + " = 0");
  std::optional<int32_t> version;
  if (!row.AtEnd()) version = row.Value(0).ToInt32();
  if (!version) throw DbError(kErrorFail, "METASYSTEMS holds no schema version (row 0)");
  return *version;
}

SchemaUpgrade UpgradeInventoryDatabase(Connection& connection, DbmsKind kind) {
  return UpgradeInventoryDatabase(connection, kind, schema::InventorySchema());
}

SchemaUpgrade UpgradeInventoryDatabase(Connection& connection, DbmsKind kind,
                                       const schema::Schema& schema) {
  try {
    return Upgrade(connection, kind, schema).Run();
  } catch (const std::invalid_argument& error) {
    throw DbError(kErrorFail, error.what());
  }
}

}  // namespace corvane::db
