// Timing helpers shared by the synchronisation tests.

#ifndef CORVANE_PLATFORM_SYNC_TEST_UTIL_H_
#define CORVANE_PLATFORM_SYNC_TEST_UTIL_H_

#include <chrono>
#include <cstdint>
#include <thread>

namespace corvane::platform::testing {

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

}  // namespace corvane::platform::testing

#endif  // CORVANE_PLATFORM_SYNC_TEST_UTIL_H_
