// The library as programs use it: through its exported C calls.

#include "notifex/notifex.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "notifex/event_file.h"
#include "notifex/message_table.h"
#include "platform/registry.h"
#include "testsupport/syslog_capture.h"
#include "testsupport/temp_root.h"

extern "C" int ReportDuplicateFromC(const char* device_id);

namespace corvane::notifex {
namespace {

using corvane::testing::ReadFileOrEmpty;

constexpr char kApp[] = "Corvane Inventory Server";

class NotifexLibrary : public ::testing::Test {
 protected:
  // A bare message table file registered as the application's message file.
  std::string RegisterTable(const std::string& blob) {
    std::string path = root_.path() + "/messages.tbl";
    corvane::testing::WriteFile(path, blob);
    EXPECT_EQ(RegisterEventApplicationEx(kApp, kApp, path.c_str()), 1);
    return path;
  }
  std::string TableWithDuplicateMessage() {
    static constexpr char kBlob[] = CORVANE_MESSAGE_TABLE_BEGIN CORVANE_MESSAGE(
        2390, "Inventory server detected %1 as a duplicated device ID.\r\n")
        CORVANE_MESSAGE_TABLE_END;
    return std::string(kBlob, sizeof kBlob);
  }
  EventFileContents EventFile() { return ParseEventFile(ReadFileOrEmpty(EventFilePath())); }

