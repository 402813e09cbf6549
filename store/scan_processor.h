// Per-device scan processing: one scan file at a time, from the file to a
// committed transaction.
//
// A ScanProcessor reads a scan file, identifies the device (by device ID,
// then by identity), decides whether the scan can be applied (a full scan, a
// delta that fits the stored data, or a refusal), applies it through the
// scan reader and the scan store in one transaction, keeps the "Force Full
// Scans" and "Bad Device IDs" lists (memory and registry together) and
// reports the start, end, out-of-sync and duplicate events.
//
// A device is found by its device ID, or else by identity: the one COMPUTER
// row whose NICAddress equals the scan's NIC address and whose HostName or
// DeviceName equals the scan's host name or device name; several such rows
// count as an unknown device (store/device_identity.h has the whole rule).
//
// A scan file is deleted only once its outcome is durable: after the commit,
// or after its text was saved in "ErrorScan" beside it. A crash in between
// leaves the file, and the scan is simply processed again.
//
// Ownership: borrows the thread's open DeviceProcessor and the two shared
// device-ID sets; all must outlive the ScanProcessor.
// Errors: never raises; database failures come back as result codes with
// error_text() describing them.
// Several servers may share one database: a scan whose transaction meets
// another server's work (a unique key it has just taken, a deadlock) is
// rolled back and applied again from the start, a bounded number of times,
// and finds that server's rows the second time. A known device's COMPUTER
// row is locked first, so scans of one device apply one after the other.
//
// Thread safety: one ScanProcessor per processing thread; the device-ID sets
// are shared and lock themselves (their registry values are rewritten whole
// under one process-wide lock).

#ifndef CORVANE_STORE_SCAN_PROCESSOR_H_
#define CORVANE_STORE_SCAN_PROCESSOR_H_

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>

#include "db/device_processor.h"
#include "scan/creator_types.h"
#include "service/config.h"

namespace corvane::scan {
class ScanTextDecoder;
}  // namespace corvane::scan

namespace corvane::store {

// Result codes of one scan.
inline constexpr uint32_t kScanApplied = 0;
inline constexpr uint32_t kScanOutOfSync = 0xFFFFFFFF;   // -1: refused, full scan requested
inline constexpr uint32_t kScanUnreadable = 0x8055050F;  // the file could not be read
inline constexpr uint32_t kScanNotApplied = 0x80004005;  // E_FAIL
// Any other code is the code of the database error that ended the scan.

struct ScanOutcome {
  uint32_t code = kScanApplied;
  // The scan was applied (committed).
  bool stored = false;
  // The scan was not applied because of what it contains (no device ID, a
  // duplicate put on the bad list, a text cut short, an unknown device that
  // cannot be created) and its text is in "ErrorScan": the queue goes on
  // with the next file. False for database failures and unreadable files.
  bool set_aside = false;
  // The database failed (the connection is gone, the server shuts down, a
  // deadlock, a time-out): nothing was applied and the file is untouched in
  // the spool, to be applied once the database is back.
  bool database_failed = false;
  // Attempts rolled back because they met another writer's work (a unique
  // key taken, a deadlock) and applied again from the start.
  uint32_t conflict_retries = 0;
};

// What per-device processing takes from the settings.
struct ScanProcessingSettings {
  bool log_stats = false;
  bool handle_duplicates = false;
  bool generate_sql = false;
  uint32_t identity_changes_limit = 0;  // 0: no identity test
  uint32_t hardware_changes_limit = 0;  // 0: no hardware test
  std::string event_source = "Corvane Inventory Server";

  static ScanProcessingSettings From(const service::Settings& settings);
};

// The follow-up of an applied mini scan (network boot jobs). Absent: none.
class MiniScanFollowUp {
 public:
  virtual ~MiniScanFollowUp() = default;
  // The mini scan's "Network - Pxeboot =" value says it booted from the
  // network.
  virtual bool IsPxeBoot(std::string_view mini_scan_text) = 0;
  virtual bool InHoldingQueue(std::string_view mini_scan_text) = 0;
  // `computer_idn`: the device's COMPUTER row, whose pending job is started.
  virtual void StartCustomJob(std::string_view mini_scan_text, int32_t computer_idn) = 0;
};

class ScanProcessor {
 public:
  ScanProcessor(db::DeviceProcessor& device, service::DeviceIdSet& force_full_scans,
                service::DeviceIdSet& bad_device_ids, ScanProcessingSettings settings);
  ScanProcessor(const ScanProcessor&) = delete;
  ScanProcessor& operator=(const ScanProcessor&) = delete;

