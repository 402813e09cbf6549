#include "db/schema_create.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "Common/Include/ascii_case.h"
#include "db/dialect.h"
#include "db/error.h"
#include "testsupport/test_databases.h"

namespace corvane::db {
namespace {

using ::corvane::testing::TestDatabaseServer;
using schema::ColumnType;

class SchemaCreateTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no server: set CORVANE_TEST_PG_HOST";
    scratch_ = std::make_unique<corvane::testing::ScratchDatabase>(GetParam());
    db_.Open(scratch_->connection_string(), 30);
  }
  void TearDown() override { db_.Close(); }

  DbmsKind kind() const { return GetParam().kind; }
  std::vector<std::string> UpperTables() {
    std::vector<std::string> names;
    for (const std::string& name : db_.Tables("TABLE")) names.push_back(Upper(name));
    return names;
  }
  int Count(const std::string& table) {
    return db_.QuerySingleValue("SELECT COUNT(*) FROM " + table).ToInt32().value_or(-1);
  }

  std::unique_ptr<corvane::testing::ScratchDatabase> scratch_;
  Connection db_;
};

TEST_P(SchemaCreateTest, CreatesEveryTableAndFillsTheMetaschema) {
  const schema::Schema& definition = schema::InventorySchema();
  EXPECT_FALSE(InventoryDatabaseExists(db_));
  const int64_t before = std::time(nullptr);
  CreateInventoryDatabase(db_, kind());
  EXPECT_TRUE(InventoryDatabaseExists(db_));

  std::vector<std::string> stored = db_.Tables("TABLE");
  for (const schema::Table& table : definition.tables) {
    auto found = std::find_if(stored.begin(), stored.end(), [&](const std::string& name) {
      return EqualsIgnoringCase(name, table.name);
    });
    ASSERT_NE(found, stored.end()) << table.name;
    // The catalogue wants the name as stored (folded on PostgreSQL).
    std::vector<Connection::Column> columns = db_.Columns(*found);
    ASSERT_EQ(columns.size(), table.columns.size()) << table.name;
    for (size_t i = 0; i < columns.size(); ++i) {
      EXPECT_EQ(Upper(columns[i].name), Upper(std::string(table.columns[i].name)));
    }
  }

  Recordset system = db_.Query(
      "SELECT SWSCANFREQ, METASTAMP, SCHEMAVERSION, SYSTEMNAME FROM METASYSTEMS WHERE System_Idn = "
      "0");
  ASSERT_FALSE(system.AtEnd());
  EXPECT_EQ(system.Value(0), DbValue::Int32(1));
  ASSERT_EQ(system.Value(1).type(), DbValue::Type::kDate);
  EXPECT_GE(system.Value(1).date(), before - 1);
  EXPECT_LE(system.Value(1).date(), std::time(nullptr) + 1);
  EXPECT_EQ(system.Value(2), DbValue::Int32(definition.version));
  system.Close();
  EXPECT_EQ(Count("METASYSTEMS"), 1);

  EXPECT_EQ(Count("METAOBJATTRRELATIONS"), static_cast<int>(definition.attributes.size()));
  // The key attribute of the network adapters, read back as the metadata
  // reader reads it.
  Recordset row = db_.Query(
      "SELECT METAOBJATTRRELATIONS_IDN, TABLENAME, PARENTTABLE, TYPENAME, TABLEKIND, PARENTKIND, "
      "KEYATTR, DISPLAYNAME FROM METAOBJATTRRELATIONS WHERE COMPONENTPATH = "
      "'Computer.Network.Adapter' AND ATTRIBUTENAME = 'Name'");
  ASSERT_FALSE(row.AtEnd());
  EXPECT_EQ(row.Value("TABLENAME"), DbValue::Text("NetworkAdapter"));
  EXPECT_EQ(row.Value("PARENTTABLE"), DbValue::Text("Computer"));
  EXPECT_EQ(row.Value("TYPENAME"), DbValue::Text("VARCHAR"));
  EXPECT_EQ(row.Value("TABLEKIND"), DbValue::Int32(schema::kKindKeyedRow));
  EXPECT_EQ(row.Value("PARENTKIND"), DbValue::Int32(schema::kKindDevice));
  EXPECT_EQ(row.Value("KEYATTR"), DbValue::Int32(1));
  EXPECT_EQ(row.Value("DISPLAYNAME"), DbValue::Text("Computer.Network.Adapter.Name"));
  row.Close();
  EXPECT_EQ(db_.QuerySingleValue(
                "SELECT PARENTTABLE FROM METAOBJATTRRELATIONS WHERE METAOBJATTRRELATIONS_IDN = 1"),
            DbValue::Null());

  int keyed = static_cast<int>(std::count_if(definition.tables.begin(), definition.tables.end(),
                                             [](const auto& t) { return !t.key_list.empty(); }));
  EXPECT_EQ(Count("CV_MKEYS"), keyed);
  EXPECT_EQ(db_.QuerySingleValue("SELECT KeyList FROM CV_MKEYS WHERE NAME = 'XPKNetworkAdapter'"),
            DbValue::Text("Computer_Idn,Name"));
}

