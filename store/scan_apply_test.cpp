// The sample scans applied end to end through the scan reader and the scan
// store, on every test database.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

#include "db/dialect.h"
#include "scan/line_splitter.h"
#include "scan/scan_text.h"
#include "store/testing/store_harness.h"

namespace corvane::store {
namespace {

using corvane::testing::AvailableTestDatabases;
using corvane::testing::TestDatabaseServer;
using testing::ApplyResult;
using testing::SampleScan;
using testing::StoreHarness;

// The text without the lines that contain `needle` (a line and the
// abbreviated lines that continue it go together when `with_followers`).
std::string WithoutLines(const std::string& text, const std::string& needle, bool with_followers) {
  std::istringstream in(text);
  std::string out, line;
  bool dropping = false;
  while (std::getline(in, line)) {
    const bool follower = line.rfind("* - ", 0) == 0;
    if (line.find(needle) != std::string::npos) {
      dropping = with_followers;
      continue;
    }
    if (dropping && follower) continue;
    dropping = false;
    out += line + "\n";
  }
  return out;
}

class ScanApplyTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    full_ = SampleScan("debian12-full.scn");
    if (full_.empty()) GTEST_SKIP() << "sample scans not found";
    harness_ = std::make_unique<StoreHarness>(GetParam());
  }

  // Table and column of a metaschema attribute.
  std::pair<std::string, std::string> Where(const std::string& component,
                                            const std::string& attribute) {
    std::optional<db::AttributeInfo> info =
        harness_->metaschema().LookupAttribute(component, attribute);
    EXPECT_TRUE(info.has_value()) << component << "." << attribute;
    if (!info) return {"Computer", "DeviceId"};
    return {info->table, info->column};
  }

  std::string ValueOf(int32_t device, const std::string& component, const std::string& attribute,
                      const std::string& condition = "1 = 1") {
    auto [table, column] = Where(component, attribute);
    return harness_
        ->Value("SELECT " + column + " FROM " + table +
                " WHERE Computer_Idn = " + std::to_string(device) + " AND " + condition)
        .ToText();
  }

  std::string full_;
  std::unique_ptr<StoreHarness> harness_;
};

TEST_P(ScanApplyTest, AFullScanFillsEveryModelledAttributeAndAgainChangesNothing) {
  const ApplyResult first = harness_->Apply(full_);
  ASSERT_TRUE(first.new_device);
  const std::string device = std::to_string(first.computer_idn);

  // Every attribute the scan carries with a value, and every instance key,
  // is stored for the device.
  std::map<std::pair<std::string, std::string>, bool> attributes;
  scan::LineExpander expander;
  std::istringstream lines(full_);
  for (std::string line; std::getline(lines, line);) {
    std::optional<std::string> expanded = expander.Expand(line + "\n");
    if (!expanded || expanded->rfind("_", 0) == 0) continue;
    std::optional<scan::ScanItem> item = scan::SplitDataLine(*expanded);
    if (!item || item->attribute == "Last Sync Date") continue;
    attributes[{item->component, item->attribute}] |= !item->value.empty();
    if (!item->key_name.empty()) attributes[{item->component, item->key_name}] = true;
  }
  ASSERT_GT(attributes.size(), 40u);
  for (const auto& [name, has_value] : attributes) {
    if (!has_value) continue;
    auto [table, column] = Where(name.first, name.second);
    // A file's size, title, vendor and version are kept in its catalogue row.
    if (table == "FileInfoInstance" &&
        (column == "FileSize" || column == "Title" || column == "Vendor" || column == "Version")) {
      table =
          "FileInfoInstance JOIN FileInfo ON FileInfo.FileInfo_Idn = "
          "FileInfoInstance.FileInfo_Idn";
      column = "FileInfo." + column;
    }
    EXPECT_GT(
        harness_->Count(table, "Computer_Idn = " + device + " AND " + column + " IS NOT NULL"), 0)
        << name.first << "." << name.second << " in " << table << "." << column;
  }
  EXPECT_EQ(harness_->Count(Where("Computer.Software.Package", "Name").first), 985);
  EXPECT_EQ(harness_->Count(Where("Computer.Software.File", "Path").first), 871);
  EXPECT_EQ(harness_->Count(Where("Computer.Users.Local Group", "Name").first), 48);
  EXPECT_EQ(harness_->Count(Where("Computer.Network.Adapter", "Name").first), 3);
  EXPECT_EQ(ValueOf(first.computer_idn, "Computer.OS", "Description"),
            "Debian GNU/Linux 12 (bookworm)");

  // The device row is written before any other table.
  ASSERT_FALSE(first.statements.empty());
  EXPECT_EQ(first.Touching("Computer"), 1);
  EXPECT_EQ(first.statements.front().rfind("UPDATE Computer ", 0), 0u) << first.statements.front();

  const ApplyResult again = harness_->Apply(full_);
  EXPECT_FALSE(again.new_device);
  EXPECT_EQ(again.computer_idn, first.computer_idn);
  EXPECT_TRUE(again.statements.empty()) << again.statements.front();
  EXPECT_EQ(again.changes_recorded, 0);
}

TEST_P(ScanApplyTest, AFullScanAsTheReceiverStoresItIsUnchangedTheSecondTime) {
  // The receiver appends the connection's address after the scan's own
  // "Network - TCPIP - Address" line; both name one column.
  const std::string received = full_ + "Network - TCPIP - Address =127.000.000.001\r\n";
  const ApplyResult first = harness_->Apply(received);
  EXPECT_EQ(ValueOf(first.computer_idn, "Computer.Network.TCPIP", "Address"), "127.000.000.001");
  const ApplyResult again = harness_->Apply(received);
  EXPECT_TRUE(again.statements.empty()) << again.statements.front();
  EXPECT_EQ(again.changes_recorded, 0);
}

