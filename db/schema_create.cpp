#include "db/schema_create.h"

#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "Common/Include/ascii_case.h"
#include "db/error.h"
#include "db/schema_ddl.h"

namespace corvane::db {
namespace {

// Enough of a failed statement to recognise it in a message.
std::string Excerpt(const std::string& sql) {
  constexpr size_t kLimit = 160;
  return sql.size() <= kLimit ? sql : sql.substr(0, kLimit) + "...";
}

}  // namespace

bool TableExists(Connection& connection, std::string_view name) {
  for (const std::string& table : connection.Tables("TABLE")) {
    if (EqualsIgnoringCase(table, name)) return true;
  }
  return false;
}

bool InventoryDatabaseExists(Connection& connection) {
  return TableExists(connection, schema::meta::kSystemsTable);
}

void CreateInventoryDatabase(Connection& connection, DbmsKind kind) {
  CreateInventoryDatabase(connection, kind, schema::InventorySchema());
}

void CreateInventoryDatabase(Connection& connection, DbmsKind kind, const schema::Schema& schema) {
  std::vector<std::string> statements;
  try {
    statements = schema::CreateStatements(schema, kind);
    std::vector<std::string> rows = schema::MetaschemaStatements(schema, kind, std::time(nullptr));
    statements.insert(statements.end(), rows.begin(), rows.end());
  } catch (const std::invalid_argument& error) {
    throw DbError(kErrorFail, error.what());
  }
  if (InventoryDatabaseExists(connection)) {
    throw DbError(kErrorFail,
                  "the database already holds an inventory schema (table METASYSTEMS exists); "
                  "nothing was changed");
  }

  const bool transactional = kind == kDbmsSqlite || kind == kDbmsPostgres;
  connection.BeginTransaction(transactional);
  for (const std::string& sql : statements) {
    try {
      connection.Execute(sql);
    } catch (const DbError& error) {
      std::string outcome = "nothing was changed";
      try {
        connection.Rollback(transactional);
      } catch (const DbError&) {
        outcome = "rolling back failed as well";
      }
      if (!transactional) outcome = "the database may hold part of the schema";
      throw DbError(error.code(), "creating the inventory database failed (" + outcome +
                                      ") at: " + Excerpt(sql) + ": " + error.text());
    }
  }
  try {
    connection.Commit(transactional);
  } catch (const DbError& error) {
    throw DbError(error.code(),
                  "creating the inventory database failed at its commit: " + error.text());
  }
}

}  // namespace corvane::db
