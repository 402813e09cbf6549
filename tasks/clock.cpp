#include "tasks/clock.h"

#include <chrono>
#include <limits>
#include <vector>

namespace corvane::tasks {

LocalTime LocalTimeOf(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return LocalTime{local.tm_hour, local.tm_yday + 1};
}

std::time_t LocalSeconds(int year, int month, int day, int hour, int minute) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_isdst = -1;
  return std::mktime(&local);
}

std::time_t SystemClock::WallSeconds() { return std::time(nullptr); }

uint64_t SystemClock::SteadySeconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

int SystemClock::Wait(std::initializer_list<platform::Waitable*> objects, uint32_t timeout_ms) {
  return platform::WaitForAny(objects, timeout_ms);
}

ManualClock::ManualClock(std::time_t wall_seconds) : wall_(wall_seconds) {}

std::time_t ManualClock::WallSeconds() {
  std::lock_guard<std::mutex> lock(mutex_);
  return wall_;
}

uint64_t ManualClock::SteadySeconds() {
  std::lock_guard<std::mutex> lock(mutex_);
  return steady_ms_ / 1000;
}

int ManualClock::Wait(std::initializer_list<platform::Waitable*> objects, uint32_t timeout_ms) {
  constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
  uint64_t deadline = kNever;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = WaitInfo{++serial_, timeout_ms};
    if (timeout_ms != platform::kInfinite) deadline = steady_ms_ + timeout_ms;
    changed_.notify_all();
  }
  std::vector<platform::Waitable*> all(objects);
  all.push_back(&moved_);
  const int moved_index = static_cast<int>(all.size()) - 1;
  int result = platform::kWaitTimeout;
  for (;;) {
    bool expired = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      expired = steady_ms_ >= deadline;
    }
    // Past the time-out the objects are still looked at once, as a real
    // wait with a time-out of 0 does.
    const int got = platform::WaitForAny(all, expired ? 0 : platform::kInfinite);
    if (got == moved_index) continue;
    result = got;
    break;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  current_.reset();
  changed_.notify_all();
  return result;
}

void ManualClock::Advance(uint32_t seconds) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wall_ += seconds;
    steady_ms_ += uint64_t{seconds} * 1000;
  }
  moved_.Set();
}

void ManualClock::SetWall(std::time_t wall_seconds) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (wall_seconds > wall_) steady_ms_ += static_cast<uint64_t>(wall_seconds - wall_) * 1000;
    wall_ = wall_seconds;
  }
  moved_.Set();
}

std::optional<ManualClock::WaitInfo> ManualClock::AwaitWait(uint64_t after_serial,
                                                            int real_timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool came = changed_.wait_for(lock, std::chrono::milliseconds(real_timeout_ms),
                                      [&] { return current_ && current_->serial > after_serial; });
  if (!came) return std::nullopt;
  return current_;
}

}  // namespace corvane::tasks
