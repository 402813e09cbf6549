// The change history: the HISTORY statement as text for every dialect, then
// on every test database which tracking flags give a row and which an
// event, how keys and values land in their columns, that a lost row never
// stops the scan, and a delta scan's tracked changes end to end.

#include "store/change_history.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/device_processor.h"
#include "db/dialect.h"
#include "db/schema_create.h"
#include "diag/catalogue.h"
#include "notifex/notifex.h"
#include "platform/paths.h"
#include "store/scan_processor.h"
#include "testsupport/syslog_capture.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane::store {
namespace {

using corvane::testing::ScratchDatabase;
using corvane::testing::TestDatabaseServer;
using db::DbValue;

// The statement for device 7, attribute 42 at the moment 0 in UTC, without
// the columns and values every row begins with; "no row" for none.
std::string Rest(db::DbmsKind kind, const DbValue& old_value, const DbValue& new_value,
                 db::DataType type, int key_type = 0, const std::string& key = "") {
  setenv("TZ", "UTC", 1);
  tzset();
  db::AttributeInfo attribute;
  attribute.metaobject_id = 42;
  attribute.data_type = type;
  std::string sql =
      db::HistoryInsertStatement(kind, 7, old_value, new_value, attribute, key_type, key, 0)
          .value_or("no row");
  for (const std::string head : {"INSERT INTO HISTORY (COMPUTER_IDN, METAOBJATTRRELATIONS_IDN, "
                                 "CHANGEDATE, ",
                                 "VALUES (7, 42, {ts '1970-01-01 00:00:00'}, "}) {
    const size_t at = sql.find(head);
    if (at == std::string::npos) break;  // a different beginning shows in full
    sql.erase(at, head.size());
  }
  return sql;
}

TEST(HistoryStatementTest, KeysByTheirTypeAndValuesByTheirColumns) {
  EXPECT_EQ(Rest(db::kDbmsSqlite, DbValue(), DbValue::Text("Debian 12"), db::kValueText),
            "PKVALTYPE, NEWSTR) 0, 'Debian 12')");
  EXPECT_EQ(Rest(db::kDbmsPostgres, DbValue::Text("1.0"), DbValue::Text("it's 2"), db::kValueText,
                 2, "O'Brien"),
            "PKVALTYPE, PKVALSTR, NEWSTR, OLDSTR) 2, 'O''Brien', 'it''s 2', '1.0')");
  EXPECT_EQ(Rest(db::kDbmsSqlite, DbValue::Null(), DbValue::Text("x"), db::kValueText, 3, " 17"),
            "PKVALTYPE, PKVALINT, NEWSTR) 3, 17, 'x')");
  // A key of no known type leaves the change without a row.
  EXPECT_EQ(Rest(db::kDbmsSqlite, DbValue(), DbValue::Text("x"), db::kValueText, 0, "eth0"),
            "no row");

  EXPECT_EQ(Rest(db::kDbmsSqlite, DbValue::Int32(2048), DbValue::Text("4,096"), db::kValueNumber),
            "PKVALTYPE, NEWINT, OLDINT) 0, 4096, 2048)");
  // A deleted item's marker text is no number: only the old value is kept.
  EXPECT_EQ(
      Rest(db::kDbmsSqlite, DbValue::Int32(2048), DbValue::Text("ItemDeleted"), db::kValueNumber),
      "PKVALTYPE, OLDINT) 0, 2048)");

  const DbValue bytes = DbValue::Bytes({0x00, 0xAB});
  const DbValue text = DbValue::Text("a");
  EXPECT_EQ(Rest(db::kDbmsSqlite, text, bytes, db::kValueBinary),
            "PKVALTYPE, NEWIMG, OLDIMG) 0, X'00AB', X'61')");
  EXPECT_EQ(Rest(db::kDbmsPostgres, text, bytes, db::kValueBinary),
            "PKVALTYPE, NEWIMG, OLDIMG) 0, decode('00AB', 'hex'), decode('61', 'hex'))");
  EXPECT_EQ(Rest(db::kDbmsSqlServer, text, bytes, db::kValueBinary),
            "PKVALTYPE, NEWIMG, OLDIMG) 0, 0x00AB, 0x61)");
  EXPECT_EQ(Rest(db::kDbmsOracle, text, bytes, db::kValueBinary),
            "PKVALTYPE, NEWIMG, OLDIMG) 0, HEXTORAW('00AB'), HEXTORAW('61'))");
}

TEST(HistoryStatementTest, OracleDatesGoThroughToDateWhileTheChangeDateKeepsTheEscape) {
  EXPECT_EQ(Rest(db::kDbmsOracle, DbValue::Text("01/02/2023 03:04:05"),
                 DbValue::Text("12/31/2024 23:59:00"), db::kValueDate),
            "PKVALTYPE, NEWDATE, OLDDATE) 0, TO_DATE('12/31/2024 23:59:00', "
            "'MM/DD/YYYY HH24:MI:SS'), TO_DATE('01/02/2023 03:04:05', 'MM/DD/YYYY HH24:MI:SS'))");
}

TEST(HistoryStatementTest, RowsOfOneColumnListShareStatementsInTheirOrder) {
  const std::vector<db::HistoryRowText> rows = {
      {"A, B", "1, 'x'"}, {"A", "2"}, {"A, B", "3, 'y'"}, {"A, B", "4, 'z'"}};
  EXPECT_EQ(db::HistoryInsertStatements(db::kDbmsPostgres, rows, 2),
            (std::vector<std::string>{"INSERT INTO HISTORY (A, B) VALUES (1, 'x'), (3, 'y')",
                                      "INSERT INTO HISTORY (A, B) VALUES (4, 'z')",
                                      "INSERT INTO HISTORY (A) VALUES (2)"}));
  // Oracle has no multi-row VALUES.
  EXPECT_EQ(db::HistoryInsertStatements(db::kDbmsOracle, rows, 200).size(), 4u);
  EXPECT_TRUE(db::HistoryInsertStatements(db::kDbmsSqlite, {}, 200).empty());
}

// The sinks, the kind and the inserts of an event, in one line.
std::string Describe(const ChangeEvent& event) {
  return std::to_string(event.sinks) + " " + std::to_string(event.kind) + "|" +
         event.attribute_name + "|" + event.device_name + "|" + event.device_id + "|" +
         event.previous_value + "|" + event.new_value;
}

class ChangeHistoryTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    database_ = std::make_unique<ScratchDatabase>(GetParam());
    connection_.Open(database_->connection_string(), -1);
    db::CreateInventoryDatabase(connection_, GetParam().kind);
    metaschema_.Attach(&connection_, GetParam().kind, db::kDefaultLookupOption);
    ASSERT_TRUE(metaschema_.Load());
    device_ = AddDevice("dev-1", "node-a");
  }

  int32_t AddDevice(const std::string& id, const std::string& name) {
    connection_.Execute("INSERT INTO Computer(DeviceId, DeviceName) VALUES('" + id + "', '" + name +
                        "')");
    return *connection_.QuerySingleValue(db::InsertedKeyQuery(GetParam().kind, "Computer"))
                .ToInt32();
  }
  std::unique_ptr<ChangeHistory> History(const std::string& device_name = "node-a") {
    ChangeEventHooks hooks;
    hooks.register_alert_type = [this](const ChangeAlertType& type) {
      registered_.push_back(type.alert_name + (" " + std::to_string(type.event_id)) + " " +
                            type.display_name + " " + type.insert_format);
    };
    hooks.report = [this](const ChangeEvent& event) { events_.push_back(event); };
    return std::make_unique<ChangeHistory>(metaschema_, GetParam().kind, diag::kApplicationName,
                                           "dev-1", device_name, hooks);
  }
  db::AttributeInfo Tracked(const char* component, const char* attribute, int32_t flags) {
    db::AttributeInfo info = *metaschema_.LookupAttribute(component, attribute);
    info.track_flags = flags;
    return info;
  }
  DbValue Value(const std::string& sql) { return connection_.QuerySingleValue(sql); }
  int Rows(const std::string& condition = "1 = 1") {
    return Value("SELECT COUNT(*) FROM HISTORY WHERE " + condition).ToInt32().value_or(-1);
  }

  corvane::testing::TempRoot root_;
  corvane::testing::SyslogCapture syslog_{root_.path()};
  std::unique_ptr<ScratchDatabase> database_;
  db::Connection connection_;
  db::Metaschema metaschema_;
  int32_t device_ = 0;
  std::vector<std::string> registered_;
  std::vector<ChangeEvent> events_;
};

