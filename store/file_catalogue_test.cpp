// The file catalogue on every test database: scanned executables become
// device instances linked to one shared catalogue row per file name and size.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "db/dialect.h"
#include "store/testing/store_harness.h"

namespace corvane::store {
namespace {

using corvane::testing::AvailableTestDatabases;
using corvane::testing::TestDatabaseServer;
using testing::ApplyResult;
using testing::SampleScan;
using testing::StoreHarness;

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

int Starting(const ApplyResult& result, const std::string& prefix) {
  return static_cast<int>(
      std::count_if(result.statements.begin(), result.statements.end(),
                    [&prefix](const std::string& sql) { return sql.rfind(prefix, 0) == 0; }));
}

class FileCatalogueTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    full_ = SampleScan("debian12-full.scn");
    if (full_.empty()) GTEST_SKIP() << "sample scans not found";
    harness_ = std::make_unique<StoreHarness>(GetParam());
  }

  std::string Text(const std::string& sql) { return harness_->Value(sql).ToText(); }
  // A column of the catalogue row linked to a device's file.
  std::string Catalogue(int32_t device, const std::string& path, const std::string& column) {
    return Text("SELECT f." + column +
                " FROM FileInfoInstance i JOIN FileInfo f ON f.FileInfo_Idn = i.FileInfo_Idn"
                " WHERE i.Computer_Idn = " +
                std::to_string(device) + " AND i.Path = " + db::SqlQuote(db::DbValue::Text(path)));
  }

  std::string full_;
  std::unique_ptr<StoreHarness> harness_;
};

TEST_P(FileCatalogueTest, EveryFileIsCataloguedOnceLinkedAndTheSameScanAgainWritesNothing) {
  // The wildcard row of "ab", entered in mixed case as an administrator may.
  harness_->connection().Execute(
      "INSERT INTO FileInfo(FileName, FileSize, Action, Discovered) VALUES('Ab', -1, 7, 0)");
  const ApplyResult first = harness_->Apply(full_);
  const std::string device = std::to_string(first.computer_idn);

  EXPECT_EQ(first.Touching("FileInfo"), 871);
  EXPECT_EQ(harness_->Count("FileInfo", "FileSize <> -1"), 871);
  EXPECT_EQ(harness_->Count("FileInfo",
                            "FileSize <> -1 AND Discovered = 1 AND FileName IS NOT "
                            "NULL AND FileSize IS NOT NULL AND Title IS NOT NULL"),
            871);
  // Each instance is linked to the row of its own file name.
  EXPECT_EQ(harness_->Count("FileInfoInstance i JOIN FileInfo f ON f.FileInfo_Idn = i.FileInfo_Idn",
                            "i.Computer_Idn = " + device +
                                " AND SUBSTR(i.Path, LENGTH(i.Path) - LENGTH(f.FileName)) = "
                                "'/' || f.FileName"),
            871);
  // The catalogue's values are not copied to the instances.
  EXPECT_EQ(harness_->Count("FileInfoInstance",
                            "FileSize IS NOT NULL OR Title IS NOT NULL OR "
                            "Vendor IS NOT NULL OR Version IS NOT NULL"),
            0);
  EXPECT_EQ(Catalogue(first.computer_idn, "/usr/bin/ab", "FileName"), "ab");
  EXPECT_EQ(Catalogue(first.computer_idn, "/usr/bin/ab", "FileSize"), "59824");
  EXPECT_EQ(Catalogue(first.computer_idn, "/usr/bin/ab", "Title"), "apache2-utils");
  EXPECT_EQ(Catalogue(first.computer_idn, "/usr/bin/ab", "Version"), "2.4.71-1~deb12u1");
  EXPECT_EQ(Catalogue(first.computer_idn, "/usr/bin/ab", "Vendor"), "Debian");
  EXPECT_EQ(Catalogue(first.computer_idn, "/usr/bin/ab", "Action"), "7");
  EXPECT_EQ(Catalogue(first.computer_idn, "/usr/bin/apt", "Action"), "0");
  EXPECT_EQ(harness_->Count("FileInfo", "FileSize = -1 AND Discovered = 0"), 1);

  const ApplyResult again = harness_->Apply(full_);
  EXPECT_TRUE(again.statements.empty()) << again.statements.front();
}

