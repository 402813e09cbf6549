// How the device processor's opening fails, and what it reports, on every
// test database.

#include "db/device_processor.h"

#include <gtest/gtest.h>

#include <string>

#include "db/error.h"
#include "diag/catalogue.h"
#include "notifex/notifex.h"
#include "platform/paths.h"
#include "testsupport/syslog_capture.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane::db {
namespace {

using testing::AvailableTestDatabases;
using testing::ScratchDatabase;
using testing::TestDatabaseServer;

class DeviceProcessorOpenTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    // The events are formatted from the message table this test program
    // carries, as the server's are from its own.
    RegisterEventApplicationEx(diag::kApplicationName, diag::kApplicationName,
                               platform::ProgramPath().c_str());
    EnableNTEventLog(1);
    database_ = std::make_unique<ScratchDatabase>(GetParam());
  }

  testing::TempRoot root_;
  testing::SyslogCapture syslog_{root_.path()};
  std::unique_ptr<ScratchDatabase> database_;
};

TEST_P(DeviceProcessorOpenTest, UnreadableCredentialsFailBeforeAnyConnection) {
  DeviceProcessor processor;
  EXPECT_EQ(processor.Open(30), kErrorCredentials);  // no connection key at all
  EXPECT_EQ(processor.connection(), nullptr);

  // A password longer than the reader's buffer.
  testing::WriteDefaultConnection(*database_, std::string(260, 'p'));
  const uint32_t result = processor.Open(30);
  EXPECT_EQ(result, kErrorCredentials);
  EXPECT_EQ(processor.OpenFailureText(result), *diag::ProgramString(36));
  EXPECT_EQ(processor.metaschema(), nullptr);
}

TEST_P(DeviceProcessorOpenTest, ADatabaseWithoutMetaschemaReportsEvent4104) {
  testing::WriteDefaultConnection(*database_);
  DeviceProcessor processor;
  const uint32_t result = processor.Open(30);
  EXPECT_EQ(result, kErrorDbInit);
  EXPECT_FALSE(processor.metaschema_loaded());
  EXPECT_EQ(processor.OpenFailureText(result), *diag::ProgramString(37));
  EXPECT_TRUE(syslog_.WaitFor("Event 4104: Could not read the metaschema."));
}

TEST_P(DeviceProcessorOpenTest, ARefusedLoginReportsEvent4100WithTheDriversText) {
  if (GetParam().kind != kDbmsPostgres) GTEST_SKIP() << "SQLite files have no login";
  testing::WriteDefaultConnection(*database_, "wrong;pass}word");
  DeviceProcessor processor;
  const uint32_t result = processor.Open(30);
  EXPECT_NE(result, 0u);
  EXPECT_NE(result, kErrorCredentials);
  EXPECT_EQ(processor.connection(), nullptr);
  ASSERT_FALSE(processor.error_text().empty());
  EXPECT_NE(processor.OpenFailureText(result).find(processor.error_text()), std::string::npos);
  std::optional<std::string> event = syslog_.WaitFor("Event 4100: Database exception: ");
  ASSERT_TRUE(event.has_value());
  EXPECT_NE(event->find("password authentication failed"), std::string::npos) << *event;
}

INSTANTIATE_TEST_SUITE_P(Db, DeviceProcessorOpenTest, ::testing::ValuesIn(AvailableTestDatabases()),
                         testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::db
