#include "platform/sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/error.h"

namespace corvane::platform {
namespace {

using Clock = std::chrono::steady_clock;

int MakeEventFd(uint32_t initial_value, int extra_flags, const char* what) {
  const int fd = eventfd(initial_value, EFD_CLOEXEC | EFD_NONBLOCK | extra_flags);
  if (fd < 0) throw OsError(std::string("create ") + what + " (eventfd)", errno);
  return fd;
}

// Adds `value` to the counter. False when it would overflow (EAGAIN).
bool AddToCounter(int fd, uint64_t value, const char* what) {
  for (;;) {
    if (write(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) return true;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return false;
    throw OsError(std::string("signal ") + what + " (eventfd " + std::to_string(fd) + ")", errno);
  }
}

// Takes from the counter: all of it, or one unit with EFD_SEMAPHORE. False
// when the counter is zero.
bool TakeFromCounter(int fd, const char* what) {
  uint64_t value;
  for (;;) {
    if (read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) return true;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return false;
    throw OsError(std::string("acquire ") + what + " (eventfd " + std::to_string(fd) + ")", errno);
  }
}

bool IsReadable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  for (;;) {
    const int n = poll(&entry, 1, 0);
    if (n >= 0) return n > 0 && (entry.revents & POLLIN);
    if (errno != EINTR) throw OsError("poll descriptor " + std::to_string(fd), errno);
  }
}

}  // namespace

// --- Event -----------------------------------------------------------------
//
// The eventfd counter is non-zero while the event is set. Set adds one, so a
// second Set on a set event only raises the counter; a plain read takes the
// whole counter at once, which resets the event however often it was set.

Event::Event(bool manual_reset, bool initially_set)
    : fd_(MakeEventFd(initially_set ? 1 : 0, 0, "event")), manual_reset_(manual_reset) {}

Event::~Event() { close(fd_); }

void Event::Set() {
  // An overflowing counter means the event is set already.
  AddToCounter(fd_, 1, "event");
}

void Event::Reset() { TakeFromCounter(fd_, "event"); }

bool Event::IsSet() const { return IsReadable(fd_); }

bool Event::Wait(uint32_t timeout_ms) { return WaitForAny({this}, timeout_ms) == 0; }

bool Event::TryAcquire() { return manual_reset_ ? IsSet() : TakeFromCounter(fd_, "event"); }

// --- Semaphore -------------------------------------------------------------

Semaphore::Semaphore(uint32_t initial_count)
    : fd_(MakeEventFd(initial_count, EFD_SEMAPHORE, "semaphore")) {}

Semaphore::~Semaphore() { close(fd_); }

void Semaphore::Release(uint32_t count) {
  if (count == 0) return;
  if (!AddToCounter(fd_, count, "semaphore")) {
    throw OsError("release semaphore (eventfd " + std::to_string(fd_) + ")", EOVERFLOW);
  }
}

bool Semaphore::Wait(uint32_t timeout_ms) { return WaitForAny({this}, timeout_ms) == 0; }

bool Semaphore::TryAcquire() { return TakeFromCounter(fd_, "semaphore"); }

// --- WaitForAny ------------------------------------------------------------

int WaitForAny(std::span<Waitable* const> objects, uint32_t timeout_ms) {
  if (objects.empty()) throw std::invalid_argument("WaitForAny: no objects to wait on");
  if (objects.size() > INT_MAX) throw std::invalid_argument("WaitForAny: too many objects");

  const auto bad_descriptor = [](size_t index, int fd) {
    return OsError(
        "wait on object " + std::to_string(index) + " (descriptor " + std::to_string(fd) + ")",
        EBADF);
  };
  std::vector<pollfd> entries(objects.size());
  for (size_t i = 0; i < objects.size(); ++i) {
    const int fd = objects[i]->descriptor();
    // poll() skips a negative descriptor, which would make this wait endless.
    if (fd < 0) throw bad_descriptor(i, fd);
    entries[i] = pollfd{fd, POLLIN, 0};
  }

  const bool infinite = timeout_ms == kInfinite;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int wait_ms = -1;
    if (!infinite) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait_ms =
          static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
    }
    const int ready = poll(entries.data(), entries.size(), wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw OsError("wait on " + std::to_string(entries.size()) + " objects (poll)", errno);
    }
    for (size_t i = 0; ready > 0 && i < entries.size(); ++i) {
      const short revents = entries[i].revents;
      if (revents & POLLNVAL) throw bad_descriptor(i, entries[i].fd);
      // Readable as select() sees it; a lost race means: wait on.
      if ((revents & (POLLIN | POLLHUP | POLLERR)) && objects[i]->TryAcquire()) {
        return static_cast<int>(i);
      }
    }
    // A poll with no time left was the last look.
    if (wait_ms == 0) return kWaitTimeout;
  }
}

int WaitForAny(std::initializer_list<Waitable*> objects, uint32_t timeout_ms) {
  return WaitForAny(std::span<Waitable* const>(objects.begin(), objects.size()), timeout_ms);
}

// --- Thread ----------------------------------------------------------------

struct Thread::State {
  std::mutex mutex;
  std::condition_variable finished_changed;
  bool finished = false;
  std::mutex join_mutex;  // serialises joining thread_
};

Thread::Thread(std::function<void()> body) : state_(std::make_shared<State>()) {
  thread_ = std::thread([state = state_, body = std::move(body)]() mutable {
    // An exception must not end the process; there is nobody to hand it to.
    try {
      body();
    } catch (...) {
    }
    body = nullptr;  // what the body captured dies before the thread counts as finished
    {
      std::lock_guard lock(state->mutex);
      state->finished = true;
    }
    state->finished_changed.notify_all();
  });
}

Thread::~Thread() {
  std::lock_guard join_lock(state_->join_mutex);
  if (!thread_.joinable()) return;
  if (Finished()) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

bool Thread::Join(uint32_t timeout_ms) {
  {
    std::unique_lock lock(state_->mutex);
    const auto finished = [this] { return state_->finished; };
    if (timeout_ms == kInfinite) {
      state_->finished_changed.wait(lock, finished);
    } else if (!state_->finished_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                                  finished)) {
      return false;
    }
  }
  std::lock_guard join_lock(state_->join_mutex);
  if (thread_.joinable()) thread_.join();
  return true;
}

bool Thread::Finished() const {
  std::lock_guard lock(state_->mutex);
  return state_->finished;
}

}  // namespace corvane::platform
