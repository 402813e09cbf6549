// The bound on the disk space of the error directories ("ErrorScan",
// "ErrorBigScan", "ErrorTrans"): what is set aside there is kept for the
// administrator, but a server that runs unattended for years must not fill
// its disk with it.
//
// Every writer into one of the directories tells the limit of the file it
// put there (Added). The limit keeps a running total of the directories'
// size; when the total passes the limit, it lists the directories and
// removes the oldest files first (by last-write time, across all of them)
// until they hold at most kCleanUpTargetPercent of the limit, so that one
// clean-up makes room for many files, and reports the clean-up as one event
// 2393 (kind warning) with the files and bytes it removed. The total comes
// from a listing at the first addition and is corrected by another one at
// the first addition after `recount_interval`, so that files removed or
// added behind the server's back count in time; between two listings an
// addition costs one stat.
//
// Only regular files directly inside the directories count and are
// removed: their subdirectories, and the storage directory that holds
// them, are never touched. A file that cannot be removed keeps counting.
//
// Thread-safe: one instance per storage directory is shared by all its
// writers (ErrorDirectoryLimitOf). Never throws; failures are traced.

#ifndef CORVANE_INTAKE_ERROR_DIRECTORIES_H_
#define CORVANE_INTAKE_ERROR_DIRECTORIES_H_

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "service/server_context.h"

namespace corvane::intake {

inline constexpr uint64_t kCleanUpTargetPercent = 90;
inline constexpr std::chrono::minutes kDefaultRecountInterval{60};

struct ErrorDirectoryLimitOptions {
  std::chrono::steady_clock::duration recount_interval = kDefaultRecountInterval;
};

class ErrorDirectoryLimit {
 public:
  using Options = ErrorDirectoryLimitOptions;

  // `directories`: the directories whose files count together.
  // `limit_bytes`: the total above which a clean-up runs.
  ErrorDirectoryLimit(std::vector<std::string> directories, uint64_t limit_bytes,
                      Options options = {});
  ErrorDirectoryLimit(const ErrorDirectoryLimit&) = delete;
  ErrorDirectoryLimit& operator=(const ErrorDirectoryLimit&) = delete;

  // `path` was put into one of the directories (a path that does not exist
  // is ignored: nothing was set aside). Cleans up when the total passes the
  // limit.
  void Added(const std::string& path);

  // Removes the files last written before `cutoff` (seconds since the
  // epoch) and reports them as one event 2395 (kind information) naming
  // `age_days`; nothing when none is that old. The listing it makes sets
  // the running total too.
  void RemoveOlderThan(std::time_t cutoff, uint32_t age_days);

  // The running total in bytes; nullopt before the first listing.
  std::optional<uint64_t> total() const;
  uint64_t limit_bytes() const { return limit_bytes_; }

 private:
  struct RemovedFiles {
    uint64_t files = 0;
    uint64_t bytes = 0;
  };
  // Lists the directories into total_; with the total above the limit,
  // removes the oldest files down to the clean-up target.
  RemovedFiles ListAndCleanUpLocked();

  const std::vector<std::string> directories_;
  const uint64_t limit_bytes_;
  const Options options_;
  mutable std::mutex mutex_;
  std::optional<uint64_t> total_;
  std::chrono::steady_clock::time_point listed_at_;
};

// The limit for the error directories of `context`'s storage directory,
// with "Max Error Directory MB" (0: its default), made on first use and
// shared by every caller with that context.
std::shared_ptr<ErrorDirectoryLimit> ErrorDirectoryLimitOf(service::ServerContext& context);

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_ERROR_DIRECTORIES_H_
