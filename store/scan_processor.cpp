// Per-device scan processing: from one scan file to one committed (or rolled
// back) transaction.

#include "store/scan_processor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

#include "Common/Include/xtrace.h"
#include "db/dialect.h"
#include "db/error.h"
#include "diag/catalogue.h"
#include "notifex/notifex.h"
#include "platform/paths.h"
#include "scan/code_page.h"
#include "scan/line_splitter.h"
#include "scan/scan_file.h"
#include "scan/scan_reader.h"
#include "scan/scan_text.h"
#include "store/change_history.h"
#include "store/device_identity.h"
#include "store/scan_store.h"

namespace corvane::store {
namespace {

namespace fs = std::filesystem;

constexpr char kUnassignedDeviceId[] = "Unassigned";
constexpr char kStorageCopyDirectory[] = "Storage";
constexpr char kSqlCopyDirectory[] = "dmsql";

std::string Literal(const std::string& text) { return db::SqlQuote(db::DbValue::Text(text)); }

bool WriteWholeFile(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    ok = written > 0;
    if (ok) done += static_cast<size_t>(written);
  }
  // The original is deleted right after this: the copy must be on disk first.
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  return ok;
}

// Puts a scan that was read but not applied into "ErrorScan" beside it, under
// its own name. Moving the file is one atomic step: at every moment the scan
// is in exactly one of the two places. Where it cannot be moved, its text is
// written there and the file deleted after that. False, with the file left
// in place, when neither works.
bool SetAsideScan(const std::string& path, std::string_view text, std::string* error) {
  const std::string target = scan::ErrorScanPath(path);
  std::error_code failure;
  fs::create_directory(fs::path(target).parent_path(), failure);
  fs::rename(path, target, failure);
  if (!failure) return true;
  if (!WriteWholeFile(target, text)) {
    *error += "\r\nThe scan could not be saved in " + target + ": " + failure.message();
    return false;
  }
  fs::remove(path, failure);
  return true;
}

// A file that opens but could not be read whole would fail the same way on
// every later attempt: it goes to "ErrorScan". One that does not open at all
// stays for a later try.
void SetAsideUnreadFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::close(fd);
  const std::string target = scan::ErrorScanPath(path);
  std::error_code ignored;
  fs::create_directory(fs::path(target).parent_path(), ignored);
  fs::rename(path, target, ignored);
}

void CopyToStorage(const std::string& path) {
  const fs::path file(path);
  const fs::path directory = file.parent_path() / kStorageCopyDirectory;
  std::error_code ignored;
  fs::create_directory(directory, ignored);
  fs::copy_file(file, directory / file.filename(), fs::copy_options::overwrite_existing, ignored);
}

// The COMPUTER columns that identify a device, with the scan key of each.
struct IdentityValue {
  const char* column;
  const char* key;
  const char* name;  // as the event names it
};
constexpr IdentityValue kIdentityValues[] = {
    {"DeviceId", scan::kDeviceIdKey, "Device ID"},
    {"DeviceName", scan::kDeviceNameKey, "Device Name"},
    {"HostName", scan::kHostNameKey, "Host Name"},
    {"NICAddress", scan::kNicAddressKey, "NIC Address"},
};

std::string UnitsText(size_t count, db::DbmsKind kind) {
  return std::to_string(count) + (db::TextWidthInCharacters(kind) ? " characters" : " bytes");
}

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// How often a scan whose transaction met another writer's work is applied
// again from the start before its failure counts as the scan's own.
constexpr int kConflictAttempts = 8;

}  // namespace

// The change events of one attempt at a scan, reported once the attempt has
// not met another writer's work: such an attempt is rolled back and applied
// again, and its events would reach the administrator twice.
class ScanProcessor::HeldChangeEvents {
 public:
  ChangeEventHooks Hooks() {
    ChangeEventHooks hooks = EventLibraryHooks();
    hooks.report = [this](const ChangeEvent& event) { held_.push_back(event); };
    return hooks;
  }
  void Drop() { held_.clear(); }
  void Release() {
    for (const ChangeEvent& event : held_) report_(event);
    held_.clear();
  }

 private:
  std::function<void(const ChangeEvent&)> report_ = EventLibraryHooks().report;
  std::vector<ChangeEvent> held_;
};

