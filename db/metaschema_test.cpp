// The metaschema and the device processor's opening, on a database created
// from the inventory schema definition, on every test database.

#include "db/metaschema.h"

#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <string>

#include "Common/Include/ascii_case.h"
#include "db/connection.h"
#include "db/device_processor.h"
#include "db/dialect.h"
#include "db/error.h"
#include "db/schema.h"
#include "db/schema_create.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane::db {
namespace {

using testing::AvailableTestDatabases;
using testing::ScratchDatabase;
using testing::TestDatabaseServer;

DataType ExpectedDataType(schema::ColumnType type) {
  switch (type) {
    case schema::ColumnType::kInteger:
      return kValueNumber;
    case schema::ColumnType::kDate:
      return kValueDate;
    case schema::ColumnType::kImage:
      return kValueBinary;
    case schema::ColumnType::kText:
      break;
  }
  return kValueText;
}

TEST(MetaschemaChangeCheckTest, OnlyAnOlderOrEqualDateStampCountsAsUnchanged) {
  EXPECT_FALSE(MetaschemaChanged(DbValue::Date(100), DbValue::Date(100)));
  EXPECT_FALSE(MetaschemaChanged(DbValue::Date(99), DbValue::Date(100)));
  EXPECT_TRUE(MetaschemaChanged(DbValue::Date(101), DbValue::Date(100)));
  EXPECT_TRUE(MetaschemaChanged(DbValue::Null(), DbValue::Date(100)));
  EXPECT_TRUE(MetaschemaChanged(DbValue::Date(100), DbValue()));
  EXPECT_TRUE(MetaschemaChanged(DbValue::Text("100"), DbValue::Date(100)));
}

TEST(MetaschemaTypeTest, TypeNamesGiveTheWritersValueKinds) {
  EXPECT_EQ(DataTypeOfTypeName("varchar"), kValueText);
  EXPECT_EQ(DataTypeOfTypeName("CHAR"), kValueText);
  EXPECT_EQ(DataTypeOfTypeName("INT"), kValueNumber);
  EXPECT_EQ(DataTypeOfTypeName("IMAGE"), kValueBinary);
  EXPECT_EQ(DataTypeOfTypeName("DateTime"), kValueDate);
  EXPECT_EQ(DataTypeOfTypeName("no such type"), kValueText);
}

TEST(MetaschemaAttachTest, KeepsOnlyKindsItWritesSqlFor) {
  Connection unopened;
  Metaschema metaschema;
  EXPECT_FALSE(metaschema.Attach(nullptr, kDbmsSqlServer, 5));
  EXPECT_EQ(metaschema.lookup_option(), kDefaultLookupOption);
  EXPECT_TRUE(metaschema.Attach(&unopened, kDbmsOracle, 7));
  EXPECT_FALSE(metaschema.Attach(&unopened, kDbmsOther, 9));
  EXPECT_EQ(metaschema.dbms_kind(), kDbmsOracle);
  EXPECT_EQ(metaschema.lookup_option(), 9);
}

class CreatedDatabaseTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    database_ = std::make_unique<ScratchDatabase>(GetParam());
    connection_.Open(database_->connection_string(), -1);
    CreateInventoryDatabase(connection_, GetParam().kind);
    testing::WriteDefaultConnection(*database_);
  }

  std::string Now(int64_t offset_seconds = 0) {
    return DateLiteral(static_cast<int64_t>(std::time(nullptr)) + offset_seconds, GetParam().kind);
  }

  testing::TempRoot root_;
  std::unique_ptr<ScratchDatabase> database_;
  Connection connection_;
};

