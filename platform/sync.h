// Synchronisation objects of the server: events, semaphores, bounded waits on
// several objects, and threads whose end can be awaited with a time-out.
//
// Events and semaphores are kernel objects (eventfd) so that one wait can
// cover them together with other descriptors (a directory watch, a socket).
// All operations are thread-safe. Objects are not copyable; destroying an
// object that a thread still waits on is the caller's bug.
// No thread is ever killed: a Thread that does not end in time keeps running.

#ifndef CORVANE_PLATFORM_SYNC_H_
#define CORVANE_PLATFORM_SYNC_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

namespace corvane::platform {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr int kWaitTimeout = -1;

// Something a WaitForAny can wait on. A waitable is signalled while its
// descriptor is readable; TryAcquire() takes the signal the way the object
// defines (an auto-reset event resets, a semaphore counts down, a
// manual-reset event stays set) and returns false when another waiter was
// faster.
class Waitable {
 public:
  virtual ~Waitable() = default;
  virtual int descriptor() const = 0;
  virtual bool TryAcquire() = 0;
};

class Event : public Waitable {
 public:
  // A manual-reset event stays set until Reset(); an auto-reset event releases
  // one waiter and resets itself. Throws OsError when no eventfd is left.
  Event(bool manual_reset, bool initially_set);
  ~Event() override;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;

  // True when the event was acquired within `timeout_ms` (kInfinite: no limit).
  bool Wait(uint32_t timeout_ms);

  int descriptor() const override { return fd_; }
  bool TryAcquire() override;

 private:
  int fd_;
  bool manual_reset_;
};

class Semaphore : public Waitable {
 public:
  explicit Semaphore(uint32_t initial_count);
  ~Semaphore() override;
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void Release(uint32_t count = 1);

  // True when one unit was taken within `timeout_ms`.
  bool Wait(uint32_t timeout_ms);

  int descriptor() const override { return fd_; }
  bool TryAcquire() override;

 private:
  int fd_;
};

// Waits until one of `objects` can be acquired, acquires it and returns its
// index (the lowest index wins when several are signalled), or kWaitTimeout.
int WaitForAny(std::span<Waitable* const> objects, uint32_t timeout_ms);
int WaitForAny(std::initializer_list<Waitable*> objects, uint32_t timeout_ms);

// A thread whose end can be awaited for a bounded time.
class Thread {
 public:
  // Starts `body` at once. Throws std::system_error when no thread can be made.
  explicit Thread(std::function<void()> body);
  // Joins a finished thread; detaches one that is still running.
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // True when the thread ended within `timeout_ms` (it is then joined).
  bool Join(uint32_t timeout_ms);
  bool Finished() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_SYNC_H_