// What one scan's processing carries from step to step. The identity values
// are UTF-8, as the reader stores them, so that what is looked up and
// written in SQL matches what the store writes.
class ScanProcessor::ScanWork {
 public:
  ScanWork(ScanStore& store, std::string_view text, bool mac)
      : store(store), text(text), mac(mac) {}

  ScanStore& store;
  std::string_view text;
  bool mac;
  bool purge_after_full_scan = true;
  std::string device_id;
  std::string device_name;
  std::string host_name;
  std::string nic_address;
  std::string last_sync_date;
  std::string storage_root;
};

ScanProcessingSettings ScanProcessingSettings::From(const service::Settings& settings) {
  ScanProcessingSettings result;
  result.log_stats = settings.log_stats != 0;
  result.handle_duplicates = settings.handle_duplicate_device_ids != 0;
  result.generate_sql = settings.generate_sql != 0;
  result.identity_changes_limit = settings.identity_changes_number;
  result.hardware_changes_limit = settings.hardware_changes_number;
  result.event_source = diag::kApplicationName;
  return result;
}

ScanProcessor::ScanProcessor(db::DeviceProcessor& device, service::DeviceIdSet& force_full_scans,
                             service::DeviceIdSet& bad_device_ids, ScanProcessingSettings settings)
    : device_(device),
      force_full_scans_(force_full_scans),
      bad_device_ids_(bad_device_ids),
      settings_(std::move(settings)),
      creators_(scan::CreatorTypes::Load(platform::ProgramDirectory())) {}

void ScanProcessor::Execute(const std::string& sql) {
  last_sql_ = sql;
  device_.connection()->Execute(sql);
}

void ScanProcessor::RollbackQuietly() {
  try {
    device_.connection()->Rollback(true);
  } catch (const std::exception&) {
  }
}

bool ScanProcessor::DatabaseFailed(const db::DbError& failure) {
  if (db::IsDatabaseFailure(failure)) return true;
  db::Connection* connection = device_.connection();
  return connection == nullptr || !connection->is_open() ||
         connection->QuerySingleValue(db::LivenessQuery(device_.dbms_kind())).is_empty();
}

void ScanProcessor::ReportOutOfSync(const std::string& device_id) {
  ReportAnEventEx(settings_.event_source.c_str(), "Device Data Out of Sync", diag::kServerSinks,
                  diag::kMsgDeviceOutOfSync, diag::kKindWarning, "%s", device_id.c_str());
}

bool ScanProcessor::IdentityFits(const ScanWork& work, scan::ScanTextDecoder& decoder) {
  const db::DbmsKind kind = device_.dbms_kind();
  for (const IdentityValue& identity : kIdentityValues) {
    const int width = device_.metaschema()->TextWidth("Computer", identity.column);
    if (width <= 0) continue;
    // The whole value: the lookups see only the first 511 characters of a line.
    const std::string value = decoder.ToUtf8(scan::GetWholeScanValue(work.text, identity.key));
    const size_t length = db::TextLength(value, kind);
    if (length <= static_cast<size_t>(width)) continue;

    // The device as the scan names it, each name cut to what its column holds.
    std::string device;
    for (const std::string* name :
         {&work.device_id, &work.device_name, &work.host_name, &work.nic_address}) {
      if (name->empty()) continue;
      device = *name;
      if (db::CutToWidth(device, static_cast<size_t>(width), kind)) device += "...";
      break;
    }
    const std::string length_text = UnitsText(length, kind);
    const std::string width_text = UnitsText(static_cast<size_t>(width), kind);
    error_text_ = "The " + std::string(identity.name) + " of " + device + " is " + length_text +
                  " long, more than the " + width_text + " the database holds.";
    ReportAnEventEx(settings_.event_source.c_str(), nullptr, diag::kServerSinks,
                    diag::kMsgIdentityValueTooLong, diag::kKindWarning, "%s %s %s %s",
                    device.c_str(), identity.name, length_text.c_str(), width_text.c_str());
    return false;
  }
  return true;
}

void ScanProcessor::RemoveUnmanagedNodes(ScanWork& work) {
  Execute(UnmanagedNodesDeleteSql(device_.dbms_kind(), work.nic_address, work.device_name,
                                  work.host_name));
}

