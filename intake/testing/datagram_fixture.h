// Test fixture: a datagram intake on a free loopback UDP port over a fresh
// runtime root and program directory, with the own event file switched on,
// and a loopback UDP client whose every wait is bounded.

#ifndef CORVANE_INTAKE_TESTING_DATAGRAM_FIXTURE_H_
#define CORVANE_INTAKE_TESTING_DATAGRAM_FIXTURE_H_

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "intake/datagram_intake.h"
#include "intake/datagram_protocol.h"
#include "intake/storage.h"
#include "notifex/event_file.h"
#include "notifex/notifex.h"
#include "service/server_context.h"
#include "testsupport/temp_root.h"

namespace corvane::intake::testing {

// A UDP socket with a port of its own on a loopback address (127.0.0.1
// unless told), sending to the intake on 127.0.0.1.
class UdpTestClient {
 public:
  explicit UdpTestClient(uint16_t server_port, uint32_t local_address = INADDR_LOOPBACK)
      : server_port_(server_port) {
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(local_address);
    if (socket_ < 0 || bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      throw std::runtime_error("no loopback UDP socket");
    }
  }
  ~UdpTestClient() { close(socket_); }
  UdpTestClient(const UdpTestClient&) = delete;
  UdpTestClient& operator=(const UdpTestClient&) = delete;

  bool Send(const std::string& datagram) {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(server_port_);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sendto(socket_, datagram.data(), datagram.size(), 0,
                  reinterpret_cast<sockaddr*>(&server),
                  sizeof server) == static_cast<ssize_t>(datagram.size());
  }

  // The next datagram for this client, or nullopt after `timeout_ms`.
  std::optional<std::string> Receive(int timeout_ms = 5000) {
    pollfd entry{socket_, POLLIN, 0};
    if (poll(&entry, 1, timeout_ms) <= 0) return std::nullopt;
    char buffer[2048];
    ssize_t received = recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (received < 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(received));
  }

 private:
  uint16_t server_port_;
  int socket_ = -1;
};

// A scan-data datagram with a correct checksum.
inline std::string DataPacket(uint16_t total, uint16_t sequence, const std::string& payload) {
  return BuildDatagram({kDatagramScanData, total, sequence, PayloadChecksum(payload)}, payload);
}

// The datagrams of a scan of device `device` that travels in exactly
// `count` datagrams; its lines name the device, so two devices' scans
// differ in every datagram.
inline std::vector<std::string> ScanDatagrams(const std::string& device, size_t count,
                                              bool encipher = false) {
  std::string text = "Device ID = {" + device + "}\n";
  std::optional<std::vector<std::string>> datagrams;
  for (int line = 0;; ++line) {
    datagrams = BuildScanDatagrams(text, encipher);
    if (!datagrams || datagrams->size() >= count) break;
    text += "Software - Package - (Name:" + device + std::to_string(line) + ") - V = 1\n";
  }
  EXPECT_TRUE(datagrams && datagrams->size() == count);
  return datagrams.value_or(std::vector<std::string>(count));
}

class DatagramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnableNTEventLog(0);
    EnableCorvaneEventLog(1);
    context_.program_directory = root_.path() + "/program";
    ASSERT_EQ(mkdir(context_.program_directory.c_str(), 0755), 0);
    // Port 0: the system picks a free one, which the intake reports.
    settings().udp_port = 0;
    ASSERT_TRUE(SetUpStorageDirectories(context_));
  }

  void TearDown() override {
    if (!intake_) return;
    // Server stop's order: flag, events, one count per semaphore, joins.
    context_.running = false;
    context_.started.Set();
    context_.worker_stop.Set();
    intake_->ReleaseWaiters();
    EXPECT_TRUE(intake_->JoinScanWriter(10000));
    EXPECT_TRUE(intake_->JoinRequestReply(10000));
    intake_->CloseUdp();
    intake_->EmptyQueues();
  }

  service::Settings& settings() { return context_.configuration.settings; }

  void StartIntake(DatagramIntakeOptions options = {}) {
    options.loopback_only = true;
    intake_.emplace(context_, std::move(options));
    ASSERT_TRUE(intake_->SetUpUdp());
    ASSERT_NE(intake_->udp_port(), 0);
    intake_->StartScanWriter();
    intake_->StartRequestReply();
  }
  uint16_t port() const { return intake_->udp_port(); }

  // Sends `datagram` and expects exactly its two sequence bytes back.
  static void SendAcknowledged(UdpTestClient& client, const std::string& datagram) {
    ASSERT_TRUE(client.Send(datagram));
    EXPECT_EQ(client.Receive(), datagram.substr(4, 2));
  }

  static std::vector<std::string> FilesIn(const std::string& directory,
                                          const std::string& suffix = "") {
    return ::corvane::testing::FilesIn(directory, suffix);
  }

  // Waits (bounded) for the next ".scn" file, returns its text (and its
  // name in `name`) and removes it; empty when none came.
  std::string TakeScanFile(std::string* name = nullptr, int timeout_ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      std::vector<std::string> scans = FilesIn(context_.storage.root, ".scn");
      if (!scans.empty()) {
        if (name) *name = scans.front();
        std::string path = context_.storage.root + "/" + scans.front();
        std::string text = corvane::testing::ReadFileOrEmpty(path);
        unlink(path.c_str());
        return text;
      }
      if (std::chrono::steady_clock::now() > deadline) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  static std::vector<notifex::EventRecord> Events() {
    return notifex::ParseEventFile(corvane::testing::ReadFileOrEmpty(notifex::EventFilePath()))
        .records;
  }

  corvane::testing::TempRoot root_;
  service::ServerContext context_;
  std::optional<DatagramIntake> intake_;  // after the context: destroyed first
};

}  // namespace corvane::intake::testing

#endif  // CORVANE_INTAKE_TESTING_DATAGRAM_FIXTURE_H_
