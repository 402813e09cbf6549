// What the threads of a running server share: the settings, the running
// flag, the shared events and the storage directory.
//
// Server start creates one ServerContext and hands it to every subsystem it
// starts; it outlives all of them. Settings are written before any worker
// thread exists and only read afterwards; the flag, the events and the
// frequency are safe to use from any thread.

#ifndef CORVANE_SERVICE_SERVER_CONTEXT_H_
#define CORVANE_SERVICE_SERVER_CONTEXT_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "intake/processing_stats.h"
#include "platform/sync.h"
#include "service/config.h"

namespace corvane::intake {
class ErrorDirectoryLimit;
}  // namespace corvane::intake

namespace corvane::service {

struct StorageDirectories {
  std::string root;            // "<program directory>/cvscan"
  std::string error_scan;      // root + "/ErrorScan"
  std::string error_big_scan;  // root + "/ErrorBigScan"
  std::string error_trans;     // root + "/ErrorTrans"
  std::string storage;         // root + "/Storage" (used only with "Store Scans")
};

struct ServerContext {
  Configuration configuration;
  const Settings& settings() const { return configuration.settings; }

  // Every worker loop runs while this is set; server stop clears it.
  std::atomic<bool> running{true};
  // Written by the processing thread, sent in every reply record.
  std::atomic<uint32_t> software_scan_frequency{0};

  platform::Event started{true, false};
  platform::Event database_online{true, false};
  platform::Event worker_stop{true, false};
  platform::Event maintenance_request{true, false};
  platform::Event maintenance_done{true, false};
  // Processing threads wait on it as well; nothing sets it.
  platform::Event spare{true, false};

  std::string program_directory;
  StorageDirectories storage;
  // The bound on the error directories' size, shared by every thread that
  // puts files there; made on first use by intake::ErrorDirectoryLimitOf.
  std::mutex error_directory_limit_mutex;
  std::shared_ptr<intake::ErrorDirectoryLimit> error_directory_limit;

  // Counts of the processing threads since start, so that a replacement
  // thread goes on from its predecessor's. Only the processing thread uses
  // them; one runs at a time.
  intake::ProcessingStats processing_stats;

  // Signals the service stop event: the whole service shuts down.
  std::function<void()> stop_service;

  bool is_running() const { return running.load(std::memory_order_relaxed); }
};

}  // namespace corvane::service

#endif  // CORVANE_SERVICE_SERVER_CONTEXT_H_