int ScanProcessor::StoreScan(ScanWork& work, bool insert_computer) {
  ScanStore& store = work.store;
  std::ofstream sql_copy;
  if (settings_.generate_sql) {
    const std::string directory =
        (work.storage_root.empty() ? std::string("./") : work.storage_root) + kSqlCopyDirectory;
    std::error_code ignored;
    fs::create_directories(directory, ignored);
    const std::string& name = work.device_name.empty() ? work.device_id : work.device_name;
    sql_copy.open(directory + "/" + SqlCopyFileName(name) + ".txt",
                  std::ios::binary | std::ios::trunc);
    // The copy is an aid for the administrator; a file that cannot be
    // written does not stop the scan.
    if (sql_copy.is_open()) store.set_sql_copy(&sql_copy);
  }
  struct CopyDetach {
    ScanStore& store;
    ~CopyDetach() { store.set_sql_copy(nullptr); }
  } detach{store};

  if (insert_computer) {
    const std::string key_query = db::InsertedKeyQuery(device_.dbms_kind(), "Computer");
    if (key_query.empty()) {
      error_text_ = "A new device cannot be created on this kind of database.";
      return 0;
    }
    Execute("INSERT INTO COMPUTER(DeviceId) VALUES(" +
            Literal(work.device_id.empty() ? kUnassignedDeviceId : work.device_id) + ")");
    last_sql_ = key_query;
    db::Recordset key = device_.connection()->Query(key_query);
    std::optional<int32_t> computer_idn;
    if (!key.AtEnd()) computer_idn = key.Value(0).ToInt32();
    if (!computer_idn || *computer_idn < 1)
      throw db::DbError(db::kErrorFail, "The key of the new COMPUTER row could not be read.");
    store.set_computer_idn(*computer_idn);
    store.StartNewDevice();
  }

  if (!scan::ReadScan(store, work.text, work.mac, creators_)) {
    error_text_ = "The scan text ends inside an embedded file: it was cut short.";
    return 0;
  }
  if (work.purge_after_full_scan && store.snapshot_loaded() && !store.has_deletions())
    store.PurgeUnseenValues();

  const std::string& server = device_.metaschema()->server_name();
  Execute("UPDATE COMPUTER SET LastUpdInvSvr = " +
          db::DateLiteral(static_cast<int64_t>(std::time(nullptr)), device_.dbms_kind()) +
          ", InventoryServer = " + (server.empty() ? std::string("NULL") : Literal(server)) +
          " WHERE Computer_Idn = " + std::to_string(store.computer_idn()));
  return 1;
}

void ScanProcessor::LockDeviceRow(int32_t computer_idn) {
  const std::string sql =
      db::LockRowQuery(device_.dbms_kind(), "Computer", "Computer_Idn", computer_idn);
  if (sql.empty()) return;
  last_sql_ = sql;
  if (device_.connection()->Query(sql).AtEnd()) {
    // Found a moment ago: whoever removed it since, the device is looked up
    // anew in the next attempt.
    throw db::DbError(db::kErrorFail,
                      "The COMPUTER row " + std::to_string(computer_idn) +
                          " was removed while a scan of its device was being applied.",
                      "40001");
  }
}

int ScanProcessor::ApplyToKnownDevice(ScanWork& work, int32_t computer_idn) {
  ScanStore& store = work.store;
  // Another server may be applying a scan of the same device: the row lock
  // makes this transaction wait for that one's end, and the snapshot read
  // after it holds what that scan stored, so both apply in commit order.
  LockDeviceRow(computer_idn);
  store.set_computer_idn(computer_idn);
  store.LoadSnapshot();

  if (!work.last_sync_date.empty()) {
    // A delta scan is the difference to the scan the device last sent; the
    // stored hardware scan date tells whether the database holds that scan.
    std::optional<scan::ScanItem> item =
        scan::SplitDataLine(std::string(scan::kLastHardwareScanDateKey) + work.last_sync_date);
    if (item) {
      scan::ScanLine line = scan::ScanLineOf(std::move(*item));
      if (store.WriteAttribute(line)) {
        AddListedDeviceId(force_full_scans_, kForceFullScansValue, work.device_id, &error_text_);
        ReportOutOfSync(work.device_id);
        return -1;
      }
    }
  }

  int result = StoreScan(work, false);
  if (result == 0) return 0;

  const bool duplicate = (settings_.hardware_changes_limit != 0 &&
                          store.hardware_changes() >= settings_.hardware_changes_limit) ||
                         (settings_.identity_changes_limit != 0 &&
                          store.identity_changes() >= settings_.identity_changes_limit);
  if (duplicate) {
    if (settings_.handle_duplicates &&
        AddListedDeviceId(bad_device_ids_, kBadDeviceIdsValue, work.device_id, &error_text_)) {
      error_text_ = "The device ID " + work.device_id + " is used by more than one device.";
      result = 0;
    }
    ReportAnEventEx(settings_.event_source.c_str(), "Duplicate Device ID Detected",
                    diag::kServerSinks, diag::kMsgDuplicateDeviceId, diag::kKindError, "%s",
                    work.device_id.c_str());
  }
  return result;
}

