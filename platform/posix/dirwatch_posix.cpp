#include "platform/dirwatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"

namespace corvane::platform {
namespace {

// File-name changes only; IN_CLOSE_WRITE adds files written in place.
constexpr uint32_t kWatchMask =
    IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE | IN_ONLYDIR;

}  // namespace

DirectoryWatch::DirectoryWatch(const std::string& directory) : directory_(directory) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) throw OsError("watch directory " + directory + " (inotify_init1)", errno);
  if (inotify_add_watch(fd_, directory.c_str(), kWatchMask) < 0) {
    const int error = errno;
    close(fd_);
    fd_ = -1;
    throw OsError("watch directory " + directory, error);
  }
}

DirectoryWatch::~DirectoryWatch() {
  if (fd_ >= 0) close(fd_);
}

bool DirectoryWatch::TryAcquire() {
  // Big enough for many records at once; a record never exceeds
  // sizeof(inotify_event) + NAME_MAX + 1, far below this.
  alignas(inotify_event) char buffer[16384];
  bool any = false;
  for (;;) {
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      any = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return any;
    if (n == 0) return any;
    throw OsError("read notifications of directory " + directory_, errno);
  }
}

}  // namespace corvane::platform
