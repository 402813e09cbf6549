// The scan queue of a processing thread: which scan file of the storage
// directory is processed next.
//
// The queue lists the directory only when it has run empty, and then orders
// the batch by last-write time, oldest first (files with equal times keep
// the order of the listing). Files that arrive while a batch is worked off
// wait for the next listing. A file above the size limit never enters the
// queue: it is moved to "ErrorBigScan" under a fresh unique name
// ("<prefix>XXXX.scn"), and its scan is dropped.
//
// Errors: a directory that cannot be listed throws platform::OsError; a big
// file that cannot be moved is traced and left where it is (the next
// listing tries again).
// Thread safety: one queue per processing thread. ScanQueueLock() is the
// process-wide lock that makes taking a file (and the mini-scan sweep run
// before it) exclusive between processing threads.

#ifndef CORVANE_INTAKE_SCAN_QUEUE_H_
#define CORVANE_INTAKE_SCAN_QUEUE_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "intake/storage.h"

namespace corvane::intake {

// Held while the mini-scan sweep runs and the next scan file is taken.
std::mutex& ScanQueueLock();

class ScanQueue {
 public:
  // Lists the ".scn" files of a directory (the tests replace it to choose
  // the listing order).
  using Lister = std::function<std::vector<ScanFileEntry>(const std::string& directory)>;

  // Told the new path of each file moved into the big-scan directory.
  using MovedAside = std::function<void(const std::string& path)>;

  // `big_scan_directory` receives the files above `max_file_size` bytes,
  // named with `prefix` (its first three characters). An empty `lister`
  // lists with ListDirectory.
  ScanQueue(std::string directory, std::string big_scan_directory, uint64_t max_file_size,
            std::string prefix, Lister lister = {}, MovedAside moved_aside = {});

  // Makes the oldest waiting file the current entry and returns it,
  // listing the directory first when nothing waits. nullptr: no file.
  const ScanFileEntry* TakeNext();
  // The entry being processed, or nullptr.
  const ScanFileEntry* current() const { return current_ ? &*current_ : nullptr; }
  // The full path of the current entry; empty when there is none.
  std::string CurrentPath() const;
  void DropCurrent() { current_.reset(); }
  // Forgets the current entry and every waiting one.
  void Clear();

  size_t waiting() const { return waiting_.size(); }
  const std::string& directory() const { return directory_; }

 private:
  void Refill();

  std::string directory_;
  std::string big_scan_directory_;
  uint64_t max_file_size_;
  std::string prefix_;
  Lister lister_;
  MovedAside moved_aside_;
  std::deque<ScanFileEntry> waiting_;
  std::optional<ScanFileEntry> current_;
};

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_SCAN_QUEUE_H_
