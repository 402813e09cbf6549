// Network-boot custom jobs: after a mini scan has been stored, a device that
// booted over the network (and is not a holding-queue proxy) has its
// pending custom job started by the job runner "Lemmick".
//
// The job component answers "the pending job of a device" from the
// inventory database's custom-job table (tasks/custom_jobs.h), on the
// asking processing thread's own connection. One component serves the
// process: created on the first question (creation checks that the table can
// be used), never again; when creation fails, the server's text log
// (tasks/server_log.h) gets one line, and every question answers "no job".
//
// Errors: nothing here raises. A failing question reads as "no job" and a
// runner that cannot be started is only traced, so scan processing always
// goes on. Thread safety: the scan tests are pure; a JobComponentHolder is
// shared by all processing threads and creates the component under its
// lock; a PxeJobLauncher belongs to its processing thread.

#ifndef CORVANE_TASKS_PXE_JOBS_H_
#define CORVANE_TASKS_PXE_JOBS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/device_processor.h"
#include "store/scan_processor.h"
#include "tasks/server_log.h"

namespace corvane::tasks {

inline constexpr char kPxeBootKey[] = "Network - Pxeboot =";
inline constexpr char kProxyHostNameKey[] =
    "Corvane Management - PXE Holding Queue - Proxy Host Name =";
inline constexpr char kProxyNicAddressKey[] =
    "Corvane Management - PXE Holding Queue - Proxy NIC Address =";
inline constexpr char kJobRunner[] = "Lemmick.exe";

// The scan's "Network - Pxeboot =" value is "Yes", ignoring case.
bool IsPxeBootScan(std::string_view scan_text);
// The scan names a PXE holding-queue proxy host, or else a proxy NIC address.
bool IsHoldingQueueProxy(std::string_view scan_text);

// The job component: hands out each pending job once.
class JobComponent {
 public:
  // The task number of the device's pending job, now handed out; nullopt
  // when it has none. Raises db::DbError.
  std::optional<int32_t> PendingJobForDevice(db::Connection& connection, db::DbmsKind kind,
                                             int32_t computer_idn);
};

class JobComponentHolder {
 public:
  // `log`: where a failed creation is written.
  explicit JobComponentHolder(TextLogSettings log);

  // The component, created on the first call over `connection`; nullptr
  // when that creation failed, on this and every later call.
  JobComponent* Get(db::Connection& connection);

 private:
  std::mutex mutex_;
  bool created_ = false;
  std::unique_ptr<JobComponent> component_;
  TextLog log_;
};

// The process's one holder; the settings of the first call stand.
JobComponentHolder& ProcessJobComponent(const TextLogSettings& log);

// The runner's command line for a task and a device: "Lemmick.exe
// /TASKID=<task> /MACH=<computer_idn>", its program named natively.
std::vector<std::string> CustomJobCommandLine(int32_t task_id, int32_t computer_idn);

// Starts a program without waiting; false when it could not be started.
using ProgramStarter = std::function<bool(const std::vector<std::string>&)>;

// The follow-up of an applied mini scan on one processing thread. Borrows
// the thread's device processor and the holder, which must outlive it.
class PxeJobLauncher : public store::MiniScanFollowUp {
 public:
  // `start` defaults to a start with the program looked up on PATH.
  PxeJobLauncher(db::DeviceProcessor& device, JobComponentHolder& component,
                 ProgramStarter start = {});

  bool IsPxeBoot(std::string_view mini_scan_text) override;
  bool InHoldingQueue(std::string_view mini_scan_text) override;
  void StartCustomJob(std::string_view mini_scan_text, int32_t computer_idn) override;

  // Asks for the device's pending job and starts the runner for it; a
  // computer_idn below 1 asks nothing.
  void LaunchCustomJob(int32_t computer_idn);

 private:
  db::DeviceProcessor& device_;
  JobComponentHolder& component_;
  ProgramStarter start_;
};

}  // namespace corvane::tasks

#endif  // CORVANE_TASKS_PXE_JOBS_H_
