// The service status record and its reports to the service manager, and the
// control handler that turns manager requests into reports.
//
// Every report goes through the status channel; when the channel refuses it
// (or there is none, as in the foreground run), the service stop event is
// signalled so the service shuts down instead of running without status.
// Thread-safe: the control handler and the service main routine share it.

#ifndef CORVANE_SERVICE_SERVICE_STATUS_H_
#define CORVANE_SERVICE_SERVICE_STATUS_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/servicectl.h"
#include "platform/sync.h"

namespace corvane::service {

inline constexpr uint32_t kAcceptStop = 0x1;
inline constexpr uint32_t kAcceptPauseContinue = 0x2;
inline constexpr uint32_t kWin32GeneralFailure = 31;

enum class ServiceControl : uint32_t { kStop = 1, kPause = 2, kContinue = 3, kInterrogate = 4 };

class ServiceStatusReporter {
 public:
  // `channel` may be null: then every report fails.
  explicit ServiceStatusReporter(std::unique_ptr<platform::ServiceStatusChannel> channel);

  bool has_channel() const { return channel_ != nullptr; }

  // The event signalled when a report fails; null for none. Not owned.
  void SetStopEvent(platform::Event* stop_event);
  void SignalStop();

  bool ReportStartPending(uint32_t wait_hint_ms);
  bool ReportStopPending(uint32_t wait_hint_ms);
  // The general report: accepts no controls while start pending, else stop,
  // pause and continue.
  bool Report(platform::ServiceState state, uint32_t exit_code = 0, uint32_t checkpoint = 0,
              uint32_t wait_hint_ms = 0);
  // Reports stopped with the general-failure exit code, accepting controls.
  bool ReportFailedStop();

  void HandleControl(ServiceControl control);

  platform::ServiceStatus current() const;
  // The exit code of the first stopped report, which the manager keeps.
  std::optional<uint32_t> final_exit_code() const;

 private:
  bool Send(const platform::ServiceStatus& status);

  std::unique_ptr<platform::ServiceStatusChannel> channel_;
  mutable std::mutex mutex_;
  platform::ServiceStatus status_;
  uint32_t checkpoint_counter_ = 0;
  platform::Event* stop_event_ = nullptr;
  std::optional<uint32_t> final_exit_code_;
};

}  // namespace corvane::service

#endif  // CORVANE_SERVICE_SERVICE_STATUS_H_
