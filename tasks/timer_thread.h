// The timer thread: the server's scheduled tasks.
//
// Once the server has started, the thread runs a cycle at once and then
// every 300 s until the worker stop event: it drops incomplete datagram
// scans older than 300 s (event 2384 each), removes the files of the error
// directories older than "Max Error File Age" days (event 2395), runs the inventory scanner
// "rivozu32" from the "cvlogon" share on the server's own machine (in the
// first cycle whatever the settings say, then daily from "Self Scan At"
// when "Do Self Scan" is set), and once a day from "Clean At", while the
// database is online, asks the processing thread for the database
// maintenance and waits for it (event 2388, and the watchdog's restart
// count goes back to 0).
//
// A scanner's output becomes a ".scn" scan file only once the scanner has
// ended: one that runs past the 10-minute wait is looked at again in each
// later cycle, and one still running when the server stops leaves its
// temporary file behind, so a half-written scan is never applied.
//
// Every wait covers the worker stop event, so the thread ends promptly in
// any of them. All time comes from the Clock. Run is the thread body; the
// environment must outlive it.

#ifndef CORVANE_TASKS_TIMER_THREAD_H_
#define CORVANE_TASKS_TIMER_THREAD_H_

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/process.h"
#include "service/server_context.h"
#include "tasks/clock.h"

namespace corvane::tasks {

inline constexpr uint32_t kTimerPeriodMs = 300000;
// The age, in seconds, after which an incomplete datagram scan is dropped.
inline constexpr uint32_t kIncompleteScanAgeSeconds = 300;
inline constexpr int kShareLookupTries = 10;
inline constexpr uint32_t kShareRetryMs = 3000;
inline constexpr uint32_t kScannerWaitMs = 600000;
inline constexpr uint32_t kMaintenanceWaitMs = 86400000;
inline constexpr char kSelfScanShare[] = "cvlogon";
inline constexpr char kScannerProgram[] = "rivozu32.exe";

struct TimerEnvironment {
  service::ServerContext* context = nullptr;
  Clock* clock = nullptr;
  // Drops the incomplete datagram scans older than the age given and
  // returns their senders' names. Empty: the server has no datagram intake.
  std::function<std::vector<std::string>(uint32_t max_age_seconds)> drop_stale_datagram_scans;
  // Sets the watchdog's restart count back to 0.
  std::function<void()> reset_watchdog_restarts;
};

// The scanner's command line: the program path and its arguments, and the
// same as one text for the trace log.
struct ScannerCommand {
  std::string program;
  std::vector<std::string> argv;
  std::string text;
};
ScannerCommand BuildScannerCommand(const std::string& share_path, const std::string& output_file);

class TimerThread {
 public:
  explicit TimerThread(TimerEnvironment environment);
  ~TimerThread();
  TimerThread(const TimerThread&) = delete;
  TimerThread& operator=(const TimerThread&) = delete;

  void Run();

 private:
  enum class Next { kGoOn, kStop };

  Next Cycle();
  void DropStaleDatagramScans();
  // "Max Error File Age": in every cycle, so a file goes within one period
  // of its age.
  void RemoveOldErrorFiles();
  Next SelfScan(int hour);
  Next FinishSelfScan(uint32_t wait_ms);
  Next Maintenance();
  // Waits on the clock for `object` or the worker stop event.
  Next WaitFor(platform::Waitable* object, uint32_t timeout_ms, bool* signalled);

  TimerEnvironment environment_;
  service::ServerContext& context_;
  Clock& clock_;
  bool first_cycle_ = true;
  uint64_t last_assembly_check_ = 0;
  int last_day_ = -1;
  bool self_scan_due_ = true;
  bool maintenance_due_ = true;

  // A self scan whose scanner had not ended by the end of its wait.
  struct RunningScan {
    std::unique_ptr<platform::Process> scanner;
    std::string temporary_file;
    int hour = 0;
  };
  std::unique_ptr<RunningScan> running_scan_;
};

}  // namespace corvane::tasks

#endif  // CORVANE_TASKS_TIMER_THREAD_H_
