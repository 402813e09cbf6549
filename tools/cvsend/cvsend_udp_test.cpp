// cvsend sending datagram scans and requests to a datagram intake in this
// process, as an administrator runs it.

#include <gtest/gtest.h>

#include "intake/testing/datagram_fixture.h"
#include "testsupport/child_process.h"

namespace corvane::intake {
namespace {

using namespace std::string_literals;

class CvsendUdpTest : public testing::DatagramTest {
 protected:
  corvane::testing::RunResult Run(std::vector<std::string> arguments, uint16_t to_port = 0) {
    arguments.insert(arguments.begin(), {"--host", "127.0.0.1", "--port",
                                         std::to_string(to_port != 0 ? to_port : port())});
    return corvane::testing::RunToEnd(corvane::testing::BuildBinDirectory() + "/cvsend", arguments,
                                      {}, 60000);
  }

  std::string WriteScan(const std::string& name, const std::string& text) {
    std::string path = root_.path() + "/" + name;
    corvane::testing::WriteFile(path, text);
    return path;
  }
};

// A configuration file of about 1400 bytes: its block spans three datagrams.
std::string ContentsOfSpanningFile() {
  std::string contents;
  for (int i = 0; i < 60; ++i) contents += "option" + std::to_string(i) + " = some value\r\n";
  return contents;
}

TEST_F(CvsendUdpTest, PlainAndEncipheredSendsGiveTheSameFile) {
  const std::string contents = ContentsOfSpanningFile();
  // The scanner's declared length is off; the file gets the real one.
  std::string path =
      WriteScan("spanning.scn",
                "Device ID = {UDP}\nOS - Name = Linux\n_BeginContents\n12\n1796000000\n"
                "app.conf\n/etc/\n" +
                    contents + "_EndContents\nLast - Line = 1\n");
  StartIntake();

  corvane::testing::RunResult plain = Run({"--udp", path});
  EXPECT_EQ(plain.exit_code, 0) << plain.output;
  EXPECT_NE(plain.output.find("datagrams (plain), 0 resent"), std::string::npos) << plain.output;
  std::string plain_file = TakeScanFile();
  corvane::testing::RunResult enciphered = Run({"--udp", "--encipher", path});
  EXPECT_EQ(enciphered.exit_code, 0) << enciphered.output;
  std::string enciphered_file = TakeScanFile();

  EXPECT_EQ(plain_file, "Device ID = {UDP}\r\nOS - Name = Linux\r\n_BeginContents\r\n" +
                            std::to_string(contents.size()) +
                            "\r\n1796000000\r\napp.conf\r\n/etc/\r\n" + contents +
                            "\r\n_EndContents\r\nLast - Line = 1\r\n");
  EXPECT_EQ(enciphered_file, plain_file);
}

TEST_F(CvsendUdpTest, SampleScanTravelsInHundredsOfDatagrams) {
  const std::string sample_path = std::string(CORVANE_SAMPLE_SCANS_DIR) + "/debian12-full.scn";
  std::string sample = corvane::testing::ReadFileOrEmpty(sample_path);
  if (sample.empty()) GTEST_SKIP() << "sample scan not found: " << sample_path;
  StartIntake();
  corvane::testing::RunResult result = Run({"--udp", "--encipher", sample_path});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  std::string file = TakeScanFile(nullptr, 20000);
  ASSERT_FALSE(file.empty());
  // Every non-empty line arrives, each with CR LF.
  std::string expected;
  size_t start = 0;
  while (start < sample.size()) {
    size_t end = sample.find('\n', start);
    if (end == std::string::npos) end = sample.size();
    std::string line = sample.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) expected += line + "\r\n";
    start = end + 1;
  }
  EXPECT_EQ(file, expected);
}

TEST_F(CvsendUdpTest, RequestPrintsTheReplyRecord) {
  settings().do_delta = 0;
  settings().logon_depth = 3;
  context_.software_scan_frequency = 9;
  StartIntake();
  context_.started.Set();
  corvane::testing::RunResult result = Run({"--udp", "--request"});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_NE(result.output.find("reply record: ff ff 01 01 00 00 04 00 ff ff 45 00 09 00 00 00 "
                               "03 00 00 00"),
            std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("option flags: 0x0045FFFF"), std::string::npos);
  EXPECT_NE(result.output.find("software scan frequency: 9"), std::string::npos);
}

TEST_F(CvsendUdpTest, SilentServerAndBadUsageFail) {
  std::string path = WriteScan("small.scn", "Device ID = {S}\n");
  StartIntake();
  {
    // A bound socket that never answers.
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length), 0);
    corvane::testing::RunResult result =
        Run({"--udp", "--tries", "2", "--ack-timeout", "100", path}, ntohs(address.sin_port));
    close(silent);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.output.find("sent"), std::string::npos) << result.output;
  }
  EXPECT_EQ(Run({"--encipher", path}).exit_code, 2);
  EXPECT_EQ(Run({"--udp", "--request", path}).exit_code, 2);
  EXPECT_EQ(Run({"--udp", "--plain", path}).exit_code, 2);
  EXPECT_EQ(Run({"--udp"}).exit_code, 2);
  std::string columns =
      WriteScan("columns.scn", "Device ID = {C}\n_BeginContents\nname\n1\n2\n3\nx\n_EndContents\n");
  // A contents block whose first header line is not its length cannot travel.
  EXPECT_EQ(Run({"--udp", columns}).exit_code, 1);
  EXPECT_TRUE(FilesIn(context_.storage.root).empty());
}

}  // namespace
}  // namespace corvane::intake
