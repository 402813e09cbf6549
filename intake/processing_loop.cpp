#include "intake/processing_loop.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "Common/Include/local_time_text.h"
#include "Common/Include/xtrace.h"
#include "db/connection.h"
#include "db/device_processor.h"
#include "db/error.h"
#include "db/metadata.h"
#include "db/open_failure.h"
#include "db/schema.h"
#include "diag/catalogue.h"
#include "intake/error_directories.h"
#include "intake/processing_stats.h"
#include "intake/scan_queue.h"
#include "intake/storage.h"
#include "notifex/notifex.h"
#include "platform/dirwatch.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "scan/scan_file.h"
#include "store/scan_processor.h"
#include "tasks/pxe_jobs.h"
#include "tasks/server_log.h"

namespace corvane::intake {
namespace {

namespace fs = std::filesystem;

// About 30 minutes of 100 ms pauses for a file that stays locked.
constexpr int kReadableTries = 18001;
constexpr std::chrono::milliseconds kReadableDelay{100};
// While the queue stays busy the statistics are still published this often.
constexpr std::chrono::seconds kStatsInterval{1};
// Pauses between attempts to reach a database that failed: 1 s, doubling
// up to a minute.
constexpr uint32_t kFirstReconnectPauseMs = 1000;
constexpr uint32_t kLongestReconnectPauseMs = 60000;
// A scan that meets a database failure this many times in a row, each time
// with the database answering again at once, is set aside: it is what
// fails, not the database (a statement that always runs into the time-out).
constexpr int kDatabaseFailuresPerScan = 5;

// Into "ErrorScan" beside it, as a scan refused for what it holds.
void SetAsideAfterDatabaseFailures(const std::string& path, ErrorDirectoryLimit& limit) {
  const std::string target = scan::ErrorScanPath(path);
  std::error_code error;
  fs::create_directory(fs::path(target).parent_path(), error);
  fs::rename(path, target, error);
  if (error) {
    XTRACE("Cannot set %s aside: %s", path.c_str(), error.message().c_str());
    return;
  }
  limit.Added(target);
}

int ClampToInt(uint32_t value) { return static_cast<int>(std::min<uint32_t>(value, INT_MAX)); }

class ProcessingThread {
 public:
  explicit ProcessingThread(service::ServerContext& context)
      : context_(context),
        settings_(context.settings()),
        error_directories_(ErrorDirectoryLimitOf(context)) {}
  ~ProcessingThread();
  ProcessingThread(const ProcessingThread&) = delete;
  ProcessingThread& operator=(const ProcessingThread&) = delete;

  void Run();

 private:
  // What WaitForAny answers, in the order of the wait's objects.
  enum Wake { kDirectoryChanged, kSpare, kMaintenance, kWorkerStop, kRescan };

  // Opens the database, waiting (with growing pauses) while it cannot be
  // reached; false when the server stops meanwhile or the configuration
  // leaves nothing to wait for (the service is then stopped).
  bool Open(bool loss_reported = false);
  // After a database failure: reports the loss, then opens again as Open
  // does. `path`: the scan that met the failure. A schema found newer
  // (`schema_refused`) is no loss and no fault of the scan: Open reports it.
  bool Reconnect(const std::string& path, const std::string& failure, bool schema_refused = false);
  void ServeMaintenance();
  void FilePass();
  void MiniScanSweep();
  void ProcessCurrentFile(const std::string& path);
  void RefreshSoftwareScanFrequency();
  void CountOutcome(const store::ScanOutcome& outcome);
  // Adds the statements sent since the last call to the context's counts.
  void CountStatements();
  void PublishStats();
  bool keep_going() const { return ok_ && context_.is_running(); }

  // Per-device processing puts the scans it does not apply into
  // "ErrorScan" beside them, under their own names.
  void CountSetAside(const std::string& path) {
    error_directories_->Added(scan::ErrorScanPath(path));
  }

