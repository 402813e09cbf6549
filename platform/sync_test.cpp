#include "platform/sync.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/sync_test_util.h"

namespace corvane::platform {
namespace {

using namespace ::corvane::platform::testing;
using std::chrono::milliseconds;

// --- Event -----------------------------------------------------------------

TEST(EventTest, InitialStateAndTimeout) {
  Event set(/*manual_reset=*/false, /*initially_set=*/true);
  Event unset(/*manual_reset=*/false, /*initially_set=*/false);
  EXPECT_TRUE(set.IsSet());
  EXPECT_FALSE(unset.IsSet());
  EXPECT_TRUE(set.Wait(0));
  EXPECT_FALSE(unset.Wait(0));
  EXPECT_FALSE(unset.Wait(kShortMs));
}

TEST(EventTest, IsSetDoesNotConsume) {
  Event event(/*manual_reset=*/false, /*initially_set=*/false);
  event.Set();
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.IsSet());
}

TEST(EventTest, AutoResetSetTwiceIsSetOnce) {
  Event event(/*manual_reset=*/false, /*initially_set=*/false);
  event.Set();
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, ResetClearsEvenAfterSeveralSets) {
  Event manual(/*manual_reset=*/true, /*initially_set=*/false);
  manual.Set();
  manual.Set();
  manual.Reset();
  EXPECT_FALSE(manual.IsSet());
  EXPECT_FALSE(manual.Wait(0));
  manual.Reset();  // resetting a reset event is harmless
  EXPECT_FALSE(manual.IsSet());

  Event automatic(/*manual_reset=*/false, /*initially_set=*/true);
  automatic.Reset();
  EXPECT_FALSE(automatic.Wait(0));
}

TEST(EventTest, AutoResetReleasesExactlyOneOfTwoWaiters) {
  Event event(/*manual_reset=*/false, /*initially_set=*/false);
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (event.Wait(kLongMs)) ++released;
  };
  Thread first(waiter);
  Thread second(waiter);

  event.Set();
  ASSERT_TRUE(Eventually([&] { return released.load() >= 1; }));
  // The one Set was taken: the event is reset and the other waiter stays.
  EXPECT_FALSE(event.IsSet());
  std::this_thread::sleep_for(milliseconds(kShortMs));
  EXPECT_EQ(released.load(), 1);

  event.Set();  // lets the other one go
  EXPECT_TRUE(first.Join(kLongMs));
  EXPECT_TRUE(second.Join(kLongMs));
  EXPECT_EQ(released.load(), 2);
  EXPECT_FALSE(event.IsSet());
}

TEST(EventTest, ManualResetReleasesAllWaitersAndStaysSet) {
  Event event(/*manual_reset=*/true, /*initially_set=*/false);
  std::atomic<int> released{0};
  std::vector<std::unique_ptr<Thread>> waiters;
  waiters.reserve(3);
  for (int i = 0; i < 3; ++i) {
    waiters.push_back(std::make_unique<Thread>([&] {
      if (event.Wait(kLongMs)) ++released;
    }));
  }

  event.Set();
  for (auto& waiter : waiters) EXPECT_TRUE(waiter->Join(kLongMs));
  EXPECT_EQ(released.load(), 3);
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));

  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(kShortMs));
}

// --- Semaphore -------------------------------------------------------------

TEST(SemaphoreTest, CountsReleasedUnits) {
  Semaphore semaphore(0);
  EXPECT_FALSE(semaphore.Wait(0));
  semaphore.Release(3);
  EXPECT_TRUE(semaphore.Wait(0));
  EXPECT_TRUE(semaphore.Wait(0));
  EXPECT_TRUE(semaphore.Wait(0));
  EXPECT_FALSE(semaphore.Wait(kShortMs));

  semaphore.Release();
  semaphore.Release(0);
  EXPECT_TRUE(semaphore.Wait(0));
  EXPECT_FALSE(semaphore.Wait(0));
}

TEST(SemaphoreTest, InitialCount) {
  Semaphore semaphore(2);
  EXPECT_TRUE(semaphore.Wait(0));
  EXPECT_TRUE(semaphore.Wait(0));
  EXPECT_FALSE(semaphore.Wait(0));
}

TEST(SemaphoreTest, ReleaseWakesAsManyWaitersAsUnits) {
  Semaphore semaphore(0);
  Event stop(/*manual_reset=*/true, /*initially_set=*/false);
  std::atomic<int> acquired{0};
  std::vector<std::unique_ptr<Thread>> waiters;
  waiters.reserve(3);
  for (int i = 0; i < 3; ++i) {
    waiters.push_back(std::make_unique<Thread>([&] {
      if (WaitForAny({&semaphore, &stop}, kLongMs) == 0) ++acquired;
    }));
  }

  semaphore.Release(2);
  ASSERT_TRUE(Eventually([&] { return acquired.load() >= 2; }));
  std::this_thread::sleep_for(milliseconds(kShortMs));
  EXPECT_EQ(acquired.load(), 2);

  stop.Set();
  for (auto& waiter : waiters) EXPECT_TRUE(waiter->Join(kLongMs));
  EXPECT_EQ(acquired.load(), 2);
  EXPECT_FALSE(semaphore.Wait(0));
}

}  // namespace
}  // namespace corvane::platform
