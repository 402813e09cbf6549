#include "tasks/timer_thread.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>

#include <gtest/gtest.h>

#include "notifex/event_file.h"
#include "platform/registry.h"
#include "testsupport/temp_root.h"

namespace corvane::tasks {
namespace {

namespace fs = std::filesystem;

std::time_t December2026(int day, int hour, int minute) {
  return tasks::LocalSeconds(2026, 12, day, hour, minute);
}

// A scanner that records its arguments, writes a scan to its "/o=" file
// and, when GATE names a file, waits for it before it ends (or until the
// test's directory is gone).
constexpr char kScanner[] =
    "#!/bin/sh\n"
    "echo \"$@\" >> \"$(dirname \"$0\")/arguments\"\n"
    "out=\"${1#/o=}\"\n"
    "printf 'Device ID = {SELF}\\r\\nDevice Name = server\\r\\n' > \"$out\"\n"
    "while [ -n \"$GATE\" ] && [ ! -e \"$GATE\" ] && [ -d \"$(dirname \"$GATE\")\" ]; do\n"
    "  sleep 0.01\n"
    "done\n";

class TimerThreadTest : public ::testing::Test {
 protected:
  TimerThreadTest() {
    platform::registry::SetValue(platform::RegRoot::kLocalMachine,
                                 "SOFTWARE\\Arvex\\Corvane\\EventLog", "Corvane Event Log",
                                 platform::RegValue::Dword(1));
    context_.program_directory = root_.path();
    context_.storage.root = root_.path() + "/cvscan";
    fs::create_directories(context_.storage.root);
    settings().do_self_scan = 0;
    settings().log_stats = 1;
  }
  ~TimerThreadTest() override {
    context_.running = false;
    context_.worker_stop.Set();
    context_.started.Set();
    if (thread_) {
      EXPECT_TRUE(thread_->Join(10000)) << "the timer thread did not stop";
    }
    unsetenv("GATE");
  }

  service::Settings& settings() { return context_.configuration.settings; }

  void GiveShare(bool with_scanner) {
    fs::create_directories(share_);
    testing::WriteFile(root_.path() + "/smb.conf", "[cvlogon]\n  path = " + share_ + "\n");
    if (!with_scanner) return;
    testing::WriteFile(share_ + "/rivozu32", kScanner);
    chmod((share_ + "/rivozu32").c_str(), 0755);
  }

  void Start() {
    TimerEnvironment environment;
    environment.context = &context_;
    environment.clock = &clock_;
    environment.drop_stale_datagram_scans = [this](uint32_t age) {
      ++drop_calls_;
      EXPECT_EQ(age, 300u);
      return std::exchange(stale_senders_, {});
    };
    environment.reset_watchdog_restarts = [this] { ++watchdog_resets_; };
    timer_ = std::make_unique<TimerThread>(std::move(environment));
    thread_ = std::make_unique<platform::Thread>([this] { timer_->Run(); });
    context_.started.Set();
  }

  // Lets the thread run on until it waits for its next cycle, passing the
  // share lookup's retries; the scanner and the maintenance end their own
  // waits.
  void RunToNextCycleWait() {
    for (;;) {
      std::optional<ManualClock::WaitInfo> wait = clock_.AwaitWait(serial_);
      ASSERT_TRUE(wait) << "the timer thread does not wait";
      serial_ = wait->serial;
      if (wait->timeout_ms == kTimerPeriodMs) return;
      if (wait->timeout_ms == kShareRetryMs) clock_.Advance(wait->timeout_ms / 1000);
    }
  }
  void NextCycle(uint32_t seconds = 300) {
    clock_.Advance(seconds);
    RunToNextCycleWait();
  }

