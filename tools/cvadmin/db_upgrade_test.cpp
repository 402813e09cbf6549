// cvadmin db upgrade on a database of the schema before the unique keys
// (version 3), filled by the server's own processing of the sample full
// scan: nothing is lost, and the server goes on applying scans to it.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "store/testing/scan_processor_fixture.h"
#include "testsupport/child_process.h"

namespace corvane::cvadmin {
namespace {

class DbUpgradeTest : public store::ScanProcessorFixture {
 protected:
  // Every table's row count.
  std::map<std::string, int> RowCounts() {
    std::map<std::string, int> counts;
    for (const db::schema::Table& table : db::schema::InventorySchema().tables) {
      counts[std::string(table.name)] = Count(std::string(table.name));
    }
    return counts;
  }
};

TEST_P(DbUpgradeTest, AFilledVersion3DatabaseLosesNoRowAndTakesScansAfterwards) {
  // The database as version 3 made it: no unique keys.
  connection_.Execute("DROP INDEX UX_Computer_1");
  connection_.Execute("DROP INDEX UX_FileInfo_1");
  connection_.Execute("UPDATE METASYSTEMS SET SCHEMAVERSION = 3");
  ASSERT_TRUE(Processor()->ProcessScanFile(Drop("SCA1.scn", full_)).stored);
  const std::map<std::string, int> before = RowCounts();
  ASSERT_EQ(before.at("AppSoftware"), 985);

  testing::RunResult upgrade = testing::RunToEnd(
      "/bin/sh", {"-c", testing::BuildBinDirectory() + "/cvadmin db upgrade 2>&1"});
  ASSERT_EQ(upgrade.exit_code, 0) << upgrade.output;
  EXPECT_NE(upgrade.output.find("from schema version 3 to " +
                                std::to_string(db::schema::InventorySchema().version)),
            std::string::npos)
      << upgrade.output;
  EXPECT_EQ(RowCounts(), before);
  EXPECT_EQ(Value("SELECT SCHEMAVERSION FROM METASYSTEMS").ToInt32(),
            db::schema::InventorySchema().version);

  // The server applies the delta to the upgraded database.
  ASSERT_TRUE(Processor()->ProcessScanFile(Drop("SCA2.scn", delta_)).stored);
  EXPECT_EQ(Count("AppSoftware", "Name = 'adwaita-icon-theme' AND Version = '43-1+deb12u9'"), 1);
  EXPECT_EQ(Count("AppSoftware", "Name = 'alsa-topology-conf'"), 0);
}

INSTANTIATE_TEST_SUITE_P(Db, DbUpgradeTest,
                         ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::cvadmin
