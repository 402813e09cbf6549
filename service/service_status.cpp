#include "service/service_status.h"

namespace corvane::service {

using platform::ServiceState;
using platform::ServiceStatus;

ServiceStatusReporter::ServiceStatusReporter(
    std::unique_ptr<platform::ServiceStatusChannel> channel)
    : channel_(std::move(channel)) {}

void ServiceStatusReporter::SetStopEvent(platform::Event* stop_event) {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_event_ = stop_event;
}

void ServiceStatusReporter::SignalStop() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stop_event_ != nullptr) stop_event_->Set();
}

bool ServiceStatusReporter::Send(const ServiceStatus& status) {
  {
    // Recorded before the manager can see it: a control sent in answer to
    // this report must find the state it answers (a pause right after
    // READY=1 found "start pending" and was taken for a continue).
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
  }
  bool delivered = channel_ != nullptr && channel_->Report(status);
  std::lock_guard<std::mutex> lock(mutex_);
  if (delivered && status.state == ServiceState::kStopped && !final_exit_code_) {
    final_exit_code_ = status.win32_exit_code;
  }
  if (!delivered && stop_event_ != nullptr) stop_event_->Set();
  return delivered;
}

bool ServiceStatusReporter::ReportStartPending(uint32_t wait_hint_ms) {
  ServiceStatus status;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status.checkpoint = ++checkpoint_counter_;
  }
  status.state = ServiceState::kStartPending;
  status.controls_accepted = 0;
  status.wait_hint_ms = wait_hint_ms;
  return Send(status);
}

bool ServiceStatusReporter::ReportStopPending(uint32_t wait_hint_ms) {
  ServiceStatus status;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status.checkpoint = ++checkpoint_counter_;
  }
  status.state = ServiceState::kStopPending;
  status.controls_accepted = kAcceptStop | kAcceptPauseContinue;
  status.wait_hint_ms = wait_hint_ms;
  return Send(status);
}

bool ServiceStatusReporter::Report(ServiceState state, uint32_t exit_code, uint32_t checkpoint,
                                   uint32_t wait_hint_ms) {
  ServiceStatus status;
  status.state = state;
  status.controls_accepted =
      state == ServiceState::kStartPending ? 0 : kAcceptStop | kAcceptPauseContinue;
  status.win32_exit_code = exit_code;
  status.checkpoint = checkpoint;
  status.wait_hint_ms = wait_hint_ms;
  return Send(status);
}

bool ServiceStatusReporter::ReportFailedStop() {
  return Report(ServiceState::kStopped, kWin32GeneralFailure);
}

void ServiceStatusReporter::HandleControl(ServiceControl control) {
  switch (control) {
    case ServiceControl::kStop: {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        checkpoint_counter_ = 0;
      }
      ReportStopPending(3000);
      SignalStop();
      return;
    }
    case ServiceControl::kPause: {
      ServiceState now = current().state;
      // Pausing only changes what is reported: the server keeps working.
      Report(now == ServiceState::kRunning ? ServiceState::kPaused : ServiceState::kRunning);
      return;
    }
    case ServiceControl::kContinue:
    case ServiceControl::kInterrogate:
      Report(ServiceState::kRunning);
      return;
  }
}

ServiceStatus ServiceStatusReporter::current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

std::optional<uint32_t> ServiceStatusReporter::final_exit_code() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return final_exit_code_;
}

}  // namespace corvane::service
