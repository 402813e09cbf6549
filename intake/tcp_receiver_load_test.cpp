// The TCP receiver under many simultaneous connections: busy clients all get
// their scans stored, idle ones neither block others nor exhaust the server.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "intake/testing/receiver_fixture.h"

namespace corvane::intake {
namespace {

using testing::kLoopbackAddressLine;

using testing::CompressedStream;
using testing::TestClient;
using testing::WithCrLf;

std::string ScanOfClient(int client) {
  std::string id = "{LOAD-" + std::to_string(client) + "}";
  std::string text = "Device ID = " + id + "\n";
  for (int line = 0; line < 400; ++line) {
    text += "Software - Package - (Name:" + id + "-" + std::to_string(line) +
            ") - Size = " + std::to_string(line * client) + "\n";
  }
  return text;
}

class TcpReceiverLoadTest : public testing::ReceiverTest {};

TEST_F(TcpReceiverLoadTest, TwoHundredConcurrentClientsAllEndAsCompleteScanFiles) {
  constexpr int kClients = 200;
  RaiseDescriptorLimit(4 * kClients + 64);
  // They all share the loopback address, like machines behind one NAT.
  settings().max_tcp_connections_per_address = kClients;
  StartReceiver();

  std::atomic<int> closed_cleanly{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      std::string scan = ScanOfClient(i);
      auto result = testing::SendFullScan(port(), "{LOAD-" + std::to_string(i) + "}",
                                          CompressedStream(scan), 60000);
      if (result.reply && result.server_closed) ++closed_cleanly;
    });
  }
  for (std::thread& client : clients) client.join();
  Settle();
  EXPECT_EQ(closed_cleanly.load(), kClients);

  std::set<std::string> expected;
  for (int i = 0; i < kClients; ++i)
    expected.insert(WithCrLf(ScanOfClient(i)) + kLoopbackAddressLine);
  std::vector<std::string> files = FilesIn(context_.storage.root);
  ASSERT_EQ(files.size(), static_cast<size_t>(kClients));
  std::set<std::string> stored;
  for (const std::string& name : files) {
    EXPECT_TRUE(name.ends_with(".scn")) << name;
    stored.insert(Read(context_.storage.root + "/" + name));
  }
  EXPECT_EQ(stored, expected);
  EXPECT_TRUE(Events().empty());
}

TEST_F(TcpReceiverLoadTest, FiveHundredIdleConnectionsNeitherBlockOthersNorStayForever) {
  constexpr size_t kIdle = 500;
  RaiseDescriptorLimit(4 * kIdle + 64);
  settings().tcp_idle_timeout_seconds = 5;
  settings().max_tcp_connections_per_address = kIdle + 1;
  StartReceiver();

  std::vector<std::unique_ptr<TestClient>> idle;
  for (size_t i = 0; i < kIdle; ++i) idle.push_back(std::make_unique<TestClient>(port()));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (receiver_->ActiveConnections() < kIdle && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(receiver_->ActiveConnections(), kIdle);

  // A scanner arriving now is served while all of them idle.
  std::string scan = ScanOfClient(9999);
  auto result = testing::SendFullScan(port(), "{LOAD-9999}", CompressedStream(scan));
  ASSERT_TRUE(result.reply);
  EXPECT_TRUE(result.server_closed);
  std::vector<std::string> files = FilesIn(context_.storage.root);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(Read(context_.storage.root + "/" + files[0]), WithCrLf(scan) + kLoopbackAddressLine);

  // The idle time-out frees every one of them.
  for (const std::unique_ptr<TestClient>& client : idle) {
    EXPECT_TRUE(client->WaitForServerClose(20000));
  }
  Settle();
  EXPECT_EQ(receiver_->ActiveConnections(), 0u);
  EXPECT_EQ(FilesIn(context_.storage.root).size(), 1u);
}

}  // namespace
}  // namespace corvane::intake
