// The TCP receiver with its storage directory on a small file system that
// fills up: a client learns from the connection's end whether its scan was
// stored, and a stored scan is whole. Needs the right to mount a tmpfs; the
// test is skipped where that is refused.

#include <sys/mount.h>

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "intake/testing/receiver_fixture.h"

namespace corvane::intake {
namespace {

using testing::CompressedStream;
using testing::ExchangeResult;
using testing::kLoopbackAddressLine;
using testing::SendFullScan;
using testing::ServerEnd;
using testing::WithCrLf;

// A tmpfs of `size` mounted on `directory` for the object's life; detached
// on destruction even while files in it are still open.
class MountedTmpfs {
 public:
  MountedTmpfs(const std::string& directory, const std::string& size) : directory_(directory) {
    const std::string options = "size=" + size;
    mounted_ = mount("tmpfs", directory.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~MountedTmpfs() {
    if (mounted_) umount2(directory_.c_str(), MNT_DETACH);
  }
  MountedTmpfs(const MountedTmpfs&) = delete;
  MountedTmpfs& operator=(const MountedTmpfs&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string directory_;
  bool mounted_ = false;
};

// About 150 KB of scan text that zlib cannot shrink much, so that a few
// clients fill a small file system.
std::string BulkyScan(const std::string& device_id) {
  std::string text = "Device ID = " + device_id + "\n";
  uint32_t state = static_cast<uint32_t>(std::hash<std::string>()(device_id));
  for (int line = 0; line < 2500; ++line) {
    text += "Custom - Blob - (Name:" + std::to_string(line) + ") - Value = ";
    for (int i = 0; i < 40; ++i) {
      state = state * 1103515245 + 12345;
      text.push_back(static_cast<char>('!' + (state >> 16) % 90));
    }
    text += "\n";
  }
  return text;
}

class TcpReceiverDiskTest : public testing::ReceiverTest {};

TEST_F(TcpReceiverDiskTest, OnAFullFileSystemEveryScanIsEitherStoredWholeOrReset) {
  MountedTmpfs disk(context_.program_directory, "1m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  ASSERT_TRUE(SetUpStorageDirectories(context_));
  constexpr int kClients = 12;
  settings().max_tcp_connections_per_address = kClients;
  StartReceiver();

  std::map<std::string, std::string> scans;  // device ID -> file text it must give
  std::vector<std::string> ids;
  for (int client = 0; client < kClients; ++client) {
    ids.push_back("{DISK-" + std::to_string(client) + "}");
  }
  std::vector<ExchangeResult> results(kClients);
  for (int round = 0; round < 2; ++round) {
    // Half at once, then the rest, so both racing writers and a disk that
    // is already full are met.
    std::vector<std::thread> senders;
    for (int client = round * kClients / 2; client < (round + 1) * kClients / 2; ++client) {
      scans[ids[client]] = WithCrLf(BulkyScan(ids[client])) + kLoopbackAddressLine;
      senders.emplace_back([&, client] {
        results[client] =
            SendFullScan(port(), ids[client], CompressedStream(BulkyScan(ids[client])));
      });
    }
    for (std::thread& sender : senders) sender.join();
  }
  Settle();

  // Every stored scan file, by the device ID it begins with.
  std::map<std::string, std::string> stored;
  for (const std::string& name : FilesIn(context_.storage.root, ".scn")) {
    std::string text = Read(context_.storage.root + "/" + name);
    std::string id = text.substr(12, text.find('\r') - 12);
    EXPECT_TRUE(stored.emplace(id, text).second) << id << " stored twice";
  }
  int closed = 0;
  int reset = 0;
  for (int client = 0; client < kClients; ++client) {
    const std::string& id = ids[client];
    ASSERT_NE(results[client].end, ServerEnd::kNone) << id;
    if (results[client].end == ServerEnd::kClosed) {
      ++closed;
      ASSERT_TRUE(stored.count(id)) << id << " saw a close, but its scan is not stored";
      EXPECT_TRUE(stored[id] == scans[id]) << id << " is not stored whole";
    } else {
      ++reset;
      EXPECT_FALSE(stored.count(id)) << id << " saw a reset, but its scan is stored";
    }
  }
  EXPECT_EQ(static_cast<size_t>(closed), stored.size());
  // The file system holds about six of them: both outcomes were met.
  EXPECT_GT(closed, 0);
  EXPECT_GT(reset, 0);
}

}  // namespace
}  // namespace corvane::intake
