#include "tasks/pxe_jobs.h"

#include <cstdio>
#include <exception>

#include "Common/Include/ascii_case.h"
#include "Common/Include/xtrace.h"
#include "db/error.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "scan/scan_text.h"
#include "tasks/custom_jobs.h"

namespace corvane::tasks {

bool IsPxeBootScan(std::string_view scan_text) {
  return EqualsIgnoringCase(scan::GetScanValue(scan_text, kPxeBootKey), "Yes");
}

bool IsHoldingQueueProxy(std::string_view scan_text) {
  return !scan::GetScanValue(scan_text, kProxyHostNameKey).empty() ||
         !scan::GetScanValue(scan_text, kProxyNicAddressKey).empty();
}

std::optional<int32_t> JobComponent::PendingJobForDevice(db::Connection& connection,
                                                         db::DbmsKind kind, int32_t computer_idn) {
  return TakePendingCustomJob(connection, kind, computer_idn);
}

JobComponentHolder::JobComponentHolder(TextLogSettings log) : log_(std::move(log)) {}

JobComponent* JobComponentHolder::Get(db::Connection& connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (created_) return component_.get();
  created_ = true;
  uint32_t code = 0;
  try {
    CheckCustomJobTable(connection);
    component_ = std::make_unique<JobComponent>();
  } catch (const db::DbError& error) {
    code = error.code();
    XTRACE("The custom job table cannot be used: %s", error.what());
  } catch (const std::exception& error) {
    code = db::kErrorFail;
    XTRACE("The job component cannot be created: %s", error.what());
  }
  if (component_ == nullptr) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%X", code);
    log_.Append(__FILE__, __LINE__,
                "Failed to create an instance of the DB pointer interface : " + std::string(text) +
                    " (" + platform::ProgramPath() + ")");
  }
  return component_.get();
}

JobComponentHolder& ProcessJobComponent(const TextLogSettings& log) {
  // Never destroyed: a processing thread may still ask while the process
  // exits.
  static JobComponentHolder* const holder = new JobComponentHolder(log);
  return *holder;
}

std::vector<std::string> CustomJobCommandLine(int32_t task_id, int32_t computer_idn) {
  return {platform::NativeProgramName(kJobRunner), "/TASKID=" + std::to_string(task_id),
          "/MACH=" + std::to_string(computer_idn)};
}

PxeJobLauncher::PxeJobLauncher(db::DeviceProcessor& device, JobComponentHolder& component,
                               ProgramStarter start)
    : device_(device), component_(component), start_(std::move(start)) {
  if (!start_) start_ = platform::StartProgramOnPath;
}

bool PxeJobLauncher::IsPxeBoot(std::string_view mini_scan_text) {
  return IsPxeBootScan(mini_scan_text);
}

bool PxeJobLauncher::InHoldingQueue(std::string_view mini_scan_text) {
  return IsHoldingQueueProxy(mini_scan_text);
}

void PxeJobLauncher::StartCustomJob(std::string_view /*mini_scan_text*/, int32_t computer_idn) {
  LaunchCustomJob(computer_idn);
}

void PxeJobLauncher::LaunchCustomJob(int32_t computer_idn) {
  if (computer_idn <= 0) return;
  db::Connection* connection = device_.connection();
  if (connection == nullptr) return;
  std::optional<int32_t> task;
  try {
    JobComponent* component = component_.Get(*connection);
    if (component == nullptr) return;
    task = component->PendingJobForDevice(*connection, device_.dbms_kind(), computer_idn);
  } catch (const std::exception& error) {
    XTRACE("No custom job for device %d: the job component failed: %s", computer_idn, error.what());
    return;
  }
  if (!task) return;
  const std::vector<std::string> command = CustomJobCommandLine(*task, computer_idn);
  bool started = false;
  try {
    started = start_(command);
  } catch (const std::exception&) {
  }
  if (!started) {
    XTRACE("Failed to start the custom job runner \"%s %s %s\"", command[0].c_str(),
           command[1].c_str(), command[2].c_str());
  }
}

}  // namespace corvane::tasks