  service::ServerContext& context_;
  const service::Settings& settings_;
  const std::shared_ptr<ErrorDirectoryLimit> error_directories_;
  // Set after a maintenance so that files that arrived meanwhile are seen.
  platform::Event rescan_{/*manual_reset=*/false, /*initially_set=*/false};
  std::unique_ptr<platform::DirectoryWatch> watch_;
  // The scan processor borrows the device processor and the job launcher,
  // which borrows the device processor too: each is declared after what it
  // borrows, so it goes first.
  db::DeviceProcessor device_;
  std::unique_ptr<tasks::PxeJobLauncher> pxe_jobs_;
  std::unique_ptr<store::ScanProcessor> processor_;
  std::unique_ptr<ScanQueue> queue_;
  bool ok_ = true;
  bool online_ = false;
  // Set when a scan met a database failure; FilePass then reconnects.
  bool database_failed_ = false;
  std::string failed_mini_scan_;
  std::string failed_path_;
  int failures_of_path_ = 0;
  // The connection's counts already added to the context's.
  db::StatementCounts counted_;
  uint64_t counted_retries_ = 0;
  std::chrono::steady_clock::time_point published_at_;
  bool scans_unpublished_ = false;
};

ProcessingThread::~ProcessingThread() {
  CountStatements();
  watch_.reset();
  if (queue_) queue_->Clear();
  // Only an event this thread set: server stop sets it too, to release the
  // waiters, and that must stand.
  if (online_) context_.database_online.Reset();
}

bool ProcessingThread::Open(bool loss_reported) {
  uint32_t pause_ms = kFirstReconnectPauseMs;
  bool reported = loss_reported;
  bool schema_refusal_reported = false;
  for (;;) {
    uint32_t result;
    std::string failure;
    try {
      result = device_.Open(ClampToInt(settings_.query_timeout), /*report_failure=*/false);
      if (result != 0) failure = device_.OpenFailureText(result);
    } catch (const std::exception& error) {
      result = db::kErrorDbInit;
      failure = db::OpenFailureText(result, error.what());
    }
    if (result == 0) break;
    if (result == db::kErrorSchemaTooNew) {
      // Not an outage: a newer server upgraded the database, or it was
      // restored from one. Received scans keep to the spool meanwhile.
      if (!schema_refusal_reported) {
        XTRACE("%s: no scan is processed until this server is upgraded", failure.c_str());
        diag::ReportSchemaTooNew(failure);
        schema_refusal_reported = true;
      }
    } else if (result == db::kErrorCredentials) {
      // Nothing to wait for: without credentials no attempt can succeed.
      XTRACE("The database cannot be opened (0x%08X): the service stops", result);
      diag::ReportDatabaseException(failure);
      if (context_.stop_service) context_.stop_service();
      return false;
    } else if (!reported) {
      XTRACE("The database cannot be opened (0x%08X); trying again", result);
      if (result == db::kErrorDbInit) diag::ReportMetaschemaUnreadable();
      diag::ReportDatabaseException(failure);
      reported = true;
    }
    if (context_.worker_stop.Wait(pause_ms) || !context_.is_running()) return false;
    pause_ms = std::min(pause_ms * 2, kLongestReconnectPauseMs);
  }

  const std::string now = LocalTimeText();
  context_.database_online.Set();
  online_ = true;
  ReportAnEventEx(diag::kApplicationName, "Database Online", diag::kServerSinks,
                  diag::kMsgDatabaseOnline, diag::kKindInformation, "%s", now.c_str());
  RefreshSoftwareScanFrequency();

  db::DeviceProcessingSettings device_settings;
  device_settings.log_stats = settings_.log_stats != 0;
  device_settings.handle_duplicates = settings_.handle_duplicate_device_ids != 0;
  device_settings.identity_changes_limit = ClampToInt(settings_.identity_changes_number);
  device_settings.hardware_changes_limit = ClampToInt(settings_.hardware_changes_number);
  device_.set_settings(device_settings);
  processor_ = std::make_unique<store::ScanProcessor>(
      device_, context_.configuration.force_full_scans, context_.configuration.bad_device_ids,
      store::ScanProcessingSettings::From(settings_));
  counted_retries_ = 0;
  // Tests run the loop without a program directory; the server's text log
  // then lies beside the test program.
  const std::string log_directory = context_.program_directory.empty()
                                        ? platform::ProgramDirectory()
                                        : context_.program_directory;
  pxe_jobs_ = std::make_unique<tasks::PxeJobLauncher>(
      device_, tasks::ProcessJobComponent(tasks::ServerTextLogSettings(log_directory)));
  processor_->set_mini_scan_follow_up(pxe_jobs_.get());
  queue_ = std::make_unique<ScanQueue>(
      context_.storage.root, context_.storage.error_big_scan, settings_.max_scan_file_size,
      settings_.scan_file_prefix, ScanQueue::Lister(),
      [limit = error_directories_](const std::string& path) { limit->Added(path); });
  // A reader learns at once where the counts stand before it sends.
  PublishStats();
  return true;
}

void ProcessingThread::Run() {
  if (!Open()) return;
  // Watching starts before the first look at the directory, so a file that
  // lands between that look and the first wait still wakes the thread.
  watch_ = std::make_unique<platform::DirectoryWatch>(context_.storage.root);
  platform::Waitable* const wake_ups[] = {watch_.get(), &context_.spare,
                                          &context_.maintenance_request, &context_.worker_stop,
                                          &rescan_};
  // The first cycle looks at the directory without waiting: files left
  // from before the start are worked off at once.
  bool first_cycle = true;
  while (keep_going()) {
    int wake = kDirectoryChanged;
    if (first_cycle) {
      first_cycle = false;
    } else {
      wake = platform::WaitForAny(wake_ups, platform::kInfinite);
    }
    if (!keep_going()) break;
    RefreshSoftwareScanFrequency();
    switch (wake) {
      case kSpare:
        continue;
      case kWorkerStop:
        return;
      case kMaintenance:
        ServeMaintenance();
        continue;
      default:
        FilePass();
        continue;
    }
  }
}

bool ProcessingThread::Reconnect(const std::string& path, const std::string& failure,
                                 bool schema_refused) {
  database_failed_ = false;
  XTRACE("The database failed; %s stays in the spool: %s", path.c_str(), failure.c_str());
  if (!schema_refused) {
    if (path == failed_path_) {
      ++failures_of_path_;
    } else {
      failed_path_ = path;
      failures_of_path_ = 1;
    }
    diag::ReportDatabaseException(failure);
  }
  // No maintenance is asked for while the database is away.
  if (online_) context_.database_online.Reset();
  online_ = false;
  CountStatements();
  // Open makes them anew; the watch on the directory stays.
  processor_.reset();
  pxe_jobs_.reset();
  queue_.reset();
  return Open(/*loss_reported=*/true);
}

void ProcessingThread::ServeMaintenance() {
  try {
    PerformMaintenance(device_, settings_.max_scan_age);
  } catch (const db::DbError& error) {
    diag::ReportDatabaseException(error.text());
    ok_ = false;
  } catch (const std::exception& error) {
    diag::ReportDatabaseException(error.what());
    ok_ = false;
  }
  // The handshake completes even for a failed pass, so the timer thread
  // never waits for nothing.
  context_.maintenance_request.Reset();
  context_.maintenance_done.Set();
  rescan_.Set();
}

void ProcessingThread::FilePass() {
  while (keep_going()) {
    // Maintenance and stop are served between two files, by the main loop.
    if (context_.maintenance_request.IsSet() || context_.worker_stop.IsSet()) return;
    RefreshSoftwareScanFrequency();
    std::string path;
    {
      std::lock_guard<std::mutex> lock(ScanQueueLock());
      MiniScanSweep();
      if (!database_failed_ && queue_->TakeNext() != nullptr) path = queue_->CurrentPath();
    }
    if (database_failed_) {
      if (!Reconnect(failed_mini_scan_, processor_->error_text())) ok_ = false;
      continue;
    }
    if (path.empty()) {
      // The queue is worked off: the moment a reader waits for.
      if (scans_unpublished_) PublishStats();
      return;
    }

    switch (WaitForReadableFile(path, context_.running, kReadableTries, kReadableDelay)) {
      case FileWait::kStopping:
        return;
      case FileWait::kMissing:
        // Gone since the listing: nothing to process, and no reason to end
        // the thread over it.
        XTRACE("Scan file %s vanished before it was processed", path.c_str());
        queue_->DropCurrent();
        continue;
      case FileWait::kGaveUp:
        XTRACE("Scan file %s stayed locked; processing it anyway", path.c_str());
        break;
      case FileWait::kReadable:
        break;
    }
    if (settings_.store_scans != 0) CopyToStorage(path, context_.storage.storage);
    if (settings_.forward_scans != 0 && !settings_.forward_scans_path.empty()) {
      ForwardScanFile(path, settings_.forward_scans_path, settings_.scan_file_prefix);
    }
    ProcessCurrentFile(path);
  }
}

void ProcessingThread::MiniScanSweep() {
  // A mini scan that was applied is gone afterwards; one that comes back
  // was not consumed, and sweeping on would only meet it again.
  std::set<std::string> handed_over;
  while (keep_going()) {
    std::vector<ScanFileEntry> found = ListDirectory(context_.storage.root, kMiniScanExtension);
    if (found.empty()) return;
    const std::string& name = found.front().name;
    if (!handed_over.insert(name).second) {
      XTRACE("Mini scan %s is still there after processing; sweep ends", name.c_str());
      return;
    }
    const std::string path = platform::JoinPath(context_.storage.root, name);
    if (processor_->ProcessMiniScanFile(path, settings_.store_scans != 0) == 0) {
      if (!processor_->mini_scan_database_failed()) {
        CountSetAside(path);
        return;
      }
      if (path == failed_path_ && failures_of_path_ >= kDatabaseFailuresPerScan) {
        XTRACE("Mini scan %s met a database failure %d times: it is set aside", path.c_str(),
               failures_of_path_ + 1);
        SetAsideAfterDatabaseFailures(path, *error_directories_);
        failed_path_.clear();
        continue;
      }
      database_failed_ = true;
      failed_mini_scan_ = path;
      return;
    }
  }
}

void ProcessingThread::ProcessCurrentFile(const std::string& path) {
  try {
    const store::ScanOutcome outcome = processor_->ProcessScanFile(path);
    if (!outcome.stored && !outcome.database_failed) CountSetAside(path);
    if (outcome.code == store::kScanApplied || outcome.code == store::kScanOutOfSync ||
        outcome.set_aside) {
      queue_->DropCurrent();
      CountOutcome(outcome);
      if (path == failed_path_) failed_path_.clear();
      return;
    }
    if (outcome.database_failed) {
      const bool scan_to_blame =
          path == failed_path_ && failures_of_path_ >= kDatabaseFailuresPerScan;
      if (!scan_to_blame) {
        // The same file comes first again once the database is back.
        queue_->Clear();
        if (!Reconnect(path, processor_->error_text(), outcome.code == db::kErrorSchemaTooNew)) {
          ok_ = false;
        }
        return;
      }
      XTRACE("Scan file %s met a database failure %d times: it is set aside", path.c_str(),
             failures_of_path_ + 1);
      SetAsideAfterDatabaseFailures(path, *error_directories_);
      queue_->DropCurrent();
      failed_path_.clear();
      return;
    }
    XTRACE("Scan file %s failed with 0x%08X: the processing thread ends", path.c_str(),
           outcome.code);
    const std::string text = db::OpenFailureText(outcome.code, processor_->error_text());
    if (!text.empty()) diag::ReportDatabaseException(text);
  } catch (const db::DbError& error) {
    diag::ReportDatabaseException(error.text());
  } catch (const std::exception& error) {
    XTRACE("Scan file %s: %s", path.c_str(), error.what());
  }
  ok_ = false;
}

void ProcessingThread::CountOutcome(const store::ScanOutcome& outcome) {
  if (outcome.stored) {
    ++context_.processing_stats.scans_applied;
  } else {
    ++context_.processing_stats.scans_refused;
  }
  scans_unpublished_ = true;
  if (std::chrono::steady_clock::now() - published_at_ >= kStatsInterval) PublishStats();
}

void ProcessingThread::CountStatements() {
  const db::Connection* connection = device_.connection();
  if (connection == nullptr) return;
  const db::StatementCounts& now = connection->statement_counts();
  // A reconnection may have begun a fresh connection with fresh counts.
  if (now.statements < counted_.statements) counted_ = {};
  context_.processing_stats.statements += now.statements - counted_.statements;
  context_.processing_stats.rows_written += now.rows_written - counted_.rows_written;
  counted_ = now;
  if (processor_ != nullptr) {
    context_.processing_stats.conflict_retries += processor_->conflict_retries() - counted_retries_;
    counted_retries_ = processor_->conflict_retries();
  }
}

void ProcessingThread::PublishStats() {
  CountStatements();
  published_at_ = std::chrono::steady_clock::now();
  scans_unpublished_ = false;
  // Tests run the loop without a program directory; the file would land
  // in whatever the current directory is.
  if (context_.program_directory.empty()) return;
  const std::string path =
      platform::JoinPath(context_.program_directory, std::string(kProcessingStatsFileName));
  if (!PublishProcessingStats(path, context_.processing_stats)) {
    XTRACE("Cannot write the processing statistics %s", path.c_str());
  }
}

void ProcessingThread::RefreshSoftwareScanFrequency() {
  context_.software_scan_frequency =
      static_cast<uint32_t>(ReadSoftwareScanFrequency(device_.connection()));
}

}  // namespace

void RunProcessingLoop(service::ServerContext& context) {
  XTRACE("Processing thread starting");
  try {
    ProcessingThread thread(context);
    thread.Run();
  } catch (const db::DbError& error) {
    diag::ReportDatabaseException(error.text());
  } catch (const std::exception& error) {
    XTRACE("Processing thread ends: %s", error.what());
  }
  XTRACE("Processing thread ended");
}

std::string LocalTimeText() { return corvane::LocalTimeText(std::time(nullptr)); }

int32_t ReadSoftwareScanFrequency(db::Connection* connection) noexcept {
  int32_t frequency = 1;
  if (connection == nullptr) return frequency;
  try {
    namespace meta = db::schema::meta;
    db::Recordset rows = connection->Query("SELECT " + std::string(meta::kSoftwareScanFrequency) +
                                           " from " + std::string(meta::kSystemsTable) + " WHERE " +
                                           std::string(meta::kSystemIdn) + " = 0");
    if (!rows.AtEnd()) {
      if (std::optional<int32_t> value = rows.Value(meta::kSoftwareScanFrequency).ToInt32()) {
        frequency = *value;
      }
    }
  } catch (...) {
    // An unreadable frequency is the default, never an error.
  }
  return frequency;
}

void PerformMaintenance(db::DeviceProcessor& device, uint32_t max_scan_age) {
  const std::string now = LocalTimeText();
  ReportAnEventEx(diag::kApplicationName, "Database Maintenance Started", diag::kServerSinks,
                  diag::kMsgMaintenanceStarted, diag::kKindInformation, "%s", now.c_str());
  db::MetadataComponent* metadata =
      device.metaschema() != nullptr ? device.metaschema()->metadata() : nullptr;
  if (metadata == nullptr) {
    throw db::DbError(db::kErrorFail, "No metaschema is loaded for the database maintenance");
  }
  metadata->Maintain();
  // A huge age means "keep everything for long"; wrapped to a negative
  // number it would purge every device.
  metadata->PurgeOldData(ClampToInt(max_scan_age));
}

FileWait WaitForReadableFile(const std::string& path, const std::atomic<bool>& running, int tries,
                             std::chrono::milliseconds delay) {
  for (int attempt = 0; attempt < tries; ++attempt) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
      return FileWait::kReadable;
    }
    if (errno == ENOENT) return FileWait::kMissing;
    if (attempt + 1 < tries) std::this_thread::sleep_for(delay);
    if (!running.load(std::memory_order_relaxed)) return FileWait::kStopping;
  }
  return FileWait::kGaveUp;
}

