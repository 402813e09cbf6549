// Control requests that reach the process from outside: the service
// manager's stop (SIGTERM), an operator's interrupt (SIGINT), and pause and
// continue (SIGUSR1, SIGUSR2), which the service manager has no verbs for.
//
// Construct ControlSignals on the main thread before any other thread starts:
// it blocks those signals for the process so that they queue on its
// descriptor instead of killing the process. Only one instance may exist.

#ifndef CORVANE_PLATFORM_SIGNALS_H_
#define CORVANE_PLATFORM_SIGNALS_H_

#include <optional>

#include "platform/sync.h"

namespace corvane::platform {

enum class ControlRequest { kStop, kInterrupt, kPause, kContinue, kInterrogate };

class ControlSignals : public Waitable {
 public:
  ControlSignals();  // throws OsError
  ~ControlSignals() override;
  ControlSignals(const ControlSignals&) = delete;
  ControlSignals& operator=(const ControlSignals&) = delete;

  // The next queued request, or nullopt when none is queued.
  std::optional<ControlRequest> Next();

  int descriptor() const override { return fd_; }
  // Signals are taken with Next(); being readable is all a wait needs.
  bool TryAcquire() override { return true; }

 private:
  int fd_;
};

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_SIGNALS_H_