TEST_P(CreatedDatabaseTest, OpensLoadsAndAnswersForEveryAttributeOfTheDefinition) {
  DeviceProcessor processor;
  ASSERT_EQ(processor.Open(30), 0u) << processor.error_text();
  EXPECT_EQ(processor.dbms_kind(), GetParam().kind);
  ASSERT_TRUE(processor.metaschema_loaded());
  EXPECT_EQ(processor.metaschema_stamp().type(), DbValue::Type::kDate);
  const Metaschema& metaschema = *processor.metaschema();
  const schema::Schema& definition = schema::InventorySchema();

  std::set<std::string> expected_tables;
  for (const schema::Table& table : definition.tables) {
    const std::string name = Lower(table.name);
    if (definition.FindColumn(table.name, "Computer_Idn") != nullptr && name != "fileinfo" &&
        name != "fileinfoinstance")
      expected_tables.insert(name);
  }
  std::set<std::string> found_tables;
  for (const std::string& table : metaschema.device_tables()) found_tables.insert(Lower(table));
  EXPECT_EQ(found_tables, expected_tables);

  for (size_t i = 0; i < definition.attributes.size(); ++i) {
    const schema::Attribute& attribute = definition.attributes[i];
    SCOPED_TRACE(std::string(attribute.component) + "." + std::string(attribute.attribute));
    std::optional<AttributeInfo> info =
        metaschema.LookupAttribute(attribute.component, attribute.attribute);
    ASSERT_TRUE(info.has_value());
    const schema::Table& table = *definition.FindTable(attribute.table);
    const schema::Table* parent = definition.FindTable(table.parent);
    EXPECT_EQ(info->table, attribute.table);
    EXPECT_EQ(info->column, attribute.column);
    EXPECT_EQ(info->parent_table, table.parent);
    const schema::Column& column = *definition.FindColumn(attribute.table, attribute.column);
    EXPECT_EQ(info->data_type, ExpectedDataType(column.type));
    // Widths come from the database catalogue, in any spelling of the names.
    EXPECT_EQ(metaschema.TextWidth(Lower(info->table), info->column),
              column.type == schema::ColumnType::kText ? column.length : 0);
    EXPECT_EQ(info->table_kind, table.kind);
    EXPECT_EQ(info->parent_kind, parent != nullptr ? parent->kind : 0);
    EXPECT_EQ(info->metaobject_id, static_cast<int32_t>(i + 1));
    EXPECT_EQ(info->is_key, attribute.key);
    EXPECT_EQ(info->marker, attribute.marker);
    EXPECT_EQ(info->track_flags, attribute.track_flags);
    EXPECT_EQ(info->dotted_name,
              std::string(attribute.component) + "." + std::string(attribute.attribute));
    std::optional<AttributeInfo> by_column = metaschema.LookupColumn(info->table, info->column);
    ASSERT_TRUE(by_column.has_value());
    EXPECT_EQ(by_column->column, info->column);
  }
  for (const schema::Table& table : definition.tables) {
    std::vector<std::string> expected(table.key_list.begin(), table.key_list.end());
    EXPECT_EQ(metaschema.KeyList(table.name), expected) << table.name;
  }
  EXPECT_FALSE(metaschema.LookupAttribute("Computer.No Such", "Thing").has_value());
}

TEST_P(CreatedDatabaseTest, DiscoveryTakesViewsAndGrowsPastItsFirstRoom) {
  for (int i = 0; i < 140; ++i)
    connection_.Execute("CREATE TABLE extra" + std::to_string(i) + " (Computer_Idn INTEGER)");
  connection_.Execute("CREATE TABLE nodevice (Other_Idn INTEGER)");
  connection_.Execute("CREATE VIEW deviceview AS SELECT Computer_Idn FROM extra0");
  Metaschema metaschema;
  ASSERT_TRUE(metaschema.Attach(&connection_, GetParam().kind, kDefaultLookupOption));
  ASSERT_TRUE(metaschema.Load());
  std::set<std::string> found;
  for (const std::string& table : metaschema.device_tables()) found.insert(Lower(table));
  for (int i = 0; i < 140; ++i) EXPECT_TRUE(found.count("extra" + std::to_string(i))) << i;
  EXPECT_TRUE(found.count("deviceview"));
  EXPECT_FALSE(found.count("nodevice"));
  EXPECT_FALSE(found.count("fileinfoinstance"));
  // Views come after every table.
  EXPECT_EQ(Lower(metaschema.device_tables().back()), "deviceview");
}

TEST_P(CreatedDatabaseTest, AMissingStampIsRefreshedAndALaterOneReloads) {
  connection_.Execute("UPDATE METASYSTEMS SET METASTAMP = NULL WHERE System_Idn = 0");
  DeviceProcessor processor;
  ASSERT_EQ(processor.Open(30), 0u) << processor.error_text();
  ASSERT_EQ(processor.metaschema_stamp().type(), DbValue::Type::kDate);
  EXPECT_FALSE(processor.ReloadMetaschemaIfChanged());

  // A new metaschema row with a later stamp is seen by the next device.
  connection_.Execute(
      "INSERT INTO METAOBJATTRRELATIONS (METAOBJATTRRELATIONS_IDN, COMPONENTPATH, "
      "ATTRIBUTENAME, TABLENAME, COLUMNNAME, TYPENAME, TABLEKIND, PARENTKIND, KEYATTR, MARKER, "
      "TRACKFLAGS) VALUES (99999, 'Computer.Test', 'Probe', 'Computer', 'DeviceName', 'VARCHAR', "
      "6, 0, 0, 0, 0)");
  EXPECT_FALSE(processor.metaschema()->LookupAttribute("Computer.Test", "Probe").has_value());
  connection_.Execute("UPDATE METASYSTEMS SET METASTAMP = " + Now(3600) + " WHERE System_Idn = 0");
  EXPECT_TRUE(processor.ReloadMetaschemaIfChanged());
  EXPECT_TRUE(processor.metaschema()->LookupAttribute("Computer.Test", "Probe").has_value());
  EXPECT_FALSE(processor.ReloadMetaschemaIfChanged());
}

