// Test helper: a service status channel that records every report, as the
// service manager would see them, and can be told to refuse them.

#ifndef CORVANE_TESTSUPPORT_RECORDING_CHANNEL_H_
#define CORVANE_TESTSUPPORT_RECORDING_CHANNEL_H_

#include <memory>
#include <mutex>
#include <vector>

#include "platform/servicectl.h"

namespace corvane::testing {

struct StatusLog {
  std::mutex mutex;
  std::vector<platform::ServiceStatus> reports;
  bool refuse = false;

  std::vector<platform::ServiceStatus> Reports() {
    std::lock_guard<std::mutex> lock(mutex);
    return reports;
  }
};

class RecordingChannel : public platform::ServiceStatusChannel {
 public:
  explicit RecordingChannel(std::shared_ptr<StatusLog> log) : log_(std::move(log)) {}
  bool Report(const platform::ServiceStatus& status) override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    if (log_->refuse) return false;
    log_->reports.push_back(status);
    return true;
  }

 private:
  std::shared_ptr<StatusLog> log_;
};

}  // namespace corvane::testing

#endif  // CORVANE_TESTSUPPORT_RECORDING_CHANNEL_H_
