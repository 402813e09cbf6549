// cvadmin db as an administrator uses it: the real program, its own runtime
// root (and so its own credential store) per test.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/connection_settings.h"
#include "db/credentials.h"
#include "db/schema.h"
#include "platform/registry.h"
#include "testsupport/child_process.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane {
namespace {

using platform::RegRoot;
using platform::RegValue;
using testing::TestDatabaseServer;

constexpr char kLocalKey[] = "SOFTWARE\\Corvane\\Vantora\\Core\\Connections\\Local";

testing::RunResult Cvadmin(const std::vector<std::string>& arguments) {
  return testing::RunToEnd(testing::BuildBinDirectory() + "/cvadmin", arguments);
}

int CountLinesContaining(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class DbCommandsTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no server: set CORVANE_TEST_PG_HOST";
  }
  void TearDown() override {
    if (database_.empty()) return;
    const TestDatabaseServer& server = GetParam();
    db::Connection maintenance;
    maintenance.Open(
        testing::PostgresConnectionString(server, "postgres", server.user, server.password), 30);
    maintenance.Execute("DROP DATABASE IF EXISTS \"" + database_ + "\" WITH (FORCE)");
  }

  // The arguments of "db create" for the database under test.
  std::vector<std::string> CreateArguments() {
    const TestDatabaseServer& server = GetParam();
    if (server.kind == db::kDbmsSqlite) {
      database_path_ = root_.path() + "/inventory.db";
      return {"db", "create", "--driver", "SQLite3", "--database", database_path_};
    }
    // Mixed case: the name must be created and reached exactly as given.
    database_ = "Corvane_Cv_" + std::to_string(getpid());
    return {"db",
            "create",
            "--driver",
            "PostgreSQL Unicode",
            "--server",
            server.host + ":" + server.port,
            "--database",
            database_,
            "--user",
            server.user,
            "--password=" + server.password};
  }

  testing::TempRoot root_;
  std::string database_;       // PostgreSQL
  std::string database_path_;  // SQLite
};

TEST_P(DbCommandsTest, CreateWritesTheDefaultConnectionThatShowAndMetaschemaUse) {
  std::vector<std::string> create = CreateArguments();
  testing::RunResult created = Cvadmin(create);
  ASSERT_EQ(created.exit_code, 0) << created.output;
  if (!database_.empty()) {
    EXPECT_NE(created.output.find("Created the PostgreSQL database " + database_),
              std::string::npos)
        << created.output;
  }

  std::optional<db::ConnectionCredentials> stored = db::LoadCredentials();
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->driver, create[3]);
  EXPECT_FALSE(stored->is_oracle);
  EXPECT_FALSE(stored->rollup);
  db::Connection connection;
  connection.Open(db::BuildConnectionString(*stored), 30);
  EXPECT_EQ(connection.QuerySingleValue("SELECT SWSCANFREQ FROM METASYSTEMS WHERE System_Idn = 0"),
            db::DbValue::Int32(1));
  connection.Close();

  testing::RunResult shown = Cvadmin({"db", "show"});
  EXPECT_EQ(shown.exit_code, 0);
  EXPECT_NE(shown.output.find("Connection: Local\n"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("Database:   " + stored->database + "\n"), std::string::npos);
  if (GetParam().kind == db::kDbmsSqlite) {
    EXPECT_EQ(stored->database, database_path_);
    EXPECT_NE(shown.output.find("Password:   (empty)\n"), std::string::npos) << shown.output;
  } else {
    EXPECT_NE(shown.output.find("Password:   (set)\n"), std::string::npos) << shown.output;
    EXPECT_EQ(shown.output.find(GetParam().password), std::string::npos) << shown.output;
  }

  testing::RunResult listed = Cvadmin({"db", "metaschema"});
  EXPECT_EQ(listed.exit_code, 0);
  EXPECT_EQ(CountLinesContaining(listed.output,
                                 "Computer.Network.Adapter\tName\tNetworkAdapter.Name"
                                 "\tVARCHAR\t26\tComputer\t1\t0\t0\n"),
            1)
      << listed.output;
  EXPECT_TRUE(listed.output.starts_with("ID\tCOMPONENT\tATTRIBUTE\t")) << listed.output;
  EXPECT_EQ(listed.output.find("1\tComputer\tDevice ID\tComputer.DeviceId\tVARCHAR\t6\t-\t0\t1\t"),
            listed.output.find('\n') + 1)
      << listed.output;

  // A second create finds the schema and leaves it alone.
  EXPECT_EQ(Cvadmin(create).exit_code, 1);
  EXPECT_EQ(Cvadmin({"db", "metaschema"}).output, listed.output);
}

