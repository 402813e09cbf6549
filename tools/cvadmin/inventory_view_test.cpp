// The inventory commands on a database that holds the sample device (its
// full scan and then its delta), on every test database: the library's
// tables, and cvadmin's output as people and scripts read it.

#include "tools/cvadmin/inventory_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "store/testing/scan_processor_fixture.h"
#include "testsupport/child_process.h"

namespace corvane::cvadmin {
namespace {

constexpr char kSampleDevice[] = "{3D1219C7-0000-0000-0000-000000005EED}";

// The server's own processing of the full scan and then the delta, so that
// the change history is the one the server writes.
class InventoryViewTest : public store::ScanProcessorFixture {
 protected:
  void SetUp() override {
    ScanProcessorFixture::SetUp();
    if (IsSkipped()) return;
    auto processor = Processor();
    ASSERT_TRUE(processor->ProcessScanFile(Drop("SCA1.scn", full_)).stored);
    ASSERT_TRUE(processor->ProcessScanFile(Drop("SCA2.scn", delta_)).stored);
  }

  // cvadmin on the default connection, its standard error in the output
  // too.
  corvane::testing::RunResult Cvadmin(const std::string& arguments) {
    return corvane::testing::RunToEnd(
        "/bin/sh",
        {"-c", corvane::testing::BuildBinDirectory() + "/cvadmin " + arguments + " 2>&1"});
  }

  static const std::vector<std::string>* Row(const Tabular& table, size_t column,
                                             const std::string& value) {
    for (const auto& row : table.rows) {
      if (row[column] == value) return &row;
    }
    return nullptr;
  }
};

TEST_P(InventoryViewTest, DevicesAreListedFoundAndSearchedSafely) {
  db::Connection& connection = connection_;
  const Tabular all = ListDevices(connection, "");
  ASSERT_EQ(all.rows.size(), 1u);
  EXPECT_EQ(all.rows[0][1], kSampleDevice);
  EXPECT_EQ(all.rows[0][2], "vm");
  EXPECT_EQ(all.rows[0][4], "192.0.2.2");
  EXPECT_EQ(all.rows[0][5], "Debian GNU/Linux 12");
  EXPECT_EQ(ListDevices(connection, "DEBIAN").rows.size(), 1u);
  // LIKE's wildcards and a quote are text like any other.
  EXPECT_EQ(ListDevices(connection, "_").rows.size(), 0u);
  EXPECT_EQ(ListDevices(connection, "%").rows.size(), 0u);
  EXPECT_EQ(ListDevices(connection, "x' OR '1'='1").rows.size(), 0u);

  const std::string idn = all.rows[0][0];
  for (const std::string& name :
       {std::string("vm"), std::string("VM"), idn, std::string(kSampleDevice)}) {
    EXPECT_EQ(FindDevices(connection, name), std::vector<int32_t>{std::stoi(idn)}) << name;
  }
  EXPECT_TRUE(FindDevices(connection, "nobody").empty());
}

TEST_P(InventoryViewTest, ADeviceShowsItsComponentsAndTheDeltasChanges) {
  db::Connection& connection = connection_;
  const int32_t idn = FindDevices(connection, "vm").at(0);
  const std::vector<ComponentRows> components = DeviceComponents(connection, idn);
  auto component = [&](const std::string& name) -> const Tabular* {
    for (const ComponentRows& found : components) {
      if (found.table == name) return &found.rows;
    }
    return nullptr;
  };
  ASSERT_NE(component("Computer"), nullptr);
  ASSERT_NE(component("AppSoftware"), nullptr);
  EXPECT_EQ(component("AppSoftware")->rows.size(), 985u);
  const auto columns = component("AppSoftware")->columns;
  EXPECT_NE(std::find(columns.begin(), columns.end(), "Version"), columns.end());
  ASSERT_NE(component("NetworkAdapter"), nullptr);
  EXPECT_EQ(component("NetworkAdapter")->rows.size(), 3u);
  // The software files with their catalogue entries; the delta removed one.
  const Tabular* files = component("FileInfoInstance");
  ASSERT_NE(files, nullptr);
  EXPECT_EQ(files->rows.size(), 870u);
  EXPECT_EQ(Row(*files, 0, "/usr/bin/ab"), nullptr);
  const auto* addpart = Row(*files, 0, "/usr/bin/addpart");
  ASSERT_NE(addpart, nullptr);
  EXPECT_EQ(*addpart, (std::vector<std::string>{"/usr/bin/addpart", "addpart", "31040",
                                                "util-linux", "2.38.1-5+deb12u3", "Debian"}));

  const Tabular history = DeviceHistory(connection, GetParam().kind, idn, std::nullopt, 0);
  ASSERT_FALSE(history.rows.empty());
  EXPECT_NE(Row(history, 4, "32768"), nullptr) << "the delta's memory change";
  EXPECT_LE(DeviceHistory(connection, GetParam().kind, idn, std::nullopt, 3).rows.size(), 3u);
  EXPECT_TRUE(
      DeviceHistory(connection, GetParam().kind, idn, ParseDate("2100-01-01"), 0).rows.empty());

  const Tabular software = ListSoftware(connection, "adwaita");
  ASSERT_EQ(software.rows.size(), 1u);
  EXPECT_EQ(software.rows[0],
            (std::vector<std::string>{"adwaita-icon-theme", "43-1+deb12u9", "1"}));
}

TEST_P(InventoryViewTest, CvadminPrintsTheInventoryForPeopleAndScripts) {
  // JSON that parses, with the device in it.
  corvane::testing::RunResult json = Cvadmin(
      "device list --format json | python3 -c 'import json, sys; d = json.load(sys.stdin); "
      "print(len(d), d[0][\"Device ID\"])'");
  EXPECT_EQ(json.output, std::string("1 ") + kSampleDevice + "\n");
  corvane::testing::RunResult shown = Cvadmin("device show vm");
  ASSERT_EQ(shown.exit_code, 0) << shown.output;
  EXPECT_NE(shown.output.find("AppSoftware (985 rows)"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("NetworkAdapter (3 rows)"), std::string::npos);
  EXPECT_NE(shown.output.find("Last changes ("), std::string::npos);
  corvane::testing::RunResult show_json = Cvadmin(
      "device show vm --format json | python3 -c 'import json, sys; d = json.load(sys.stdin); "
      "print(len(d[\"components\"][\"AppSoftware\"]))'");
  EXPECT_EQ(show_json.output, "985\n");
  corvane::testing::RunResult software = Cvadmin("software list --search adwaita --format csv");
  EXPECT_EQ(software.output, "Name,Version,Devices\r\nadwaita-icon-theme,43-1+deb12u9,1\r\n");

  corvane::testing::RunResult unknown = Cvadmin("device show nobody");
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_NE(unknown.output.find("no device is named nobody"), std::string::npos);
  corvane::testing::RunResult help = Cvadmin("device --help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.output.find("usage: cvadmin device list"), std::string::npos);
  EXPECT_EQ(Cvadmin("device list --format xml").exit_code, 2);
}

INSTANTIATE_TEST_SUITE_P(Db, InventoryViewTest,
                         ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::cvadmin
