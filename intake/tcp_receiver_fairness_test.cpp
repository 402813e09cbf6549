// The TCP receiver's share for each client address and its request
// deadline: one host's idle connections never shut the others out, and a
// connection that never sends its whole request is reset.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "intake/testing/receiver_fixture.h"

namespace corvane::intake {
namespace {

using namespace std::string_literals;
using testing::CompressedStream;
using testing::ExchangeResult;
using testing::SendFullScan;
using testing::ServerEnd;
using testing::SyntheticScan;
using testing::TestClient;

constexpr uint32_t kOtherHost = 0x7F000002;  // 127.0.0.2

using Clients = std::vector<std::unique_ptr<TestClient>>;

class TcpReceiverFairnessTest : public testing::ReceiverTest {
 protected:
  // Connections from 127.0.0.2 that send nothing.
  // Connections the server reset so early that connect() itself failed
  // (ECONNRESET) are refused ones too; they are counted in reset_at_connect_.
  Clients IdleFromOtherHost(size_t count) {
    Clients clients;
    for (size_t i = 0; i < count; ++i) {
      try {
        clients.push_back(std::make_unique<TestClient>(port(), kOtherHost));
      } catch (const std::runtime_error& error) {
        if (std::string(error.what()) != "connect failed: errno " + std::to_string(ECONNRESET)) {
          throw;
        }
        ++reset_at_connect_;
      }
    }
    return clients;
  }
  // The refused ones among connections just made: those reset by now or
  // within `timeout_ms`, and those reset while connecting.
  size_t Refused(Clients& clients, size_t expected, int timeout_ms = 10000) {
    const size_t early = std::exchange(reset_at_connect_, 0);
    if (early >= expected) return early;
    return early + TakeResetOnes(clients, expected - early, timeout_ms);
  }
  size_t reset_at_connect_ = 0;

  // How many of `clients` the server resets within `timeout_ms`; those it
  // reset are removed, the rest stay open.
  static size_t TakeResetOnes(Clients& clients, size_t expected, int timeout_ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t reset = 0;
    while (reset < expected && std::chrono::steady_clock::now() < deadline) {
      for (auto client = clients.begin(); client != clients.end();) {
        if ((*client)->WaitForServerEnd(0) == ServerEnd::kReset) {
          client = clients.erase(client);
          ++reset;
        } else {
          ++client;
        }
      }
    }
    return reset;
  }

  void ExpectScanOfThisHostStored(const std::string& device_id) {
    ExchangeResult result =
        SendFullScan(port(), device_id, CompressedStream(SyntheticScan(device_id, 20)));
    ASSERT_TRUE(result.reply);
    EXPECT_EQ(result.end, ServerEnd::kClosed);
    EXPECT_TRUE(WaitForFile(context_.storage.root, ".scn"));
  }
};

TEST_F(TcpReceiverFairnessTest, OneHostsIdleConnectionsLeaveOtherAddressesTheirShare) {
  // Without the share per address the ten would take all six places.
  settings().max_tcp_connections = 6;
  settings().max_tcp_connections_per_address = 3;
  StartReceiver();

  Clients idle = IdleFromOtherHost(10);
  ASSERT_TRUE(WaitForActiveConnections(3));
  EXPECT_EQ(Refused(idle, 7), 7u);
  ASSERT_EQ(idle.size(), 3u);
  EXPECT_EQ(receiver_->ActiveConnections(), 3u);

  ExpectScanOfThisHostStored("{LOCAL}");

  // A place of that host comes free only when one of its own ends.
  Clients more = IdleFromOtherHost(1);
  EXPECT_EQ(Refused(more, 1), 1u);
  idle.pop_back();
  ASSERT_TRUE(WaitForActiveConnections(2));
  more = IdleFromOtherHost(1);
  EXPECT_TRUE(WaitForActiveConnections(3));
  EXPECT_EQ(more.front()->WaitForServerEnd(100), ServerEnd::kNone);
  EXPECT_TRUE(Events().empty());
}

TEST_F(TcpReceiverFairnessTest, FifteenHundredIdleConnectionsOfOneHostWithTheDefaults) {
  constexpr size_t kIdle = 1500;
  RaiseDescriptorLimit(2 * kIdle + 64);
  StartReceiver();
  ASSERT_EQ(settings().max_tcp_connections, 1024u);

  Clients idle = IdleFromOtherHost(kIdle);
  ASSERT_TRUE(WaitForActiveConnections(16));
  EXPECT_EQ(Refused(idle, kIdle - 16), kIdle - 16);
  EXPECT_EQ(receiver_->ActiveConnections(), 16u);

  ExpectScanOfThisHostStored("{LOCAL}");
}

TEST_F(TcpReceiverFairnessTest, ARequestNotWholeWithinTheDeadlineIsReset) {
  // The idle time-out stays at its 300 s: only the request deadline acts.
  settings().tcp_request_timeout_seconds = 1;
  StartReceiver();
  TestClient silent(port());
  TestClient trickling(port());

  // A device ID that never ends, a byte at a time and never pausing long
  // enough to end the request by silence.
  const std::string endless = "\x00\x04\0\0\0\0\0\0"s + std::string(100, 'x');
  ServerEnd trickle_end = ServerEnd::kNone;
  for (char byte : endless) {
    if (!trickling.Send(std::string(1, byte))) {
      trickle_end = ServerEnd::kReset;  // the reset came between two bytes
      break;
    }
    trickle_end = trickling.WaitForServerEnd(100);
    if (trickle_end != ServerEnd::kNone) break;
  }
  EXPECT_EQ(trickle_end, ServerEnd::kReset);
  EXPECT_EQ(silent.WaitForServerEnd(5000), ServerEnd::kReset);
  Settle();

  EXPECT_TRUE(AllStoredFiles().empty());
  EXPECT_TRUE(Events().empty());
  // A whole request in time is still answered.
  ExpectScanOfThisHostStored("{IN-TIME}");
}

}  // namespace
}  // namespace corvane::intake
