// Several writers on one hive: threads, processes, and writers killed
// mid-change.

#include "platform/registry.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "platform/paths.h"
#include "testsupport/child_process.h"
#include "testsupport/temp_root.h"

namespace corvane::platform::registry {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Pair;
using ::testing::StartsWith;

constexpr RegRoot kHklm = RegRoot::kLocalMachine;
constexpr const char* kKey = "SOFTWARE\\Arvex\\Corvane";

uint32_t DwordOr(RegRoot root, std::string_view key, std::string_view name, uint32_t fallback) {
  std::optional<RegValue> value = GetValue(root, key, name);
  return value && value->type == RegType::kDword ? value->dword : fallback;
}

void Increment(RegTree& tree, std::string_view key, std::string_view name) {
  RegKey& k = tree.Create(key);
  const RegValue* old = k.Find(name);
  k.Set(name, RegValue::Dword(old ? old->dword + 1 : 1));
}

class RegistryConcurrencyTest : public ::testing::Test {
 protected:
  testing::TempRoot root_;
};

TEST_F(RegistryConcurrencyTest, ThreadsLoseNoUpdate) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRounds; ++i) {
        SetValue(kHklm, kKey, "t" + std::to_string(t) + "-" + std::to_string(i),
                 RegValue::Dword(static_cast<uint32_t>(i)));
        Update(kHklm, [](RegTree& tree) { Increment(tree, kKey, "count"); });
        GetValue(kHklm, kKey, "count");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(DwordOr(kHklm, kKey, "count", 0), static_cast<uint32_t>(kThreads * kRounds));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kRounds; ++i) {
      EXPECT_EQ(GetValue(kHklm, kKey, "T" + std::to_string(t) + "-" + std::to_string(i)),
                RegValue::Dword(static_cast<uint32_t>(i)));
    }
  }
}

TEST_F(RegistryConcurrencyTest, ProcessesLoseNoUpdate) {
  constexpr int kChildren = 4;
  constexpr int kRounds = 25;
  SetValue(kHklm, kKey, "count", RegValue::Dword(0));  // every child starts with a cached tree
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    children.push_back(testing::ForkChild([c] {
      for (int i = 0; i < kRounds; ++i) {
        SetValue(kHklm, kKey, "p" + std::to_string(c) + "-" + std::to_string(i),
                 RegValue::Sz(std::to_string(i)));
        Update(kHklm, [](RegTree& tree) { Increment(tree, kKey, "count"); });
      }
    }));
  }
  for (pid_t child : children) EXPECT_EQ(testing::WaitForChild(child), 0);

  EXPECT_EQ(DwordOr(kHklm, kKey, "count", 0), static_cast<uint32_t>(kChildren * kRounds));
  RegTree tree = Snapshot(kHklm);
  const RegKey* key = tree.Find(kKey);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->values.size(), static_cast<size_t>(kChildren * kRounds + 1));
  for (int c = 0; c < kChildren; ++c) {
    for (int i = 0; i < kRounds; ++i) {
      const RegValue* value = key->Find("p" + std::to_string(c) + "-" + std::to_string(i));
      ASSERT_NE(value, nullptr) << c << "-" << i;
      EXPECT_EQ(*value, RegValue::Sz(std::to_string(i)));
    }
  }
}

// The child writes three values that belong together in each change and
// reports every finished change through a pipe; it is killed at a random
// moment. The hive must then hold the last reported change or the one after
// it, whole.
TEST_F(RegistryConcurrencyTest, WriterKilledMidChangeLeavesTheHiveReadable) {
  auto blob_for = [](uint32_t n) {
    return std::vector<uint8_t>(20000, static_cast<uint8_t>(n * 31 + 7));
  };
  auto change_to = [&](uint32_t n) {
    Update(kHklm, [&](RegTree& tree) {
      RegKey& key = tree.Create(kKey);
      key.Set("n", RegValue::Dword(n));
      key.Set("blob", RegValue::Binary(blob_for(n)));
      key.Set("text", RegValue::Sz(std::to_string(n)));
    });
  };
  std::random_device seed_source;
  unsigned seed = seed_source();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  // Kill times spread over a few changes of this machine's disk.
  auto start = std::chrono::steady_clock::now();
  change_to(0);
  auto one_change = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  std::uniform_int_distribution<int64_t> delay_us(0, 2000 + 4 * one_change.count());

  uint32_t last = 0;
  uint64_t changes = 0;
  int rounds = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (; rounds < 40 && std::chrono::steady_clock::now() < deadline; ++rounds) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t child = testing::ForkChild([&] {
      close(pipe_fds[0]);
      for (uint32_t n = DwordOr(kHklm, kKey, "n", 0) + 1;; ++n) {
        change_to(n);
        if (write(pipe_fds[1], &n, sizeof n) != sizeof n) return;
      }
    });
    ASSERT_GT(child, 0);
    close(pipe_fds[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    kill(child, SIGKILL);
    EXPECT_EQ(testing::WaitForChild(child), 128 + SIGKILL);

    uint32_t reported = last;
    uint32_t n = 0;
    while (read(pipe_fds[0], &n, sizeof n) == sizeof n) {
      reported = n;
      ++changes;
    }
    close(pipe_fds[0]);

    RegTree tree;
    ASSERT_NO_THROW(tree = Snapshot(kHklm)) << "round " << rounds;
    const RegKey* key = tree.Find(kKey);
    ASSERT_NE(key, nullptr);
    ASSERT_NE(key->Find("n"), nullptr);
    uint32_t now = key->Find("n")->dword;
    EXPECT_EQ(*key->Find("blob"), RegValue::Binary(blob_for(now)));
    EXPECT_EQ(*key->Find("text"), RegValue::Sz(std::to_string(now)));
    ASSERT_TRUE(now == reported || now == reported + 1)
        << "round " << rounds << ": hive holds " << now << ", last reported " << reported;
    last = now;
  }
  EXPECT_GT(changes, 0u) << "the children never finished a change in " << rounds << " rounds";

  // The killed writers' locks are gone with them.
  SetValue(kHklm, kKey, "after", RegValue::Dword(1));
  EXPECT_EQ(DwordOr(kHklm, kKey, "n", 0), last);
}

}  // namespace
}  // namespace corvane::platform::registry
