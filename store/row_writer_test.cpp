// Writing pending rows on every test database: bound images, deletions of
// delta scans, the purge, parent rows created on demand, and the SQL copy.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "db/dialect.h"
#include "db/schema_create.h"
#include "store/scan_store.h"
#include "testsupport/test_databases.h"

namespace corvane::store {
namespace {

using testing::ScratchDatabase;
using testing::TestDatabaseServer;

struct Line {
  std::string component, attribute, key_attribute, key_value, value;
  bool deleted = false;
};

class RowWriterTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    database_ = std::make_unique<ScratchDatabase>(GetParam());
    connection_.Open(database_->connection_string(), -1);
    db::CreateInventoryDatabase(connection_, GetParam().kind);
    metaschema_.Attach(&connection_, GetParam().kind, db::kDefaultLookupOption);
    ASSERT_TRUE(metaschema_.Load());
    connection_.Execute("INSERT INTO Computer(DeviceId) VALUES('dev-1')");
    idn_ = std::to_string(
        *connection_.QuerySingleValue(db::InsertedKeyQuery(GetParam().kind, "Computer")).ToInt32());
  }

  std::unique_ptr<ScanStore> NewScan() {
    statements_.clear();
    auto store = std::make_unique<ScanStore>(connection_, GetParam().kind, metaschema_);
    store->set_computer_idn(std::stoi(idn_));
    store->ResetForScan();
    store->set_statement_observer([this](std::string_view sql) { statements_.emplace_back(sql); });
    store->LoadSnapshot();
    return store;
  }

  // As the reader: resolves each line, hands the written ones over (deleted
  // items unmerged) and flushes.
  void Scan(ScanStore& store, const std::vector<Line>& lines) {
    for (const Line& in : lines) {
      scan::ScanLine line;
      line.component = in.component;
      line.attribute = in.attribute;
      line.key_attribute = in.key_attribute;
      line.key_value = in.key_value;
      line.value = in.value;
      line.deleted = in.deleted;
      const bool exists = store.WriteAttribute(line);
      if (line.column.empty()) continue;
      scan::PendingRow row;
      row.table = line.table;
      row.parent_table = line.parent_table;
      row.key_column = line.key_column;
      row.table_kind = line.table_kind;
      row.metaobject_id = line.metaobject_id;
      row.deleted = in.deleted;
      row.exists = exists;
      if (line.has_key) {
        row.key_value = db::FormatSqlValue(db::kValueText, db::DbValue::Text(in.key_value),
                                           GetParam().kind, nullptr);
      }
      row.attributes.push_back({line.column, line.value, line.data_type});
      store.AddPendingRow(std::move(row), in.deleted);
    }
    store.FlushPendingRows();
  }

  bool Executed(const std::string& sql) const {
    return std::find(statements_.begin(), statements_.end(), sql) != statements_.end();
  }
  bool AnyMentions(std::string_view table) const {
    return std::any_of(statements_.begin(), statements_.end(), [table](const std::string& sql) {
      return sql.find(table) != std::string::npos;
    });
  }
  db::DbValue Value(const std::string& sql) { return connection_.QuerySingleValue(sql); }

  std::unique_ptr<ScratchDatabase> database_;
  db::Connection connection_;
  db::Metaschema metaschema_;
  std::vector<std::string> statements_;
  std::string idn_;
};

