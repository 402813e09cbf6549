#include "tasks/timer_thread.h"

#include <filesystem>
#include <system_error>

#include "Common/Include/local_time_text.h"
#include "Common/Include/xtrace.h"
#include "diag/catalogue.h"
#include "intake/error_directories.h"
#include "intake/storage.h"
#include "notifex/notifex.h"
#include "platform/error.h"
#include "platform/paths.h"
#include "platform/shares.h"

namespace corvane::tasks {

ScannerCommand BuildScannerCommand(const std::string& share_path, const std::string& output_file) {
  ScannerCommand command;
  command.program = platform::JoinPath(share_path, platform::NativeProgramName(kScannerProgram));
  command.argv = {command.program, "/o=" + output_file, "/f", "/noui", "/nocd"};
  command.text = "\"" + command.program + "\" /o=\"" + output_file + "\" /f /noui /nocd";
  return command;
}

TimerThread::TimerThread(TimerEnvironment environment)
    : environment_(std::move(environment)),
      context_(*environment_.context),
      clock_(*environment_.clock) {}

// A scanner still running keeps running; its temporary file stays behind
// and is never taken for a scan.
TimerThread::~TimerThread() = default;

void TimerThread::Run() {
  context_.started.Wait(platform::kInfinite);
  if (!context_.is_running()) return;
  last_assembly_check_ = clock_.SteadySeconds();
  while (context_.is_running()) {
    if (Cycle() == Next::kStop) break;
  }
  XTRACE("Timer thread ended");
}

TimerThread::Next TimerThread::WaitFor(platform::Waitable* object, uint32_t timeout_ms,
                                       bool* signalled) {
  int got = object != nullptr ? clock_.Wait({&context_.worker_stop, object}, timeout_ms)
                              : clock_.Wait({&context_.worker_stop}, timeout_ms);
  if (got == 0) return Next::kStop;
  if (signalled != nullptr) *signalled = got == 1;
  return Next::kGoOn;
}

TimerThread::Next TimerThread::Cycle() {
  if (!first_cycle_ && WaitFor(nullptr, kTimerPeriodMs, nullptr) == Next::kStop) {
    return Next::kStop;
  }
  if (running_scan_ && FinishSelfScan(0) == Next::kStop) return Next::kStop;
  DropStaleDatagramScans();
  RemoveOldErrorFiles();

  const LocalTime now = LocalTimeOf(clock_.WallSeconds());
  const service::Settings& settings = context_.settings();
  if (now.day_of_year != last_day_) {
    self_scan_due_ = settings.do_self_scan != 0;
    maintenance_due_ = true;
    last_day_ = now.day_of_year;
  }
  const bool self_scan_time =
      self_scan_due_ && now.hour >= static_cast<int64_t>(settings.self_scan_at);
  // One scanner at a time: a daily scan waits for one still running.
  if ((first_cycle_ || self_scan_time) && !running_scan_ && SelfScan(now.hour) == Next::kStop) {
    return Next::kStop;
  }
  if (maintenance_due_ && context_.database_online.IsSet() &&
      now.hour >= static_cast<int64_t>(settings.clean_at)) {
    return Maintenance();
  }
  return Next::kGoOn;
}

void TimerThread::DropStaleDatagramScans() {
  if (!environment_.drop_stale_datagram_scans) return;
  // Every cycle looks, so a scan is dropped within one period of its limit.
  const uint64_t now = clock_.SteadySeconds();
  if (now - last_assembly_check_ < kIncompleteScanAgeSeconds) return;
  last_assembly_check_ = now;
  for (const std::string& sender :
       environment_.drop_stale_datagram_scans(kIncompleteScanAgeSeconds)) {
    diag::ReportLastPacketNotSent(sender);
  }
}

void TimerThread::RemoveOldErrorFiles() {
  const uint32_t days = context_.settings().max_error_file_age_days;
  if (days == 0) return;
  const std::time_t now = clock_.WallSeconds();
  const std::time_t age = static_cast<std::time_t>(days) * 86400;
  intake::ErrorDirectoryLimitOf(context_)->RemoveOlderThan(now > age ? now - age : 0, days);
}

TimerThread::Next TimerThread::SelfScan(int hour) {
  first_cycle_ = false;
  // The first-cycle scan is not retried: whatever happens, it is done.
  self_scan_due_ = false;
  std::optional<std::string> share;
  for (int attempt = 1; attempt <= kShareLookupTries; ++attempt) {
    share = platform::LocalSharePath(kSelfScanShare);
    if (share) break;
    if (attempt < kShareLookupTries && WaitFor(nullptr, kShareRetryMs, nullptr) == Next::kStop) {
      return Next::kStop;
    }
  }
  if (!share) {
    XTRACE("No \"%s\" share in %s", kSelfScanShare, platform::SambaConfigurationPath().c_str());
    ReportAnEventEx(diag::kApplicationName, "No CVLOGON Share", diag::kServerSinks,
                    diag::kMsgNoCvlogonShare, diag::kKindError, nullptr);
    return Next::kGoOn;
  }

  const service::Settings& settings = context_.settings();
  std::string temporary_file;
  try {
    intake::ScanFileWriter placeholder = intake::CreateUniqueFile(
        context_.storage.root, settings.scan_file_prefix, intake::kScanExtension);
    temporary_file = placeholder.path();
    placeholder.Close();
  } catch (const platform::OsError& error) {
    XTRACE("No file for the self scan: %s", error.what());
    ReportAnEventEx(diag::kApplicationName, "Scanner Error", diag::kServerSinks,
                    diag::kMsgScannerError, diag::kKindError, nullptr);
    return Next::kGoOn;
  }

  const ScannerCommand command = BuildScannerCommand(*share, temporary_file);
  std::unique_ptr<platform::Process> scanner;
  try {
    scanner = platform::Process::Start(command.argv);
  } catch (const platform::OsError& error) {
    XTRACE("Failed to create process \"%s\", \"%s\", %d", command.program.c_str(),
           command.text.c_str(), error.error_number());
    std::error_code ignored;
    std::filesystem::remove(temporary_file, ignored);
    ReportAnEventEx(diag::kApplicationName, "Scanner Error", diag::kServerSinks,
                    diag::kMsgScannerError, diag::kKindError, nullptr);
    return Next::kGoOn;
  }
  XTRACE("Self scan started: %s", command.text.c_str());
  running_scan_ =
      std::make_unique<RunningScan>(RunningScan{std::move(scanner), temporary_file, hour});
  return FinishSelfScan(kScannerWaitMs);
}

TimerThread::Next TimerThread::FinishSelfScan(uint32_t wait_ms) {
  bool ended = false;
  if (WaitFor(running_scan_->scanner.get(), wait_ms, &ended) == Next::kStop) {
    XTRACE("The server stops while the self scan runs; %s is left as it is",
           running_scan_->temporary_file.c_str());
    return Next::kStop;
  }
  if (!ended) {
    if (wait_ms != 0) {
      // Its file may still be growing: taking it now would apply half a
      // scan, and the purge would delete what the scanner has yet to write.
      XTRACE("The self scan still runs after %u s; its scan is taken once it ends", wait_ms / 1000);
    }
    return Next::kGoOn;
  }
  XTRACE("Self Scan is complete");
  const std::unique_ptr<RunningScan> scan = std::move(running_scan_);
  if (scan->scanner->exit_code() != 0) {
    XTRACE("The scanner ended with status %d", scan->scanner->exit_code().value_or(-1));
  }
  try {
    intake::RenameToFinalName(scan->temporary_file, context_.settings().scan_file_prefix,
                              intake::kScanExtension);
  } catch (const platform::OsError& error) {
    XTRACE("The self scan is not handed over: %s", error.what());
    return Next::kGoOn;
  }
  if (context_.settings().log_stats != 0) {
    ReportAnEventEx(diag::kApplicationName, "Self Scan Performed", diag::kServerSinks,
                    diag::kMsgSelfScanPerformed, diag::kKindInformation, "%d", scan->hour);
  }
  return Next::kGoOn;
}

TimerThread::Next TimerThread::Maintenance() {
  const std::string requested_at = LocalTimeText(clock_.WallSeconds());
  XTRACE("Requesting the database maintenance");
  // A confirmation left from a request that timed out is not this one's.
  context_.maintenance_done.Reset();
  context_.maintenance_request.Set();
  bool done = false;
  if (WaitFor(&context_.maintenance_done, kMaintenanceWaitMs, &done) == Next::kStop) {
    return Next::kStop;
  }
  maintenance_due_ = false;
  if (!done) {
    XTRACE("The database maintenance was not confirmed within a day");
    return Next::kGoOn;
  }
  context_.maintenance_done.Reset();
  ReportAnEventEx(diag::kApplicationName, "Database Maintenance Performed", diag::kServerSinks,
                  diag::kMsgMaintenancePerformed, diag::kKindInformation, "%s",
                  requested_at.c_str());
  if (environment_.reset_watchdog_restarts) environment_.reset_watchdog_restarts();
  return Next::kGoOn;
}

}  // namespace corvane::tasks
