// Time for the scheduled tasks: the wall clock (the local hour and day that
// the daily tasks go by), a clock that never goes back (ages of incomplete
// datagram scans), and the waits of the timer thread.
//
// Every wait of the timer thread goes through its Clock, so a test can set
// the time of day and let 300 seconds pass without waiting for them
// (ManualClock). A Clock is shared by the threads that use it and all its
// functions are thread-safe.

#ifndef CORVANE_TASKS_CLOCK_H_
#define CORVANE_TASKS_CLOCK_H_

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>

#include "platform/sync.h"

namespace corvane::tasks {

struct LocalTime {
  int hour = 0;         // 0 to 23
  int day_of_year = 1;  // 1 to 366
};

// The hour and day of `when` in the process's time zone.
LocalTime LocalTimeOf(std::time_t when);
// The seconds since the epoch of a local date and time (month 1 to 12).
std::time_t LocalSeconds(int year, int month, int day, int hour, int minute);

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since the epoch.
  virtual std::time_t WallSeconds() = 0;
  // Seconds on a clock that never goes back.
  virtual uint64_t SteadySeconds() = 0;
  // platform::WaitForAny on this clock's time: the index of the object
  // acquired, or platform::kWaitTimeout once `timeout_ms` have passed.
  virtual int Wait(std::initializer_list<platform::Waitable*> objects, uint32_t timeout_ms) = 0;
};

// The machine's clocks and real waits.
class SystemClock : public Clock {
 public:
  std::time_t WallSeconds() override;
  uint64_t SteadySeconds() override;
  int Wait(std::initializer_list<platform::Waitable*> objects, uint32_t timeout_ms) override;
};

// A clock that moves only when told. A wait returns when one of its objects
// is signalled (at once, as a real wait would) or when Advance has moved
// the clock past its time-out; waits without a time-out wait for their
// objects only. One thread waits at a time; tests follow it through
// AwaitWait.
class ManualClock : public Clock {
 public:
  explicit ManualClock(std::time_t wall_seconds);

  std::time_t WallSeconds() override;
  uint64_t SteadySeconds() override;
  int Wait(std::initializer_list<platform::Waitable*> objects, uint32_t timeout_ms) override;

  // Moves both clocks on; waits whose time-out has passed return.
  void Advance(uint32_t seconds);
  // Sets the wall clock (the steady clock moves by the same amount when
  // that is forward).
  void SetWall(std::time_t wall_seconds);

  struct WaitInfo {
    uint64_t serial = 0;      // 1 for the first wait ever begun
    uint32_t timeout_ms = 0;  // that wait's time-out
  };
  // The first wait with a serial above `after_serial` that is in progress
  // (begun and not yet returned), waiting up to `real_timeout_ms` of real
  // time for it; nullopt when none came.
  std::optional<WaitInfo> AwaitWait(uint64_t after_serial, int real_timeout_ms = 20000);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::time_t wall_;
  uint64_t steady_ms_ = 0;
  uint64_t serial_ = 0;
  std::optional<WaitInfo> current_;
  // Wakes a waiting thread so it looks at the time again.
  platform::Event moved_{false, false};
};

}  // namespace corvane::tasks

#endif  // CORVANE_TASKS_CLOCK_H_
