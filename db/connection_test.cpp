#include "db/connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

#include "Common/Include/ascii_case.h"
#include "db/dbms.h"
#include "db/error.h"
#include "testsupport/test_databases.h"

namespace corvane::db {

// Readable failures: the type and the text (bytes by their count).
void PrintTo(const DbValue& value, std::ostream* out) {
  *out << "type " << static_cast<int>(value.type()) << " ";
  if (value.type() == DbValue::Type::kBytes) {
    *out << value.bytes().size() << " bytes";
  } else {
    *out << "\"" << value.ToText() << "\"";
  }
}

namespace {

using ::corvane::testing::TestDatabaseServer;

class ConnectionTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no server: set CORVANE_TEST_PG_HOST";
    scratch_ = std::make_unique<corvane::testing::ScratchDatabase>(GetParam());
    db_.Open(scratch_->connection_string(), 30);
  }
  void TearDown() override { db_.Close(); }

  bool postgres() const { return GetParam().kind == kDbmsPostgres; }
  void CreateItems() {
    std::string sql = "CREATE TABLE items (id INT, name VARCHAR(100), note TEXT, seen ";
    sql += postgres() ? "TIMESTAMP, data BYTEA)" : "DATETIME, data IMAGE)";
    db_.Execute(sql);
  }
  int64_t Count(const std::string& table) { return QueryCount("SELECT COUNT(*) FROM " + table); }
  int64_t QueryCount(const std::string& sql) {
    auto value = db_.QuerySingleValue(sql).ToInt32();
    return value ? *value : -99;
  }