TEST_P(FileCatalogueTest, ASecondDeviceReusesTheCatalogueRowsAndMarksThemDiscovered) {
  // A lower-case non-ASCII name ("\xE4" is a-umlaut in the scanner's code
  // page) whose upper case the database may spell differently from ours.
  const std::string scan = Replaced(full_, "(Path:/usr/bin/apt) - ExeName = apt",
                                    "(Path:/usr/bin/\xE4pt) - ExeName = \xE4pt");
  const int32_t first = harness_->Apply(scan).computer_idn;
  harness_->connection().Execute(
      "UPDATE FileInfo SET Discovered = 0 WHERE FileName = 'ab' AND FileSize = 59824");

  std::string other = Replaced(scan, "{3D1219C7-0000-0000-0000-000000005EED}",
                               "{3D1219C7-0000-0000-0000-00000000BEEF}");
  other = Replaced(other, "Network - NIC Address = 02FC00000001",
                   "Network - NIC Address = 02FC00000002");
  const ApplyResult second = harness_->Apply(other);
  ASSERT_TRUE(second.new_device);
  EXPECT_EQ(harness_->Count("FileInfo"), 871);
  EXPECT_EQ(harness_->Count("FileInfo", "Discovered = 1"), 871);
  EXPECT_EQ(second.Touching("FileInfo"), 1);
  EXPECT_EQ(Starting(second, "UPDATE FileInfo SET Discovered = 1 WHERE FileInfo_Idn = "), 1);
  EXPECT_EQ(harness_->Count("FileInfoInstance a JOIN FileInfoInstance b ON a.Path = b.Path AND "
                            "a.FileInfo_Idn = b.FileInfo_Idn",
                            "a.Computer_Idn = " + std::to_string(first) +
                                " AND b.Computer_Idn = " + std::to_string(second.computer_idn)),
            871);
  EXPECT_EQ(Catalogue(second.computer_idn, "/usr/bin/\xC3\xA4pt", "FileName"), "\xC3\xA4pt");
}

TEST_P(FileCatalogueTest, KnownFilesAreLinkedWithAFewQueriesAndTwoPathsShareTheirRow) {
  // The same file at a second path, in the same scan: one catalogue row.
  const std::string block =
      "Software - File - (Path:/usr/bin/ab) - ExeName = ab\n* - FileSize = 59824\n";
  const std::string scan = Replaced(
      full_, block,
      "Software - File - (Path:/usr/local/bin/ab) - ExeName = ab\n* - FileSize = 59824\n" + block);
  const ApplyResult first = harness_->Apply(scan);
  EXPECT_EQ(harness_->Count("FileInfo", "FileName = 'ab' AND FileSize = 59824"), 1);
  EXPECT_EQ(harness_->Count("FileInfo"), 871);
  EXPECT_EQ(Catalogue(first.computer_idn, "/usr/local/bin/ab", "FileInfo_Idn"),
            Catalogue(first.computer_idn, "/usr/bin/ab", "FileInfo_Idn"));

  // A second device finds all 872 files in the catalogue: a handful of
  // queries and multi-row INSERTs, not one of each per file.
  std::string other = Replaced(scan, "{3D1219C7-0000-0000-0000-000000005EED}",
                               "{3D1219C7-0000-0000-0000-00000000BEEF}");
  other = Replaced(other, "Network - NIC Address = 02FC00000001",
                   "Network - NIC Address = 02FC00000002");
  const uint64_t before = harness_->connection().statement_counts().statements;
  const ApplyResult second = harness_->Apply(other);
  const uint64_t statements = harness_->connection().statement_counts().statements - before;
  ASSERT_TRUE(second.new_device);
  EXPECT_LT(statements, 100u);
  EXPECT_EQ(harness_->Count("FileInfoInstance", "Computer_Idn = " +
                                                    std::to_string(second.computer_idn) +
                                                    " AND FileInfo_Idn IS NOT NULL"),
            872);
  EXPECT_EQ(harness_->Count("FileInfo"), 871);
}