  std::vector<uint32_t> EventIds() {
    std::vector<uint32_t> ids;
    for (const notifex::EventRecord& record :
         notifex::ParseEventFile(testing::ReadFileOrEmpty(notifex::EventFilePath())).records) {
      ids.push_back(record.event_id);
    }
    return ids;
  }
  std::vector<notifex::EventRecord> EventsWithId(uint32_t id) {
    std::vector<notifex::EventRecord> found;
    for (notifex::EventRecord& record :
         notifex::ParseEventFile(testing::ReadFileOrEmpty(notifex::EventFilePath())).records) {
      if (record.event_id == id) found.push_back(std::move(record));
    }
    return found;
  }
  std::vector<std::string> Files(const std::string& suffix) {
    return testing::FilesIn(context_.storage.root, suffix);
  }
  std::string ScannerArguments() { return testing::ReadFileOrEmpty(share_ + "/arguments"); }

  testing::TempRoot root_;
  std::string share_ = root_.path() + "/share";
  service::ServerContext context_;
  ManualClock clock_{December2026(9, 10, 0)};
  std::unique_ptr<TimerThread> timer_;
  std::unique_ptr<platform::Thread> thread_;
  uint64_t serial_ = 0;
  std::atomic<int> drop_calls_{0};
  std::vector<std::string> stale_senders_;
  std::atomic<int> watchdog_resets_{0};
};

TEST_F(TimerThreadTest, RightAfterStartTheScannerRunsAndItsScanIsHandedOverOnceItEnds) {
  GiveShare(true);
  Start();
  RunToNextCycleWait();
  const std::vector<std::string> scans = Files(".scn");
  ASSERT_EQ(scans.size(), 1u) << "even with \"Do Self Scan\" 0";
  EXPECT_TRUE(Files(".tmp").empty());
  const std::string temporary = fs::path(scans[0]).replace_extension(".tmp").string();
  EXPECT_EQ(ScannerArguments(), "/o=" + context_.storage.root + "/" +
                                    fs::path(temporary).filename().string() + " /f /noui /nocd\n");
  EXPECT_EQ(testing::ReadFileOrEmpty(context_.storage.root + "/" + scans[0]),
            "Device ID = {SELF}\r\nDevice Name = server\r\n");
  ASSERT_EQ(EventsWithId(2387).size(), 1u);
  EXPECT_EQ(EventsWithId(2387)[0].inserts, std::vector<std::string>{"10"});
}

TEST_F(TimerThreadTest, WithoutTheShareTenLookupsThenEvent2385AndNoScan) {
  Start();
  int retries = 0;
  for (;;) {
    std::optional<ManualClock::WaitInfo> wait = clock_.AwaitWait(serial_);
    ASSERT_TRUE(wait);
    serial_ = wait->serial;
    if (wait->timeout_ms == kTimerPeriodMs) break;
    EXPECT_EQ(wait->timeout_ms, kShareRetryMs);
    EXPECT_TRUE(EventsWithId(2385).empty());
    ++retries;
    clock_.Advance(3);
  }
  EXPECT_EQ(retries, kShareLookupTries - 1);
  EXPECT_EQ(EventsWithId(2385).size(), 1u);
  EXPECT_TRUE(Files("").empty());
}

TEST_F(TimerThreadTest, AShareWithoutTheScannerReportsAScannerErrorAndLeavesNoFile) {
  GiveShare(false);
  Start();
  RunToNextCycleWait();
  EXPECT_EQ(EventsWithId(2386).size(), 1u);
  EXPECT_TRUE(Files("").empty());
}

TEST_F(TimerThreadTest, AScannerStillRunningAfterTenMinutesIsHandedOverOnlyWhenItEnds) {
  GiveShare(true);
  const std::string gate = root_.path() + "/gate";
  setenv("GATE", gate.c_str(), 1);
  Start();
  std::optional<ManualClock::WaitInfo> wait = clock_.AwaitWait(serial_);
  ASSERT_TRUE(wait);
  EXPECT_EQ(wait->timeout_ms, kScannerWaitMs);
  serial_ = wait->serial;
  clock_.Advance(600);
  RunToNextCycleWait();
  EXPECT_TRUE(Files(".scn").empty()) << "a scan still being written is never taken";
  EXPECT_EQ(Files(".tmp").size(), 1u);
  NextCycle();
  EXPECT_TRUE(Files(".scn").empty());

  testing::WriteFile(gate, "");
  // Each later cycle looks whether it has ended meanwhile.
  for (int i = 0; i < 250 && Files(".scn").empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    NextCycle();
  }
  EXPECT_EQ(Files(".scn").size(), 1u);
  EXPECT_TRUE(Files(".tmp").empty());
  EXPECT_EQ(EventsWithId(2387).size(), 1u);
}

TEST_F(TimerThreadTest, AServerStoppingDuringTheScannerWaitLeavesItsFileAlone) {
  GiveShare(true);
  setenv("GATE", (root_.path() + "/never").c_str(), 1);
  Start();
  ASSERT_TRUE(clock_.AwaitWait(serial_));
  context_.running = false;
  context_.worker_stop.Set();
  EXPECT_TRUE(thread_->Join(5000));
  EXPECT_TRUE(Files(".scn").empty());
  EXPECT_EQ(Files(".tmp").size(), 1u);
  testing::WriteFile(root_.path() + "/never", "");  // lets the scanner end
}

TEST_F(TimerThreadTest, TheDailySelfScanFollowsFromSelfScanAtOnTheNextDayOnly) {
  GiveShare(true);
  settings().do_self_scan = 1;
  settings().self_scan_at = 22;
  Start();
  RunToNextCycleWait();
  EXPECT_EQ(Files(".scn").size(), 1u);
  NextCycle(12 * 3600);  // 22:00 the same day: the first-cycle scan counted
  EXPECT_EQ(Files(".scn").size(), 1u);
  NextCycle(23 * 3600);  // 21:00 the next day
  EXPECT_EQ(Files(".scn").size(), 1u);
  NextCycle(3600);  // 22:00
  EXPECT_EQ(Files(".scn").size(), 2u);
  NextCycle(1800);
  EXPECT_EQ(Files(".scn").size(), 2u);
}

TEST_F(TimerThreadTest, SelfScanAtAbove23MeansNoDailyScan) {
  GiveShare(true);
  settings().do_self_scan = 1;
  settings().self_scan_at = 24;
  Start();
  RunToNextCycleWait();
  for (int hour = 0; hour < 48; ++hour) NextCycle(3600);
  EXPECT_EQ(Files(".scn").size(), 1u);
}

TEST_F(TimerThreadTest, IncompleteDatagramScansAreDroppedOncePerPeriodWithEvent2384) {
  GiveShare(false);
  Start();
  RunToNextCycleWait();
  EXPECT_EQ(drop_calls_, 0) << "the first cycle comes right after the start";
  stale_senders_ = {"10.1.2.3", "10.1.2.4"};
  NextCycle();
  EXPECT_EQ(drop_calls_, 1);
  std::vector<notifex::EventRecord> dropped = EventsWithId(2384);
  ASSERT_EQ(dropped.size(), 2u);
  EXPECT_EQ(dropped[0].inserts, std::vector<std::string>{"10.1.2.3"});
  EXPECT_EQ(dropped[1].inserts, std::vector<std::string>{"10.1.2.4"});
}

class ErrorFileAgeTest : public TimerThreadTest {
 protected:
  // A file of the ErrorScan directory written `age_seconds` before the
  // clock's time.
  void PutErrorFile(const std::string& name, std::time_t age_seconds) {
    fs::create_directories(error_scan_);
    testing::WriteFile(error_scan_ + "/" + name, "Device ID = {OLD}\n");
    const std::time_t written = clock_.WallSeconds() - age_seconds;
    timespec times[2] = {{written, 0}, {written, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (error_scan_ + "/" + name).c_str(), times, 0), 0);
  }

