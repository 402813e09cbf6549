// A watch on one directory for changes of the file names in it: a file
// created, renamed into or out of it, deleted, or closed after writing.
// Subdirectories are not watched.
//
// The watch is a Waitable: it is signalled while notifications are pending,
// so it can wake a WaitForAny together with events. TryAcquire drains every
// pending notification at once; changes that happen afterwards signal it
// again, so nothing that happens between two waits is lost. The watch tells
// only that something changed, never what: the owner looks at the directory.
//
// Errors throw OsError naming the directory. One owner thread at a time.

#ifndef CORVANE_PLATFORM_DIRWATCH_H_
#define CORVANE_PLATFORM_DIRWATCH_H_

#include <string>

#include "platform/sync.h"

namespace corvane::platform {

class DirectoryWatch : public Waitable {
 public:
  // Starts watching `directory`; throws OsError when it cannot be watched
  // (missing, not a directory, no watch left).
  explicit DirectoryWatch(const std::string& directory);
  ~DirectoryWatch() override;
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  int descriptor() const override { return fd_; }
  // Drains the pending notifications; false when there were none.
  bool TryAcquire() override;

  const std::string& directory() const { return directory_; }

 private:
  int fd_ = -1;
  std::string directory_;
};

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_DIRWATCH_H_
