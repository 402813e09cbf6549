#include "platform/named_mutex.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "testsupport/temp_root.h"

namespace corvane::platform {
namespace {

// A wait that is expected to succeed: long enough for a loaded machine, but
// bounded so that a broken implementation fails instead of hanging.
constexpr uint32_t kLongMs = 30000;
// A wait that is expected to time out.
constexpr uint32_t kShortMs = 100;
constexpr char kName[] = "TestMutex";

// Tries the mutex from a fresh thread (releasing it again on success).
bool LockFromOtherThread(NamedMutex& mutex, uint32_t timeout_ms) {
  bool acquired = false;
  std::thread other([&] {
    acquired = mutex.Lock(timeout_ms);
    if (acquired) mutex.Unlock();
  });
  other.join();
  return acquired;
}

// Tries a mutex of the same name from a forked process: 1 acquired, 0 timed
// out, 2 failed, -1 did not end normally.
int LockFromOtherProcess(uint32_t timeout_ms) {
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 2;
    try {
      NamedMutex mutex(kName);
      code = mutex.Lock(timeout_ms) ? 1 : 0;
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class NamedMutexTest : public ::testing::Test {
 protected:
  corvane::testing::TempRoot root_;
};

TEST_F(NamedMutexTest, IsRecursiveForTheOwnerAndExcludesOtherThreads) {
  NamedMutex mutex(kName);
  ASSERT_TRUE(mutex.Lock(kLongMs));
  ASSERT_TRUE(mutex.Lock(0));
  EXPECT_FALSE(LockFromOtherThread(mutex, kShortMs));
  mutex.Unlock();
  EXPECT_FALSE(LockFromOtherThread(mutex, kShortMs)) << "released after one of two unlocks";
  mutex.Unlock();
  EXPECT_TRUE(LockFromOtherThread(mutex, kLongMs));
  // The owner can take it again once another thread gave it back.
  ASSERT_TRUE(mutex.Lock(0));
  mutex.Unlock();
}

TEST_F(NamedMutexTest, UnlockFromAThreadThatDoesNotOwnItIsIgnored) {
  NamedMutex mutex(kName);
  ASSERT_TRUE(mutex.Lock(kLongMs));
  std::thread([&] { mutex.Unlock(); }).join();
  EXPECT_FALSE(LockFromOtherThread(mutex, kShortMs));
  EXPECT_EQ(LockFromOtherProcess(kShortMs), 0);
  mutex.Unlock();
  EXPECT_TRUE(LockFromOtherThread(mutex, kLongMs));
}

TEST_F(NamedMutexTest, ExcludesOtherProcessesAndOtherObjectsOfTheSameName) {
  NamedMutex mutex(kName);
  ASSERT_TRUE(mutex.Lock(kLongMs));
  EXPECT_EQ(LockFromOtherProcess(kShortMs), 0);
  NamedMutex same_name(kName);
  EXPECT_FALSE(same_name.Lock(kShortMs));
  NamedMutex other_name("OtherMutex");
  EXPECT_TRUE(other_name.Lock(0));
  other_name.Unlock();
  mutex.Unlock();
  EXPECT_EQ(LockFromOtherProcess(kLongMs), 1);
  EXPECT_TRUE(same_name.Lock(kLongMs));
  same_name.Unlock();
}

TEST_F(NamedMutexTest, WaitsForTheTimeOutBeforeGivingUp) {
  NamedMutex mutex(kName);
  ASSERT_TRUE(mutex.Lock(kLongMs));
  NamedMutex contender(kName);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(contender.Lock(300));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  mutex.Unlock();
}

TEST_F(NamedMutexTest, LockOfAKilledProcessIsFreeAgain) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    NamedMutex mutex(kName);
    const char byte = mutex.Lock(kLongMs) ? 'y' : 'n';
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    for (;;) pause();
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  EXPECT_EQ(byte, 'y');

  NamedMutex mutex(kName);
  EXPECT_FALSE(mutex.Lock(kShortMs));
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  EXPECT_TRUE(mutex.Lock(kLongMs));
  mutex.Unlock();
}

TEST_F(NamedMutexTest, LockFileLiesUnderTheRuntimeRootAndBadPlacesAreErrors) {
  NamedMutex mutex(kName);
  EXPECT_EQ(mutex.lock_file(), root_.path() + "/locks/TestMutex.lock");
  struct stat info;
  EXPECT_EQ(stat(mutex.lock_file().c_str(), &info), 0);

  EXPECT_THROW(NamedMutex(""), std::invalid_argument);
  EXPECT_THROW(NamedMutex("a/b"), std::invalid_argument);
  EXPECT_THROW(NamedMutex(".."), std::invalid_argument);

  // A runtime root that is a plain file cannot hold the lock directory.
  const std::string file_root = root_.path() + "/plain";
  corvane::testing::WriteFile(file_root, "x");
  setenv("CORVANE_ROOT", file_root.c_str(), 1);
  EXPECT_THROW(NamedMutex{kName}, OsError);
  setenv("CORVANE_ROOT", root_.path().c_str(), 1);
}

}  // namespace
}  // namespace corvane::platform
