#include "db/schema_upgrade.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "Common/Include/ascii_case.h"
#include "db/error.h"
#include "db/schema_create.h"
#include "testsupport/test_databases.h"

namespace corvane::db {
namespace {

using ::corvane::testing::TestDatabaseServer;

// The definition as a database of `version` was made: before 4 without the
// unique keys, before 3 without the job table.
schema::Schema DefinitionOfVersion(int version) {
  schema::Schema definition = schema::InventorySchema();
  definition.version = version;
  for (schema::Table& table : definition.tables) table.unique_keys.clear();
  if (version < 3) {
    std::erase_if(definition.tables, [](const schema::Table& table) {
      return EqualsIgnoringCase(table.name, schema::jobs::kTable);
    });
  }
  return definition;
}

class SchemaUpgradeTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no server: set CORVANE_TEST_PG_HOST";
    scratch_ = std::make_unique<corvane::testing::ScratchDatabase>(GetParam());
    db_.Open(scratch_->connection_string(), 30);
  }
  void TearDown() override { db_.Close(); }

  DbmsKind kind() const { return GetParam().kind; }
  int Count(const std::string& from) {
    return db_.QuerySingleValue("SELECT COUNT(*) FROM " + from).ToInt32().value_or(-1);
  }
  // True when the statement fails as a concurrency conflict would.
  bool RefusedAsTaken(const std::string& sql) {
    try {
      db_.Execute(sql);
      return false;
    } catch (const DbError& error) {
      EXPECT_TRUE(IsConcurrencyConflict(error)) << error.sql_state() << " " << error.text();
      return true;
    }
  }
  void InsertFile(const std::string& name, const std::string& size) {
    db_.Execute("INSERT INTO FileInfo (FileName, FileSize) VALUES ('" + name + "', " + size + ")");
  }
  int FileId(const std::string& name) {
    return db_
        .QuerySingleValue("SELECT MIN(FileInfo_Idn) FROM FileInfo WHERE FileName = '" + name + "'")
        .ToInt32()
        .value_or(-1);
  }
  void ExpectUniqueKeysHold() {
    db_.Execute("INSERT INTO Computer (DeviceId) VALUES ('{A}')");
    EXPECT_TRUE(RefusedAsTaken("INSERT INTO Computer (DeviceId) VALUES ('{A}')"));
    // Mini scans of unknown devices share the placeholder, and rows
    // without a device ID are no device IDs.
    db_.Execute("INSERT INTO Computer (DeviceId) VALUES ('Unassigned')");
    db_.Execute("INSERT INTO Computer (DeviceId) VALUES ('Unassigned')");
    db_.Execute("INSERT INTO Computer (DeviceName) VALUES ('no id')");
    db_.Execute("INSERT INTO Computer (DeviceName) VALUES ('no id')");

    InsertFile("keyed.exe", "100");
    EXPECT_TRUE(
        RefusedAsTaken("INSERT INTO FileInfo (FileName, FileSize) VALUES ('KEYED.EXE', 100)"));
    InsertFile("keyed.exe", "101");
    InsertFile("sizeless.exe", "NULL");
    EXPECT_TRUE(
        RefusedAsTaken("INSERT INTO FileInfo (FileName, FileSize) VALUES ('Sizeless.exe', NULL)"));
  }

  std::unique_ptr<corvane::testing::ScratchDatabase> scratch_;
  Connection db_;
};

TEST_P(SchemaUpgradeTest, NewDatabaseHoldsItsUniqueKeysAndNeedsNoUpgrade) {
  CreateInventoryDatabase(db_, kind());
  ExpectUniqueKeysHold();
  const SchemaUpgrade upgrade = UpgradeInventoryDatabase(db_, kind());
  EXPECT_EQ(upgrade.from_version, schema::InventorySchema().version);
  EXPECT_TRUE(upgrade.steps.empty());
}

