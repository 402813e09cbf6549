// Brings an inventory database made by an older schema definition up to the
// current one, on an open connection.
//
// The versions it knows (METASYSTEMS.SCHEMAVERSION):
//   2  the first definition released
//   3  adds the network-boot job table PxeCustomJobs
//   4  adds the unique keys that several servers writing one database rely
//      on: one COMPUTER row per device ID (other than "Unassigned"), one
//      FileInfo row per (UPPER(FileName), FileSize)
// Metaschema rows the definition appended since are added too (their ids are
// their positions, so the stored rows are a leading part of the definition's).
//
// Before the unique keys are created, FileInfo rows that repeat a name and
// size are merged into the oldest of them (its instances' links moved to it).
// COMPUTER rows that repeat a device ID are not merged: which one holds the
// device's data is the administrator's call, so the upgrade refuses and
// names them.
//
// Errors: DbError (kErrorFail) with a text saying what failed, and nothing
// changed: no inventory schema, a version older than 2 or newer than the
// definition, repeated device IDs, a failing statement. On SQLite and
// PostgreSQL the whole upgrade is one transaction; SQL Server and Oracle
// commit DDL as it runs, so there a failed statement may leave part of it
// behind (the error says so, and running the upgrade again goes on from
// there). Thread safety: as the Connection (one thread at a time).

#ifndef CORVANE_DB_SCHEMA_UPGRADE_H_
#define CORVANE_DB_SCHEMA_UPGRADE_H_

#include <string>
#include <vector>

#include "db/connection.h"
#include "db/dbms.h"
#include "db/schema.h"

namespace corvane::db {

// The oldest stored version the upgrade starts from.
inline constexpr int kOldestUpgradableSchemaVersion = 2;

// METASYSTEMS.SCHEMAVERSION of row 0. Raises DbError when there is none.
int StoredSchemaVersion(Connection& connection);

struct SchemaUpgrade {
  int from_version = 0;
  int to_version = 0;
  // What was done, one line each; empty when the database was current.
  std::vector<std::string> steps;
};

SchemaUpgrade UpgradeInventoryDatabase(Connection& connection, DbmsKind kind);
// The same towards another definition (tests).
SchemaUpgrade UpgradeInventoryDatabase(Connection& connection, DbmsKind kind,
                                       const schema::Schema& schema);

}  // namespace corvane::db

#endif  // CORVANE_DB_SCHEMA_UPGRADE_H_