TEST_P(ChangeHistoryTest, TheTrackingFlagsChooseTheRowAndTheEventSinks) {
  auto history = History();
  EXPECT_EQ(registered_,
            (std::vector<std::string>{"Attribute Modified 4098 Attribute Modified %s %s %s %s %s",
                                      "Component Deleted 4099 Component Deleted %s %s",
                                      "Attribute Deleted 4097 Attribute Deleted %s %s %s"}));
  const DbValue debian = DbValue::Text("Debian 12");
  history->RecordChange(device_, DbValue(), debian, Tracked("Computer.OS", "Name", 0), 0, "");
  history->RecordChange(0, DbValue(), debian, Tracked("Computer.OS", "Name", 7), 0, "");
  history->WriteRecordedRows();
  EXPECT_EQ(Rows(), 0);
  EXPECT_TRUE(events_.empty());

  const db::AttributeInfo row_only = Tracked("Computer.OS", "Name", 2);
  history->RecordChange(device_, DbValue(), debian, row_only, 0, "");
  EXPECT_TRUE(events_.empty());
  // The rows wait for the store's flush, then go in together.
  EXPECT_EQ(Rows(), 0);
  history->WriteRecordedRows();
  EXPECT_EQ(Rows("COMPUTER_IDN = " + std::to_string(device_) +
                 " AND METAOBJATTRRELATIONS_IDN = " + std::to_string(row_only.metaobject_id) +
                 " AND PKVALTYPE = 0 AND NEWSTR = 'Debian 12' AND OLDSTR IS NULL AND "
                 "CHANGEDATE IS NOT NULL AND PKVALSTR IS NULL"),
            1);

  history->RecordChange(device_, DbValue::Text("Debian 11"), debian,
                        Tracked("Computer.OS", "Name", 1), 0, "");
  history->RecordChange(device_, DbValue(), debian, Tracked("Computer.OS", "Name", 29), 0, "");
  history->RecordChange(device_, DbValue(), debian, Tracked("Computer.OS", "Name", 1 | 16), 0, "");
  history->WriteRecordedRows();
  EXPECT_EQ(Rows(), 1);
  ASSERT_EQ(events_.size(), 3u);
  EXPECT_EQ(Describe(events_[0]), "2 4|Operating system|node-a|dev-1|'Debian 11'|'Debian 12'");
  EXPECT_EQ(Describe(events_[1]), "6 1|Operating system|node-a|dev-1|''|'Debian 12'");
  EXPECT_EQ(events_[2].kind, diag::kKindWarning);
}

