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

namespace corvane::platform {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A wait that is expected to succeed: long enough for a loaded machine, but
// bounded so that a broken implementation fails instead of hanging.
constexpr uint32_t kLongMs = 30000;
// A wait that is expected to time out.
constexpr uint32_t kShortMs = 100;

// Polls `condition` until it holds or kLongMs passed.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = Clock::now() + milliseconds(kLongMs);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

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

// --- WaitForAny ------------------------------------------------------------

TEST(WaitForAnyTest, ReturnsLowestSignalledIndexAndAcquiresIt) {
  Event first(/*manual_reset=*/false, /*initially_set=*/false);
  Event manual(/*manual_reset=*/true, /*initially_set=*/false);
  Semaphore semaphore(0);
  Event last(/*manual_reset=*/false, /*initially_set=*/false);
  manual.Set();
  semaphore.Release(1);
  last.Set();

  // The manual-reset event stays set and keeps winning.
  EXPECT_EQ(WaitForAny({&first, &manual, &semaphore, &last}, 0), 1);
  EXPECT_EQ(WaitForAny({&first, &manual, &semaphore, &last}, 0), 1);
  manual.Reset();
  EXPECT_EQ(WaitForAny({&first, &manual, &semaphore, &last}, 0), 2);
  EXPECT_EQ(WaitForAny({&first, &manual, &semaphore, &last}, 0), 3);
  EXPECT_FALSE(last.IsSet());
  EXPECT_EQ(WaitForAny({&first, &manual, &semaphore, &last}, 0), kWaitTimeout);

  // The span form.
  first.Set();
  last.Set();
  Waitable* const objects[] = {&last, &first};
  EXPECT_EQ(WaitForAny(std::span<Waitable* const>(objects), 0), 0);
  EXPECT_EQ(WaitForAny(std::span<Waitable* const>(objects), 0), 1);
}

TEST(WaitForAnyTest, TimesOutWhenNothingIsSignalled) {
  Event event(/*manual_reset=*/false, /*initially_set=*/false);
  Semaphore semaphore(0);
  const auto start = Clock::now();
  EXPECT_EQ(WaitForAny({&event, &semaphore}, kShortMs), kWaitTimeout);
  // Not before the time-out (no upper bound: the machine may be slow).
  EXPECT_GE(Clock::now() - start, milliseconds(kShortMs));
}

TEST(WaitForAnyTest, WakesWhenAnotherThreadSignalsOneObject) {
  Event first(/*manual_reset=*/false, /*initially_set=*/false);
  Event second(/*manual_reset=*/false, /*initially_set=*/false);
  Semaphore semaphore(0);
  std::atomic<int> result{-2};
  Thread waiter([&] { result = WaitForAny({&first, &second, &semaphore}, kLongMs); });

  std::this_thread::sleep_for(milliseconds(20));  // most likely in poll by now
  second.Set();
  ASSERT_TRUE(waiter.Join(kLongMs));
  EXPECT_EQ(result.load(), 1);
  EXPECT_FALSE(second.IsSet());  // the waiter took it
}

TEST(WaitForAnyTest, InfiniteWaitEndsOnSignal) {
  // Shared with the waiter, which outlives the test if the wait never ends.
  auto semaphore = std::make_shared<Semaphore>(0);
  auto result = std::make_shared<std::atomic<int>>(-2);
  Thread waiter([semaphore, result] { *result = WaitForAny({semaphore.get()}, kInfinite); });
  std::this_thread::sleep_for(milliseconds(kShortMs));
  EXPECT_EQ(result->load(), -2);  // still waiting
  semaphore->Release();
  ASSERT_TRUE(waiter.Join(kLongMs));
  EXPECT_EQ(result->load(), 0);
}

// Installs a do-nothing handler (without SA_RESTART) for the test's life.
class NoOpSignalHandler {
 public:
  explicit NoOpSignalHandler(int signal_number) : signal_number_(signal_number) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    sigaction(signal_number_, &action, &saved_);
  }
  ~NoOpSignalHandler() { sigaction(signal_number_, &saved_, nullptr); }

 private:
  int signal_number_;
  struct sigaction saved_ {};
};