TEST_P(RowWriterTest, ImagesAreBoundNeverCopiedAndUnchangedImagesWriteNothing) {
  const std::string text("BIOS \x01\xFF\0 'text'", 15);
  std::ostringstream copy;
  auto store = NewScan();
  store->set_sql_copy(&copy);
  Scan(*store, {{"Computer.BIOS.BIOS Strings", "Data", "", "", text},
                {"Computer.BIOS.BIOS Strings", "Size", "", "", "15"}});
  ASSERT_EQ(statements_.size(), 2u);
  EXPECT_EQ(statements_[0], "INSERT INTO BIOS(Computer_Idn) VALUES(" + idn_ + ")");
  EXPECT_EQ(statements_[1],
            "INSERT INTO BiosStrings(BiosText,TextSize,Computer_Idn) VALUES(?,15," + idn_ + ")");
  EXPECT_EQ(copy.str(), statements_[0] + "\r\n");
  EXPECT_EQ(Value("SELECT BiosText FROM BiosStrings"),
            db::DbValue::Bytes(std::vector<uint8_t>(text.begin(), text.end())));

  store = NewScan();
  Scan(*store, {{"Computer.BIOS.BIOS Strings", "Data", "", "", text}});
  EXPECT_TRUE(statements_.empty());

  store = NewScan();
  Scan(*store, {{"Computer.BIOS.BIOS Strings", "Data", "", "", "new text"}});
  ASSERT_EQ(statements_.size(), 1u);
  EXPECT_EQ(statements_[0], "UPDATE BiosStrings SET BiosText = ? WHERE Computer_Idn=" + idn_);
}

TEST_P(RowWriterTest, DeletedItemsDeleteInstancesAndClearAttributes) {
  const std::string adapter = "Computer.Network.Adapter";
  auto store = NewScan();
  Scan(*store, {{adapter, "MAC Address", "Name", "eth0", "aa"},
                {adapter, "MTU", "Name", "eth0", "1500"},
                {adapter, "MAC Address", "Name", "eth1", "bb"}});
  store = NewScan();
  store->SetHasDeletions(true);
  Scan(*store, {{adapter, "Name", "Name", "eth1", "ItemDeleted", true},
                {adapter, "MTU", "Name", "eth0", "ItemDeleted", true},
                {adapter, "MAC Address", "Name", "eth0", "cc"},  // after its deleted item
                // Deleting creates no parent row (the device has no Memory row).
                {"Computer.Memory.Slot", "Size", "Name", "DIMM9", "ItemDeleted", true}});
  const std::string where = " WHERE Computer_Idn=" + idn_;
  EXPECT_EQ(statements_,
            (std::vector<std::string>{
                "DELETE FROM NetworkAdapter" + where + " AND Name='eth1'",
                "UPDATE NetworkAdapter SET MTU = NULL" + where + " AND Name='eth0'",
                "UPDATE NetworkAdapter SET MACAddress = 'cc'" + where + " AND Name='eth0'",
                "UPDATE MemorySlot SET SlotSize = NULL" + where + " AND SlotName='DIMM9'"}));
  EXPECT_EQ(Value("SELECT COUNT(*) FROM Memory").ToInt32(), 0);
  EXPECT_EQ(Value("SELECT COUNT(*) FROM NetworkAdapter WHERE MTU IS NULL AND MACAddress = 'cc'")
                .ToInt32(),
            1);
}