int ScanProcessor::ApplyScan(ScanWork& work, scan::ScanTextDecoder& decoder) {
  db::Connection& connection = *device_.connection();
  int32_t computer_idn = FindComputerByDeviceId(connection, work.device_id);
  if (computer_idn < 0) {
    computer_idn = FindComputerByIdentity(connection, work.host_name, work.nic_address,
                                          decoder.ToUtf8(scan::GetDeviceName(work.text)));
  }
  work.store.ResetForScan();
  connection.BeginTransaction(true);
  int result;
  if (computer_idn < 0) {
    if (!work.last_sync_date.empty()) {
      // The device believes it was synchronised, but the database does not
      // know it: only a full scan can be applied.
      AddListedDeviceId(force_full_scans_, kForceFullScansValue, work.device_id, &error_text_);
      ReportOutOfSync(work.device_id);
      result = -1;
    } else {
      RemoveUnmanagedNodes(work);
      result = StoreScan(work, true);
    }
  } else {
    if (work.last_sync_date.empty()) RemoveUnmanagedNodes(work);
    result = ApplyToKnownDevice(work, computer_idn);
  }
  if (result == 1) {
    connection.Commit(true);
  } else {
    connection.Rollback(true);
  }
  return result;
}

int ScanProcessor::ApplyMiniScan(ScanWork& work, scan::ScanTextDecoder& decoder) {
  db::Connection& connection = *device_.connection();
  const int32_t computer_idn = FindComputerByIdentity(
      connection, work.host_name, work.nic_address, decoder.ToUtf8(scan::GetDeviceName(work.text)));
  work.store.ResetForScan();
  connection.BeginTransaction(true);
  const int result = computer_idn < 0 ? StoreScan(work, true)
                                      : (ApplyToKnownDevice(work, computer_idn) != 0 ? 1 : 0);
  if (result != 0) {
    connection.Commit(true);
  } else {
    connection.Rollback(true);
  }
  return result;
}

int ScanProcessor::ApplyWithRetries(const std::string& path, HeldChangeEvents& events,
                                    const std::function<int()>& attempt) {
  for (int attempts = 1;; ++attempts) {
    try {
      const int result = attempt();
      events.Release();
      return result;
    } catch (const db::DbError& failure) {
      if (!db::IsConcurrencyConflict(failure) || attempts == kConflictAttempts) {
        events.Release();
        throw;
      }
      RollbackQuietly();
      events.Drop();
      ++conflict_retries_;
      // Random, so that two servers that met once do not meet again in step;
      // longer with every attempt, up to a second.
      const int ceiling = std::min(1000, 50 << (attempts - 1));
      const int pause = std::uniform_int_distribution<int>(ceiling / 5, ceiling)(random_);
      XTRACE(
          "Scan file %s met another writer's work (%s); applying it again from the start in "
          "%d ms (attempt %d of %d)",
          path.c_str(), failure.what(), pause, attempts + 1, kConflictAttempts);
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    } catch (...) {
      events.Release();
      throw;
    }
  }
}

