// Scans whose transaction meets another writer's work, as when several
// servers share one database: the other writer is the test's own second
// connection, holding a row that the scan needs until the test commits it.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "db/connection.h"
#include "db/dialect.h"
#include "db/error.h"
#include "store/scan_processor.h"
#include "store/testing/scan_processor_fixture.h"

namespace corvane::store {
namespace {

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class ScanConflictTest : public ScanProcessorFixture {
 protected:
  bool OnPostgres() const { return GetParam().kind == db::kDbmsPostgres; }
  // The other server: a connection of its own with a transaction open.
  void BeginOther() {
    other_.Open(database_->connection_string(), -1);
    other_.BeginTransaction(true);
  }
  // True once a session of the database waits for a lock: the scan has met
  // the other connection's uncommitted row.
  bool WaitForLockWait() {
    for (int tries = 0; tries < 200; ++tries) {
      if (Value("SELECT COUNT(*) FROM pg_stat_activity WHERE datname = current_database() AND "
                "wait_event_type = 'Lock'")
              .ToInt32()
              .value_or(0) > 0) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // Processes the scan while the other connection holds what it needs:
  // once the scan waits for it, the other connection commits.
  ScanOutcome ProcessAgainstOther(ScanProcessor& processor, const std::string& name,
                                  const std::string& text) {
    std::future<ScanOutcome> scan =
        std::async(std::launch::async, [&] { return processor.ProcessScanFile(Drop(name, text)); });
    EXPECT_TRUE(WaitForLockWait()) << "the scan never waited for the other connection";
    other_.Commit(true);
    return scan.get();
  }
  // Event lines containing `needle` that reach the syslog within a second of
  // the last one.
  int CountEvents(const std::string& needle) {
    int count = 0;
    while (std::optional<std::string> line = syslog_.Next(1000)) {
      if (line->find(needle) != std::string::npos) ++count;
    }
    return count;
  }

  db::Connection other_;
};

TEST_P(ScanConflictTest, ANewDeviceAnotherServerStoresMeanwhileIsFoundOnTheNextAttempt) {
  if (!OnPostgres()) GTEST_SKIP() << "the other writer's waits are watched on PostgreSQL";
  StartTrace();
  auto processor = Processor();
  BeginOther();
  other_.Execute(std::string("INSERT INTO Computer (DeviceId, DeviceName) VALUES ('") + kDeviceId +
                 "', 'other')");
  const int32_t other_idn =
      other_.QuerySingleValue(db::InsertedKeyQuery(db::kDbmsPostgres, "Computer"))
          .ToInt32()
          .value_or(-1);

  const ScanOutcome outcome = ProcessAgainstOther(*processor, "SCA1.scn", full_);

  EXPECT_TRUE(outcome.stored) << processor->error_text();
  EXPECT_EQ(outcome.conflict_retries, 1u);
  EXPECT_FALSE(outcome.database_failed);
  EXPECT_TRUE(SetAside("SCA1.scn").empty());
  // One device, the other server's row, with the scan's data in it.
  EXPECT_EQ(Count("Computer"), 1);
  EXPECT_EQ(Value("SELECT Computer_Idn FROM Computer").ToInt32(), other_idn);
  EXPECT_EQ(Value("SELECT DeviceName FROM Computer").ToText(), "vm");
  EXPECT_EQ(Count(TableOf("Computer.Software.Package", "Name")), 985);
  EXPECT_EQ(Memory(), "24105");
  const std::string trace = TraceText();
  EXPECT_NE(trace.find("SCA1.scn met another writer's work"), std::string::npos) << trace;
  EXPECT_NE(trace.find("(attempt 2 of 8)"), std::string::npos) << trace;
}

TEST_P(ScanConflictTest, ACatalogueRowAnotherServerAddsMeanwhileIsSharedAndEventsGoOutOnce) {
  if (!OnPostgres()) GTEST_SKIP() << "the other writer's waits are watched on PostgreSQL";
  auto processor = Processor();
  ASSERT_TRUE(processor->ProcessScanFile(Drop("SCA1.scn", full_)).stored);
  while (syslog_.Next(200)) {
  }
  // The memory grew (a tracked attribute: event 4098) and one file changed
  // size, which needs a catalogue row that the other server adds first.
  std::string scan =
      Replaced(full_, "Memory - Physical Memory = 24105", "Memory - Physical Memory = 32768");
  scan = Replaced(scan, "ExeName = [\n* - FileSize = 68496", "ExeName = [\n* - FileSize = 68497");
  BeginOther();
  other_.Execute("INSERT INTO FileInfo (FileName, FileSize, Title) VALUES ('[', 68497, 'other')");

  const ScanOutcome outcome = ProcessAgainstOther(*processor, "SCA2.scn", scan);

  EXPECT_TRUE(outcome.stored) << processor->error_text();
  EXPECT_EQ(outcome.conflict_retries, 1u);
  EXPECT_EQ(Memory(), "32768");
  EXPECT_EQ(Count("FileInfo", "FileName = '[' AND FileSize = 68497"), 1);
  EXPECT_EQ(Value("SELECT f.Title FROM FileInfoInstance i JOIN FileInfo f ON f.FileInfo_Idn = "
                  "i.FileInfo_Idn WHERE i.Path = '/usr/bin/['")
                .ToText(),
            "other");
  // The rolled-back attempt's change event is not told.
  EXPECT_EQ(CountEvents("Physical memory"), 1);
}

TEST_P(ScanConflictTest, ScansOfOneDeviceOnTwoServersApplyOneAfterTheOther) {
  if (!OnPostgres()) GTEST_SKIP() << "the other writer's waits are watched on PostgreSQL";
  auto processor = Processor();
  ASSERT_TRUE(processor->ProcessScanFile(Drop("SCA1.scn", full_)).stored);
  const std::string idn = Value("SELECT Computer_Idn FROM Computer").ToText();
  // The other server is in the middle of a scan of the same device, one that
  // found a package installed.
  BeginOther();
  other_.Query(db::LockRowQuery(db::kDbmsPostgres, "Computer", "Computer_Idn", std::stoi(idn)));
  other_.Execute("INSERT INTO AppSoftware (Computer_Idn, Name, Version) VALUES (" + idn +
                 ", 'zz-new', '1')");

  const std::string scan = Replaced(full_, "Software - Package - (Name:adduser)",
                                    "Software - Package - (Name:zz-new) - Version = 2\n"
                                    "Software - Package - (Name:adduser)");
  const ScanOutcome outcome = ProcessAgainstOther(*processor, "SCA2.scn", scan);
  EXPECT_TRUE(outcome.stored) << processor->error_text();
  EXPECT_EQ(outcome.conflict_retries, 0u);
  // Compared with what the other server committed: the package is known,
  // and the later scan's version stands, in one row.
  EXPECT_EQ(Count("AppSoftware", "Name = 'zz-new'"), 1);
  EXPECT_EQ(Value("SELECT Version FROM AppSoftware WHERE Name = 'zz-new'").ToText(), "2");
}

TEST_P(ScanConflictTest, AConflictThatNeverEndsFailsTheScanAfterItsAttempts) {
  if (GetParam().kind != db::kDbmsSqlite) GTEST_SKIP() << "the trigger is SQLite's";
  StartTrace();
  // Every new device meets a taken key, as if another writer always came
  // first.
  connection_.Execute(
      "CREATE TRIGGER AlwaysTaken BEFORE INSERT ON Computer BEGIN SELECT RAISE(ABORT, "
      "'UNIQUE constraint failed: Computer.DeviceId'); END");
  auto processor = Processor();
  const ScanOutcome outcome = processor->ProcessScanFile(Drop("SCA1.scn", full_));
  EXPECT_FALSE(outcome.stored);
  EXPECT_FALSE(outcome.database_failed);
  EXPECT_EQ(outcome.conflict_retries, 7u);
  EXPECT_NE(outcome.code, kScanApplied);
  EXPECT_NE(processor->error_text().find("UNIQUE constraint failed"), std::string::npos)
      << processor->error_text();
  // The scan is kept, where a scan that failed goes.
  EXPECT_FALSE(SetAside("SCA1.scn").empty());
  EXPECT_EQ(Count("Computer"), 0);
  const std::string trace = TraceText();
  EXPECT_NE(trace.find("(attempt 8 of 8)"), std::string::npos) << trace;
}

INSTANTIATE_TEST_SUITE_P(Db, ScanConflictTest,
                         ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::store