TEST_P(RowWriterTest, PurgeRemovesWhatAFullScanNoLongerReports) {
  const std::vector<Line> device = {
      {"Computer", "Device ID", "", "", "dev-1"},
      {"Computer.Processor", "Type", "", "", "Xeon"},
      {"Computer.Network.Adapter", "MAC Address", "Name", "eth0", "aa"}};
  std::vector<Line> first = device;
  first.insert(first.end(), {{"Computer.Network.Adapter", "Status", "Name", "eth0", "up"},
                             {"Computer.Network.Adapter", "MAC Address", "Name", "eth1", "bb"},
                             {"Computer.Security.Vulnerability", "Title", "ID", "CVE-1", "hole"},
                             {"Computer.Software.Package", "Version", "Name", "vim", "9.0"},
                             {"Computer.System", "Boot Time", "", "", "1700000000"},
                             {"Computer.System", "Uptime", "", "", "3 days"}});
  auto store = NewScan();
  Scan(*store, first);
  ASSERT_EQ(Value("SELECT COUNT(*) FROM UnmodeledData").ToInt32(), 2);

  // A full scan without a software section.
  store = NewScan();
  Scan(*store, device);
  EXPECT_TRUE(statements_.empty());
  store->PurgeUnseenValues();
  const std::string where = " WHERE Computer_Idn=" + idn_;
  EXPECT_TRUE(Executed("DELETE FROM NetworkAdapter" + where + " AND Name='eth1'"));
  EXPECT_TRUE(Executed("UPDATE NetworkAdapter SET Status = NULL" + where + " AND Name='eth0'"));
  // Nothing else: one DELETE per unmodeled row, no vulnerability, no package.
  EXPECT_EQ(statements_.size(), 4u);
  EXPECT_EQ(Value("SELECT COUNT(*) FROM UnmodeledData").ToInt32(), 0);
  EXPECT_EQ(Value("SELECT MACAddress FROM NetworkAdapter"), db::DbValue::Text("aa"));

  // With a software section the software tables are purged too; the
  // vulnerabilities never are.
  store = NewScan();
  store->SetHasSoftwareSection(true);
  Scan(*store, device);
  store->PurgeUnseenValues();
  EXPECT_TRUE(Executed("DELETE FROM AppSoftware" + where + " AND Name='vim'"));
  EXPECT_FALSE(AnyMentions("ComputerVulnerability"));
  EXPECT_EQ(Value("SELECT COUNT(*) FROM ComputerVulnerability").ToInt32(), 1);

  // A delta scan purges nothing.
  store = NewScan();
  store->SetHasDeletions(true);
  store->PurgeUnseenValues();
  EXPECT_TRUE(statements_.empty());
}

TEST_P(RowWriterTest, ParentRowsWithOwnIdsAreCreatedForTheirFirstChild) {
  // One attribute row naming a child as its table's parent makes a cycle.
  connection_.Execute(
      "UPDATE METAOBJATTRRELATIONS SET PARENTTABLE = 'BoundAdapter' WHERE "
      "TABLENAME = 'NetworkSoftware' AND ATTRIBUTENAME = 'Domain'");
  const std::string bound = "Computer.Network.TCPIP.Bound Adapter";
  auto store = NewScan();
  Scan(*store, {{bound, "IP Address", "Name", "eth0", "10.0.0.2"}});
  const std::string parent =
      Value("SELECT NetworkSoftware_Idn FROM NetworkSoftware WHERE Computer_Idn = " + idn_)
          .ToText();
  EXPECT_EQ(statements_, (std::vector<std::string>{
                             "INSERT INTO NetworkSoftware(Computer_Idn) VALUES(" + idn_ + ")",
                             "INSERT INTO BoundAdapter(IPAddress,Computer_Idn, NetworkSoftware_Idn,"
                             "Name) VALUES('10.0.0.2'," +
                                 idn_ + ", " + parent + ",'eth0')"}));

  store = NewScan();
  Scan(*store, {{bound, "IP Address", "Name", "eth0", "10.0.0.3"},
                {"Computer.System", "Uptime", "", "", "1 day"}});
  // UnmodeledData (a child of the device row) is written first.
  ASSERT_EQ(statements_.size(), 2u);
  EXPECT_EQ(statements_[1], "UPDATE BoundAdapter SET IPAddress = '10.0.0.3' WHERE Computer_Idn=" +
                                idn_ + " AND NetworkSoftware_Idn=" + parent + " AND Name='eth0'");
  const std::string unmodeled = Value("SELECT UnmodeledData_Idn FROM UnmodeledData").ToText();
  const std::string metaobject =
      Value("SELECT METAOBJATTRRELATIONS_IDN FROM UnmodeledData").ToText();
  store = NewScan();
  Scan(*store, {{"Computer.System", "Uptime", "", "", "2 days"}});
  EXPECT_EQ(
      statements_,
      (std::vector<std::string>{
          "UPDATE UnmodeledData SET DataString = '2 days' WHERE Computer_Idn=" + idn_ +
          " AND METAOBJATTRRELATIONS_IDN=" + metaobject + " AND UNMODELEDDATA_IDN=" + unmodeled}));
}