ScanOutcome ScanProcessor::ProcessScanFile(const std::string& path) {
  ScanOutcome outcome;
  db::Connection* connection = device_.connection();
  if (connection == nullptr || device_.metaschema() == nullptr) {
    error_text_ = "The database is not open.";
    outcome.code = kScanNotApplied;
    return outcome;
  }
  try {
    device_.ReloadMetaschemaIfChanged();
  } catch (const db::DbError& failure) {
    error_text_ = failure.text();
    outcome.code = failure.code();
    RollbackQuietly();
    // A schema newer than the server's is an upgrade to wait for, like an
    // outage: the scan stays in the spool.
    outcome.database_failed = failure.code() == db::kErrorSchemaTooNew || DatabaseFailed(failure);
    return outcome;
  }

  const auto start = std::chrono::steady_clock::now();
  if (path.empty()) {
    error_text_ = "No scan file was named.";
    outcome.code = kScanNotApplied;
    return outcome;
  }
  // Kept on disk until its outcome is durable; a crash before that leaves it
  // to be processed again.
  std::optional<scan::ScanText> text = scan::ReadScanFile(path, true);
  if (!text) {
    SetAsideUnreadFile(path);
    error_text_ = error_text_ + "\r\n" + path;
    outcome.code = kScanUnreadable;
    return outcome;
  }
  last_sql_.clear();

  const std::string_view view = text->view();
  const bool mac = scan::IsMacScan(view);
  ScanStore store(*connection, device_.dbms_kind(), *device_.metaschema());
  store.set_statement_observer([this](std::string_view sql) { last_sql_ = sql; });
  // Made anew for each attempt once the scan's device ID is known; lives as
  // long as the store.
  std::optional<ChangeHistory> history;
  HeldChangeEvents events;
  const uint64_t retries_before = conflict_retries_;
  ScanWork work(store, view, mac);
  work.storage_root = StorageRootOf(path);

  // Refused until applied: a scan refused for what it holds goes to
  // "ErrorScan" and the queue goes on; a failure of the database (or of
  // the server itself) ends the processing thread after the scan is saved.
  enum class Disposition { kRefused, kApplied, kFailed };
  Disposition disposition = Disposition::kRefused;
  try {
    scan::ScanTextDecoder decoder(mac);
    auto value = [&](const char* key) { return decoder.ToUtf8(scan::GetScanValue(view, key)); };
    work.device_name = value(scan::kDeviceNameKey);
    work.last_sync_date = value(scan::kLastSyncDateKey);
    work.device_id = value(scan::kDeviceIdKey);

    work.host_name = value(scan::kHostNameKey);
    work.nic_address = value(scan::kNicAddressKey);
    if (work.device_id.empty()) {
      error_text_ = "The scan has no device ID.";
    } else if (!IdentityFits(work, decoder)) {
      // Cut to its column, the value could name another device's row.
    } else {
      store.set_event_texts(work.device_id, work.device_name, settings_.event_source);
      if (settings_.log_stats) {
        ReportAnEventEx(settings_.event_source.c_str(), "Started Processing Computer",
                        diag::kServerSinks, diag::kMsgStartedProcessing, diag::kKindInformation,
                        "%s", work.device_id.c_str());
      }
      const int result = ApplyWithRetries(path, events, [&] {
        history.emplace(*device_.metaschema(), device_.dbms_kind(), settings_.event_source,
                        work.device_id, work.device_name, events.Hooks());
        store.set_change_recorder(&*history);
        return ApplyScan(work, decoder);
      });
      if (result == -1) {
        error_text_ = "The inventory data of " + work.device_id + " is out of sync.";
        outcome.code = kScanOutOfSync;
      } else if (result == 1) {
        disposition = Disposition::kApplied;
        RemoveListedDeviceId(force_full_scans_, kForceFullScansValue, work.device_id, &error_text_);
      }
    }
  } catch (const db::DbError& failure) {
    RollbackQuietly();
    disposition = Disposition::kFailed;
    outcome.conflict_retries = static_cast<uint32_t>(conflict_retries_ - retries_before);
    outcome.code = failure.code();
    error_text_ = failure.text() + " \r\n\n " + last_sql_;
    if (DatabaseFailed(failure)) {
      // Not the scan's fault: it stays where it is, to be applied once the
      // database is back.
      outcome.database_failed = true;
      return outcome;
    }
  } catch (const std::exception& failure) {
    RollbackQuietly();
    disposition = Disposition::kFailed;
    outcome.code = kScanNotApplied;
    error_text_ = failure.what();
  }

  outcome.conflict_retries = static_cast<uint32_t>(conflict_retries_ - retries_before);
  if (disposition != Disposition::kApplied) {
    const bool saved = SetAsideScan(path, view, &error_text_);
    XTRACE("Scan file %s not applied, %s: %s", path.c_str(),
           saved ? "kept in ErrorScan" : "left in place", error_text_.c_str());
    try {
      device_.ReloadMetaschema();
    } catch (const std::exception&) {
      // The next scan's change check meets the same database.
    }
    if (outcome.code == kScanApplied) outcome.code = kScanNotApplied;
    outcome.set_aside = saved && disposition == Disposition::kRefused;
  } else {
    outcome.stored = true;
    XTRACE("Scan file %s applied to device %s; %u values cut to fit their columns", path.c_str(),
           work.device_id.c_str(), store.values_cut());
    std::error_code ignored;
    // Should the delete fail, the scan is applied again later, which changes
    // nothing for a full scan and is refused as out of sync for a delta.
    fs::remove(path, ignored);
  }

  if (settings_.log_stats) {
    const std::string elapsed = ElapsedText(MillisecondsSince(start));
    ReportAnEventEx(settings_.event_source.c_str(), "Done Processing Computer", diag::kServerSinks,
                    diag::kMsgDoneProcessing, diag::kKindInformation, "%s %s %s",
                    work.device_name.c_str(), work.device_id.c_str(), elapsed.c_str());
  }
  return outcome;
}