  const std::string error_scan_ = root_.path() + "/cvscan/ErrorScan";
  static constexpr std::time_t kDay = 86400;
};

TEST_F(ErrorFileAgeTest, AFileGoesInTheFirstCycleAfterItsAgeWithOneEventPerCycle) {
  settings().max_error_file_age_days = 30;
  PutErrorFile("SCA0001.scn", 31 * kDay);
  PutErrorFile("SCA0002.scn", 30 * kDay - 500);
  GiveShare(false);
  Start();
  RunToNextCycleWait();
  EXPECT_EQ(testing::FilesIn(error_scan_), std::vector<std::string>{"SCA0002.scn"});
  ASSERT_EQ(EventsWithId(2395).size(), 1u);
  EXPECT_EQ(EventsWithId(2395)[0].inserts[0], "1");
  EXPECT_EQ(EventsWithId(2395)[0].inserts[2], "30");

  NextCycle();  // 300 s on: still 200 s short of its age
  EXPECT_EQ(testing::FilesIn(error_scan_).size(), 1u);
  NextCycle();
  EXPECT_TRUE(testing::FilesIn(error_scan_).empty());
  EXPECT_EQ(EventsWithId(2395).size(), 2u);
}

TEST_F(ErrorFileAgeTest, ZeroKeepsTheFilesHoweverOld) {
  settings().max_error_file_age_days = 0;
  PutErrorFile("SCA0001.scn", 3000 * kDay);
  GiveShare(false);
  Start();
  RunToNextCycleWait();
  NextCycle();
  EXPECT_EQ(testing::FilesIn(error_scan_), std::vector<std::string>{"SCA0001.scn"});
  EXPECT_TRUE(EventsWithId(2395).empty());
}

// Stands in for the processing thread: serves every maintenance request.
class MaintenanceServer {
 public:
  explicit MaintenanceServer(service::ServerContext& context)
      : context_(context), thread_([this] {
          while (platform::WaitForAny({&context_.worker_stop, &context_.maintenance_request},
                                      platform::kInfinite) == 1) {
            ++served;
            context_.maintenance_request.Reset();
            context_.maintenance_done.Set();
          }
        }) {}
  ~MaintenanceServer() {
    context_.worker_stop.Set();
    thread_.Join(10000);
  }
  std::atomic<int> served{0};