  std::unique_ptr<corvane::testing::ScratchDatabase> scratch_;
  Connection db_;
};

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_P(ConnectionTest, ExecuteReportsRecordsAffectedAndQueryReadsEveryType) {
  CreateItems();
  EXPECT_EQ(db_.Execute("INSERT INTO items (id, name, note, seen) VALUES "
                        "(1, 'Größe ✓', NULL, {ts '2024-03-05 14:30:15'})"),
            1);
  // Larger than one read piece, with bytes that end C strings and are not UTF-8.
  std::vector<uint8_t> image(20000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(db_.ExecuteWithBinary("INSERT INTO items (id, data) VALUES (2, ?)", image), 1);
  std::string long_text(10000, 'x');
  long_text += "é";
  EXPECT_EQ(db_.Execute("INSERT INTO items (id, note) VALUES (3, '" + long_text + "')"), 1);
  EXPECT_EQ(db_.Execute("UPDATE items SET name = 'n' WHERE id >= 2"), 2);
  EXPECT_EQ(db_.Execute("DELETE FROM items WHERE id = 42"), 0);

  Recordset rows = db_.Query("SELECT id, name, note, seen, data FROM items ORDER BY id");
  ASSERT_EQ(rows.FieldCount(), 5);
  EXPECT_EQ(rows.FieldName(1), "name");
  ASSERT_FALSE(rows.AtEnd());
  EXPECT_EQ(rows.Value(0), DbValue::Int32(1));
  EXPECT_EQ(rows.Value("NAME"), DbValue::Text("Größe ✓"));
  EXPECT_EQ(rows.Value("Note").type(), DbValue::Type::kNull);
  std::tm local{};
  local.tm_year = 124, local.tm_mon = 2, local.tm_mday = 5;
  local.tm_hour = 14, local.tm_min = 30, local.tm_sec = 15, local.tm_isdst = -1;
  EXPECT_EQ(rows.Value("SEEN"), DbValue::Date(std::mktime(&local)));
  EXPECT_EQ(rows.Value(4).type(), DbValue::Type::kNull);

  rows.Next();
  ASSERT_FALSE(rows.AtEnd());
  EXPECT_EQ(rows.Value("id"), DbValue::Int32(2));
  EXPECT_EQ(rows.Value("data"), DbValue::Bytes(image));
  rows.Next();
  ASSERT_FALSE(rows.AtEnd());
  EXPECT_EQ(rows.Value("note"), DbValue::Text(long_text));
  rows.Next();
  EXPECT_TRUE(rows.AtEnd());
  EXPECT_THROW(rows.Value(0), DbError);
  EXPECT_THROW(rows.Next(), DbError);
}

TEST_P(ConnectionTest, NumbersKeepTheirKind) {
  db_.Execute("CREATE TABLE amounts (price DECIMAL(10,2), ratio DOUBLE PRECISION, big BIGINT)");
  db_.Execute("INSERT INTO amounts VALUES (12.5, 0.25, 5000000000)");
  Recordset rows = db_.Query("SELECT price, ratio, big FROM amounts");
  ASSERT_FALSE(rows.AtEnd());
  EXPECT_EQ(rows.Value(0).type(), DbValue::Type::kDecimal);
  EXPECT_DOUBLE_EQ(std::stod(rows.Value(0).text()), 12.5);
  EXPECT_EQ(rows.Value(1), DbValue::Double(0.25));
  // Wider than 32 bits: exact, not truncated.
  EXPECT_EQ(rows.Value(2), DbValue::Decimal("5000000000"));
}

TEST_P(ConnectionTest, MissingFieldsAndEmptyBinaryAreHandled) {
  CreateItems();
  EXPECT_EQ(db_.ExecuteWithBinary("INSERT INTO items (id, data) VALUES (1, ?)", {}), 1);
  Recordset rows = db_.Query("SELECT id, data FROM items");
  ASSERT_FALSE(rows.AtEnd());
  EXPECT_EQ(rows.Value(1), DbValue::Bytes({}));
  EXPECT_THROW(rows.Value("nothere"), DbError);
  EXPECT_THROW(rows.Value(2), DbError);
  EXPECT_THROW(rows.Value(-1), DbError);
}

TEST_P(ConnectionTest, QuerySingleValueAnswersEmptyForNoRowAndForFailure) {
  CreateItems();
  db_.Execute("INSERT INTO items (id, name) VALUES (7, 'seven')");
  EXPECT_EQ(db_.QuerySingleValue("SELECT name FROM items WHERE id = 7"), DbValue::Text("seven"));
  EXPECT_TRUE(db_.QuerySingleValue("SELECT name FROM items WHERE id = 8").is_empty());
  EXPECT_TRUE(db_.QuerySingleValue("SELECT name FROM no_such_table").is_empty());
  EXPECT_TRUE(db_.QuerySingleValue("THIS IS NOT SQL").is_empty());
  // A failed statement leaves the connection usable (PostgreSQL included).
  EXPECT_EQ(Count("items"), 1);
}

TEST_P(ConnectionTest, FailingStatementRaisesDbErrorWithDriverText) {
  try {
    db_.Execute("SELECT * FROM no_such_table");
    FAIL() << "no error raised";
  } catch (const DbError& error) {
    EXPECT_EQ(error.code(), kErrorFail);
    EXPECT_NE(error.text().find("no_such_table"), std::string::npos) << error.text();
    EXPECT_NE(error.text().find("SQLExecDirect"), std::string::npos) << error.text();
  }
  EXPECT_THROW(db_.Query("SELEC 1"), DbError);
  EXPECT_THROW(db_.ExecuteWithBinary("INSERT INTO no_such_table VALUES (?)", {1}), DbError);
}

TEST_P(ConnectionTest, TransactionsCommitRollBackAndFollowTheFlag) {
  CreateItems();
  db_.BeginTransaction(true);
  db_.Execute("INSERT INTO items (id) VALUES (1)");
  db_.Rollback(true);
  EXPECT_EQ(Count("items"), 0);

  db_.BeginTransaction(true);
  db_.Execute("INSERT INTO items (id) VALUES (2)");
  db_.Commit(true);
  EXPECT_EQ(Count("items"), 1);

  // Flag clear: every statement stands on its own, rollback changes nothing.
  db_.BeginTransaction(false);
  db_.Execute("INSERT INTO items (id) VALUES (3)");
  db_.Rollback(false);
  EXPECT_EQ(Count("items"), 2);

  // Auto-commit is back on after a transaction: a second connection sees
  // the rows at once.
  Connection other;
  other.Open(scratch_->connection_string(), -1);
  EXPECT_EQ(other.QuerySingleValue("SELECT COUNT(*) FROM items").ToInt32(), 2);
}

TEST_P(ConnectionTest, CountsEveryStatementAndTheRowsItWrote) {
  CreateItems();  // DDL reports no records
  const StatementCounts start = db_.statement_counts();
  EXPECT_EQ(start.statements, 1u);
  EXPECT_EQ(start.rows_written, 0u);

  db_.Execute("INSERT INTO items (id) VALUES (1), (2), (3)");
  db_.ExecuteWithBinary("INSERT INTO items (id, data) VALUES (4, ?)", {1, 2});
  db_.Execute("UPDATE items SET name = 'n' WHERE id <= 2");
  db_.Execute("DELETE FROM items WHERE id = 42");  // matches nothing
  db_.Execute("DELETE FROM items WHERE id = 4");
  EXPECT_EQ(db_.statement_counts().statements, start.statements + 5);
  EXPECT_EQ(db_.statement_counts().rows_written, 3u + 1u + 2u + 1u);

  // Reads count as statements and write nothing, however many rows they
  // return; failed statements reached the driver and count too.
  Recordset rows = db_.Query("SELECT id FROM items");
  rows.Close();
  EXPECT_EQ(db_.QuerySingleValue("SELECT COUNT(*) FROM items").ToInt32(), 3);
  EXPECT_TRUE(db_.QuerySingleValue("SELECT x FROM no_such_table").is_empty());
  EXPECT_THROW(db_.Execute("UPDATE no_such_table SET x = 1"), DbError);
  EXPECT_THROW(db_.ExecuteWithBinary("INSERT INTO no_such_table VALUES (?)", {1}), DbError);
  EXPECT_EQ(db_.statement_counts().statements, start.statements + 10);
  EXPECT_EQ(db_.statement_counts().rows_written, 7u);

  // Transactions are no statements, and a rolled-back write was still sent.
  db_.BeginTransaction(true);
  db_.Execute("INSERT INTO items (id) VALUES (5)");
  db_.Rollback(true);
  EXPECT_EQ(db_.statement_counts().statements, start.statements + 11);
  EXPECT_EQ(db_.statement_counts().rows_written, 8u);
}

TEST_P(ConnectionTest, DbmsNameClassifiesAsTheDatabase) {
  std::string name = db_.DbmsName();
  EXPECT_EQ(ClassifyDbmsName(name, true), GetParam().kind) << name;
}

TEST_P(ConnectionTest, CatalogueListsTablesViewsAndColumns) {
  CreateItems();
  db_.Execute("CREATE VIEW item_names AS SELECT id, name FROM items");
  std::vector<std::string> tables = db_.Tables("TABLE");
  std::vector<std::string> views = db_.Tables("VIEW");
  EXPECT_TRUE(Contains(tables, "items"));
  EXPECT_FALSE(Contains(tables, "item_names"));
  EXPECT_TRUE(Contains(views, "item_names"));
  EXPECT_FALSE(Contains(views, "items"));

  std::vector<Connection::Column> columns = db_.Columns("items");
  ASSERT_EQ(columns.size(), 5u);
  EXPECT_EQ(columns[0].name, "id");
  EXPECT_EQ(columns[4].name, "data");
  EXPECT_TRUE(ContainsIgnoringCase(columns[0].type_name, "int")) << columns[0].type_name;
  EXPECT_NE(columns[1].type_name, columns[0].type_name);
  // Only bounded text has a width.
  EXPECT_EQ(columns[1].text_width, 100);
  EXPECT_EQ(columns[0].text_width, 0);
  EXPECT_EQ(columns[2].text_width, 0);  // TEXT: unbounded
  EXPECT_EQ(columns[3].text_width, 0);
  EXPECT_EQ(columns[4].text_width, 0);
  EXPECT_TRUE(db_.Columns("no_such_table").empty());
}

TEST_P(ConnectionTest, CommitsStayDurableWithoutPerStatementOverhead) {
  if (!postgres()) {
    // Written ahead to a log that every commit syncs (FULL is 2).
    EXPECT_EQ(db_.QuerySingleValue("PRAGMA journal_mode").ToText(), "wal");
    EXPECT_EQ(db_.QuerySingleValue("PRAGMA synchronous").ToInt32(), 2);
    return;
  }
  // No savepoint of the driver's own around each statement: a failed
  // statement takes its transaction with it.
  db_.BeginTransaction(true);
  EXPECT_THROW(db_.Execute("SELECT * FROM no_such_table"), DbError);
  EXPECT_THROW(db_.Execute("SELECT 1"), DbError);
  db_.Rollback(true);
  EXPECT_EQ(db_.QuerySingleValue("SELECT 1").ToInt32(), 1);
}

TEST_P(ConnectionTest, PasswordsAreCheckedAndQuotedValuesConnect) {
  if (!postgres()) GTEST_SKIP() << "SQLite has no passwords";
  const TestDatabaseServer& server = GetParam();
  Connection quoted;
  // The test role's password carries ";" and "}", which only brace-quoting
  // (with "}" doubled) passes through intact.
  quoted.Open(
      corvane::testing::PostgresConnectionString(server, "postgres", server.user, server.password),
      -1);
  EXPECT_EQ(quoted.QuerySingleValue("SELECT 1").ToInt32(), 1);

  Connection wrong;
  try {
    wrong.Open(corvane::testing::PostgresConnectionString(server, "postgres", server.user,
                                                          server.password + "x"),
               -1);
    FAIL() << "connected with a wrong password";
  } catch (const DbError& error) {
    EXPECT_NE(error.text().find("password authentication failed"), std::string::npos)
        << error.text();
  }
  EXPECT_FALSE(wrong.is_open());
}

INSTANTIATE_TEST_SUITE_P(Db, ConnectionTest,
                         ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::db
