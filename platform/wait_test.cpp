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

}  // namespace
}  // namespace corvane::platform