 private:
  service::ServerContext& context_;
  platform::Thread thread_;
};

TEST_F(TimerThreadTest, MaintenanceIsAskedForOnceADayFromCleanAtWhileTheDatabaseIsOnline) {
  GiveShare(false);
  settings().clean_at = 23;
  clock_.SetWall(December2026(9, 23, 10));
  MaintenanceServer processing(context_);
  Start();
  RunToNextCycleWait();
  EXPECT_EQ(processing.served, 0) << "not while the database is offline";
  context_.database_online.Set();
  NextCycle();
  EXPECT_EQ(processing.served, 1);
  std::vector<notifex::EventRecord> performed = EventsWithId(2388);
  ASSERT_EQ(performed.size(), 1u);
  EXPECT_EQ(performed[0].inserts, std::vector<std::string>{"23:15:00"});
  EXPECT_EQ(watchdog_resets_, 1);
  EXPECT_FALSE(context_.maintenance_done.IsSet());

  NextCycle();                     // 23:20: done for today
  NextCycle(23 * 3600 + 35 * 60);  // 22:55 the next day
  EXPECT_EQ(processing.served, 1);
  NextCycle();  // 23:00
  EXPECT_EQ(processing.served, 2);
  EXPECT_EQ(EventsWithId(2388).size(), 2u);
}

TEST_F(TimerThreadTest, AMaintenanceNotConfirmedWithinADayIsNotReportedNorRetriedThatDay) {
  GiveShare(false);
  clock_.SetWall(December2026(9, 23, 0));
  context_.database_online.Set();
  Start();
  std::optional<ManualClock::WaitInfo> wait;
  do {
    wait = clock_.AwaitWait(serial_);
    ASSERT_TRUE(wait);
    serial_ = wait->serial;
    if (wait->timeout_ms == kShareRetryMs) clock_.Advance(3);
  } while (wait->timeout_ms != kMaintenanceWaitMs);
  EXPECT_TRUE(context_.maintenance_request.IsSet());
  context_.maintenance_request.Reset();
  NextCycle(86400);
  EXPECT_TRUE(EventsWithId(2388).empty());
  EXPECT_EQ(watchdog_resets_, 0);
  clock_.Advance(300);  // the day has changed: due again
  wait = clock_.AwaitWait(serial_);
  ASSERT_TRUE(wait);
  EXPECT_EQ(wait->timeout_ms, kMaintenanceWaitMs);
  EXPECT_TRUE(context_.maintenance_request.IsSet());
}

}  // namespace
}  // namespace corvane::tasks