TEST_P(FileCatalogueTest, AChangedSizeMovesTheFileToANewRowThatInheritsItsDescription) {
  const int32_t device = harness_->Apply(full_).computer_idn;
  const std::string old_id = Catalogue(device, "/usr/bin/ab", "FileInfo_Idn");

  // Title, vendor and version are unchanged, so the scan does not supply
  // them: the new row takes them over from the old one.
  const std::string grown = Replaced(full_, "* - FileSize = 59824\n", "* - FileSize = 60000\n");
  const ApplyResult changed = harness_->Apply(grown);
  ASSERT_EQ(changed.statements.size(), 2u) << changed.statements.front();
  EXPECT_EQ(changed.statements[0].rfind("INSERT INTO FileInfo(", 0), 0u) << changed.statements[0];
  EXPECT_EQ(Starting(changed, "UPDATE FileInfoInstance SET FileInfo_Idn = "), 1);
  EXPECT_NE(Catalogue(device, "/usr/bin/ab", "FileInfo_Idn"), old_id);
  EXPECT_EQ(Catalogue(device, "/usr/bin/ab", "FileSize"), "60000");
  EXPECT_EQ(Catalogue(device, "/usr/bin/ab", "Title"), "apache2-utils");
  EXPECT_EQ(Catalogue(device, "/usr/bin/ab", "Vendor"), "Debian");
  EXPECT_EQ(Catalogue(device, "/usr/bin/ab", "Version"), "2.4.71-1~deb12u1");
  EXPECT_EQ(Catalogue(device, "/usr/bin/ab", "Discovered"), "1");
  EXPECT_EQ(harness_->Count("FileInfo"), 872);  // catalogue rows stay
  EXPECT_TRUE(harness_->Apply(grown).statements.empty());

  // A changed version is a change of the file, compared with the catalogue;
  // the row of that name and size is shared, so there is nothing to write.
  ScanStore store(harness_->connection(), harness_->kind(), harness_->metaschema());
  store.ResetForScan();
  store.set_computer_idn(device);
  store.LoadSnapshot();
  scan::ScanLine line;
  line.component = "Computer.Software.File";
  line.attribute = "Version";
  line.key_attribute = "Path";
  line.key_value = "/usr/bin/apt";
  line.value = "2.6.1";
  EXPECT_FALSE(store.WriteAttribute(line));
  EXPECT_TRUE(line.column.empty());
  line.value = "2.6.2";
  EXPECT_TRUE(store.WriteAttribute(line));
  EXPECT_FALSE(line.column.empty());
}