TEST_P(SchemaCreateTest, OwnIdTablesHandOutTheirNewIds) {
  CreateInventoryDatabase(db_, kind());
  for (const char* device : {"alpha", "beta"}) {
    db_.Execute(std::string("INSERT INTO Computer (DeviceName) VALUES ('") + device + "')");
    DbValue id = db_.QuerySingleValue(InsertedKeyQuery(kind(), "Computer"));
    ASSERT_TRUE(id.ToInt32().has_value()) << device;
    EXPECT_EQ(db_.QuerySingleValue(std::string("SELECT Computer_Idn FROM Computer WHERE "
                                               "DeviceName = '") +
                                   device + "'")
                  .ToInt32(),
              id.ToInt32());
    db_.Execute("INSERT INTO NetworkAdapter (Computer_Idn, Name) VALUES (" +
                std::to_string(*id.ToInt32()) + ", 'eth0')");
    EXPECT_EQ(db_.QuerySingleValue(InsertedKeyQuery(kind(), "NetworkAdapter")).ToInt32(),
              db_.QuerySingleValue("SELECT MAX(NetworkAdapter_Idn) FROM NetworkAdapter").ToInt32());
  }
  EXPECT_NE(db_.QuerySingleValue("SELECT MIN(Computer_Idn) FROM Computer"),
            db_.QuerySingleValue("SELECT MAX(Computer_Idn) FROM Computer"));
}

// The metaschema tables of the inventory definition plus one table with
// every column type.
schema::Schema WithTypesTable() {
  schema::Schema definition;
  for (const schema::Table& table : schema::InventorySchema().tables) {
    if (table.kind == schema::kKindNone) definition.tables.push_back(table);
  }
  schema::Table snapshot;
  snapshot.name = "Snapshot";
  snapshot.kind = schema::kKindKeyedRow;
  snapshot.id_column = "Snapshot_Idn";
  snapshot.columns = {{"Snapshot_Idn", ColumnType::kInteger, 0, true},
                      {"Computer_Idn", ColumnType::kInteger, 0, false},
                      {"Taken", ColumnType::kDate, 0, false},
                      {"Picture", ColumnType::kImage, 0, false},
                      {"Caption", ColumnType::kText, 20, false}};
  definition.tables.push_back(snapshot);
  return definition;
}

TEST_P(SchemaCreateTest, ImageAndDateColumnsReadBackAsBytesAndDates) {
  CreateInventoryDatabase(db_, kind(), WithTypesTable());
  std::vector<uint8_t> picture(9000);
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 13);
  std::tm local{};
  local.tm_year = 123, local.tm_mon = 10, local.tm_mday = 2;
  local.tm_hour = 8, local.tm_min = 9, local.tm_sec = 10, local.tm_isdst = -1;
  int64_t taken = std::mktime(&local);
  EXPECT_EQ(db_.ExecuteWithBinary("INSERT INTO Snapshot (Computer_Idn, Taken, Picture, Caption) "
                                  "VALUES (1, " +
                                      DateLiteral(taken, kind()) + ", ?, 'x')",
                                  picture),
            1);
  Recordset rows = db_.Query("SELECT Taken, Picture, Caption, Computer_Idn FROM Snapshot");
  ASSERT_FALSE(rows.AtEnd());
  EXPECT_EQ(rows.Value(0), DbValue::Date(taken));
  EXPECT_EQ(rows.Value(1), DbValue::Bytes(picture));
  EXPECT_EQ(rows.Value(2), DbValue::Text("x"));
  EXPECT_EQ(rows.Value(3), DbValue::Int32(1));
}

TEST_P(SchemaCreateTest, SecondCreateIsRefusedAndChangesNothing) {
  CreateInventoryDatabase(db_, kind());
  db_.Execute("INSERT INTO Computer (DeviceName) VALUES ('kept')");
  db_.Execute("UPDATE METASYSTEMS SET SWSCANFREQ = 5");
  try {
    CreateInventoryDatabase(db_, kind());
    FAIL() << "second create accepted";
  } catch (const DbError& error) {
    EXPECT_NE(error.text().find("already"), std::string::npos) << error.text();
  }
  EXPECT_EQ(Count("Computer"), 1);
  EXPECT_EQ(Count("METAOBJATTRRELATIONS"),
            static_cast<int>(schema::InventorySchema().attributes.size()));
  EXPECT_EQ(db_.QuerySingleValue("SELECT SWSCANFREQ FROM METASYSTEMS"), DbValue::Int32(5));
}

TEST_P(SchemaCreateTest, FailureHalfWayLeavesTheDatabaseAsItWas) {
  schema::Schema definition = WithTypesTable();
  // A plain identifier every DBMS refuses as a table name, created last.
  schema::Table order;
  order.name = "Order";
  order.columns = {{"Id", ColumnType::kInteger, 0, false}};
  definition.tables.push_back(order);
  try {
    CreateInventoryDatabase(db_, kind(), definition);
    FAIL() << "created a table named Order";
  } catch (const DbError& error) {
    EXPECT_NE(error.text().find("nothing was changed"), std::string::npos) << error.text();
    EXPECT_NE(error.text().find("CREATE TABLE Order"), std::string::npos) << error.text();
  }
  EXPECT_TRUE(UpperTables().empty());
  // The connection is usable afterwards, and a good definition goes in.
  CreateInventoryDatabase(db_, kind(), WithTypesTable());
  EXPECT_TRUE(InventoryDatabaseExists(db_));
}

INSTANTIATE_TEST_SUITE_P(Db, SchemaCreateTest,
                         ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::db
