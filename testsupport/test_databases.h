// Test helper: the databases a test run can reach, and a fresh database on
// one of them per test.
//
// SQLite is always available (a file in a private temporary directory).
// PostgreSQL joins when the environment names a server:
//   CORVANE_TEST_PG_HOST, CORVANE_TEST_PG_PORT, CORVANE_TEST_PG_USER,
//   CORVANE_TEST_PG_PASSWORD (the user needs CREATEDB)
// (scripts/test-postgres starts such a server and prints these).
//
// Database tests are value-parameterised over AvailableTestDatabases() so
// that each runs on every database:
//   INSTANTIATE_TEST_SUITE_P(Db, MyTest,
//       ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
//       corvane::testing::TestDatabaseName);

#ifndef CORVANE_TESTSUPPORT_TEST_DATABASES_H_
#define CORVANE_TESTSUPPORT_TEST_DATABASES_H_

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "db/dbms.h"

namespace corvane::testing {

struct TestDatabaseServer {
  std::string name;  // "Sqlite" or "Postgres"; also the test name suffix
  db::DbmsKind kind = db::kDbmsUnknown;
  // PostgreSQL only.
  std::string host;
  std::string port;
  std::string user;
  std::string password;

  // False for PostgreSQL when the environment names no server; tests skip
  // then (a ScratchDatabase on it throws).
  bool available() const;
};

// Names the database in test output.
inline void PrintTo(const TestDatabaseServer& server, std::ostream* out) { *out << server.name; }

// SQLite and PostgreSQL (see available()).
std::vector<TestDatabaseServer> AvailableTestDatabases();

// Names the instantiated tests after the database.
std::string TestDatabaseName(const ::testing::TestParamInfo<TestDatabaseServer>& info);

// `value` as an ODBC connection string value: enclosed in braces, with every
// "}" doubled, so ";" and "}" cannot end it early.
std::string BraceQuote(std::string_view value);

// The connection string for `database` on a PostgreSQL server, as `user`
// with `password`. Only the password is brace-quoted: psqlODBC keeps the
// braces of other values as part of them (a braced user or port fails).
std::string PostgresConnectionString(const TestDatabaseServer& server, std::string_view database,
                                     std::string_view user, std::string_view password);

// A fresh, empty database on `server` for one test: a new SQLite file, or a
// PostgreSQL database with a unique name created through a connection to the
// maintenance database "postgres". Removed (dropped) on destruction. The
// constructor throws std::runtime_error with the driver's text when the
// database cannot be made. Not copyable.
class ScratchDatabase {
 public:
  explicit ScratchDatabase(const TestDatabaseServer& server);
  ~ScratchDatabase();
  ScratchDatabase(const ScratchDatabase&) = delete;
  ScratchDatabase& operator=(const ScratchDatabase&) = delete;

  const std::string& connection_string() const { return connection_string_; }
  // The SQLite file, or the PostgreSQL database name.
  std::string database() const;
  const TestDatabaseServer& server() const { return server_; }

 private:
  TestDatabaseServer server_;
  std::string directory_;      // SQLite
  std::string database_name_;  // PostgreSQL
  std::string connection_string_;
};

// Writes `database` as the default connection of the credential store (in
// the current CORVANE_ROOT), the way an administrator's setup would: driver
// "SQLite3" with the file, or "PostgreSQL Unicode" with "host:port", the
// database, the user and `password`.
void WriteDefaultConnection(const ScratchDatabase& database, const std::string& password);
inline void WriteDefaultConnection(const ScratchDatabase& database) {
  WriteDefaultConnection(database, database.server().password);
}

}  // namespace corvane::testing

#endif  // CORVANE_TESTSUPPORT_TEST_DATABASES_H_