TEST_P(FileCatalogueTest, FileNamesComeFromAnyPathAndStayQuotedLiterals) {
  const std::string scan =
      "Device ID = {quotes}\nDevice Name = q\n_SOFTWARE = Packages and Files\n"
      "Software - File - (Path:/opt/it's/o'neil's tool) - ExeName = o'neil's tool\n"
      "* - FileSize = 12\n* - Title = O'Neil's '); DROP TABLE FileInfo; --\n"
      "Software - File - (Path:C:\\Program Files\\Corp/x\\App.EXE) - ExeName = App.EXE\n"
      "* - FileSize = 5\n"
      "Software - File - (Path:D:setup.exe) - FileSize = 6\n"
      "Software - File - (Path:standalone) - FileSize = 1\n"
      "Software - File - (Path:/usr/bin/unsized) - ExeName = unsized\n";
  const ApplyResult first = harness_->Apply(scan);
  const int32_t device = first.computer_idn;
  EXPECT_EQ(Catalogue(device, "/opt/it's/o'neil's tool", "FileName"), "o'neil's tool");
  EXPECT_EQ(Catalogue(device, "/opt/it's/o'neil's tool", "Title"),
            "O'Neil's '); DROP TABLE FileInfo; --");
  EXPECT_EQ(Catalogue(device, "C:\\Program Files\\Corp/x\\App.EXE", "FileName"), "App.EXE");
  EXPECT_EQ(Catalogue(device, "D:setup.exe", "FileName"), "setup.exe");
  EXPECT_EQ(Catalogue(device, "standalone", "FileName"), "standalone");
  // A file without a size is catalogued once, with a NULL size.
  EXPECT_EQ(Catalogue(device, "/usr/bin/unsized", "FileName"), "unsized");
  EXPECT_EQ(harness_->Count("FileInfo", "FileSize IS NULL"), 1);
  EXPECT_EQ(harness_->Count("FileInfo"), 5);

  // The same files again, and on a scan where only the unsized file's
  // device-specific value changes.
  EXPECT_TRUE(harness_->Apply(scan).statements.empty());
  const ApplyResult used = harness_->Apply(scan + "* - Days Since Last Used = 4\n");
  ASSERT_EQ(used.statements.size(), 1u);
  EXPECT_EQ(used.statements[0].rfind("UPDATE FileInfoInstance SET SCM_DaysSinceLastUsed = 4 ", 0),
            0u)
      << used.statements[0];
  EXPECT_EQ(harness_->Count("FileInfo"), 5);

  // A deleted file is removed without touching the catalogue.
  const ApplyResult removal = harness_->Apply(
      "Device ID = {quotes}\n_SOFTWARE = Packages and Files\n_DELETED\n"
      "Software - File - (Path:/opt/it's/o'neil's tool) - Path = /opt/it's/o'neil's tool\n"
      "Software - File - (Path:/usr/bin/never-seen) - Path = /usr/bin/never-seen\n_ENDDELETED\n");
  EXPECT_EQ(removal.statements.size(), 2u);
  EXPECT_EQ(removal.Touching("FileInfo"), 0);
  EXPECT_EQ(harness_->Count("FileInfoInstance"), 4);
  EXPECT_EQ(harness_->Count("FileInfo"), 5);
}

TEST_P(FileCatalogueTest, ExeNameAndVersionStringAreStoredAsTitleAndVersion) {
  const int32_t device = harness_->Apply("Device ID = {renames}\n").computer_idn;
  ScanStore store(harness_->connection(), harness_->kind(), harness_->metaschema());
  store.ResetForScan();
  store.set_computer_idn(device);
  scan::PendingRow row;
  row.table = "FileInfoInstance";
  row.table_kind = 2;
  row.key_column = "Path";
  row.key_value = "'/bin/tool'";
  row.has_key = true;
  row.attributes = {{"ExeName", "'tool'", db::kValueText},
                    {"VersionString", "'1.2'", db::kValueText},
                    {"SCM_DaysSinceLastUsed", "3", db::kValueNumber}};
  store.AddPendingRow(row, false);
  // A scanned Title wins over the renamed ExeName rather than naming the
  // column twice.
  row.key_value = "'/bin/other'";
  row.attributes = {{"ExeName", "'other'", db::kValueText},
                    {"Title", "'Other Tool'", db::kValueText},
                    {"FileSize", "9", db::kValueNumber}};
  store.AddPendingRow(row, false);
  store.FlushPendingRows();
  EXPECT_EQ(Catalogue(device, "/bin/tool", "Title"), "tool");
  EXPECT_EQ(Catalogue(device, "/bin/tool", "Version"), "1.2");
  EXPECT_EQ(Catalogue(device, "/bin/other", "Title"), "Other Tool");
  EXPECT_EQ(Text("SELECT SCM_DaysSinceLastUsed FROM FileInfoInstance WHERE Path = '/bin/tool'"),
            "3");
  EXPECT_GT(store.file_instance_seconds(), 0.0);
  EXPECT_GT(store.file_catalogue_seconds(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Db, FileCatalogueTest, ::testing::ValuesIn(AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::store
