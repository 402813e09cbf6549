// The attribute writer on a created inventory database, on every test
// database: comparison with the snapshot, counters, change records, instance
// matching and the merging of pending rows.

#include "store/scan_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "db/dialect.h"
#include "db/schema.h"
#include "db/schema_create.h"
#include "testsupport/test_databases.h"

namespace corvane::store {
namespace {

using testing::ScratchDatabase;
using testing::TestDatabaseServer;

// The inventory schema plus a table keyed by an integer, which it lacks.
const db::schema::Schema& TestSchema() {
  static const db::schema::Schema schema = [] {
    namespace s = db::schema;
    s::Schema extended = s::InventorySchema();
    extended.tables.push_back({"SerialPort",
                               s::kKindKeyedRow,
                               "Computer",
                               "SerialPort_Idn",
                               {{"SerialPort_Idn", s::ColumnType::kInteger, 0, true},
                                {"Computer_Idn", s::ColumnType::kInteger, 0, true},
                                {"PortNumber", s::ColumnType::kInteger, 0, false},
                                {"Label", s::ColumnType::kText, 64, false}},
                               {"Computer_Idn", "PortNumber"},
                               {},
                               {},
                               "Serial ports by number."});
    extended.attributes.push_back(
        {"Computer.Ports.Port", "Number", "SerialPort", "PortNumber", true, false, 0, {}});
    extended.attributes.push_back(
        {"Computer.Ports.Port", "Label", "SerialPort", "Label", false, false, 0, {}});
    return extended;
  }();
  return schema;
}

struct Change {
  db::DbValue old_value, new_value;
};

class RecordingRecorder : public ChangeRecorder {
 public:
  void RecordChange(int32_t, const db::DbValue& old_value, const db::DbValue& new_value,
                    const db::AttributeInfo&, int, const std::string&) override {
    changes.push_back({old_value, new_value});
  }
  std::vector<Change> changes;
};

struct Line {
  std::string component, attribute, key_attribute, key_value, value;
};

class ScanStoreTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    database_ = std::make_unique<ScratchDatabase>(GetParam());
    connection_.Open(database_->connection_string(), -1);
    db::CreateInventoryDatabase(connection_, GetParam().kind, TestSchema());
    metaschema_.Attach(&connection_, GetParam().kind, db::kDefaultLookupOption);
    ASSERT_TRUE(metaschema_.Load());
    connection_.Execute("INSERT INTO Computer(DeviceId) VALUES('dev-1')");
    idn_ = std::to_string(
        *connection_.QuerySingleValue(db::InsertedKeyQuery(GetParam().kind, "Computer")).ToInt32());
  }

  // A store for the next scan of the device, its snapshot loaded.
  std::unique_ptr<ScanStore> NewScan() {
    statements_.clear();
    recorder_.changes.clear();
    auto store = std::make_unique<ScanStore>(connection_, GetParam().kind, metaschema_);
    store->set_computer_idn(std::stoi(idn_));
    store->ResetForScan();
    store->set_change_recorder(&recorder_);
    store->set_statement_observer([this](std::string_view sql) { statements_.emplace_back(sql); });
    store->LoadSnapshot();
    return store;
  }

  // Resolves the lines and hands each written one over as a row of its own,
  // as the reader would (the store merges the rows of one instance), then
  // flushes. Returns WriteAttribute's answers.
  std::vector<bool> Scan(ScanStore& store, const std::vector<Line>& lines) {
    std::vector<bool> results;
    for (const Line& in : lines) {
      scan::ScanLine line;
      line.component = in.component;
      line.attribute = in.attribute;
      line.key_attribute = in.key_attribute;
      line.key_value = in.key_value;
      line.value = in.value;
      results.push_back(store.WriteAttribute(line));
      if (line.column.empty()) continue;
      scan::PendingRow row;
      row.table = line.table;
      row.key_column = line.key_column;
      row.table_kind = line.table_kind;
      row.parent_kind = line.parent_kind;
      row.metaobject_id = line.metaobject_id;
      row.exists = results.back();
      if (line.has_key) {
        row.key_value = db::FormatSqlValue(
            line.pk_value_type == scan::kKeyInteger ? db::kValueNumber : db::kValueText,
            db::DbValue::Text(in.key_value), GetParam().kind, nullptr);
      }
      row.attributes.push_back({line.column, line.value, line.data_type});
      store.AddPendingRow(std::move(row), false);
    }
    store.FlushPendingRows();
    return results;
  }

  size_t IndexOf(std::string_view prefix) const {
    auto found = std::find_if(statements_.begin(), statements_.end(),
                              [prefix](const std::string& sql) { return sql.starts_with(prefix); });
    return static_cast<size_t>(found - statements_.begin());
  }

  std::unique_ptr<ScratchDatabase> database_;
  db::Connection connection_;
  db::Metaschema metaschema_;
  RecordingRecorder recorder_;
  std::vector<std::string> statements_;
  std::string idn_;
};

