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
class SlowToDestroy {
 public:
  explicit SlowToDestroy(std::shared_ptr<Event> gate) : gate_(std::move(gate)) {}
  ~SlowToDestroy() { gate_->Wait(kLongMs); }
  SlowToDestroy(const SlowToDestroy&) = delete;
  SlowToDestroy& operator=(const SlowToDestroy&) = delete;

 private:
  std::shared_ptr<Event> gate_;
};

TEST(ThreadTest, FinishedOnlyOnceTheBodyCapturesAreGone) {
  auto gate = std::make_shared<Event>(/*manual_reset=*/true, /*initially_set=*/false);
  auto slow = std::make_shared<SlowToDestroy>(gate);
  Thread thread([slow = std::move(slow)] {});
  // The body returned at once; destroying what it captured has not.
  EXPECT_FALSE(thread.Join(kShortMs));
  EXPECT_FALSE(thread.Finished());
  gate->Set();
  EXPECT_TRUE(thread.Join(kLongMs));
}

}  // namespace
}  // namespace corvane::platform