TEST_P(CreatedDatabaseTest, AfterAFailedReopenTheMetaschemaReadsOverTheNewConnection) {
  if (GetParam().kind != kDbmsPostgres) GTEST_SKIP() << "a refused login needs a server";
  DeviceProcessor processor;
  ASSERT_EQ(processor.Open(30), 0u) << processor.error_text();
  // A reopen that fails releases the connection the metaschema was read over.
  testing::WriteDefaultConnection(*database_, "not the password");
  ASSERT_NE(processor.Open(30, /*report_failure=*/false), 0u);
  EXPECT_EQ(processor.connection(), nullptr);
  testing::WriteDefaultConnection(*database_);
  ASSERT_EQ(processor.Open(30), 0u) << processor.error_text();

  connection_.Execute(
      "INSERT INTO METAOBJATTRRELATIONS (METAOBJATTRRELATIONS_IDN, COMPONENTPATH, "
      "ATTRIBUTENAME, TABLENAME, COLUMNNAME, TYPENAME, TABLEKIND, PARENTKIND, KEYATTR, MARKER, "
      "TRACKFLAGS) VALUES (99998, 'Computer.Test', 'Again', 'Computer', 'DeviceName', 'VARCHAR', "
      "6, 0, 0, 0, 0)");
  connection_.Execute("UPDATE METASYSTEMS SET METASTAMP = " + Now(3600) + " WHERE System_Idn = 0");
  EXPECT_TRUE(processor.ReloadMetaschemaIfChanged());
  EXPECT_TRUE(processor.metaschema()->LookupAttribute("Computer.Test", "Again").has_value());
}

// A newer server may have upgraded the database: what this one does not
// know it must not write over, neither at its start nor after an upgrade
// that happens while it runs.
TEST_P(CreatedDatabaseTest, ASchemaNewerThanTheProgramsIsRefusedAtOpenAndAfterAnUpgrade) {
  const int known = schema::InventorySchema().version;
  const std::string set_version = "UPDATE METASYSTEMS SET SCHEMAVERSION = ";
  connection_.Execute(set_version + std::to_string(known + 1) + " WHERE System_Idn = 0");
  DeviceProcessor processor;
  EXPECT_EQ(processor.Open(30), kErrorSchemaTooNew);
  EXPECT_EQ(processor.connection(), nullptr);
  EXPECT_EQ(processor.error_text(), "The database's schema is version " +
                                        std::to_string(known + 1) + ", newer than version " +
                                        std::to_string(known) + ", the newest this server knows");
  EXPECT_EQ(processor.OpenFailureText(kErrorSchemaTooNew), processor.error_text());

  connection_.Execute(set_version + std::to_string(known) + " WHERE System_Idn = 0");
  ASSERT_EQ(processor.Open(30), 0u) << processor.error_text();
  EXPECT_FALSE(processor.ReloadMetaschemaIfChanged());
  // A version change alone is noticed with the stamp an upgrade writes.
  connection_.Execute(set_version + std::to_string(known + 1) + " WHERE System_Idn = 0");
  EXPECT_FALSE(processor.ReloadMetaschemaIfChanged());
  connection_.Execute("UPDATE METASYSTEMS SET METASTAMP = " + Now(3600) + " WHERE System_Idn = 0");
  try {
    processor.ReloadMetaschemaIfChanged();
    ADD_FAILURE() << "a newer schema was reloaded";
  } catch (const DbError& error) {
    EXPECT_EQ(error.code(), kErrorSchemaTooNew);
    EXPECT_NE(error.text().find(std::to_string(known + 1)), std::string::npos) << error.text();
  }
}

INSTANTIATE_TEST_SUITE_P(Db, CreatedDatabaseTest, ::testing::ValuesIn(AvailableTestDatabases()),
                         testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::db
