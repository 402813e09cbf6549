// cvadmin as an administrator uses it.

#include <gtest/gtest.h>

#include "notifex/event_file.h"
#include "platform/registry.h"
#include "testsupport/child_process.h"
#include "testsupport/temp_root.h"

namespace corvane {
namespace {

using platform::RegRoot;
using platform::RegValue;

constexpr char kKey[] = "HKLM\\SOFTWARE\\Arvex\\Test";

class CvadminTest : public ::testing::Test {
 protected:
  testing::RunResult Run(const std::vector<std::string>& arguments) {
    return testing::RunToEnd(program_, arguments);
  }
  testing::TempRoot root_;
  std::string program_ = testing::BuildBinDirectory() + "/cvadmin";
};

TEST_F(CvadminTest, SetsEveryValueTypeAndShowsIt) {
  EXPECT_EQ(Run({"registry", "set", kKey, "Text", "sz", "a \"quoted\" text"}).exit_code, 0);
  EXPECT_EQ(Run({"registry", "set", kKey, "Path", "expand_sz", "%HOME%/x"}).exit_code, 0);
  EXPECT_EQ(Run({"registry", "set", kKey, "Port", "dword", "0x138f"}).exit_code, 0);
  EXPECT_EQ(Run({"registry", "set", kKey, "List", "multi_sz", "one", "", "three"}).exit_code, 0);
  EXPECT_EQ(Run({"registry", "set", kKey, "Blob", "binary", "00ff,10"}).exit_code, 0);

  auto get = [](const char* name) {
    return platform::registry::GetValue(RegRoot::kLocalMachine, "SOFTWARE\\Arvex\\Test", name);
  };
  EXPECT_EQ(get("text"), RegValue::Sz("a \"quoted\" text"));
  EXPECT_EQ(get("Path"), RegValue::ExpandSz("%HOME%/x"));
  EXPECT_EQ(get("PORT"), RegValue::Dword(5007));
  EXPECT_EQ(get("List"), RegValue::MultiSz({"one", "", "three"}));
  EXPECT_EQ(get("Blob"), RegValue::Binary({0x00, 0xFF, 0x10}));

  testing::RunResult shown = Run({"registry", "show", kKey});
  EXPECT_EQ(shown.exit_code, 0);
  EXPECT_NE(shown.output.find("Port    REG_DWORD    0x138f"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("Blob    REG_BINARY    00ff10"), std::string::npos);
}

TEST_F(CvadminTest, RefusesBadValuesAndReportsMissingOnes) {
  EXPECT_EQ(Run({"registry", "set", kKey, "Port", "dword", "4294967296"}).exit_code, 2);
  EXPECT_EQ(Run({"registry", "set", kKey, "Port", "dword", "12abc"}).exit_code, 2);
  EXPECT_EQ(Run({"registry", "set", kKey, "Blob", "binary", "0g"}).exit_code, 2);
  EXPECT_EQ(Run({"registry", "set", "HKXX\\A", "v", "sz", "x"}).exit_code, 2);
  EXPECT_FALSE(platform::registry::KeyExists(RegRoot::kLocalMachine, "SOFTWARE\\Arvex\\Test"));
  EXPECT_EQ(Run({"registry", "delete", kKey, "Nothing"}).exit_code, 1);
  EXPECT_EQ(Run({"registry", "show", kKey}).exit_code, 1);
  EXPECT_EQ(Run({"frobnicate"}).exit_code, 2);
}

TEST_F(CvadminTest, ExportThenImportRestoresADeletedKey) {
  Run({"registry", "set", kKey, "Port", "dword", "5007"});
  Run({"registry", "set", std::string(kKey) + "\\Sub", "Name", "sz", "line one\nline two"});
  std::string file = root_.path() + "/saved.reg";
  ASSERT_EQ(Run({"registry", "export", kKey, file}).exit_code, 0);
  platform::RegTree before = platform::registry::Snapshot(RegRoot::kLocalMachine);

  ASSERT_EQ(Run({"registry", "delete-key", kKey}).exit_code, 0);
  EXPECT_FALSE(platform::registry::KeyExists(RegRoot::kLocalMachine, "SOFTWARE\\Arvex\\Test\\Sub"));
  ASSERT_EQ(Run({"registry", "import", file}).exit_code, 0);
  EXPECT_EQ(platform::registry::Snapshot(RegRoot::kLocalMachine), before);
}

TEST_F(CvadminTest, ImportAppliesDeletionsAndRejectsBrokenFilesWhole) {
  Run({"registry", "set", kKey, "Keep", "sz", "k"});
  Run({"registry", "set", kKey, "Drop", "sz", "d"});
  std::string file = root_.path() + "/change.reg";
  testing::WriteFile(file,
                     "Windows Registry Editor Version 5.00\r\n\r\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Arvex\\Test]\r\n\"Drop\"=-\r\n");
  ASSERT_EQ(Run({"registry", "import", file}).exit_code, 0);
  EXPECT_FALSE(
      platform::registry::GetValue(RegRoot::kLocalMachine, "SOFTWARE\\Arvex\\Test", "Drop"));

  testing::WriteFile(
      file,
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Arvex\\Test]\n\"New\"=\"n\"\n\"Bad\"=dword:xyz\n");
  testing::RunResult result = Run({"registry", "import", file});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_FALSE(
      platform::registry::GetValue(RegRoot::kLocalMachine, "SOFTWARE\\Arvex\\Test", "New"));
  EXPECT_TRUE(
      platform::registry::GetValue(RegRoot::kLocalMachine, "SOFTWARE\\Arvex\\Test", "Keep"));
}

TEST_F(CvadminTest, PrintsTheRecordsOfTheEventFile) {
  notifex::EventRecord record{notifex::FileTimeFrom(std::chrono::system_clock::from_time_t(86400)),
                              "Corvane Inventory Server",
                              2,
                              2391,
                              {"dev-7", std::string(300, 'z')}};
  ASSERT_EQ(notifex::AppendEventRecord(notifex::EventFilePath(), record),
            notifex::AppendResult::kAppended);
  testing::RunResult result = Run({"events"});
  EXPECT_EQ(result.exit_code, 0);
  // The catalogue's text, then the inserts.
  EXPECT_NE(result.output.find("1970-01-02 00:00:00Z  warning  2391  Corvane Inventory Server\n"
                               "    Inventory data for dev-7 is out of sync.  A full scan will be "
                               "forced.\n"
                               "    %1 = \"dev-7\"\n"),
            std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("1 record(s)\n"), std::string::npos);
  EXPECT_EQ(Run({"events", root_.path() + "/none.evt"}).exit_code, 1);
  testing::RunResult help = Run({"events", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.output.find("usage: cvadmin events [FILE]"), std::string::npos);
}

TEST_F(CvadminTest, EveryProgramAndSubcommandAnswersHelpAndVersionOnStandardOutput) {
  const std::vector<std::vector<std::string>> asked = {{"--help"},
                                                       {"db", "--help"},
                                                       {"db", "create", "--help"},
                                                       {"registry", "--help"},
                                                       {"job", "--help"},
                                                       {"device", "--help"},
                                                       {"device", "show", "--help"},
                                                       {"software", "--help"},
                                                       {"events", "--help"}};
  for (const std::vector<std::string>& arguments : asked) {
    testing::RunResult help = Run(arguments);
    EXPECT_EQ(help.exit_code, 0) << arguments.front() << " " << arguments.back();
    EXPECT_NE(help.output.find("usage: "), std::string::npos) << help.output;
  }
  for (const char* program : {"cvsend", "rivozu32", "CVDiv32"}) {
    testing::RunResult help =
        testing::RunToEnd(testing::BuildBinDirectory() + "/" + program, {"--help"});
    EXPECT_EQ(help.exit_code, 0) << program;
    EXPECT_NE(help.output.find("usage: "), std::string::npos) << program << ": " << help.output;
  }
  for (const char* program : {"cvadmin", "rivozu32", "CVDiv32"}) {
    testing::RunResult version =
        testing::RunToEnd(testing::BuildBinDirectory() + "/" + program, {"--version"});
    EXPECT_EQ(version.exit_code, 0) << program;
    EXPECT_NE(version.output.find(" 1."), std::string::npos) << program << ": " << version.output;
  }
}

}  // namespace
}  // namespace corvane
