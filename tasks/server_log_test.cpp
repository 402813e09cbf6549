// The server's text log: the line format, appends that wait for the named
// mutex, and the roll-over to ".old".

#include "tasks/server_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/named_mutex.h"
#include "testsupport/temp_root.h"

namespace corvane::tasks {
namespace {

using corvane::testing::ReadFileOrEmpty;

TEST(ServerLogTest, LinesCarryAnEnglishTimeStampAndTheirSource) {
  std::tm when{};
  when.tm_wday = 1;
  when.tm_mday = 5;
  when.tm_mon = 1;
  when.tm_year = 124;
  when.tm_hour = 14;
  when.tm_min = 3;
  when.tm_sec = 7;
  EXPECT_EQ(FormatTextLogLine(when, "/src/tasks/pxe_jobs.cpp", 42, "Failed : 0x80004005 (x)"),
            "Mon, 05 Feb 2024 14:03:07 pxe_jobs.cpp(42): Failed : 0x80004005 (x)\n");
  when.tm_wday = 6;
  when.tm_mday = 31;
  when.tm_mon = 11;
  when.tm_year = 99;
  when.tm_hour = 23;
  EXPECT_EQ(FormatTextLogLine(when, "a\\b.cpp", 7, ""), "Sat, 31 Dec 1999 23:03:07 b.cpp(7): \n");
  when.tm_mon = 12;  // out of range: no name, and no reading past the table
  EXPECT_EQ(FormatTextLogLine(when, "c.cpp", 1, "t").substr(0, 16), "Sat, 31 ??? 1999");
}

TEST(ServerLogTest, TheServerLogLiesBesideTheProgram) {
  TextLog log(ServerTextLogSettings("/opt/corvane"));
  EXPECT_EQ(log.path(), "/opt/corvane/CVDiv32.log");
  EXPECT_EQ(log.old_path(), "/opt/corvane/CVDiv32.old");
  EXPECT_EQ(ServerTextLogSettings("/x").max_bytes, 1024u * 1024u);
}

TEST(ServerLogTest, AnAppendWaitsForTheNamedMutex) {
  corvane::testing::TempRoot root;
  TextLog log({root.path(), "server", "ServerLogTestMutex", 0});
  ASSERT_TRUE(log.Append(__FILE__, __LINE__, "first"));

  // Another holder of the mutex: a separate lock, as another program's.
  platform::NamedMutex other("ServerLogTestMutex");
  ASSERT_TRUE(other.Lock(1000));
  std::atomic<bool> appended{false};
  std::thread writer([&] { appended = log.Append(__FILE__, __LINE__, "second"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::string while_held = ReadFileOrEmpty(log.path());
  other.Unlock();
  writer.join();
  EXPECT_EQ(while_held.find("second"), std::string::npos) << while_held;
  EXPECT_TRUE(appended);
  const std::string text = ReadFileOrEmpty(log.path());
  EXPECT_NE(text.find("): first\n"), std::string::npos) << text;
  EXPECT_NE(text.find("): second\n"), std::string::npos) << text;
  EXPECT_LT(text.find("first"), text.find("second"));
}

TEST(ServerLogTest, AFullLogRollsOverToTheOldFile) {
  corvane::testing::TempRoot root;
  // Each line is 40-odd bytes: three fit in 160, the fourth starts anew.
  TextLog log({root.path(), "server", "ServerLogTestMutex", 160});
  for (const char* text : {"line 1", "line 2", "line 3"}) ASSERT_TRUE(log.Append("s.cpp", 1, text));
  EXPECT_FALSE(std::filesystem::exists(log.old_path()));
  const std::string full = ReadFileOrEmpty(log.path());
  ASSERT_LE(full.size(), 160u);

  ASSERT_TRUE(log.Append("s.cpp", 1, "line 4"));
  EXPECT_EQ(ReadFileOrEmpty(log.old_path()), full);
  const std::string fresh = ReadFileOrEmpty(log.path());
  EXPECT_NE(fresh.find("line 4"), std::string::npos);
  EXPECT_EQ(fresh.find("line 3"), std::string::npos);

  // The next roll-over replaces the older copy.
  for (const char* text : {"line 5", "line 6", "line 7"}) ASSERT_TRUE(log.Append("s.cpp", 1, text));
  const std::string old = ReadFileOrEmpty(log.old_path());
  EXPECT_EQ(old.find("line 1"), std::string::npos);
  EXPECT_NE(old.find("line 4"), std::string::npos);
  EXPECT_NE(ReadFileOrEmpty(log.path()).find("line 7"), std::string::npos);
}

TEST(ServerLogTest, AnUnwritableLogDropsTheLine) {
  corvane::testing::TempRoot root;
  TextLog log({root.path() + "/missing", "server", "ServerLogTestMutex", 0});
  EXPECT_FALSE(log.Append("s.cpp", 1, "lost"));
  TextLog bad_mutex({root.path(), "server", "no/such", 0});
  EXPECT_FALSE(bad_mutex.Append("s.cpp", 1, "lost"));
  EXPECT_FALSE(std::filesystem::exists(root.path() + "/server.log"));
}

}  // namespace
}  // namespace corvane::tasks