uint32_t ScanProcessor::ProcessMiniScanFile(const std::string& path, bool store_scans) {
  db::Connection* connection = device_.connection();
  if (connection == nullptr || device_.metaschema() == nullptr) {
    error_text_ = "The database is not open.";
    return 0;
  }
  if (store_scans) CopyToStorage(path);
  std::optional<scan::ScanText> text = scan::ReadScanFile(path, true);
  if (!text) {
    SetAsideUnreadFile(path);
    error_text_ = error_text_ + "\r\n" + path;
    return 0;
  }
  last_sql_.clear();

  const std::string_view view = text->view();
  ScanStore store(*connection, device_.dbms_kind(), *device_.metaschema());
  store.set_statement_observer([this](std::string_view sql) { last_sql_ = sql; });
  std::optional<ChangeHistory> history;
  HeldChangeEvents events;
  ScanWork work(store, view, false);
  work.storage_root = StorageRootOf(path);
  // A mini scan reports a handful of values: taken as a full scan it would
  // clear everything else the device's full scans stored.
  work.purge_after_full_scan = false;

  uint32_t result = 0;
  int32_t computer_idn = -1;
  mini_scan_database_failed_ = false;
  try {
    scan::ScanTextDecoder decoder(false);
    auto value = [&](const char* key) { return decoder.ToUtf8(scan::GetScanValue(view, key)); };
    work.host_name = value(scan::kHostNameKey);
    work.nic_address = value(scan::kNicAddressKey);
    work.device_name = value(scan::kDeviceNameKey);
    if (!IdentityFits(work, decoder)) {
      SetAsideScan(path, view, &error_text_);
      XTRACE("Mini scan %s not applied, kept in ErrorScan: %s", path.c_str(), error_text_.c_str());
      return 0;
    }
    store.set_event_texts(std::string(), work.device_name, settings_.event_source);
    result = ApplyWithRetries(path, events, [&] {
      history.emplace(*device_.metaschema(), device_.dbms_kind(), settings_.event_source,
                      std::string(), work.device_name, events.Hooks());
      store.set_change_recorder(&*history);
      return ApplyMiniScan(work, decoder);
    });
    computer_idn = store.computer_idn();
  } catch (const db::DbError& failure) {
    RollbackQuietly();
    error_text_ = failure.text() + " \r\n\n " + last_sql_;
    result = 0;
    if (DatabaseFailed(failure)) {
      mini_scan_database_failed_ = true;
      return 0;
    }
  } catch (const std::exception& failure) {
    RollbackQuietly();
    error_text_ = failure.what();
    result = 0;
  }

  if (result == 0) {
    // Never left in place: the sweep would take the same file again at once.
    const bool saved = SetAsideScan(path, view, &error_text_);
    XTRACE("Mini scan %s not applied, %s: %s", path.c_str(),
           saved ? "kept in ErrorScan" : "left in place", error_text_.c_str());
    return 0;
  }
  XTRACE("Mini scan %s applied to device %d; %u values cut to fit their columns", path.c_str(),
         computer_idn, store.values_cut());
  std::error_code ignored;
  fs::remove(path, ignored);

  if (follow_up_ != nullptr) {
    try {
      if (follow_up_->IsPxeBoot(view) && !follow_up_->InHoldingQueue(view))
        follow_up_->StartCustomJob(view, computer_idn);
    } catch (const std::exception&) {
      // A job that cannot be started never stops scan processing.
    }
  }
  return result;
}

}  // namespace corvane::store