TEST(WaitForAnyTest, InterruptedWaitGoesOn) {
  NoOpSignalHandler handler(SIGUSR1);
  Event event(/*manual_reset=*/false, /*initially_set=*/false);
  std::atomic<pthread_t> waiter_id{};
  std::atomic<bool> started{false};
  std::atomic<int> result{-2};
  Thread waiter([&] {
    waiter_id = pthread_self();
    started = true;
    result = WaitForAny({&event}, kLongMs);
  });
  ASSERT_TRUE(Eventually([&] { return started.load(); }));
  for (int i = 0; i < 5; ++i) {
    pthread_kill(waiter_id.load(), SIGUSR1);
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(result.load(), -2);  // interrupted, not ended
  event.Set();
  ASSERT_TRUE(waiter.Join(kLongMs));
  EXPECT_EQ(result.load(), 0);
}

// A waitable that loses the race for its first signal: another waiter takes
// it between the poll and the TryAcquire.
class OutrunWaitable : public Waitable {
 public:
  int descriptor() const override { return event_.descriptor(); }
  bool TryAcquire() override {
    if (outrun_next_) {
      outrun_next_ = false;
      event_.TryAcquire();  // the faster waiter
      return false;
    }
    return event_.TryAcquire();
  }
  Event& event() { return event_; }

 private:
  Event event_{/*manual_reset=*/false, /*initially_set=*/false};
  bool outrun_next_ = true;
};

TEST(WaitForAnyTest, LostRaceDoesNotEndTheWait) {
  OutrunWaitable outrun;
  outrun.event().Set();
  const auto start = Clock::now();
  EXPECT_EQ(WaitForAny({&outrun}, kShortMs), kWaitTimeout);
  EXPECT_GE(Clock::now() - start, milliseconds(kShortMs));
}

TEST(WaitForAnyTest, LostRaceWaitsForTheNextSignal) {
  OutrunWaitable outrun;
  Event other(/*manual_reset=*/false, /*initially_set=*/false);
  outrun.event().Set();
  std::atomic<int> result{-2};
  Thread waiter([&] { result = WaitForAny({&other, &outrun}, kLongMs); });

  EXPECT_FALSE(waiter.Join(kShortMs));  // lost the first signal, still waiting
  outrun.event().Set();
  ASSERT_TRUE(waiter.Join(kLongMs));
  EXPECT_EQ(result.load(), 1);
}

// Any readable descriptor can take part in a wait, not only our events.
class PipeWaitable : public Waitable {
 public:
  PipeWaitable() {
    if (pipe(fds_) != 0) throw OsError("pipe", errno);
  }
  ~PipeWaitable() override {
    close(fds_[0]);
    close(fds_[1]);
  }
  int descriptor() const override { return fds_[0]; }
  bool TryAcquire() override {
    char byte;
    return read(fds_[0], &byte, 1) == 1;
  }
  void Signal() { ASSERT_EQ(write(fds_[1], "x", 1), 1); }

 private:
  int fds_[2];
};

TEST(WaitForAnyTest, WaitsOnOtherWaitables) {
  PipeWaitable pipe;
  Event event(/*manual_reset=*/false, /*initially_set=*/false);
  EXPECT_EQ(WaitForAny({&event, &pipe}, 0), kWaitTimeout);

  std::atomic<int> result{-2};
  Thread waiter([&] { result = WaitForAny({&event, &pipe}, kLongMs); });
  std::this_thread::sleep_for(milliseconds(20));
  pipe.Signal();
  ASSERT_TRUE(waiter.Join(kLongMs));
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(WaitForAny({&event, &pipe}, 0), kWaitTimeout);
}

TEST(WaitForAnyTest, NothingToWaitOnIsRejected) {
  EXPECT_THROW(WaitForAny(std::span<Waitable* const>(), kInfinite), std::invalid_argument);
}

// A waitable whose descriptor is not open (or not a descriptor at all).
class BrokenWaitable : public Waitable {
 public:
  explicit BrokenWaitable(int fd) : fd_(fd) {}
  int descriptor() const override { return fd_; }
  bool TryAcquire() override { return false; }

 private:
  int fd_;
};

TEST(SyncErrorTest, BadDescriptorIsAnOsError) {
  Event event(/*manual_reset=*/false, /*initially_set=*/false);
  for (int fd : {-1, 1 << 30}) {
    BrokenWaitable broken(fd);
    try {
      WaitForAny({&event, &broken}, kShortMs);
      FAIL() << "waited on descriptor " << fd;
    } catch (const OsError& error) {
      EXPECT_EQ(error.error_number(), EBADF);
      EXPECT_NE(std::string(error.what()).find("object 1"), std::string::npos) << error.what();
    }
  }
}

// Restores the descriptor limit a test lowered.
class DescriptorLimit {
 public:
  DescriptorLimit() { getrlimit(RLIMIT_NOFILE, &saved_); }
  ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
  bool Lower(rlim_t limit) {
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    return setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }

 private:
  rlimit saved_{};
};

TEST(SyncErrorTest, NoDescriptorLeftIsAnOsError) {
  // The sanitizer runtimes need descriptors of their own (UBSan's vptr check
  // opens a pipe), so they fail first when none are left.
  if (kSanitized) GTEST_SKIP() << "no descriptor limits under sanitizers";
  DescriptorLimit limit;
  ASSERT_TRUE(limit.Lower(0));
  try {
    Event event(/*manual_reset=*/false, /*initially_set=*/false);
    FAIL() << "an event without a descriptor";
  } catch (const OsError& error) {
    EXPECT_EQ(error.error_number(), EMFILE);
    EXPECT_NE(std::string(error.what()).find("eventfd"), std::string::npos) << error.what();
  }
  EXPECT_THROW(Semaphore(1), OsError);
}

// --- Thread ----------------------------------------------------------------

TEST(ThreadTest, JoinTimesOutWhileTheBodyRunsAndSucceedsAfter) {
  Event gate(/*manual_reset=*/true, /*initially_set=*/false);
  Thread thread([&] { gate.Wait(kLongMs); });

  EXPECT_FALSE(thread.Join(kShortMs));
  EXPECT_FALSE(thread.Finished());

  gate.Set();
  EXPECT_TRUE(thread.Join(kLongMs));
  EXPECT_TRUE(thread.Finished());
  EXPECT_TRUE(thread.Join(0));  // joining again is harmless
}

TEST(ThreadTest, JoinWithoutLimit) {
  std::atomic<bool> ran{false};
  Thread thread([&] { ran = true; });
  EXPECT_TRUE(thread.Join(kInfinite));
  EXPECT_TRUE(ran.load());
}

TEST(ThreadTest, ExceptionInBodyDoesNotEndTheProcess) {
  Thread throws_standard([] { throw std::runtime_error("body failed"); });
  Thread throws_other([] { throw 42; });
  EXPECT_TRUE(throws_standard.Join(kLongMs));
  EXPECT_TRUE(throws_other.Join(kLongMs));
  EXPECT_TRUE(throws_standard.Finished());
}

TEST(ThreadTest, DestructorLeavesARunningThreadRunning) {
  auto gate = std::make_shared<Event>(/*manual_reset=*/true, /*initially_set=*/false);
  auto done = std::make_shared<Event>(/*manual_reset=*/true, /*initially_set=*/false);
  {
    Thread thread([gate, done] {
      gate->Wait(kLongMs);
      done->Set();
    });
  }  // detached here, not joined: returning means it did not block
  EXPECT_FALSE(done->IsSet());
  gate->Set();
  EXPECT_TRUE(done->Wait(kLongMs));
}

// Holds up its own destruction until `gate` is set.
struct SlowToDestroy {
  std::shared_ptr<Event> gate;
  ~SlowToDestroy() { gate->Wait(kLongMs); }
};

TEST(ThreadTest, FinishedOnlyOnceTheBodyCapturesAreGone) {
  auto gate = std::make_shared<Event>(/*manual_reset=*/true, /*initially_set=*/false);
  auto slow = std::make_shared<SlowToDestroy>(SlowToDestroy{gate});
  Thread thread([slow = std::move(slow)] {});
  // The body returned at once; destroying what it captured has not.
  EXPECT_FALSE(thread.Join(kShortMs));
  EXPECT_FALSE(thread.Finished());
  gate->Set();
  EXPECT_TRUE(thread.Join(kLongMs));
}

}  // namespace
}  // namespace corvane::platform
