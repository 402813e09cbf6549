// What kind of database the server talks to, and how a column's values are
// written into SQL.

#ifndef CORVANE_DB_DBMS_H_
#define CORVANE_DB_DBMS_H_

#include <cstdint>
#include <string_view>

namespace corvane::db {

// The kind of database; every piece that writes SQL picks its dialect by it.
enum DbmsKind : int {
  kDbmsUnknown = 100,
  kDbmsAccess = 101,
  kDbmsSqlServer = 102,
  kDbmsOracle = 103,
  kDbmsOther = 105,
  kDbmsSqlite = 106,
  kDbmsPostgres = 107,
};

// Classifies the driver's "DBMS Name": case-sensitive substring tests in the
// order "ACCESS", "Oracle", "Microsoft SQL Server" (first hit wins), then
// SQLite and PostgreSQL; any other text is kDbmsOther, an empty or missing
// name kDbmsUnknown. Pure.
DbmsKind ClassifyDbmsName(std::string_view dbms_name, bool present);

// How a value of a column is written into SQL.
enum DataType : int {
  kValueBinary = 1,  // "IMAGE"
  kValueText = 2,    // "CHAR", "VARCHAR", "TEXT"
  kValueNumber = 3,  // "INT"
  kValueDate = 4,    // "DATETIME"
};

}  // namespace corvane::db

#endif  // CORVANE_DB_DBMS_H_