bool CopyToStorage(const std::string& path, const std::string& storage_directory) noexcept {
  try {
    const std::filesystem::path source(path);
    std::error_code error;
    std::filesystem::copy_file(source, std::filesystem::path(storage_directory) / source.filename(),
                               std::filesystem::copy_options::overwrite_existing, error);
    if (!error) return true;
    XTRACE("Cannot copy %s to %s: %s", path.c_str(), storage_directory.c_str(),
           error.message().c_str());
  } catch (const std::exception& error) {
    XTRACE("Cannot copy %s to %s: %s", path.c_str(), storage_directory.c_str(), error.what());
  }
  return false;
}

bool ForwardScanFile(const std::string& path, const std::string& forward_directory,
                     std::string_view prefix) noexcept {
  std::string temporary;
  try {
    std::optional<std::string> contents = platform::ReadWholeFile(path);
    if (!contents) {
      XTRACE("Cannot forward %s: it cannot be read", path.c_str());
      return false;
    }
    ScanFileWriter writer = CreateUniqueFile(forward_directory, prefix, kScanExtension);
    temporary = writer.path();
    writer.Write(*contents);
    writer.SyncAndClose();
    const std::string forwarded = RenameToFinalName(temporary, prefix, kScanExtension);
    XTRACE("Scan %s forwarded as %s", path.c_str(), forwarded.c_str());
    return true;
  } catch (const std::exception& error) {
    XTRACE("Cannot forward %s to %s: %s", path.c_str(), forward_directory.c_str(), error.what());
  }
  if (!temporary.empty()) unlink(temporary.c_str());
  return false;
}

}  // namespace corvane::intake