TEST_P(ScanStoreTest, NewValuesAreInsertedParentsFirstAndTheSameScanAgainWritesNothing) {
  const std::vector<Line> lines = {
      {"Computer.Processor", "Type", "", "", "Xeon"},
      {"Computer.Network.Adapter", "MAC Address", "Name", "eth0", "aa:bb"},
      {"Computer.Memory.Slot", "Size", "Name", "DIMM0", "8192"},
      {"Computer.Software.Package", "Version", "Name", "vim", "9.0"},
      {"Computer.Network.Adapter", "MTU", "Name", "eth0", "1500"},
      {"Computer", "Device Name", "", "", "host-1"},
      {"Computer.Hardware.Device", "Class", "Name", "sda", "disk"},
  };
  auto store = NewScan();
  // Only the device row exists: its empty name is filled, the rest is new.
  EXPECT_EQ(Scan(*store, lines),
            (std::vector<bool>{false, false, false, false, false, true, false}));
  ASSERT_EQ(statements_.size(), 7u);
  EXPECT_EQ(statements_[0], "UPDATE Computer SET DeviceName = 'host-1' WHERE Computer_Idn=" + idn_);
  EXPECT_EQ(statements_[1], "INSERT INTO Components(DeviceClass,Computer_Idn,Name) VALUES('disk'," +
                                idn_ + ",'sda')");
  EXPECT_TRUE(statements_[2].starts_with("INSERT INTO AppSoftware(Version,"));
  // The slot's one-per-device parent is created right before the slot, after
  // every table that hangs off the device row directly.
  const size_t memory = IndexOf("INSERT INTO Memory(Computer_Idn) VALUES(" + idn_ + ")");
  EXPECT_EQ(IndexOf("INSERT INTO MemorySlot("), memory + 1);
  EXPECT_LT(IndexOf("INSERT INTO Processor("), memory);
  EXPECT_LT(IndexOf("INSERT INTO NetworkAdapter(MACAddress,MTU,Computer_Idn,Name) VALUES('aa:bb'," +
                    std::string("1500,") + idn_ + ",'eth0')"),
            memory);
  EXPECT_EQ(store->identity_changes(), 0u);
  EXPECT_EQ(store->hardware_changes(), 0u);
  // Tracked: the processor, the MAC address, the slot size, the package
  // version (all new, without an old value) and the name (a fill).
  ASSERT_EQ(recorder_.changes.size(), 5u);
  EXPECT_TRUE(recorder_.changes[1].old_value.is_empty());
  EXPECT_EQ(recorder_.changes[1].new_value, db::DbValue::Text("aa:bb"));

  store = NewScan();
  EXPECT_EQ(Scan(*store, lines), std::vector<bool>(lines.size(), false));
  EXPECT_TRUE(statements_.empty());
  EXPECT_TRUE(recorder_.changes.empty());
}

TEST_P(ScanStoreTest, ChangesAreUpdatesAndCountAsIdentityOrHardwareChanges) {
  auto store = NewScan();
  Scan(*store, {{"Computer", "Device Name", "", "", "host-1"},
                {"Computer.Processor", "Type", "", "", "Xeon"},
                {"Computer.Network.Adapter", "MAC Address", "Name", "eth0", "aa"}});
  store = NewScan();
  EXPECT_EQ(Scan(*store, {{"Computer", "Device Name", "", "", "host-2"},
                          {"Computer.Processor", "Type", "", "", "Xeon Gold"}}),
            (std::vector<bool>{true, true}));
  EXPECT_EQ(store->identity_changes(), 1u);  // the device name is an identity value
  EXPECT_EQ(store->hardware_changes(), 2u);
  ASSERT_EQ(statements_.size(), 2u);
  EXPECT_EQ(statements_[1],
            "UPDATE Processor SET ProcessorType = 'Xeon Gold' WHERE Computer_Idn=" + idn_);
  ASSERT_EQ(recorder_.changes.size(), 2u);
  EXPECT_EQ(recorder_.changes[1].old_value, db::DbValue::Text("Xeon"));

  // Changes in the software section are not hardware changes.
  store->SetHasSoftwareSection(true);
  statements_.clear();
  EXPECT_EQ(Scan(*store, {{"Computer.Network.Adapter", "MAC Address", "Name", "eth0", "cc"}}),
            std::vector<bool>{true});
  EXPECT_EQ(store->hardware_changes(), 2u);
  ASSERT_EQ(statements_.size(), 1u);
  EXPECT_EQ(statements_[0], "UPDATE NetworkAdapter SET MACAddress = 'cc' WHERE Computer_Idn=" +
                                idn_ + " AND Name='eth0'");
}

