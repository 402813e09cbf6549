#include "tasks/clock.h"

#include "Common/Include/local_time_text.h"

#include <thread>

#include <gtest/gtest.h>

namespace corvane::tasks {
namespace {

TEST(LocalTime, GivesTheHourTheDayOfTheYearAndTheLocalesTimeText) {
  const std::time_t when = LocalSeconds(2026, 12, 31, 23, 10);
  EXPECT_EQ(LocalTimeOf(when).hour, 23);
  EXPECT_EQ(LocalTimeOf(when).day_of_year, 365);
  EXPECT_EQ(LocalTimeOf(LocalSeconds(2026, 1, 1, 0, 0)).day_of_year, 1);
  EXPECT_EQ(LocalTimeText(when), "23:10:00");
}

TEST(ManualClock, AWaitEndsWhenTheClockPassesItsTimeOutOrAnObjectIsSignalled) {
  ManualClock clock(LocalSeconds(2026, 12, 9, 10, 0));
  platform::Event stop(true, false);
  int result = 99;
  std::thread waiter([&] { result = clock.Wait({&stop}, 300000); });
  std::optional<ManualClock::WaitInfo> wait = clock.AwaitWait(0);
  ASSERT_TRUE(wait);
  EXPECT_EQ(wait->timeout_ms, 300000u);
  clock.Advance(299);
  // Not yet: a second wait has not begun and the first is still there.
  EXPECT_FALSE(clock.AwaitWait(wait->serial, 100));
  EXPECT_EQ(result, 99);
  clock.Advance(1);
  waiter.join();
  EXPECT_EQ(result, platform::kWaitTimeout);
  EXPECT_EQ(clock.SteadySeconds(), 300u);
  EXPECT_EQ(LocalTimeOf(clock.WallSeconds()).hour, 10);

  std::thread signalled([&] { result = clock.Wait({&stop}, platform::kInfinite); });
  ASSERT_TRUE(clock.AwaitWait(wait->serial));
  clock.Advance(86400 * 30);  // no time-out: time does not end it
  stop.Set();
  signalled.join();
  EXPECT_EQ(result, 0);
}

TEST(ManualClock, AnObjectAlreadySignalledIsSeenEvenByAWaitWithoutTime) {
  ManualClock clock(0);
  platform::Event done(true, true);
  platform::Event other(true, false);
  EXPECT_EQ(clock.Wait({&other, &done}, 0), 1);
  EXPECT_EQ(clock.Wait({&other}, 0), platform::kWaitTimeout);
  clock.SetWall(3600);
  EXPECT_EQ(clock.SteadySeconds(), 3600u);
  clock.SetWall(0);  // the wall clock may go back; the steady one does not
  EXPECT_EQ(clock.SteadySeconds(), 3600u);
}

}  // namespace
}  // namespace corvane::tasks