TEST_P(ChangeHistoryTest, KeysAndValuesLandInTheirColumns) {
  auto history = History();
  history->RecordChange(device_, DbValue::Text("1.0"), DbValue::Text("2.0"),
                        Tracked("Computer.Software.Package", "Version", 2), 2, "O'Brien tools");
  history->WriteRecordedRows();
  EXPECT_EQ(Rows("PKVALTYPE = 2 AND PKVALSTR = 'O''Brien tools' AND OLDSTR = '1.0' AND "
                 "NEWSTR = '2.0' AND PKVALINT IS NULL"),
            1);
  history->RecordChange(device_, DbValue::Int32(512), DbValue::Text("1024"),
                        Tracked("Computer.Memory.Slot", "Size", 2), 3, "12");
  history->WriteRecordedRows();
  EXPECT_EQ(Rows("PKVALTYPE = 3 AND PKVALINT = 12 AND OLDINT = 512 AND NEWINT = 1024"), 1);
  // No row for a key of no known type, but the event still goes out.
  history->RecordChange(device_, DbValue(), DbValue::Text("x"), Tracked("Computer.OS", "Name", 3),
                        0, "untyped");
  history->WriteRecordedRows();
  EXPECT_EQ(Rows(), 2);
  EXPECT_EQ(events_.size(), 1u);

  // A date as the store formats it comes back as the same moment.
  const time_t moment = 1700000000;
  char text[32];
  struct tm local {};
  localtime_r(&moment, &local);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  db::AttributeInfo date = Tracked("Computer.OS", "Install Date", 2);
  ASSERT_TRUE(metaschema_.InsertHistoryRow(device_, DbValue(), DbValue::Text(text), date, 0, ""));
  EXPECT_EQ(Value("SELECT NEWDATE FROM HISTORY WHERE NEWDATE IS NOT NULL"), DbValue::Date(moment));

  db::AttributeInfo image = date;
  image.data_type = db::kValueBinary;
  ASSERT_TRUE(metaschema_.InsertHistoryRow(device_, DbValue::Text("ab"),
                                           DbValue::Bytes({0x00, 0xFF, 0x10}), image, 0, ""));
  EXPECT_EQ(Value("SELECT NEWIMG FROM HISTORY WHERE NEWIMG IS NOT NULL"),
            DbValue::Bytes({0x00, 0xFF, 0x10}));
  EXPECT_EQ(Value("SELECT OLDIMG FROM HISTORY WHERE OLDIMG IS NOT NULL"),
            DbValue::Bytes({'a', 'b'}));
}

