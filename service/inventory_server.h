// The inventory server: what the service host starts and stops.
//
// Start brings the server up in a fixed order inside the start-pending
// phase: trace log, the "marker" program, settings, alert types, shared
// events, the listeners (on their own bring-up thread), the storage
// directories and the worker threads; it fails when no listener runs. Stop
// takes it down in a fixed order with waits of at most 10 s per group of
// threads, so a stuck thread delays the stop but never blocks it. A thread
// that cannot be created ends the process with event 1 and exit code 1.
// Start, Stop and ReportStartupSettings run on the service main routine's
// thread.

#ifndef CORVANE_SERVICE_INVENTORY_SERVER_H_
#define CORVANE_SERVICE_INVENTORY_SERVER_H_

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "service/server.h"
#include "service/server_context.h"

namespace corvane::intake {
class DatagramIntake;
class TcpReceiver;
}  // namespace corvane::intake

namespace corvane::tasks {
class Clock;
}  // namespace corvane::tasks

namespace corvane::service {

// The work of one processing thread; it returns when the server stops or
// when it gives up (the watchdog then replaces it).
using ProcessingBody = std::function<void(ServerContext&)>;

struct ServerOptions {
  // Where the storage directory, the trace log, the text log and the
  // statistics go; empty: the data directory (platform/paths.h).
  std::string program_directory;
  ProcessingBody processing_body;  // empty: waits for the stop (no database work)
  // The scheduled tasks' time and the datagram intake's; empty: the
  // machine's clocks.
  std::shared_ptr<tasks::Clock> clock;
};

inline constexpr uint32_t kThreadStopWaitMs = 10000;
// The watchdog's pause before a replacement: 1 s, doubling up to a minute.
inline constexpr uint32_t kFirstRestartPauseMs = 1000;
inline constexpr uint32_t kLongestRestartPauseMs = 60000;

class InventoryServer : public Server {
 public:
  explicit InventoryServer(ServerOptions options = {});
  ~InventoryServer() override;

  bool Start(const std::string& arguments, ServiceStatusReporter& status) override;
  void ReportStartupSettings() override;
  void Stop(ServiceStatusReporter& status) override;
  bool StoppedItself() const override { return stopped_itself_; }

  // Processing threads the watchdog started since the last completed
  // database maintenance, which sets it back to 0.
  uint32_t watchdog_restarts() const { return watchdog_restarts_; }
  void ResetWatchdogRestarts() { watchdog_restarts_ = 0; }

  ServerContext* context() { return context_.get(); }
  bool tcp_listening() const { return !listener_failed_[kTcp]; }
  bool udp_listening() const { return !listener_failed_[kUdp]; }
  intake::DatagramIntake* datagram_intake() { return datagram_intake_.get(); }

 private:
  enum Listener { kNetBios, kIpx, kUdp, kTcp };

  void BringUpListeners();
  void StartProcessingThread();
  void Watchdog();
  void RunTimer();
  // Creates a thread or ends the process: the server cannot run without it.
  std::shared_ptr<platform::Thread> CreateThreadOrExit(std::function<void()> body);

  ServerOptions options_;
  std::unique_ptr<ServerContext> context_;
  std::unique_ptr<intake::DatagramIntake> datagram_intake_;
  std::unique_ptr<intake::TcpReceiver> tcp_receiver_;
  std::array<std::atomic<bool>, 4> listener_failed_{};
  bool start_failed_ = false;
  std::shared_ptr<platform::Thread> processing_thread_;
  std::mutex processing_mutex_;  // guards processing_thread_ between watchdog and stop
  std::shared_ptr<platform::Thread> watchdog_;
  std::shared_ptr<platform::Thread> timer_thread_;
  std::atomic<uint32_t> watchdog_restarts_{0};
  std::atomic<bool> stopped_itself_{false};
};

}  // namespace corvane::service

#endif  // CORVANE_SERVICE_INVENTORY_SERVER_H_
