// Test fixture: a TCP receiver on a free loopback port over a fresh runtime
// root and program directory, with the own event file switched on.

#ifndef CORVANE_INTAKE_TESTING_RECEIVER_FIXTURE_H_
#define CORVANE_INTAKE_TESTING_RECEIVER_FIXTURE_H_

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "intake/storage.h"
#include "intake/tcp_receiver.h"
#include "intake/testing/scan_client.h"
#include "notifex/event_file.h"
#include "notifex/notifex.h"
#include "service/server_context.h"
#include "testsupport/net.h"
#include "testsupport/temp_root.h"

namespace corvane::intake::testing {

class ReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Events go to the own event file of this test's root only.
    EnableNTEventLog(0);
    EnableCorvaneEventLog(1);
    context_.program_directory = root_.path() + "/program";
    ASSERT_EQ(mkdir(context_.program_directory.c_str(), 0755), 0);
    settings().tcp_port = ::corvane::testing::FreeTcpPort();
    ASSERT_TRUE(SetUpStorageDirectories(context_));
  }

  void TearDown() override {
    if (receiver_) {
      receiver_->Close();
      EXPECT_TRUE(receiver_->WaitForConnections(15000));
    }
  }

  service::Settings& settings() { return context_.configuration.settings; }

  void StartReceiver() {
    receiver_.emplace(context_, TcpReceiverOptions{.loopback_only = true});
    ASSERT_TRUE(receiver_->SetUp());
    ASSERT_EQ(receiver_->port(), settings().tcp_port);
  }
  uint16_t port() const { return receiver_->port(); }

  // Room for both ends of every connection a test opens.
  static void RaiseDescriptorLimit(rlim_t wanted) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < wanted) {
      limit.rlim_cur = std::min(wanted, limit.rlim_max);
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    ASSERT_GE(limit.rlim_cur, wanted) << "the hard descriptor limit is too low for this test";
  }

  // Waits (bounded) until exactly `count` connection threads run.
  bool WaitForActiveConnections(size_t count, int timeout_ms = 10000) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (receiver_->ActiveConnections() != count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  // Waits until every connection thread has finished its work.
  void Settle() { ASSERT_TRUE(receiver_->WaitForConnections(10000)); }

  static std::vector<std::string> FilesIn(const std::string& directory,
                                          const std::string& suffix = "") {
    return ::corvane::testing::FilesIn(directory, suffix);
  }

  // Polls until `directory` holds a file ending in `suffix` (bounded).
  static bool WaitForFile(const std::string& directory, const std::string& suffix,
                          int timeout_ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (FilesIn(directory, suffix).empty()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  // Every file below the storage directory, with its subdirectory.
  std::vector<std::string> AllStoredFiles() const {
    std::vector<std::string> all;
    for (const char* sub : {"", "/ErrorScan", "/ErrorBigScan", "/ErrorTrans"}) {
      for (const std::string& name : FilesIn(context_.storage.root + sub)) {
        all.push_back(std::string(sub) + "/" + name);
      }
    }
    return all;
  }

  static std::vector<notifex::EventRecord> Events() {
    return notifex::ParseEventFile(corvane::testing::ReadFileOrEmpty(notifex::EventFilePath()))
        .records;
  }

  static std::string Read(const std::string& path) {
    return corvane::testing::ReadFileOrEmpty(path);
  }

  corvane::testing::TempRoot root_;
  service::ServerContext context_;
  std::optional<TcpReceiver> receiver_;  // after the context: destroyed first
};

}  // namespace corvane::intake::testing

#endif  // CORVANE_INTAKE_TESTING_RECEIVER_FIXTURE_H_
