#include "notifex/event_library.h"

#include <gtest/gtest.h>

#include "notifex/notifex.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "testsupport/syslog_capture.h"
#include "testsupport/temp_root.h"

namespace corvane::notifex {
namespace {

using platform::RegRoot;

TEST(EventLibrary, KindsMapToTheThreeEventTypes) {
  EXPECT_EQ(EventTypeForKind(1), NTFX_TYPE_ERROR);
  EXPECT_EQ(EventTypeForKind(16), NTFX_TYPE_ERROR);
  EXPECT_EQ(EventTypeForKind(2), NTFX_TYPE_WARNING);
  EXPECT_EQ(EventTypeForKind(48), NTFX_TYPE_WARNING);
  EXPECT_EQ(EventTypeForKind(4), NTFX_TYPE_INFORMATION);
  EXPECT_EQ(EventTypeForKind(0), NTFX_TYPE_INFORMATION);
  EXPECT_EQ(EventTypeForKind(17), NTFX_TYPE_INFORMATION);
}

TEST(EventLibrary, WithoutASystemEventLogThatSinkIsNeverReached) {
  testing::TempRoot root;
  testing::SyslogCapture syslog(root.path());
  EventLibrary library(PlatformFacts{false, false});
  EXPECT_FALSE(library.Enable(Sink::kNtEventLog, 1));
  EXPECT_FALSE(library.Using(Sink::kNtEventLog));
  platform::registry::SetValue(RegRoot::kLocalMachine, kSettingsKey, "NT Event Log",
                               platform::RegValue::Dword(1));
  EXPECT_FALSE(library.Using(Sink::kNtEventLog));

  library.RegisterApplication("App", "App", "/nonexistent/messages");
  EXPECT_FALSE(platform::registry::KeyExists(RegRoot::kLocalMachine,
                                             std::string(kSystemSourcesKey) + "\\App"));
  EXPECT_TRUE(
      platform::registry::KeyExists(RegRoot::kLocalMachine, std::string(kOwnSourcesKey) + "\\App"));
  EXPECT_EQ(library.MessageFileOf("App"), "/nonexistent/messages");

  EventReport report;
  report.application = "App";
  report.sinks = NTFX_SINK_NT_EVENT_LOG;
  report.event_id = 3;
  library.Report(report);
  EXPECT_FALSE(syslog.Next(200));
}

TEST(EventLibrary, MessageFilesExpandEnvironmentVariables) {
  testing::TempRoot root;
  EventLibrary library;
  setenv("CORVANE_TEST_DIR", "/opt/corvane", 1);
  library.RegisterApplication("App", "", "%CORVANE_TEST_DIR%/bin/CVDiv32 %UNSET_VARIABLE_X%");
  EXPECT_EQ(library.MessageFileOf("App"), "/opt/corvane/bin/CVDiv32 %UNSET_VARIABLE_X%");
  EXPECT_EQ(library.MessageFileOf("Other"), "");
}

TEST(EventLibrary, ARegistryThatCannotBeReadSilencesOnlyTheRegistrySettings) {
  testing::TempRoot root;
  platform::CreateDirectories(root.path() + "/registry");
  testing::WriteFile(root.path() + "/registry/HKEY_LOCAL_MACHINE.reg", "not a hive\n");
  EventLibrary library;
  EXPECT_FALSE(library.Using(Sink::kEventFile));
  EXPECT_TRUE(library.Enable(Sink::kEventFile, 1));
  EXPECT_TRUE(library.Using(Sink::kEventFile));
  EXPECT_EQ(library.EffectiveSinks(NTFX_SINK_UI), NTFX_SINK_UI | NTFX_SINK_EVENT_FILE);
}

}  // namespace
}  // namespace corvane::notifex
