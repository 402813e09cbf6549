#include "intake/scan_queue.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "Common/Include/xtrace.h"
#include "intake/storage.h"
#include "platform/error.h"
#include "platform/paths.h"

namespace corvane::intake {

std::mutex& ScanQueueLock() {
  static std::mutex lock;
  return lock;
}

ScanQueue::ScanQueue(std::string directory, std::string big_scan_directory, uint64_t max_file_size,
                     std::string prefix, Lister lister, MovedAside moved_aside)
    : directory_(std::move(directory)),
      big_scan_directory_(std::move(big_scan_directory)),
      max_file_size_(max_file_size),
      prefix_(std::move(prefix)),
      lister_(std::move(lister)),
      moved_aside_(std::move(moved_aside)) {
  if (!lister_) {
    lister_ = [](const std::string& dir) { return ListDirectory(dir, kScanExtension); };
  }
}

void ScanQueue::Refill() {
  std::vector<ScanFileEntry> found = lister_(directory_);
  for (ScanFileEntry& entry : found) {
    // The whole size counts: a file of 4 GiB and a few bytes is big, not small.
    if (entry.size > max_file_size_) {
      const std::string path = platform::JoinPath(directory_, entry.name);
      try {
        const std::string moved =
            MoveToUniqueName(path, big_scan_directory_, prefix_, kScanExtension);
        XTRACE("Scan file %s has %llu bytes, more than %llu: moved to %s", path.c_str(),
               static_cast<unsigned long long>(entry.size),
               static_cast<unsigned long long>(max_file_size_), moved.c_str());
        if (moved_aside_) moved_aside_(moved);
      } catch (const platform::OsError& error) {
        XTRACE("Scan file %s is too big but stays: %s", path.c_str(), error.what());
      }
      continue;
    }
    waiting_.push_back(std::move(entry));
  }
  // Stable: files written at the same moment keep the listing's order.
  std::stable_sort(waiting_.begin(), waiting_.end(),
                   [](const ScanFileEntry& a, const ScanFileEntry& b) {
                     return a.last_write_ns < b.last_write_ns;
                   });
}

const ScanFileEntry* ScanQueue::TakeNext() {
  current_.reset();
  if (waiting_.empty()) Refill();
  if (waiting_.empty()) return nullptr;
  current_ = std::move(waiting_.front());
  waiting_.pop_front();
  return &*current_;
}

std::string ScanQueue::CurrentPath() const {
  return current_ ? platform::JoinPath(directory_, current_->name) : std::string();
}

void ScanQueue::Clear() {
  current_.reset();
  waiting_.clear();
}

}  // namespace corvane::intake
