#include "testsupport/test_databases.h"

#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "db/connection_settings.h"
#include "db/credentials.h"
#include "platform/registry.h"

namespace corvane::testing {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Maintenance statements (CREATE/DROP DATABASE) are the test harness's own
// business: they run on a short-lived raw ODBC connection so that the helper
// does not depend on the code under test.
class MaintenanceConnection {
 public:
  explicit MaintenanceConnection(const std::string& connection_string) {
    Require(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_), SQL_HANDLE_ENV, env_,
            "SQLAllocHandle(ENV)");
    Require(
        SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
        SQL_HANDLE_ENV, env_, "SQLSetEnvAttr");
    Require(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_), SQL_HANDLE_ENV, env_,
            "SQLAllocHandle(DBC)");
    std::string text = connection_string;
    Require(SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS,
                             nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT),
            SQL_HANDLE_DBC, dbc_, "SQLDriverConnect");
    connected_ = true;
  }

  ~MaintenanceConnection() {
    // Cleanup of a helper connection: nothing useful to do with a failure.
    if (stmt_ != SQL_NULL_HANDLE) static_cast<void>(SQLFreeHandle(SQL_HANDLE_STMT, stmt_));
    if (connected_) static_cast<void>(SQLDisconnect(dbc_));
    if (dbc_ != SQL_NULL_HANDLE) static_cast<void>(SQLFreeHandle(SQL_HANDLE_DBC, dbc_));
    if (env_ != SQL_NULL_HANDLE) static_cast<void>(SQLFreeHandle(SQL_HANDLE_ENV, env_));
  }

  void Execute(const std::string& sql) {
    if (stmt_ == SQL_NULL_HANDLE) {
      Require(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_), SQL_HANDLE_DBC, dbc_,
              "SQLAllocHandle(STMT)");
    }
    std::string text = sql;
    SQLRETURN result = SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
    if (result != SQL_NO_DATA) Require(result, SQL_HANDLE_STMT, stmt_, sql.c_str());
  }

 private:
  static void Require(SQLRETURN result, SQLSMALLINT type, SQLHANDLE handle, const char* what) {
    if (result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO) return;
    std::string text = std::string(what) + " failed";
    SQLCHAR state[6] = {};
    SQLCHAR message[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (handle != SQL_NULL_HANDLE &&
        SQL_SUCCEEDED(
            SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length))) {
      text += std::string(": [") + reinterpret_cast<char*>(state) + "] " +
              reinterpret_cast<char*>(message);
    }
    throw std::runtime_error(text);
  }

  SQLHENV env_ = SQL_NULL_HANDLE;
  SQLHDBC dbc_ = SQL_NULL_HANDLE;
  SQLHSTMT stmt_ = SQL_NULL_HANDLE;
  bool connected_ = false;
};

std::string UniqueSuffix() {
  static std::atomic<int> counter{0};
  auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
         std::to_string(now % 1000000007);
}

}  // namespace

bool TestDatabaseServer::available() const { return kind == db::kDbmsSqlite || !host.empty(); }

std::vector<TestDatabaseServer> AvailableTestDatabases() {
  std::vector<TestDatabaseServer> servers;
  TestDatabaseServer sqlite;
  sqlite.name = "Sqlite";
  sqlite.kind = db::kDbmsSqlite;
  servers.push_back(sqlite);
  // Listed even when not configured, so that the PostgreSQL cases show up as
  // skipped rather than silently missing (test discovery may run in another
  // environment than the tests).
  TestDatabaseServer postgres;
  postgres.name = "Postgres";
  postgres.kind = db::kDbmsPostgres;
  postgres.host = Env("CORVANE_TEST_PG_HOST");
  postgres.port = Env("CORVANE_TEST_PG_PORT").empty() ? "5432" : Env("CORVANE_TEST_PG_PORT");
  postgres.user = Env("CORVANE_TEST_PG_USER");
  postgres.password = Env("CORVANE_TEST_PG_PASSWORD");
  servers.push_back(postgres);
  return servers;
}

std::string TestDatabaseName(const ::testing::TestParamInfo<TestDatabaseServer>& info) {
  return info.param.name;
}

std::string BraceQuote(std::string_view value) {
  std::string quoted = "{";
  for (char c : value) {
    quoted += c;
    if (c == '}') quoted += '}';
  }
  return quoted + "}";
}

std::string PostgresConnectionString(const TestDatabaseServer& server, std::string_view database,
                                     std::string_view user, std::string_view password) {
  return "DRIVER={PostgreSQL Unicode};SERVER=" + server.host + ";PORT=" + server.port +
         ";DATABASE=" + std::string(database) + ";UID=" + std::string(user) +
         ";PWD=" + BraceQuote(password) + ";" + db::kPostgresAttributes + ";";
}

ScratchDatabase::ScratchDatabase(const TestDatabaseServer& server) : server_(server) {
  if (server.kind == db::kDbmsSqlite) {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-db.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot create a directory for the SQLite database");
    }
    directory_ = pattern;
    connection_string_ =
        "DRIVER={SQLite3};DATABASE=" + directory_ + "/test.db;" + db::kSqliteAttributes + ";";
    return;
  }
  if (!server.available()) throw std::runtime_error("no PostgreSQL server configured");
  database_name_ = "corvane_t_" + UniqueSuffix();
  MaintenanceConnection maintenance(
      PostgresConnectionString(server, "postgres", server.user, server.password));
  maintenance.Execute("CREATE DATABASE " + database_name_);
  connection_string_ =
      PostgresConnectionString(server, database_name_, server.user, server.password);
}

ScratchDatabase::~ScratchDatabase() {
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  if (!database_name_.empty()) {
    try {
      MaintenanceConnection maintenance(
          PostgresConnectionString(server_, "postgres", server_.user, server_.password));
      // FORCE: a test that failed half-way may leave a session behind.
      maintenance.Execute("DROP DATABASE IF EXISTS " + database_name_ + " WITH (FORCE)");
    } catch (const std::exception& error) {
      ADD_FAILURE() << "dropping " << database_name_ << ": " << error.what();
    }
  }
}

}  // namespace corvane::testing

namespace corvane::testing {

std::string ScratchDatabase::database() const {
  return server_.kind == db::kDbmsSqlite ? directory_ + "/test.db" : database_name_;
}

void WriteDefaultConnection(const ScratchDatabase& database, const std::string& password) {
  const TestDatabaseServer& server = database.server();
  const bool sqlite = server.kind == db::kDbmsSqlite;
  const std::string host = sqlite ? "" : server.host + ":" + server.port;
  const std::string user = sqlite ? "" : server.user;
  SetDbCredentials(0, 0, database.database().c_str(), host.c_str(), user.c_str(), password.c_str());
  platform::registry::SetValue(platform::RegRoot::kLocalMachine,
                               std::string(db::kConnectionsKey) + "\\Local", "Driver",
                               platform::RegValue::Sz(sqlite ? "SQLite3" : "PostgreSQL Unicode"));
}

}  // namespace corvane::testing
