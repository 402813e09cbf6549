// A mutex shared by name between the threads of this process and by other
// processes of the product (the counterpart of a Windows named mutex).
//
// Ownership belongs to a thread and is recursive: the owning thread may lock
// again and must unlock as often as it locked. Other threads of the process
// wait on a process-local mutex; other processes wait on an flock of the lock
// file "$CORVANE_ROOT/locks/<name>.lock", taken by the first lock of the
// owning thread and dropped by its last unlock. When an owning process dies
// the kernel releases its flock, so the next waiter simply gets the mutex
// (an abandoned mutex counts as acquired). A thread that ends while owning
// the mutex leaves it locked for the rest of this process.
//
// Errors: the constructor throws std::invalid_argument for a name that is not
// a plain file name and OsError when the lock file cannot be created; Lock
// throws OsError when the lock file cannot be opened or locked for a reason
// other than contention. Unlock from a thread that does not own the mutex is
// ignored. All functions are thread-safe. Do not fork while owning it: the
// child would share the parent's lock.

#ifndef CORVANE_PLATFORM_NAMED_MUTEX_H_
#define CORVANE_PLATFORM_NAMED_MUTEX_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace corvane::platform {

class NamedMutex {
 public:
  // Resolves the lock file against RuntimeRoot() now and creates it (and its
  // directory) when missing; the mutex is not locked.
  explicit NamedMutex(const std::string& name);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // True when the calling thread owns the mutex within `timeout_ms`
  // (0xFFFFFFFF, kInfinite in sync.h: no limit; 0: one attempt).
  bool Lock(uint32_t timeout_ms);
  void Unlock();

  const std::string& lock_file() const { return lock_file_; }

 private:
  std::string lock_file_;
  std::recursive_timed_mutex local_;
  // Owner and depth change only under `local_`; the owner is atomic so that
  // Unlock can tell a foreign caller without taking `local_`.
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;
  int fd_ = -1;  // open and flocked while depth_ > 0
};

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_NAMED_MUTEX_H_
