#include "intake/error_directories.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "Common/Include/xtrace.h"
#include "diag/catalogue.h"
#include "intake/storage.h"
#include "notifex/notifex.h"
#include "platform/error.h"
#include "platform/paths.h"

namespace corvane::intake {
namespace {

constexpr uint64_t kBytesPerMb = 1024 * 1024;

struct ListedFile {
  std::string path;
  uint64_t size = 0;
  int64_t last_write_ns = 0;
};

void ReportCleanUp(uint64_t files, uint64_t bytes, uint64_t limit_bytes) {
  const std::string removed_bytes = std::to_string(bytes);
  const std::string limit = std::to_string(limit_bytes);
  ReportAnEventEx(diag::kApplicationName, nullptr, diag::kServerSinks,
                  diag::kMsgErrorDirectoriesCleaned, diag::kKindWarning, "%d %s %s",
                  static_cast<int32_t>(std::min<uint64_t>(files, INT32_MAX)), removed_bytes.c_str(),
                  limit.c_str());
}

// The regular files directly inside `directories`; a directory that is
// missing holds nothing, and one that cannot be listed leaves the others.
std::vector<ListedFile> ListFiles(const std::vector<std::string>& directories) {
  std::vector<ListedFile> files;
  for (const std::string& directory : directories) {
    try {
      for (ScanFileEntry& entry : ListDirectory(directory, "")) {
        files.push_back(
            ListedFile{platform::JoinPath(directory, entry.name), entry.size, entry.last_write_ns});
      }
    } catch (const platform::OsError& error) {
      if (error.error_number() != ENOENT) XTRACE("Error directory not counted: %s", error.what());
    }
  }
  return files;
}

uint64_t TotalSize(const std::vector<ListedFile>& files) {
  uint64_t total = 0;
  for (const ListedFile& file : files) total += file.size;
  return total;
}

enum class Removal { kRemoved, kGoneAlready, kKept };

Removal RemoveListedFile(const ListedFile& file) {
  if (unlink(file.path.c_str()) == 0) return Removal::kRemoved;
  // Removed by someone else meanwhile: it no longer counts.
  if (errno == ENOENT) return Removal::kGoneAlready;
  XTRACE("Cannot remove %s from the error directories: error %d", file.path.c_str(), errno);
  return Removal::kKept;
}

}  // namespace

ErrorDirectoryLimit::ErrorDirectoryLimit(std::vector<std::string> directories, uint64_t limit_bytes,
                                         Options options)
    : directories_(std::move(directories)), limit_bytes_(limit_bytes), options_(options) {}

void ErrorDirectoryLimit::Added(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
  RemovedFiles removed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool recount_due =
        !total_ || std::chrono::steady_clock::now() - listed_at_ >= options_.recount_interval;
    if (!recount_due) *total_ += static_cast<uint64_t>(status.st_size);
    // A listing counts the new file itself.
    if (recount_due || *total_ > limit_bytes_) removed = ListAndCleanUpLocked();
  }
  if (removed.files != 0) ReportCleanUp(removed.files, removed.bytes, limit_bytes_);
}

std::optional<uint64_t> ErrorDirectoryLimit::total() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

ErrorDirectoryLimit::RemovedFiles ErrorDirectoryLimit::ListAndCleanUpLocked() {
  std::vector<ListedFile> files = ListFiles(directories_);
  uint64_t total = TotalSize(files);
  total_ = total;
  listed_at_ = std::chrono::steady_clock::now();
  RemovedFiles removed;
  if (total <= limit_bytes_) return removed;

  // Down to a margin below the limit, so that the next clean-up waits for
  // a good many files instead of following every one.
  const uint64_t target = limit_bytes_ * kCleanUpTargetPercent / 100;
  std::stable_sort(files.begin(), files.end(), [](const ListedFile& a, const ListedFile& b) {
    return a.last_write_ns < b.last_write_ns;
  });
  for (const ListedFile& file : files) {
    if (total <= target) break;
    switch (RemoveListedFile(file)) {
      case Removal::kRemoved:
        ++removed.files;
        removed.bytes += file.size;
        total -= file.size;
        break;
      case Removal::kGoneAlready:
        total -= file.size;
        break;
      case Removal::kKept:
        break;
    }
  }
  total_ = total;
  XTRACE("Error directories held more than %llu bytes: %llu files of %llu bytes removed",
         static_cast<unsigned long long>(limit_bytes_),
         static_cast<unsigned long long>(removed.files),
         static_cast<unsigned long long>(removed.bytes));
  return removed;
}

void ErrorDirectoryLimit::RemoveOlderThan(std::time_t cutoff, uint32_t age_days) {
  RemovedFiles removed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t cutoff_ns = static_cast<int64_t>(cutoff) * 1000000000;
    uint64_t total = 0;
    for (const ListedFile& file : ListFiles(directories_)) {
      const Removal removal =
          file.last_write_ns < cutoff_ns ? RemoveListedFile(file) : Removal::kKept;
      if (removal == Removal::kRemoved) {
        ++removed.files;
        removed.bytes += file.size;
      } else if (removal == Removal::kKept) {
        total += file.size;
      }
    }
    // The listing was a full one: the running total starts from it.
    total_ = total;
    listed_at_ = std::chrono::steady_clock::now();
  }
  if (removed.files == 0) return;
  XTRACE("%llu files of %llu bytes older than %u days removed from the error directories",
         static_cast<unsigned long long>(removed.files),
         static_cast<unsigned long long>(removed.bytes), age_days);
  const std::string removed_bytes = std::to_string(removed.bytes);
  ReportAnEventEx(diag::kApplicationName, nullptr, diag::kServerSinks,
                  diag::kMsgOldErrorFilesRemoved, diag::kKindInformation, "%d %s %d",
                  static_cast<int32_t>(std::min<uint64_t>(removed.files, INT32_MAX)),
                  removed_bytes.c_str(),
                  static_cast<int32_t>(std::min<uint32_t>(age_days, INT32_MAX)));
}

std::shared_ptr<ErrorDirectoryLimit> ErrorDirectoryLimitOf(service::ServerContext& context) {
  std::lock_guard<std::mutex> lock(context.error_directory_limit_mutex);
  if (!context.error_directory_limit) {
    const service::StorageDirectories storage = StorageDirectoriesFor(context.program_directory);
    uint32_t mb = context.settings().max_error_directory_mb;
    if (mb == 0) mb = service::Settings().max_error_directory_mb;
    context.error_directory_limit = std::make_shared<ErrorDirectoryLimit>(
        std::vector<std::string>{storage.error_scan, storage.error_big_scan, storage.error_trans},
        uint64_t{mb} * kBytesPerMb);
  }
  return context.error_directory_limit;
}

}  // namespace corvane::intake