TEST_P(ChangeHistoryTest, ALostRowIsSwallowedAndTheTransactionGoesOn) {
  connection_.Execute("DROP TABLE HISTORY");
  const db::AttributeInfo name = Tracked("Computer.OS", "Name", 3);
  EXPECT_FALSE(metaschema_.InsertHistoryRow(device_, DbValue(), DbValue::Text("x"), name, 0, ""));

  auto history = History();
  connection_.BeginTransaction(true);
  history->RecordChange(device_, DbValue(), DbValue::Text("Debian 12"), name, 0, "");
  history->WriteRecordedRows();
  EXPECT_EQ(events_.size(), 1u);
  // On PostgreSQL the failed INSERT would have aborted the transaction.
  connection_.Execute("UPDATE Computer SET HostName = 'after' WHERE Computer_Idn = " +
                      std::to_string(device_));
  connection_.Commit(true);
  EXPECT_EQ(Value("SELECT HostName FROM Computer").ToText(), "after");
}

TEST_P(ChangeHistoryTest, TheDeviceNameIsReadOncePerDevice) {
  const db::AttributeInfo name = Tracked("Computer.OS", "Name", 1);
  auto history = History("");  // the scan named no device
  history->RecordChange(device_, DbValue(), DbValue::Text("a"), name, 0, "");
  connection_.Execute("UPDATE Computer SET DeviceName = 'renamed'");
  history->RecordChange(device_, DbValue(), DbValue::Text("b"), name, 0, "");
  history->RecordChange(AddDevice("dev-2", "node-b"), DbValue(), DbValue::Text("c"), name, 0, "");
  History("from-scan")->RecordChange(device_, DbValue(), DbValue::Text("d"), name, 0, "");
  std::vector<std::string> names;
  for (const ChangeEvent& event : events_) names.push_back(event.device_name);
  EXPECT_EQ(names, (std::vector<std::string>{"node-a", "node-a", "node-b", "from-scan"}));
}

// The sample device's full scan, then its delta, through per-device
// processing as the server runs it, with the events in the system log.
TEST_P(ChangeHistoryTest, TheDeltasTrackedChangesLeaveRowsAndEvents) {
  const std::string samples = CORVANE_SAMPLE_SCANS_DIR;
  const std::string full = corvane::testing::ReadFileOrEmpty(samples + "/debian12-full.scn");
  const std::string delta = corvane::testing::ReadFileOrEmpty(samples + "/debian12-delta.scn");
  if (full.empty() || delta.empty()) GTEST_SKIP() << "sample scans not found";
  RegisterEventApplicationEx(diag::kApplicationName, diag::kApplicationName,
                             platform::ProgramPath().c_str());
  EnableNTEventLog(1);
  corvane::testing::WriteDefaultConnection(*database_);
  db::DeviceProcessor device;
  ASSERT_EQ(device.Open(30), 0u) << device.error_text();
  service::DeviceIdSet force, bad;
  ScanProcessor processor(device, force, bad, ScanProcessingSettings());
  auto process = [&](const std::string& name, const std::string& text) {
    corvane::testing::WriteFile(root_.path() + "/" + name, text);
    return processor.ProcessScanFile(root_.path() + "/" + name).code;
  };
  auto rows = [&](const char* component, const char* attribute, const std::string& condition) {
    return Rows("METAOBJATTRRELATIONS_IDN = " +
                std::to_string(Tracked(component, attribute, 0).metaobject_id) + " AND " +
                condition);
  };

  ASSERT_EQ(process("SCA1.scn", full), kScanApplied) << processor.error_text();
  // The new device's tracked values all appear.
  EXPECT_EQ(rows("Computer.Memory", "Physical Memory", "NEWINT = 24105 AND OLDINT IS NULL"), 1);
  EXPECT_EQ(rows("Computer.Software.Package", "Version", "PKVALSTR = 'adwaita-icon-theme'"), 1);

  ASSERT_EQ(process("SCA2.scn", delta), kScanApplied) << processor.error_text();
  EXPECT_EQ(rows("Computer.Memory", "Physical Memory", "OLDINT = 24105 AND NEWINT = 32768"), 1);
  EXPECT_EQ(rows("Computer.Software.Package", "Version",
                 "PKVALTYPE = 2 AND PKVALSTR = 'adwaita-icon-theme' AND OLDSTR = '43-1' AND "
                 "NEWSTR = '43-1+deb12u9'"),
            1);
  EXPECT_EQ(rows("Computer.Software.Package", "Version",
                 "PKVALSTR = 'sample-new-tool' AND NEWSTR = '0.9.1' AND OLDSTR IS NULL"),
            1);

  std::optional<std::string> event = syslog_.WaitFor("New Value: 32768");
  ASSERT_TRUE(event.has_value());
  EXPECT_NE(event->find("Event 4098: Attribute 'Physical memory (MB)' modified for node vm (ID: "
                        "{3D1219C7-0000-0000-0000-000000005EED})"),
            std::string::npos)
      << *event;
  EXPECT_NE(event->find("Previous Value: 24105"), std::string::npos) << *event;
}

INSTANTIATE_TEST_SUITE_P(Db, ChangeHistoryTest,
                         ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::store