TEST_P(SchemaUpgradeTest, FirstReleasedSchemaGainsJobsUniqueKeysAndMergedFiles) {
  CreateInventoryDatabase(db_, kind(), DefinitionOfVersion(2));
  EXPECT_EQ(StoredSchemaVersion(db_), 2);
  // What two servers wrote at once before the unique keys: one file
  // catalogued twice (in two cases), instances linked to either row.
  InsertFile("Dup.exe", "7");
  InsertFile("DUP.EXE", "7");
  InsertFile("dup.exe", "8");
  db_.Execute("INSERT INTO Computer (DeviceId) VALUES ('{B}')");
  const std::string computer = std::to_string(
      db_.QuerySingleValue("SELECT Computer_Idn FROM Computer").ToInt32().value_or(-1));
  const int oldest = FileId("Dup.exe");
  const int repeat = FileId("DUP.EXE");
  for (int link : {oldest, repeat}) {
    db_.Execute("INSERT INTO FileInfoInstance (Computer_Idn, Path, FileInfo_Idn) VALUES (" +
                computer + ", '/bin/" + std::to_string(link) + "', " + std::to_string(link) + ")");
  }

  const SchemaUpgrade upgrade = UpgradeInventoryDatabase(db_, kind());
  EXPECT_EQ(upgrade.from_version, 2);
  EXPECT_EQ(upgrade.to_version, schema::InventorySchema().version);
  EXPECT_EQ(StoredSchemaVersion(db_), schema::InventorySchema().version);
  EXPECT_EQ(Count(std::string(schema::jobs::kTable)), 0);
  EXPECT_EQ(Count("FileInfo"), 2);
  EXPECT_EQ(Count("FileInfoInstance WHERE FileInfo_Idn = " + std::to_string(oldest)), 2);
  EXPECT_EQ(Count("FileInfo WHERE FileInfo_Idn = " + std::to_string(repeat)), 0);
  ExpectUniqueKeysHold();
  // Upgraded once, it is current.
  EXPECT_TRUE(UpgradeInventoryDatabase(db_, kind()).steps.empty());
}

TEST_P(SchemaUpgradeTest, RepeatedDeviceIdsAreNamedAndNothingChanges) {
  CreateInventoryDatabase(db_, kind(), DefinitionOfVersion(3));
  for (const char* id : {"{TWICE}", "{TWICE}", "{ONCE}", "Unassigned", "Unassigned"}) {
    db_.Execute(std::string("INSERT INTO Computer (DeviceId) VALUES ('") + id + "')");
  }
  InsertFile("same.exe", "1");
  InsertFile("SAME.exe", "1");
  try {
    UpgradeInventoryDatabase(db_, kind());
    FAIL() << "upgraded over repeated device IDs";
  } catch (const DbError& error) {
    EXPECT_NE(error.text().find("{TWICE} (2 rows)"), std::string::npos) << error.text();
    EXPECT_EQ(error.text().find("Unassigned"), std::string::npos) << error.text();
    EXPECT_NE(error.text().find("nothing was changed"), std::string::npos) << error.text();
  }
  EXPECT_EQ(StoredSchemaVersion(db_), 3);
  EXPECT_EQ(Count("FileInfo"), 2);
  db_.Execute("INSERT INTO Computer (DeviceId) VALUES ('{ONCE}')");

  db_.Execute("DELETE FROM Computer WHERE DeviceId IN ('{TWICE}', '{ONCE}')");
  UpgradeInventoryDatabase(db_, kind());
  EXPECT_EQ(Count("FileInfo"), 1);
  ExpectUniqueKeysHold();
}

TEST_P(SchemaUpgradeTest, NewerOrUnknownSchemasAreRefused) {
  EXPECT_THROW(UpgradeInventoryDatabase(db_, kind()), DbError);  // no schema at all
  CreateInventoryDatabase(db_, kind());
  db_.Execute("UPDATE METASYSTEMS SET SCHEMAVERSION = 99");
  try {
    UpgradeInventoryDatabase(db_, kind());
    FAIL() << "upgraded a newer schema";
  } catch (const DbError& error) {
    EXPECT_NE(error.text().find("newer"), std::string::npos) << error.text();
  }
  db_.Execute("UPDATE METASYSTEMS SET SCHEMAVERSION = 1");
  EXPECT_THROW(UpgradeInventoryDatabase(db_, kind()), DbError);
}

TEST_P(SchemaUpgradeTest, AppendedAttributesGetTheirMetaschemaRows) {
  schema::Schema older = DefinitionOfVersion(3);
  older.attributes.resize(older.attributes.size() - 3);
  CreateInventoryDatabase(db_, kind(), older);
  const SchemaUpgrade upgrade = UpgradeInventoryDatabase(db_, kind());
  ASSERT_FALSE(upgrade.steps.empty());
  EXPECT_EQ(upgrade.steps.back(), "Added 3 metaschema rows.");
  EXPECT_EQ(Count("METAOBJATTRRELATIONS"),
            static_cast<int>(schema::InventorySchema().attributes.size()));
  EXPECT_EQ(db_.QuerySingleValue("SELECT MAX(METAOBJATTRRELATIONS_IDN) FROM METAOBJATTRRELATIONS")
                .ToInt32(),
            static_cast<int>(schema::InventorySchema().attributes.size()));
}

INSTANTIATE_TEST_SUITE_P(Db, SchemaUpgradeTest,
                         ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::db