TEST_P(DbCommandsTest, ConnectTakesAnExistingDatabaseThatUpgradeBringsUpToDate) {
  std::vector<std::string> create = CreateArguments();
  ASSERT_EQ(Cvadmin(create).exit_code, 0);
  std::optional<db::ConnectionCredentials> stored = db::LoadCredentials();
  ASSERT_TRUE(stored.has_value());
  {
    // As a database made before the unique keys was left.
    db::Connection connection;
    connection.Open(db::BuildConnectionString(*stored), 30);
    connection.Execute("DROP INDEX UX_Computer_1");
    connection.Execute("DROP INDEX UX_FileInfo_1");
    connection.Execute("UPDATE METASYSTEMS SET SCHEMAVERSION = 3");
  }
  // A further server's root: no connection of its own yet.
  ASSERT_EQ(Cvadmin({"registry", "delete-key", std::string("HKLM\\") + kLocalKey}).exit_code, 0);
  ASSERT_FALSE(db::LoadCredentials().has_value());

  std::vector<std::string> connect = create;
  connect[1] = "connect";
  if (GetParam().kind == db::kDbmsSqlite) {
    std::vector<std::string> missing = connect;
    missing[5] = root_.path() + "/absent.db";
    testing::RunResult refused = Cvadmin(missing);
    EXPECT_EQ(refused.exit_code, 1) << refused.output;
    EXPECT_FALSE(std::filesystem::exists(missing[5]));
    EXPECT_FALSE(db::LoadCredentials().has_value());
  }
  testing::RunResult connected = Cvadmin(connect);
  ASSERT_EQ(connected.exit_code, 0) << connected.output;
  EXPECT_NE(connected.output.find("(schema version 3)"), std::string::npos) << connected.output;
  EXPECT_NE(connected.output.find("run cvadmin db upgrade"), std::string::npos);
  ASSERT_TRUE(db::LoadCredentials().has_value());
  EXPECT_EQ(db::LoadCredentials()->database, stored->database);

  testing::RunResult upgraded = Cvadmin({"db", "upgrade"});
  ASSERT_EQ(upgraded.exit_code, 0) << upgraded.output;
  EXPECT_NE(upgraded.output.find("Created the unique keys of Computer."), std::string::npos)
      << upgraded.output;
  EXPECT_NE(upgraded.output.find("from schema version 3 to 4"), std::string::npos);
  testing::RunResult again = Cvadmin({"db", "upgrade"});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_NE(again.output.find("nothing to do"), std::string::npos) << again.output;
  db::Connection connection;
  connection.Open(db::BuildConnectionString(*stored), 30);
  connection.Execute("INSERT INTO Computer (DeviceId) VALUES ('{ONE}')");
  EXPECT_THROW(connection.Execute("INSERT INTO Computer (DeviceId) VALUES ('{ONE}')"), db::DbError);

  // Not an inventory database: refused, and the stored connection stays.
  if (GetParam().kind == db::kDbmsSqlite) {
    std::vector<std::string> plain = connect;
    plain[5] = root_.path() + "/plain.db";
    {
      db::Connection other;
      other.Open("Driver=SQLite3;Database=" + plain[5], 30);
      other.Execute("CREATE TABLE Something (Id INTEGER)");
    }
    testing::RunResult refused = Cvadmin(plain);
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(db::LoadCredentials()->database, stored->database);
  }
}