TEST_P(ScanApplyTest, ANewDevicesRowsShareInsertsWhileTheCopyListsEveryRow) {
  std::ostringstream copy;
  const ApplyResult first = harness_->Apply(full_, &copy);
  auto [packages, name_column] = Where("Computer.Software.Package", "Name");
  EXPECT_EQ(harness_->Count(packages), 985);
  // 985 rows, at most 500 to a statement.
  EXPECT_EQ(first.Touching(packages), 2);
  int copied = 0;
  std::istringstream lines(copy.str());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("INSERT INTO " + packages + "(", 0) == 0) ++copied;
  }
  EXPECT_EQ(copied, 985);
}

TEST_P(ScanApplyTest, TheDeltaScanChangesAddsAndDeletesWhatItSays) {
  const int32_t device = harness_->Apply(full_).computer_idn;
  const ApplyResult delta = harness_->Apply(SampleScan("debian12-delta.scn"));
  EXPECT_EQ(delta.computer_idn, device);
  const std::string package = Where("Computer.Software.Package", "Name").second + " = ";

  EXPECT_EQ(ValueOf(device, "Computer.Memory", "Physical Memory"), "32768");
  EXPECT_EQ(
      ValueOf(device, "Computer.Software.Package", "Version", package + "'adwaita-icon-theme'"),
      "43-1+deb12u9");
  EXPECT_EQ(
      ValueOf(device, "Computer.Software.Package", "Architecture", package + "'sample-new-tool'"),
      "amd64");
  auto [packages, name_column] = Where("Computer.Software.Package", "Name");
  EXPECT_EQ(harness_->Count(packages, name_column + " = 'alsa-topology-conf'"), 0);
  EXPECT_EQ(harness_->Count(packages), 985);  // one deleted, one added, nothing purged
  auto [files, path_column] = Where("Computer.Software.File", "Path");
  EXPECT_EQ(harness_->Count(files, path_column + " = '/usr/bin/ab'"), 0);
  EXPECT_EQ(harness_->Count(files), 870);  // one file deleted, nothing purged
  // A cleared attribute leaves its row.
  EXPECT_EQ(harness_->Count(packages, name_column + " = 'alsa-ucm-conf'"), 1);
  EXPECT_EQ(
      ValueOf(device, "Computer.Software.Package", "Description", package + "'alsa-ucm-conf'"), "");
  EXPECT_EQ(delta.deletes, 2);
  EXPECT_GE(delta.hardware_changes, 1u);
}

TEST_P(ScanApplyTest, AFullScanPurgesWhatItNoLongerReports) {
  const int32_t device = harness_->Apply(full_).computer_idn;
  harness_->connection().Execute(
      "INSERT INTO ComputerVulnerability (Computer_Idn, VulnerabilityId) VALUES (" +
      std::to_string(device) + ", 'CVE-2024-0001')");
  auto [packages, name_column] = Where("Computer.Software.Package", "Name");
  std::string later = WithoutLines(full_, "(Name:adduser) - Version", true);
  later = WithoutLines(later, "OS - Architecture", false);
  const ApplyResult purge = harness_->Apply(later);
  EXPECT_EQ(harness_->Count(packages, name_column + " = 'adduser'"), 0);
  EXPECT_EQ(harness_->Count(packages), 984);
  EXPECT_EQ(ValueOf(device, "Computer.OS", "Architecture"), "");
  EXPECT_EQ(harness_->Count("ComputerVulnerability"), 1);
  EXPECT_EQ(purge.inserts, 0);

  // Without its software section a full scan keeps the software tables.
  const std::string hardware_only = full_.substr(0, full_.find("_SOFTWARE"));
  harness_->Apply(hardware_only);
  EXPECT_EQ(harness_->Count(packages), 984);
  EXPECT_EQ(harness_->Count("ComputerVulnerability"), 1);
}

TEST_P(ScanApplyTest, EmbeddedFilesTravelAsBoundImagesAndTheGeneratedSqlIsCopied) {
  const std::string config = SampleScan("config-files.scn");
  std::ostringstream copy;
  const ApplyResult first = harness_->Apply(config, &copy);
  EXPECT_EQ(first.image_statements, 2);
  for (const std::string& sql : first.statements) {
    if (sql.find('?') != std::string::npos) {
      EXPECT_EQ(copy.str().find(sql), std::string::npos) << "image statements are not copied";
    } else {
      EXPECT_NE(copy.str().find(sql + "\r\n"), std::string::npos) << sql;
    }
  }
  auto [config_table, data_column] = Where("Computer.Configuration Files.File", "File Data");
  db::DbValue stored = harness_->Value("SELECT " + data_column + " FROM " + config_table);
  ASSERT_EQ(stored.type(), db::DbValue::Type::kBytes);
  const std::string text(stored.bytes().begin(), stored.bytes().end());
  EXPECT_NE(text.find("/dev/vda / ext4 defaults 0 1"), std::string::npos);

  EXPECT_TRUE(harness_->Apply(config).statements.empty());
  const ApplyResult removal = harness_->Apply(SampleScan("config-delta.scn"));
  EXPECT_EQ(removal.deletes, 1);
  EXPECT_EQ(harness_->Count(config_table), 0);
}

INSTANTIATE_TEST_SUITE_P(Db, ScanApplyTest, ::testing::ValuesIn(AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::store