  corvane::testing::TempRoot root_;
  corvane::testing::SyslogCapture syslog_{root_.path()};
};

TEST_F(NotifexLibrary, WithNoSettingsAnywhereNoSinkIsReached) {
  EXPECT_EQ(UsingUI() + UsingNTEventLog() + UsingCorvaneEventLog() + UsingHalo2() + UsingHaloLite(),
            0);
  ReportAnEvent(kApp, 5, 1, "%s", "x");
  EXPECT_EQ(LogAnEvent(kApp, 5, 1, "%s", "x"), 0);
  EXPECT_FALSE(syslog_.Next(300));
  EXPECT_EQ(access(EventFilePath().c_str(), F_OK), -1);
}

TEST_F(NotifexLibrary, EventFileRecordFollowsTheLayoutByteForByte) {
  ASSERT_EQ(EnableCorvaneEventLog(1), 1);
  uint64_t before = FileTimeFrom(std::chrono::system_clock::now());
  ReportDuplicateFromC("dev-1");
  uint64_t after = FileTimeFrom(std::chrono::system_clock::now());

  std::string bytes = ReadFileOrEmpty(EventFilePath());
  ASSERT_EQ(bytes.size(), 4u + 8 + 1 + 24 + 12 + 6 + 3);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x01\x00\x00\x00", 4));
  uint64_t filetime = 0;
  for (int i = 7; i >= 0; --i) filetime = filetime << 8 | static_cast<unsigned char>(bytes[4 + i]);
  EXPECT_GE(filetime, before);
  EXPECT_LE(filetime, after);
  EXPECT_EQ(bytes.substr(12), std::string("\x18"
                                          "Corvane Inventory Server"
                                          "\x01\x00\x00\x00"  // error
                                          "\x56\x09\x00\x00"  // 2390
                                          "\x02\x00\x00\x00"  // two inserts
                                          "\x05"
                                          "dev-1"
                                          "\x02"
                                          "42",
                                          25 + 12 + 9));
  // The system log, named by the call, gets the event too; nothing was
  // registered, so its text says the source is unknown.
  std::optional<std::string> line = syslog_.Next();
  ASSERT_TRUE(line);
  EXPECT_NE(line->find("]: Event 2390: Message source 'Corvane Inventory Server' not found "
                       "(id 0x956).  Inserts were: dev-1 42"),
            std::string::npos)
      << *line;
}

TEST_F(NotifexLibrary, AnExplicitZeroKeepsANamedSinkOff) {
  EnableNTEventLog(0);
  EnableCorvaneEventLog(0);
  ReportDuplicateFromC("dev-2");
  EXPECT_FALSE(syslog_.Next(200));
  EXPECT_EQ(access(EventFilePath().c_str(), F_OK), -1);
}

TEST_F(NotifexLibrary, LongInsertsKeepTheirLengthPrefixes) {
  EnableCorvaneEventLog(1);
  std::string medium(300, 'm'), large(70000, 'L');
  ReportAnEventEx(kApp, nullptr, NTFX_SINK_EVENT_FILE, 9, 4, "%s %s", medium.c_str(),
                  large.c_str());
  EventFileContents contents = EventFile();
  ASSERT_EQ(contents.records.size(), 1u);
  EXPECT_EQ(contents.records[0].inserts, (std::vector<std::string>{medium, large}));
  EXPECT_EQ(contents.records[0].type, NTFX_TYPE_INFORMATION);
  std::string bytes = ReadFileOrEmpty(EventFilePath());
  EXPECT_NE(bytes.find(std::string("\xFF\x2C\x01", 3) + "mmm"), std::string::npos);
  EXPECT_NE(bytes.find(std::string("\xFF\xFF\xFF\x70\x11\x01\x00", 7) + "LLL"), std::string::npos);
}

TEST_F(NotifexLibrary, RegistrationWritesTheSourceKeysAndSyslogGetsTheFormattedText) {
  std::string path = RegisterTable(TableWithDuplicateMessage());
  using platform::RegRoot;
  auto system_file = platform::registry::GetValue(
      RegRoot::kLocalMachine,
      "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Corvane Inventory Server",
      "EventMessageFile");
  ASSERT_TRUE(system_file);
  EXPECT_EQ(*system_file, platform::RegValue::ExpandSz(path));
  EXPECT_EQ(
      platform::registry::GetValue(
          RegRoot::kLocalMachine,
          "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Corvane Inventory Server",
          "TypesSupported"),
      platform::RegValue::Dword(7));
  EXPECT_EQ(platform::registry::GetValue(
                RegRoot::kLocalMachine,
                "SOFTWARE\\Arvex\\Corvane\\EventLog\\Application\\Corvane Inventory Server",
                "TypesSupported"),
            platform::RegValue::Dword(31));

  ASSERT_EQ(EnableNTEventLog(1), 1);
  ReportAnEventEx(kApp, "Duplicate Device ID Detected", 6, 2390, 2, "%s", "dev-9");
  std::optional<std::string> line = syslog_.Next();
  ASSERT_TRUE(line);
  std::string expected_tail = "Corvane-Inventory-Server[" + std::to_string(getpid()) +
                              "]: Event 2390: Inventory server detected dev-9 as a duplicated "
                              "device ID.";
  EXPECT_EQ(line->substr(0, 4), "<28>");  // daemon, warning
  EXPECT_EQ(line->substr(line->size() - expected_tail.size()), expected_tail);
}

TEST_F(NotifexLibrary, InsertTextNeverActsAsAFormat) {
  RegisterTable(TableWithDuplicateMessage());
  EnableNTEventLog(1);
  ReportAnEventEx(kApp, nullptr, 2, 2390, 1, "%s", "%s%s%n%x");
  std::optional<std::string> line = syslog_.Next();
  ASSERT_TRUE(line);
  EXPECT_NE(line->find("detected %s%s%n%x as a duplicated"), std::string::npos) << *line;
}

TEST_F(NotifexLibrary, ExplicitSettingsOverrideTheRegistryUntilMinusOne) {
  EXPECT_EQ(QueryRegistryLogSetting("Corvane Event Log"), 0u);
  ASSERT_EQ(SetRegistryLogSetting("Corvane Event Log", 1), 1);
  EXPECT_EQ(QueryRegistryLogSetting("Corvane Event Log"), 1u);
  EXPECT_EQ(UsingCorvaneEventLog(), 1);
  EnableCorvaneEventLog(0);
  EXPECT_EQ(UsingCorvaneEventLog(), 0);
  ReportAnEvent(kApp, 1, 1, nullptr);
  EXPECT_EQ(EventFile().records.size(), 0u);
  EnableCorvaneEventLog(-1);
  EXPECT_EQ(UsingCorvaneEventLog(), 1);
  EXPECT_EQ(LogAnEvent(kApp, 1, 1, nullptr), 1);
  EXPECT_EQ(EventFile().records.size(), 1u);
  // No alert library here: the alert sinks stay off whatever is asked.
  EnableHalo2(1);
  EXPECT_EQ(UsingHalo2(), 0);
}

TEST_F(NotifexLibrary, DefaultFormatServesUnknownMessagesWithinItsLimit) {
  RegisterTable(TableWithDuplicateMessage());
  EnableNTEventLog(1);
  ASSERT_EQ(SetDefaultEventFormatString("Unknown event: %1"), 1);
  EXPECT_EQ(SetDefaultEventFormatString(std::string(602, 'x').c_str()), 0);
  ReportAnEventEx(kApp, nullptr, 2, 77, 4, "%s", "kept");
  EXPECT_TRUE(syslog_.WaitFor("Event 77: Unknown event: kept"));

  EXPECT_EQ(SetDefaultEventFormatString(std::string(601, 'y').c_str()), 1);
  SetDefaultEventFormatString(nullptr);
  ReportAnEventEx(kApp, nullptr, 2, 77, 4, "%s %d", "a", 5);
  EXPECT_TRUE(syslog_.WaitFor("Event 77: Message not found (id 0x4D).  Inserts were: a 5"));
}

TEST_F(NotifexLibrary, MsgSprintfFormatsFromALoadedSource) {
  RegisterTable(TableWithDuplicateMessage());
  NTFX_MODULE module = LoadEventSource(kApp);
  ASSERT_NE(module, nullptr);
  char buffer[1024];
  EXPECT_STREQ(MsgSprintf(module, 2390, buffer, "dev-3"),
               "Inventory server detected dev-3 as a duplicated device ID.\r\n");
  EXPECT_STREQ(MsgSprintf(module, 1, nullptr), "Message not found in resource.");
  std::string huge(5000, 'h');
  EXPECT_EQ(std::string(MsgSprintf(module, 2390, nullptr, huge.c_str())).size(), 1023u);
  CloseEventSource(module);
  EXPECT_EQ(LoadEventSource("Unregistered App"), nullptr);
  EXPECT_STREQ(MsgSprintf(nullptr, 2390, buffer), "Message not found in resource.");
}

}  // namespace
}  // namespace corvane::notifex