  // Processes the ".scn" file at `path` (in the storage directory).
  ScanOutcome ProcessScanFile(const std::string& path);
  // Processes the ".ims" mini-scan file at `path`; with `store_scans` a copy
  // goes to "Storage" first. Non-zero when the mini scan was applied. A mini
  // scan never purges what it does not report, and its file never stays in
  // place once read: deleted after the commit, else moved to "ErrorScan".
  uint32_t ProcessMiniScanFile(const std::string& path, bool store_scans);

  void set_mini_scan_follow_up(MiniScanFollowUp* follow_up) { follow_up_ = follow_up; }
  // The last mini scan was not applied because the database failed; its
  // file is untouched.
  bool mini_scan_database_failed() const { return mini_scan_database_failed_; }
  // The description of the last failure.
  const std::string& error_text() const { return error_text_; }
  // Attempts at scans and mini scans rolled back because they met another
  // writer's work and applied again, since construction.
  uint64_t conflict_retries() const { return conflict_retries_; }

 private:
  class ScanWork;
  class HeldChangeEvents;

  // One attempt at the scan, in its own transaction: finds the device,
  // applies the scan and commits, or rolls back a refusal. 1 applied, 0 not
  // applied, -1 out of sync. Raises db::DbError.
  int ApplyScan(ScanWork& work, scan::ScanTextDecoder& decoder);
  int ApplyMiniScan(ScanWork& work, scan::ScanTextDecoder& decoder);
  // Runs `attempt` again from the start, after a short random pause, while
  // it fails for meeting another writer's work (db::IsConcurrencyConflict),
  // up to a bound; then its failure is raised as any other. The attempt's
  // change events are reported once it did not meet such work.
  int ApplyWithRetries(const std::string& path, HeldChangeEvents& events,
                       const std::function<int()>& attempt);
  // Takes the device's COMPUTER row lock for the scan's transaction.
  void LockDeviceRow(int32_t computer_idn);

  // Applies the scan to a known device: the out-of-sync test, the store and
  // the duplicate test. 1 applied, 0 not applied, -1 out of sync.
  int ApplyToKnownDevice(ScanWork& work, int32_t computer_idn);
  // Creates the COMPUTER row when asked, reads the scan into the store,
  // purges after a full scan and stamps the row. 1 applied, 0 not applied.
  int StoreScan(ScanWork& work, bool insert_computer);
  // False, with the event reported and error_text() set, when the scan's
  // device ID, device name, host name or NIC address is longer than its
  // COMPUTER column: cut to fit, it could name another device's row.
  bool IdentityFits(const ScanWork& work, scan::ScanTextDecoder& decoder);
  void RemoveUnmanagedNodes(ScanWork& work);
  void ReportOutOfSync(const std::string& device_id);
  void Execute(const std::string& sql);
  // Rolls back, dropping a failure of the rollback itself: the error that
  // led here is the one to report.
  void RollbackQuietly();
  // After a rollback: the failure was the database's, not the scan's (by
  // its SQLSTATE, or because the connection no longer answers).
  bool DatabaseFailed(const db::DbError& failure);

  db::DeviceProcessor& device_;
  service::DeviceIdSet& force_full_scans_;
  service::DeviceIdSet& bad_device_ids_;
  ScanProcessingSettings settings_;
  MiniScanFollowUp* follow_up_ = nullptr;
  bool mini_scan_database_failed_ = false;
  std::string error_text_;
  scan::CreatorTypes creators_;
  // The statement last executed, for the text of a database failure.
  std::string last_sql_;
  uint64_t conflict_retries_ = 0;
  std::minstd_rand random_{std::random_device{}()};
};

}  // namespace corvane::store

#endif  // CORVANE_STORE_SCAN_PROCESSOR_H_