TEST_P(RowWriterTest, ANewChildOfABoundAdapterBelongsToTheAdapterItWasReadUnder) {
  // A site's own component below the bound adapters.
  connection_.Execute(
      "CREATE TABLE AdapterDns(AdapterDns_Idn INTEGER, Computer_Idn INTEGER, "
      "NetworkSoftware_Idn INTEGER, BoundAdapter_Idn INTEGER, Server VARCHAR(64), "
      "Priority VARCHAR(16))");
  const std::string text_type =
      Value(
          "SELECT TYPENAME FROM METAOBJATTRRELATIONS WHERE TABLENAME = 'BoundAdapter' AND "
          "COLUMNNAME = 'Name'")
          .ToText();
  const std::string dns = "Computer.Network.TCPIP.Bound Adapter.DNS";
  int id = 9000;
  for (const char* column : {"Server", "Priority"}) {
    connection_.Execute(
        "INSERT INTO METAOBJATTRRELATIONS(METAOBJATTRRELATIONS_IDN, COMPONENTPATH, ATTRIBUTENAME, "
        "TABLENAME, COLUMNNAME, PARENTTABLE, TYPENAME, TABLEKIND, PARENTKIND, KEYATTR, MARKER, "
        "TRACKFLAGS) VALUES(" +
        std::to_string(++id) + ", '" + dns + "', '" + column + "', 'AdapterDns', '" + column +
        "', 'BoundAdapter', '" + text_type + "', 3, 3, " +
        (std::string(column) == "Server" ? "1" : "0") + ", 0, 0)");
  }
  ASSERT_TRUE(metaschema_.Load());

  const std::string bound = "Computer.Network.TCPIP.Bound Adapter";
  const std::vector<Line> scan = {{bound, "IP Address", "Name", "eth0", "10.0.0.2"},
                                  {dns, "Priority", "Server", "192.0.2.53", "1"},
                                  {bound, "IP Address", "Name", "eth1", "10.0.0.3"},
                                  {dns, "Priority", "Server", "198.51.100.53", "2"}};
  auto store = NewScan();
  Scan(*store, scan);
  const auto adapter_of = [&](const std::string& server) {
    return Value("SELECT BoundAdapter_Idn FROM AdapterDns WHERE Server = '" + server + "'")
        .ToText();
  };
  const auto adapter_named = [&](const std::string& name) {
    return Value("SELECT BoundAdapter_Idn FROM BoundAdapter WHERE Name = '" + name + "'").ToText();
  };
  EXPECT_FALSE(adapter_named("eth0").empty());
  EXPECT_EQ(adapter_of("192.0.2.53"), adapter_named("eth0"));
  EXPECT_EQ(adapter_of("198.51.100.53"), adapter_named("eth1"));

  // Found again, the children are compared rather than written anew.
  store = NewScan();
  Scan(*store, scan);
  EXPECT_TRUE(statements_.empty()) << statements_.front();
  EXPECT_EQ(Value("SELECT COUNT(*) FROM AdapterDns").ToInt32(), 2);
}

TEST_P(RowWriterTest, AStoredRowRefusedForItsPaddedKeyIsReplacedAndPurged) {
  // Written by another tool: the key carries a trailing blank, so the key
  // list cannot name the row and the writer treats the package as new.
  connection_.Execute("INSERT INTO AppSoftware(Computer_Idn, Name, Version) VALUES(" + idn_ +
                      ", 'vim ', '8.0')");
  auto store = NewScan();
  store->SetHasSoftwareSection(true);
  Scan(*store, {{"Computer.Software.Package", "Version", "Name", "vim", "9.0"}});
  store->PurgeUnseenValues();
  EXPECT_EQ(Value("SELECT COUNT(*) FROM AppSoftware").ToInt32(), 1);
  EXPECT_EQ(Value("SELECT Version FROM AppSoftware WHERE Name = 'vim'").ToText(), "9.0");
}

