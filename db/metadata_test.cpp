// The metadata component's housekeeping and names on a created inventory
// database, on every test database.

#include "db/metadata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>

#include "db/connection.h"
#include "db/dialect.h"
#include "db/error.h"
#include "db/schema.h"
#include "db/schema_create.h"
#include "testsupport/test_databases.h"

namespace corvane::db {
namespace {

using testing::AvailableTestDatabases;
using testing::ScratchDatabase;
using testing::TestDatabaseServer;

class MetadataComponentTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    database_ = std::make_unique<ScratchDatabase>(GetParam());
    connection_.Open(database_->connection_string(), -1);
    CreateInventoryDatabase(connection_, GetParam().kind);
    component_.SetConnection(&connection_, GetParam().kind);
    component_.Load();
    // A multi-row device table of the definition, found through its key.
    std::optional<MetadataRecord> adapter =
        component_.AttributeByPath("Computer.Network.Adapter", "Name", 0);
    ASSERT_TRUE(adapter.has_value());
    child_table_ = adapter->table;
    child_column_ = adapter->column;
  }

  std::string DaysAgo(int days) {
    return DateLiteral(static_cast<int64_t>(std::time(nullptr)) - days * 86400LL, GetParam().kind);
  }

  int32_t AddDevice(const std::string& device_id, const std::string& last_update) {
    connection_.Execute("INSERT INTO Computer (DeviceId, DeviceName, LastUpdInvSvr) VALUES ('" +
                        device_id + "', 'name-" + device_id + "', " + last_update + ")");
    return *connection_.QuerySingleValue(InsertedKeyQuery(GetParam().kind, "Computer")).ToInt32();
  }

  void AddChildRow(int32_t computer_idn) {
    connection_.Execute("INSERT INTO " + child_table_ + " (Computer_Idn, " + child_column_ +
                        ") VALUES (" + std::to_string(computer_idn) + ", 'eth0')");
  }

  void AddHistory(int32_t computer_idn, const std::string& when) {
    connection_.Execute(
        "INSERT INTO HISTORY (COMPUTER_IDN, METAOBJATTRRELATIONS_IDN, CHANGEDATE, PKVALTYPE) "
        "VALUES (" +
        std::to_string(computer_idn) + ", 1, " + when + ", 0)");
  }

  int Count(const std::string& table, const std::string& condition) {
    return *connection_.QuerySingleValue("SELECT COUNT(*) FROM " + table + " WHERE " + condition)
                .ToInt32();
  }

  std::unique_ptr<ScratchDatabase> database_;
  Connection connection_;
  MetadataComponent component_;
  std::string child_table_;
  std::string child_column_;
};

TEST_P(MetadataComponentTest, PurgeRemovesDevicesAndHistoryOlderThanTheAge) {
  const int32_t stale = AddDevice("stale", DaysAgo(40));
  const int32_t recent = AddDevice("recent", DaysAgo(2));
  const int32_t never = AddDevice("never", "NULL");
  for (int32_t device : {stale, recent, never}) AddChildRow(device);
  AddHistory(recent, DaysAgo(40));
  AddHistory(recent, DaysAgo(1));

  component_.PurgeOldData(0);
  EXPECT_EQ(Count("Computer", "1 = 1"), 3);
  EXPECT_EQ(Count("HISTORY", "1 = 1"), 2);

  component_.PurgeOldData(30);
  EXPECT_EQ(Count("Computer", "Computer_Idn = " + std::to_string(stale)), 0);
  EXPECT_EQ(Count(child_table_, "Computer_Idn = " + std::to_string(stale)), 0);
  EXPECT_EQ(Count("Computer", "1 = 1"), 2);  // a device never stamped is kept
  EXPECT_EQ(Count(child_table_, "1 = 1"), 2);
  EXPECT_EQ(Count("HISTORY", "1 = 1"), 1);
}

TEST_P(MetadataComponentTest, MaintainRemovesRowsOfDevicesThatAreGone) {
  const int32_t kept = AddDevice("kept", DaysAgo(1));
  AddChildRow(kept);
  AddChildRow(kept + 1000);  // its device row was deleted by hand
  AddHistory(kept + 1000, DaysAgo(1));
  component_.Maintain();
  EXPECT_EQ(Count(child_table_, "1 = 1"), 1);
  EXPECT_EQ(Count(child_table_, "Computer_Idn = " + std::to_string(kept)), 1);
  EXPECT_EQ(Count("HISTORY", "1 = 1"), 0);
}

TEST_P(MetadataComponentTest, NamesDevicesAndListsAttributes) {
  const int32_t device = AddDevice("dev-1", DaysAgo(0));
  std::string name;
  ASSERT_TRUE(component_.NameByNumber(device, name));
  EXPECT_EQ(name, "name-dev-1");
  connection_.Execute("UPDATE Computer SET DeviceName = NULL WHERE Computer_Idn = " +
                      std::to_string(device));
  ASSERT_TRUE(component_.NameByNumber(device, name));
  EXPECT_EQ(name, "dev-1");
  EXPECT_FALSE(component_.NameByNumber(device + 1, name));

  std::string names;
  component_.NameListB("Computer.Network.Adapter", "Name", "|", names, -1, 0);
  EXPECT_EQ(names, "Computer.Network.Adapter.Name");
  component_.NameListA(child_table_, ";", names, 0, 2);
  EXPECT_EQ(std::count(names.begin(), names.end(), ';'), 1) << names;
}

TEST_P(MetadataComponentTest, ResetForgetsAndTheStampIsRefreshedOnlyWhenMissing) {
  const DbValue stamp = component_.Stamp();
  ASSERT_EQ(stamp.type(), DbValue::Type::kDate);
  component_.RefreshStamp();
  EXPECT_EQ(component_.Stamp(), stamp);
  connection_.Execute("UPDATE METASYSTEMS SET METASTAMP = NULL WHERE System_Idn = 0");
  EXPECT_EQ(component_.Stamp().type(), DbValue::Type::kNull);
  component_.RefreshStamp();
  EXPECT_EQ(component_.Stamp().type(), DbValue::Type::kDate);

  component_.Reset();
  EXPECT_THROW(component_.AttributeByPath("Computer", "Device ID", 0), DbError);
}

INSTANTIATE_TEST_SUITE_P(Db, MetadataComponentTest, ::testing::ValuesIn(AvailableTestDatabases()),
                         testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::db
