#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "platform/error.h"
#include "platform/paths.h"
#include "platform/sync.h"

namespace corvane::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// flock has no timed wait; a short poll keeps the hand-over between
// processes quick without spinning.
constexpr milliseconds kPollInterval{2};

std::string LockDirectory() { return JoinPath(RuntimeRoot(), "locks"); }

// Opens (creating when needed) the lock file. Read-only is enough for flock,
// so programs of other users can share a file they cannot write.
int OpenLockFile(const std::string& path) {
  bool created_directory = false;
  for (;;) {
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) return fd;
    const int error = errno;
    if (error == EINTR) continue;
    if (error == ENOENT && !created_directory) {
      // The runtime root may be fresh; the directory is made on demand.
      CreateDirectories(LockDirectory());
      created_directory = true;
      continue;
    }
    throw OsError("open lock file " + path, error);
  }
}

}  // namespace

NamedMutex::NamedMutex(const std::string& name) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string("/\0", 2)) != std::string::npos) {
    throw std::invalid_argument("invalid mutex name \"" + name + "\"");
  }
  lock_file_ = JoinPath(LockDirectory(), name + ".lock");
  // Fail here, as creating a mutex would, rather than on the first Lock.
  close(OpenLockFile(lock_file_));
}

NamedMutex::~NamedMutex() {
  if (fd_ >= 0) close(fd_);
  if (owner_.load() == std::this_thread::get_id()) {
    for (; depth_ > 0; --depth_) local_.unlock();
  }
}

bool NamedMutex::Lock(uint32_t timeout_ms) {
  const Clock::time_point deadline = Clock::now() + milliseconds(timeout_ms);
  if (timeout_ms == kInfinite) {
    local_.lock();
  } else if (!local_.try_lock_for(milliseconds(timeout_ms))) {
    return false;
  }
  if (depth_ > 0) {  // the calling thread owns it already
    ++depth_;
    return true;
  }

  int fd = -1;
  try {
    fd = OpenLockFile(lock_file_);
    for (;;) {
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) break;
      const int error = errno;
      if (error == EINTR) continue;
      if (error != EWOULDBLOCK) throw OsError("lock " + lock_file_, error);
      if (timeout_ms != kInfinite) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
          close(fd);
          local_.unlock();
          return false;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(kPollInterval, deadline - now));
      } else {
        std::this_thread::sleep_for(kPollInterval);
      }
    }
  } catch (...) {
    if (fd >= 0) close(fd);
    local_.unlock();
    throw;
  }
  fd_ = fd;
  depth_ = 1;
  owner_.store(std::this_thread::get_id());
  return true;
}

void NamedMutex::Unlock() {
  if (owner_.load() != std::this_thread::get_id()) return;
  if (--depth_ == 0) {
    owner_.store(std::thread::id());
    // An explicit unlock also frees the lock when a forked child still holds
    // a copy of the descriptor.
    flock(fd_, LOCK_UN);
    close(fd_);
    fd_ = -1;
  }
  local_.unlock();
}

}  // namespace corvane::platform