TEST_P(DbCommandsTest, APasswordComesFromTheEnvironmentAndIsTriedBeforeItIsStored) {
  const TestDatabaseServer& server = GetParam();
  std::vector<std::string> create = CreateArguments();
  if (server.kind != db::kDbmsPostgres) GTEST_SKIP() << "SQLite takes no password";
  // Not on the command line: from the environment.
  create.pop_back();
  testing::RunResult created = testing::RunToEnd(testing::BuildBinDirectory() + "/cvadmin", create,
                                                 {"CORVANE_DB_PASSWORD=" + server.password});
  ASSERT_EQ(created.exit_code, 0) << created.output;
  EXPECT_EQ(db::LoadCredentials()->password, server.password);

  EXPECT_EQ(Cvadmin({"db", "set-password", server.password + "-wrong"}).exit_code, 1);
  EXPECT_EQ(db::LoadCredentials()->password, server.password);
  EXPECT_EQ(Cvadmin({"db", "set-password", server.password}).exit_code, 0);
}

TEST_P(DbCommandsTest, ABackupIsACopyThatRestoresAndNeverReplacesAFile) {
  const TestDatabaseServer& server = GetParam();
  testing::RunResult created = Cvadmin(CreateArguments());
  ASSERT_EQ(created.exit_code, 0) << created.output;
  const std::string copy = root_.path() + "/backup.db";
  testing::RunResult backup = Cvadmin({"db", "backup", copy});
  ASSERT_EQ(backup.exit_code, 0) << backup.output;
  EXPECT_NE(backup.output.find("Backed up the inventory database"), std::string::npos);
  std::string check;
  if (server.kind == db::kDbmsSqlite) {
    check = "sqlite3 " + copy + " 'SELECT SCHEMAVERSION FROM METASYSTEMS'";
  } else {
    check = "pg_restore --list " + copy + " | grep -c 'TABLE public metasystems'";
  }
  testing::RunResult restored = testing::RunToEnd("/bin/sh", {"-c", check + " 2>&1"});
  EXPECT_EQ(restored.output,
            (server.kind == db::kDbmsSqlite ? std::to_string(db::schema::InventorySchema().version)
                                            : std::string("1")) +
                "\n");
  EXPECT_EQ(Cvadmin({"db", "backup", copy}).exit_code, 1);
}

