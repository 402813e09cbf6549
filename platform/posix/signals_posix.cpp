#include "platform/signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"

namespace corvane::platform {
namespace {

sigset_t ControlSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) {
    sigaddset(&set, signal_number);
  }
  return set;
}

}  // namespace

ControlSignals::ControlSignals() {
  sigset_t set = ControlSet();
  int error = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (error != 0) throw OsError("block control signals", error);
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) throw OsError("signalfd", errno);
}

ControlSignals::~ControlSignals() { close(fd_); }

std::optional<ControlRequest> ControlSignals::Next() {
  signalfd_siginfo info;
  for (;;) {
    ssize_t got = read(fd_, &info, sizeof info);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(sizeof info)) return std::nullopt;
    switch (info.ssi_signo) {
      case SIGTERM:
        return ControlRequest::kStop;
      case SIGINT:
        return ControlRequest::kInterrupt;
      case SIGUSR1:
        return ControlRequest::kPause;
      case SIGUSR2:
        return ControlRequest::kContinue;
      default:
        return ControlRequest::kInterrogate;
    }
  }
}

}  // namespace corvane::platform