TEST_P(RowWriterTest, FileInstancesAndSuitesAreFoundByTheirOwnIds) {
  const std::string suite = "Computer.Software.Suite";
  const std::string file = "Computer.Software.File";
  auto store = NewScan();
  Scan(*store, {{suite, "Version", "Name", "Office", "1"},
                {file, "Days Since Last Used", "Path", "/usr/bin/vi", "3"}});
  EXPECT_TRUE(Executed("INSERT INTO AppSoftwareSuites(Version,Computer_Idn,Name) VALUES('1'," +
                       idn_ + ",'Office')"));
  const std::string suite_id =
      Value("SELECT AppSoftwareSuites_Idn FROM AppSoftwareSuites").ToText();
  const std::string file_id = Value("SELECT FileInfoInstance_Idn FROM FileInfoInstance").ToText();

  // File instances are not in the snapshot: found by their path, they are
  // updated rather than inserted again.
  store = NewScan();
  Scan(*store, {{suite, "Version", "Name", "Office", "2"},
                {file, "Days Since Last Used", "Path", "/usr/bin/vi", "5"}});
  EXPECT_EQ(statements_.size(), 2u);
  EXPECT_TRUE(AnyMentions("UPDATE AppSoftwareSuites SET Version = '2' WHERE Computer_Idn=" + idn_ +
                          " AND AppSoftwareSuites_Idn=" + suite_id + " AND Name='Office'"));
  EXPECT_TRUE(AnyMentions(
      "UPDATE FileInfoInstance SET SCM_DaysSinceLastUsed = 5 WHERE Computer_Idn=" + idn_ +
      " AND FileInfoInstance_Idn=" + file_id + " AND Path='/usr/bin/vi'"));
}

TEST_P(RowWriterTest, TheSqlCopyHoldsEachTextStatementInAnsiWithCrLf) {
  std::ostringstream copy;
  auto store = NewScan();
  store->set_sql_copy(&copy);
  Scan(*store, {{"Computer", "Device Name", "", "", "M\xC3\xBCller's PC \xE2\x82\xAC"},
                {"Computer.Processor", "Type", "", "", "Xeon"}});
  EXPECT_EQ(copy.str(),
            "UPDATE Computer SET DeviceName = 'M\xFCller''s PC \x80' WHERE Computer_Idn=" + idn_ +
                "\r\nINSERT INTO Processor(ProcessorType,Computer_Idn) VALUES('Xeon'," + idn_ +
                ")\r\n");
  EXPECT_EQ(Value("SELECT DeviceName FROM Computer"),
            db::DbValue::Text("M\xC3\xBCller's PC \xE2\x82\xAC"));
}

TEST_P(RowWriterTest, StatementsThatWouldReachOtherRowsAreNotIssued) {
  connection_.Execute("INSERT INTO Computer(DeviceId) VALUES('dev-2')");
  connection_.Execute(
      "INSERT INTO Processor(Computer_Idn, ProcessorType) SELECT Computer_Idn, "
      "'Xeon' FROM Computer");
  auto store = NewScan();
  // A row of a kind without key columns has no condition to update by.
  scan::PendingRow unkeyed;
  unkeyed.table = "Processor";
  unkeyed.exists = true;
  unkeyed.attributes.push_back({"ProcessorType", "'Atom'", db::kValueText});
  store->AddPendingRow(unkeyed, false);
  // A deleted key without its value would name every instance of the device.
  scan::PendingRow keyless;
  keyless.table = "NetworkAdapter";
  keyless.table_kind = 26;
  keyless.key_column = "Name";
  keyless.deleted = true;
  keyless.attributes.push_back({"Name", "'ItemDeleted'", db::kValueText});
  store->AddPendingRow(keyless, true);
  store->FlushPendingRows();
  EXPECT_TRUE(statements_.empty());
  EXPECT_EQ(Value("SELECT COUNT(*) FROM Processor WHERE ProcessorType = 'Xeon'").ToInt32(), 2);
}

INSTANTIATE_TEST_SUITE_P(Db, RowWriterTest, ::testing::ValuesIn(testing::AvailableTestDatabases()),
                         testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::store
