// The fixture of the tests that run the server from a program directory of
// its own against a real inventory database (one per test database), with
// the scan client sending to it. The database, the default connection, the
// ports and the program directory are fresh for every test; the server is
// stopped (SIGTERM, bounded wait) when the test ends.

#ifndef CORVANE_SERVICE_SERVER_DATABASE_FIXTURE_H_
#define CORVANE_SERVICE_SERVER_DATABASE_FIXTURE_H_

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/dialect.h"
#include "db/schema_create.h"
#include "platform/registry.h"
#include "service/config.h"
#include "testsupport/child_process.h"
#include "testsupport/net.h"
#include "testsupport/syslog_capture.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane::server_testing {

using platform::RegRoot;
using platform::RegValue;
using testing::ChildProcess;
using testing::TestDatabaseServer;

namespace fs = std::filesystem;

constexpr char kSampleDevice[] = "{3D1219C7-0000-0000-0000-000000005EED}";

inline bool WaitUntil(const std::function<bool()>& condition, int timeout_ms = 30000) {
  for (int waited = 0; waited < timeout_ms; waited += 50) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

class ServerDatabaseTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    unsetenv("NOTIFY_SOCKET");
    database_ = std::make_unique<testing::ScratchDatabase>(GetParam());
    connection_.Open(database_->connection_string(), -1);
    db::CreateInventoryDatabase(connection_, GetParam().kind);
    testing::WriteDefaultConnection(*database_);

    fs::create_directories(program_directory_);
    for (const char* file : {"CVDiv32", "libnotifex.so", "libcvcredentials.so"}) {
      fs::copy_file(testing::BuildBinDirectory() + "/" + file, program_directory_ + "/" + file);
    }
    SetServerValue("TCP Port", tcp_port_);
    int probe = testing::BindUdpPort(0);
    udp_port_ = testing::BoundPort(probe);
    close(probe);
    SetServerValue("UDP Port", udp_port_);
  }

  void TearDown() override {
    if (server_) {
      server_->Signal(SIGTERM);
      server_->Wait(30000);
    }
  }

  void SetServerValue(const char* name, uint32_t value) {
    platform::registry::SetValue(RegRoot::kLocalMachine, service::kServerKey, name,
                                 RegValue::Dword(value));
  }
  std::vector<std::string> ServerList(const char* name) {
    std::optional<RegValue> value =
        platform::registry::GetValue(RegRoot::kLocalMachine, service::kServerKey, name);
    return value ? value->strings : std::vector<std::string>{};
  }

  void StartServer() {
    server_ = std::make_unique<ChildProcess>(program_, std::vector<std::string>{"-debug"});
    ASSERT_TRUE(syslog_.WaitFor("Event 4107:", 30000)) << "the database did not come online";
  }

  std::string WriteScan(const std::string& name, const std::string& text) {
    const std::string path = root_.path() + "/" + name;
    testing::WriteFile(path, text);
    return path;
  }

  // Sends a scan over TCP; returns cvsend's output (the reply record).
  std::string SendTcp(const std::string& path) {
    testing::RunResult sent = testing::RunToEnd(testing::BuildBinDirectory() + "/cvsend",
                                                {"--port", std::to_string(tcp_port_), path});
    EXPECT_EQ(sent.exit_code, 0) << sent.output;
    return sent.output;
  }

  static uint32_t ReplyFlags(const std::string& output) {
    const std::string label = "option flags: 0x";
    const size_t at = output.find(label);
    if (at == std::string::npos) return 0;
    return static_cast<uint32_t>(std::stoul(output.substr(at + label.size(), 8), nullptr, 16));
  }

  db::DbValue Value(const std::string& sql) { return connection_.QuerySingleValue(sql); }
  int Count(const std::string& table, const std::string& condition = "1 = 1") {
    return Value("SELECT COUNT(*) FROM " + table + " WHERE " + condition).ToInt32().value_or(-1);
  }
  std::string DeviceCondition(const std::string& device_id) {
    return "DeviceId = " + db::SqlQuote(db::DbValue::Text(device_id));
  }
  int ScanFilesLeft() {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(program_directory_ + "/cvscan"))
      count += entry.path().extension() == ".scn" ? 1 : 0;
    return count;
  }

  testing::TempRoot root_;
  testing::SyslogCapture syslog_{root_.path()};
  std::unique_ptr<testing::ScratchDatabase> database_;
  db::Connection connection_;
  std::string program_directory_ = root_.path() + "/program";
  std::string program_ = program_directory_ + "/CVDiv32";
  uint16_t tcp_port_ = testing::FreeTcpPort();
  uint16_t udp_port_ = 0;
  std::unique_ptr<ChildProcess> server_;
};

}  // namespace corvane::server_testing

#endif  // CORVANE_SERVICE_SERVER_DATABASE_FIXTURE_H_
