// Creates the inventory database: the tables of the schema definition and
// the filled metaschema, on an open connection.
//
// Errors: every failure raises DbError (kErrorFail) with a text saying what
// failed; a definition the DDL cannot express does too. Thread safety: as
// the Connection (one thread at a time).

#ifndef CORVANE_DB_SCHEMA_CREATE_H_
#define CORVANE_DB_SCHEMA_CREATE_H_

#include <string_view>

#include "db/connection.h"
#include "db/dbms.h"
#include "db/schema.h"

namespace corvane::db {

// True when the database's catalogue lists the table `name` (compared
// ignoring case).
bool TableExists(Connection& connection, std::string_view name);

// True when the database's catalogue lists the table METASYSTEMS (compared
// ignoring case): it has been made an inventory database before.
bool InventoryDatabaseExists(Connection& connection);

// Creates every table, sequence and index of the inventory schema and fills
// METAOBJATTRRELATIONS, CV_MKEYS and METASYSTEMS (stamped now). `kind` picks
// the dialect: SQLite, PostgreSQL, SQL Server or Oracle.
//
// Refuses, changing nothing, when InventoryDatabaseExists. On SQLite and
// PostgreSQL everything runs in one transaction, so a failure leaves the
// database as it was; SQL Server and Oracle commit DDL as it runs, so there a
// failure may leave part of the schema behind (the error says so).
void CreateInventoryDatabase(Connection& connection, DbmsKind kind);
// The same for another definition (tests, and tools that extend it).
void CreateInventoryDatabase(Connection& connection, DbmsKind kind, const schema::Schema& schema);

}  // namespace corvane::db

#endif  // CORVANE_DB_SCHEMA_CREATE_H_