TEST_P(DbCommandsTest, TheDdlScriptRunsInTheDbmssOwnClient) {
  const TestDatabaseServer& server = GetParam();
  const std::string script = root_.path() + "/inventory.sql";
  const std::string dbms = server.kind == db::kDbmsSqlite ? "sqlite" : "postgres";
  testing::RunResult ddl = testing::RunToEnd(
      "/bin/sh",
      {"-c", testing::BuildBinDirectory() + "/cvadmin db ddl --dbms " + dbms + " > " + script});
  ASSERT_EQ(ddl.exit_code, 0);
  // Runs `sql` in the client (a script file with -f, else a statement).
  std::string client;
  std::unique_ptr<testing::ScratchDatabase> scratch;
  if (server.kind == db::kDbmsSqlite) {
    const std::string file = root_.path() + "/by-script.db";
    client = "sqlite3 -bail " + file + " < " + script + " && sqlite3 " + file;
  } else {
    scratch = std::make_unique<testing::ScratchDatabase>(server);
    const std::string psql =
        "PGPASSWORD='" + server.password + "' psql -X -q -At -v ON_ERROR_STOP=1 -h " + server.host +
        " -p " + server.port + " -U " + server.user + " -d '" + scratch->database() + "'";
    client = psql + " -f " + script + " && " + psql + " -c";
  }
  testing::RunResult ran = testing::RunToEnd(
      "/bin/sh", {"-c", client + " 'SELECT SCHEMAVERSION FROM METASYSTEMS' 2>&1"});
  EXPECT_EQ(ran.exit_code, 0) << ran.output;
  EXPECT_EQ(ran.output, std::to_string(db::schema::InventorySchema().version) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Db, DbCommandsTest,
                         ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

class DbStoreTest : public ::testing::Test {
 protected:
  testing::TempRoot root_;
};

TEST_F(DbStoreTest, SetPasswordChangesOnlyThePassword) {
  EXPECT_EQ(Cvadmin({"db", "set-password", "x"}).exit_code, 1);  // no connection yet
  SetDbCredentials(1, 1, "inventory", "tns-name", "scott", "old");
  platform::registry::SetValue(RegRoot::kLocalMachine, kLocalKey, "Driver",
                               RegValue::Sz("Oracle 19 ODBC"));

  // No Oracle server here: stored untried.
  EXPECT_EQ(Cvadmin({"db", "set-password", "tried"}).exit_code, 1);
  testing::ChildProcess child(testing::BuildBinDirectory() + "/cvadmin",
                              {"db", "set-password", "--no-check"});
  child.WriteInput("n;e}w p\n");
  child.CloseInput();
  ASSERT_EQ(child.Wait(20000), 0) << child.output();

  std::array<char, 260> database{}, server{}, user{}, password{};
  int is_oracle = 0, rollup = 0;
  ASSERT_TRUE(GetDbCredentials(&is_oracle, &rollup, database.size(), database.data(), server.size(),
                               server.data(), user.size(), user.data(), password.size(),
                               password.data()));
  EXPECT_STREQ(password.data(), "n;e}w p");
  EXPECT_STREQ(database.data(), "inventory");
  EXPECT_STREQ(server.data(), "tns-name");
  EXPECT_STREQ(user.data(), "scott");
  EXPECT_EQ(is_oracle, 1);
  EXPECT_EQ(rollup, 1);
  EXPECT_EQ(platform::registry::GetValue(RegRoot::kLocalMachine, kLocalKey, "Driver"),
            RegValue::Sz("Oracle 19 ODBC"));

  ASSERT_EQ(Cvadmin({"db", "set-password", "--no-check", ""}).exit_code, 0);
  ASSERT_TRUE(GetDbCredentials(nullptr, nullptr, database.size(), database.data(), server.size(),
                               server.data(), user.size(), user.data(), password.size(),
                               password.data()));
  EXPECT_STREQ(password.data(), "");
  EXPECT_NE(Cvadmin({"db", "show"}).output.find("Password:   (empty)\n"), std::string::npos);
}

TEST_F(DbStoreTest, BadRequestsChangeNothing) {
  EXPECT_EQ(Cvadmin({"db", "create", "--database", root_.path() + "/x.db"}).exit_code, 2);
  EXPECT_EQ(Cvadmin({"db", "create", "--driver", "SQLite3"}).exit_code, 2);
  EXPECT_EQ(Cvadmin({"db", "create", "--driver", "SQLite3", "--databse", "x.db"}).exit_code, 2);
  EXPECT_EQ(
      Cvadmin({"db", "create", "--driver", "SQLite3", "--database", root_.path() + "/no/dir/x.db"})
          .exit_code,
      1);
  EXPECT_FALSE(std::filesystem::exists(root_.path() + "/no"));
  EXPECT_FALSE(db::LoadCredentials().has_value());
  EXPECT_EQ(Cvadmin({"db", "show"}).exit_code, 1);
  EXPECT_EQ(Cvadmin({"db", "metaschema"}).exit_code, 1);
  EXPECT_EQ(Cvadmin({"db", "frob"}).exit_code, 2);
  EXPECT_EQ(Cvadmin({"db", "ddl", "--dbms", "db2"}).exit_code, 2);
}

}  // namespace
}  // namespace corvane
