// The processing thread: works the storage directory off into the database.
//
// RunProcessingLoop is the body of a processing thread. It opens the
// database (a database that cannot be opened stops the whole service),
// then, on every change of the storage directory, works off the pending
// mini scans and the scan files oldest first, one at a time, and serves the
// timer thread's maintenance requests between two files. It ends when the
// worker stop event is set or the running flag drops, and when the database
// fails (event 4100): the watchdog then starts a replacement. A scan set
// aside for its contents (saved in "ErrorScan") does not end it. After an
// applied mini scan of a device that booted over the network, the device's
// pending custom job is started (tasks/pxe_jobs.h).
//
// Nothing escapes it: every failure is reported or traced, and the database
// online event is reset when a thread that set it ends.
// Thread safety: one thread per call; the ServerContext is shared as its
// header says. The helpers below are for the loop and its tests; each
// belongs to the calling thread.

#ifndef CORVANE_INTAKE_PROCESSING_LOOP_H_
#define CORVANE_INTAKE_PROCESSING_LOOP_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "service/server_context.h"

namespace corvane::db {
class Connection;
class DeviceProcessor;
}  // namespace corvane::db

namespace corvane::intake {

void RunProcessingLoop(service::ServerContext& context);

// The current local time as the time format of the process's locale
// ("14:03:07" in the default one), for the events that carry a time.
std::string LocalTimeText();

// METASYSTEMS.SWSCANFREQ of row 0 (doubles and decimals cut toward zero);
// 1 when there is no connection, no such row, no number, or the query fails.
int32_t ReadSoftwareScanFrequency(db::Connection* connection) noexcept;

// One maintenance pass on the processor's connection: event 2389 with the
// time, the metadata component's Maintain, then PurgeOldData with
// `max_scan_age` (values above the 32-bit signed range count as the
// largest age, never as a negative one). Raises db::DbError when the
// database fails or no metaschema is loaded. The request/done handshake
// is the caller's.
void PerformMaintenance(db::DeviceProcessor& device, uint32_t max_scan_age);

enum class FileWait {
  kReadable,  // it opened for reading
  kGaveUp,    // it never opened within the tries; it is processed anyway
  kMissing,   // it no longer exists
  kStopping,  // the running flag dropped meanwhile
};

// Tries to open `path` for reading up to `tries` times, `delay` apart.
FileWait WaitForReadableFile(const std::string& path, const std::atomic<bool>& running, int tries,
                             std::chrono::milliseconds delay);

// Copies `path` into `storage_directory` under the same name, replacing an
// older copy. False when it failed (traced; the scan goes on regardless).
bool CopyToStorage(const std::string& path, const std::string& storage_directory) noexcept;

// The built-in file uploader: copies `path` into `forward_directory` under
// a temporary name and renames it there to a fresh "<prefix>XXXX.scn" name,
// so a reader of that directory never sees half a file and an earlier copy
// is never replaced. False when it failed (traced, the temporary file
// removed; processing goes on regardless).
bool ForwardScanFile(const std::string& path, const std::string& forward_directory,
                     std::string_view prefix) noexcept;

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_PROCESSING_LOOP_H_
