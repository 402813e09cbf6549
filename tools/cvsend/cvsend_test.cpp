// cvsend against a receiver in this process, as an administrator runs it.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "intake/testing/receiver_fixture.h"
#include "testsupport/child_process.h"

namespace corvane::intake {
namespace {

using testing::kLoopbackAddressLine;

using namespace std::string_literals;

class CvsendTest : public testing::ReceiverTest {
 protected:
  corvane::testing::RunResult Run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--host", "127.0.0.1", "--port", std::to_string(port())});
    return corvane::testing::RunToEnd(corvane::testing::BuildBinDirectory() + "/cvsend", arguments,
                                      {}, 30000);
  }
};

TEST_F(CvsendTest, SampleScanArrivesAsTheScannerWouldSendIt) {
  const std::string sample_path = std::string(CORVANE_SAMPLE_SCANS_DIR) + "/debian12-delta.scn";
  std::string sample = Read(sample_path);
  if (sample.empty()) GTEST_SKIP() << "sample scan not found: " << sample_path;
  context_.configuration.force_full_scans.Add("{3D1219C7-0000-0000-0000-000000005EED}");
  StartReceiver();

  corvane::testing::RunResult result = Run({sample_path});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  // The device ID came from the file: the server asked for a full scan.
  EXPECT_NE(result.output.find("option flags: 0x0067FFFF"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("force full scan: yes"), std::string::npos);
  EXPECT_NE(result.output.find("logon depth: 5"), std::string::npos);
  Settle();

  std::vector<std::string> files = FilesIn(context_.storage.root);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(Read(context_.storage.root + "/" + files[0]),
            testing::WithCrLf(sample) + kLoopbackAddressLine);
}

TEST_F(CvsendTest, PlainAndMiniScansAndBadUsage) {
  std::string scan_path = root_.path() + "/plain.scn";
  corvane::testing::WriteFile(scan_path, "Device ID = {PLAIN}\r\nOS - Name = Debian\n");
  std::string mini_path = root_.path() + "/mini.txt";
  corvane::testing::WriteFile(mini_path, "Mini - One = 1\nMini - Two = 2\n");
  StartReceiver();

  EXPECT_EQ(Run({"--plain", "--device-id", "{OTHER}", scan_path}).exit_code, 0);
  EXPECT_EQ(Run({"--mini", mini_path}).exit_code, 0);
  EXPECT_EQ(Run({"--mini", "--plain", mini_path}).exit_code, 2);
  EXPECT_EQ(Run({}).exit_code, 2);
  EXPECT_EQ(Run({root_.path() + "/missing.scn"}).exit_code, 1);
  Settle();

  std::vector<std::string> scans = FilesIn(context_.storage.root, ".scn");
  ASSERT_EQ(scans.size(), 1u);
  EXPECT_EQ(Read(context_.storage.root + "/" + scans[0]),
            "Device ID = {PLAIN}\r\nOS - Name = Debian\r\n"s + kLoopbackAddressLine);
  std::vector<std::string> minis = FilesIn(context_.storage.root, ".ims");
  ASSERT_EQ(minis.size(), 1u);
  EXPECT_EQ(Read(context_.storage.root + "/" + minis[0]), "Mini - One = 1\r\nMini - Two = 2\r\n");
}

TEST_F(CvsendTest, AScanTheServerDoesNotTakeIsAFailure) {
  // Its text is more than twice the largest scan the server keeps.
  settings().max_scan_file_size = 1000;
  std::string scan_path = root_.path() + "/big.scn";
  corvane::testing::WriteFile(scan_path, testing::SyntheticScan("{BIG}", 100));
  StartReceiver();

  for (std::vector<std::string> arguments :
       {std::vector<std::string>{scan_path}, std::vector<std::string>{"--plain", scan_path}}) {
    corvane::testing::RunResult result = Run(arguments);
    EXPECT_EQ(result.exit_code, 1) << result.output;
    // Standard output carries no report of a delivery.
    EXPECT_EQ(result.output.find("sent "), std::string::npos) << result.output;
  }
  Settle();
  EXPECT_TRUE(FilesIn(context_.storage.root, ".scn").empty());
  EXPECT_EQ(FilesIn(context_.storage.error_trans).size(), 2u);
}

TEST_F(CvsendTest, ScansThatCannotBeStoredAreFailures) {
  // No storage directory yet: no scan file can be made.
  context_.program_directory = root_.path() + "/fresh";
  ASSERT_EQ(mkdir(context_.program_directory.c_str(), 0755), 0);
  std::string scan_path = root_.path() + "/scan.scn";
  corvane::testing::WriteFile(scan_path, "Device ID = {NOWHERE}\nOS - Name = Debian\n");
  StartReceiver();

  EXPECT_EQ(Run({scan_path}).exit_code, 1);
  corvane::testing::RunResult mini = Run({"--mini", scan_path});
  EXPECT_EQ(mini.exit_code, 1) << mini.output;
  EXPECT_EQ(mini.output.find("sent "), std::string::npos) << mini.output;
  Settle();
  EXPECT_TRUE(FilesIn(context_.program_directory).empty());
}

}  // namespace
}  // namespace corvane::intake