TEST_P(ScanStoreTest, BlanksAreTrimmedCaseCountsAndNullEqualsEmpty) {
  connection_.Execute(
      "INSERT INTO Processor(Computer_Idn, ProcessorType, Manufacturer, Speed, Architecture) "
      "VALUES(" +
      idn_ + ", '  Xeon  ', 'Intel', NULL, '')");
  auto store = NewScan();
  EXPECT_EQ(Scan(*store, {{"Computer.Processor", "Type", "", "", "Xeon"},
                          {"Computer.Processor", "Manufacturer", "", "", "intel"},
                          {"Computer.Processor", "Speed", "", "", ""},
                          {"Computer.Processor", "Architecture", "", "", "x86_64"},
                          {"Computer.Processor", "L2 Cache", "", "", "2 MiB"}}),
            (std::vector<bool>{false, true, false, true, true}));
  // Filling a NULL or an empty text updates the row but modifies nothing.
  EXPECT_EQ(store->hardware_changes(), 1u);
  ASSERT_EQ(statements_.size(), 1u);
  EXPECT_EQ(statements_[0],
            "UPDATE Processor SET Manufacturer = 'intel',Architecture = 'x86_64',L2Cache = "
            "'2 MiB' WHERE Computer_Idn=" +
                idn_);
}

TEST_P(ScanStoreTest, KeyedInstancesAreMatchedByTextAndIntegerKeys) {
  // A key-list column whose stored text carries blanks (" eth1 ") does not
  // identify its row: that instance counts as new.
  connection_.Execute("INSERT INTO NetworkAdapter(Computer_Idn, Name, MACAddress) VALUES(" + idn_ +
                      ", 'eth0', 'aa'), (" + idn_ + ", ' eth1 ', 'aa')");
  connection_.Execute("INSERT INTO SerialPort(Computer_Idn, PortNumber, Label) VALUES(" + idn_ +
                      ", 1, 'COM1'), (" + idn_ + ", 2, 'COM2')");
  const std::string adapter = "Computer.Network.Adapter";
  auto store = NewScan();
  EXPECT_EQ(Scan(*store, {{adapter, "MAC Address", "Name", "eth0", "aa"},
                          {adapter, "MAC Address", "Name", "ETH0", "aa"},
                          {adapter, "MAC Address", "Name", "eth9", "zz"},
                          {adapter, "MAC Address", "Name", "eth1", "bb"},
                          {"Computer.Ports.Port", "Label", "Number", "2", "COM2"},
                          {"Computer.Ports.Port", "Label", "Number", "1", "COM one"},
                          {"Computer.Ports.Port", "Label", "Number", "3", "COM3"}}),
            (std::vector<bool>{false, false, false, false, false, true, false}));
  EXPECT_EQ(IndexOf("UPDATE SerialPort SET Label = 'COM one' WHERE Computer_Idn=" + idn_ +
                    " AND PortNumber=1"),
            0u);
  // The update, then the four new instances: one INSERT per table.
  EXPECT_EQ(statements_.size(), 3u);
  EXPECT_EQ(connection_.QuerySingleValue("SELECT COUNT(*) FROM NetworkAdapter").ToInt32(), 5);
  EXPECT_EQ(connection_.QuerySingleValue("SELECT Label FROM SerialPort WHERE PortNumber = 3"),
            db::DbValue::Text("COM3"));
}

INSTANTIATE_TEST_SUITE_P(Db, ScanStoreTest, ::testing::ValuesIn(testing::AvailableTestDatabases()),
                         testing::TestDatabaseName);

TEST(PendingRowTest, InstancesMergeButDeletionsAndUnmodeledRowsStandAlone) {
  db::Connection unopened;
  db::Metaschema metaschema;
  ScanStore store(unopened, db::kDbmsSqlite, metaschema);
  const auto add = [&store](std::string table, std::string key, std::string column,
                            bool deleted = false, bool no_merge = false) {
    scan::PendingRow row;
    row.table = std::move(table);
    row.key_value = std::move(key);
    row.exists = column == "MTU";
    row.deleted = deleted;
    row.attributes.push_back({std::move(column), "'" + row.key_value + "'", db::kValueText});
    store.AddPendingRow(std::move(row), no_merge);
  };
  add("NetworkAdapter", "'eth0'", "MACAddress");
  add("networkadapter", "'ETH0'", "macaddress");  // the same instance, ignoring case
  add("NETWORKADAPTER", "'eth0'", "MTU");
  add("NetworkAdapter", "'eth1'", "MACAddress");
  add("NetworkAdapter", "'eth2'", "Status", true, true);
  add("NetworkAdapter", "'eth2'", "MTU");
  add("NetworkAdapter", "'eth0'", "Speed", false, true);
  add("UnmodeledData", "", "DataString");
  add("UnmodeledData", "", "DataString");

  EXPECT_EQ(store.pending().count("UNMODELEDDATA"), 2u);
  std::vector<scan::PendingRow> rows;
  auto [begin, end] = store.pending().equal_range("NETWORKADAPTER");
  for (auto it = begin; it != end; ++it) rows.push_back(it->second);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_TRUE(rows[0].exists);
  ASSERT_EQ(rows[0].attributes.size(), 2u);
  EXPECT_EQ(rows[0].attributes[0].literal, "''ETH0''");
  EXPECT_EQ(rows[0].attributes[1].column, "MTU");
  EXPECT_EQ(rows[1].key_value, "'eth1'");
  EXPECT_EQ(rows[2].attributes.size(), 1u);  // the later MTU stayed out of the deletion
  EXPECT_EQ(rows[3].attributes[0].column, "MTU");
  EXPECT_EQ(rows[4].attributes[0].column, "Speed");
}

}  // namespace
}  // namespace corvane::store
