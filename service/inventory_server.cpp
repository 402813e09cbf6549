#include "service/inventory_server.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <system_error>

#include "Common/Include/xtrace.h"
#include "diag/catalogue.h"
#include "intake/datagram_intake.h"
#include "intake/storage.h"
#include "intake/tcp_receiver.h"
#include "notifex/notifex.h"
#include "platform/error.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "tasks/clock.h"
#include "tasks/timer_thread.h"

namespace corvane::service {
namespace {

[[noreturn]] void ExitOutOfMemory() {
  ReportAnEvent(diag::kApplicationName, diag::kMsgOutOfMemory, diag::kKindError, nullptr);
  std::_Exit(1);
}

// A server given no processing body (tests of the server frame) keeps its
// processing thread idle until the stop; CVDiv32 gives it the scan loop.
void WaitForStop(ServerContext& context) { context.worker_stop.Wait(platform::kInfinite); }

}  // namespace

InventoryServer::InventoryServer(ServerOptions options) : options_(std::move(options)) {
  if (options_.program_directory.empty()) options_.program_directory = platform::DataDirectory();
  if (!options_.processing_body) options_.processing_body = WaitForStop;
  if (!options_.clock) options_.clock = std::make_shared<tasks::SystemClock>();
}

InventoryServer::~InventoryServer() {
  // The watchdog ends within one wait once the running flag is clear.
  if (watchdog_) watchdog_->Join(platform::kInfinite);
}

std::shared_ptr<platform::Thread> InventoryServer::CreateThreadOrExit(std::function<void()> body) {
  try {
    return std::make_shared<platform::Thread>(std::move(body));
  } catch (const std::system_error&) {
    ExitOutOfMemory();
  }
}

bool InventoryServer::Start(const std::string& /*arguments*/, ServiceStatusReporter& status) {
  xtrace::InitForModule(platform::JoinPath(options_.program_directory, "CVDiv32"), "CVDiv32");
  XTRACE("Inventory server starting");
  platform::StartProgram(
      {platform::JoinPath(options_.program_directory, platform::NativeProgramName("marker.exe"))});

  try {
    context_ = std::make_unique<ServerContext>();
  } catch (const platform::OsError& error) {
    XTRACE("Cannot create the shared events: %s", error.what());
    return false;
  }
  ServerContext& context = *context_;
  context.program_directory = options_.program_directory;
  context.stop_service = [this, &status] {
    stopped_itself_ = true;
    status.SignalStop();
  };
  LoadConfiguration(context.configuration);
  context.software_scan_frequency = context.configuration.software_scan_frequency;
  const Settings& settings = context.settings();
  if (settings.max_thread_priority != 0) platform::RaiseProcessPriority();
  diag::RegisterServerAlertTypes();
  // The datagram intake owns the packet assembly list and the two queues.
  intake::DatagramIntakeOptions datagram_options;
  datagram_options.clock = [clock = options_.clock] { return clock->SteadySeconds(); };
  datagram_intake_ = std::make_unique<intake::DatagramIntake>(context, datagram_options);

  // The arguments are split at blanks, and no token means anything.
  std::shared_ptr<platform::Thread> bring_up = CreateThreadOrExit([this] { BringUpListeners(); });
  status.ReportStartPending(20000);
  bring_up->Join(platform::kInfinite);
  status.ReportStartPending(90000);

  intake::SetUpStorageDirectories(context);
  datagram_intake_->StartScanWriter();
  if (settings.do_db != 0) StartProcessingThread();
  timer_thread_ = CreateThreadOrExit([this] { RunTimer(); });
  if (settings.do_db != 0) watchdog_ = CreateThreadOrExit([this] { Watchdog(); });
  datagram_intake_->StartRequestReply();
  status.ReportStartPending(20000);

  bool no_listener = listener_failed_[kNetBios] && listener_failed_[kIpx] &&
                     listener_failed_[kUdp] && listener_failed_[kTcp];
  if (no_listener || !context.is_running()) {
    XTRACE("No listener is running: the server does not start");
    start_failed_ = true;
    Stop(status);
    return false;
  }
  start_failed_ = false;
  context.started.Set();
  return true;
}

void InventoryServer::BringUpListeners() {
  // NetBIOS intake is never run.
  listener_failed_[kNetBios] = true;
  if (!datagram_intake_->SetUpIpx()) {
    datagram_intake_->CloseIpx();
    listener_failed_[kIpx] = true;
  }
  if (!datagram_intake_->SetUpUdp()) {
    datagram_intake_->CloseUdp();
    listener_failed_[kUdp] = true;
  }
  tcp_receiver_ = std::make_unique<intake::TcpReceiver>(*context_);
  if (!tcp_receiver_->SetUp()) {
    tcp_receiver_->Close();
    listener_failed_[kTcp] = true;
  }
}

void InventoryServer::StartProcessingThread() {
  bool raise = context_->settings().max_thread_priority != 0;
  ServerContext* context = context_.get();
  ProcessingBody body = options_.processing_body;
  std::shared_ptr<platform::Thread> thread = CreateThreadOrExit([context, body, raise] {
    if (raise) platform::RaiseThreadPriority();
    body(*context);
  });
  std::lock_guard<std::mutex> lock(processing_mutex_);
  processing_thread_ = std::move(thread);
}

void InventoryServer::Watchdog() {
  ServerContext& context = *context_;
  // Replacements are paced like the processing thread's own reconnection,
  // so a database that stays away uses up the tries over minutes rather
  // than in a burst; a thread that ran for a while starts the pause again.
  uint32_t pause_ms = kFirstRestartPauseMs;
  auto started = std::chrono::steady_clock::now();
  while (context.is_running()) {
    std::shared_ptr<platform::Thread> watched;
    {
      std::lock_guard<std::mutex> lock(processing_mutex_);
      watched = processing_thread_;
    }
    if (!watched->Join(kThreadStopWaitMs)) continue;
    if (!context.is_running()) break;
    if (std::chrono::steady_clock::now() - started >=
        std::chrono::milliseconds(kLongestRestartPauseMs)) {
      pause_ms = kFirstRestartPauseMs;
    }
    if (watchdog_restarts_ < context.settings().db_error_recovery_tries) {
      XTRACE("Processing thread ended; starting another in %u ms", pause_ms);
      if (context.worker_stop.Wait(pause_ms) || !context.is_running()) break;
      pause_ms = std::min(pause_ms * 2, kLongestRestartPauseMs);
      ++watchdog_restarts_;
      started = std::chrono::steady_clock::now();
      StartProcessingThread();
    } else {
      XTRACE("Processing thread ended too often; stopping the service");
      context.stop_service();
      break;
    }
  }
}

void InventoryServer::RunTimer() {
  tasks::TimerEnvironment environment;
  environment.context = context_.get();
  environment.clock = options_.clock.get();
  environment.drop_stale_datagram_scans = [intake = datagram_intake_.get()](uint32_t age) {
    return intake->DropStaleScans(age);
  };
  environment.reset_watchdog_restarts = [this] { ResetWatchdogRestarts(); };
  tasks::TimerThread timer(std::move(environment));
  timer.Run();
}

void InventoryServer::ReportStartupSettings() {
  const Settings& settings = context_->settings();
  if (settings.do_self_scan != 0) {
    ReportAnEventEx(diag::kApplicationName, "Loaded, scanning", diag::kServerSinks,
                    diag::kMsgLoadedScanning, diag::kKindInformation, "%d %d %d",
                    static_cast<int>(settings.self_scan_at), static_cast<int>(settings.clean_at),
                    0);
  } else {
    ReportAnEventEx(diag::kApplicationName, "Loaded, not scanning", diag::kServerSinks,
                    diag::kMsgLoadedNotScanning, diag::kKindInformation, "%d %d",
                    static_cast<int>(settings.clean_at), 0);
  }
}

void InventoryServer::Stop(ServiceStatusReporter& status) {
  XTRACE("Inventory server stopping");
  status.ReportStopPending(3000);
  if (context_) {
    ServerContext& context = *context_;
    context.running = false;
    context.started.Set();
    context.database_online.Set();
    context.worker_stop.Set();
    status.ReportStopPending(3000);
    if (datagram_intake_) datagram_intake_->ReleaseWaiters();
    status.ReportStopPending(10000);
    if (datagram_intake_ && !datagram_intake_->JoinScanWriter(kThreadStopWaitMs)) {
      XTRACE("The datagram-scan writer did not end in time");
    }
    status.ReportStopPending(10000);
    if (context.settings().do_db != 0) {
      std::shared_ptr<platform::Thread> processing;
      {
        std::lock_guard<std::mutex> lock(processing_mutex_);
        processing = processing_thread_;
      }
      if (processing && !processing->Join(kThreadStopWaitMs)) {
        XTRACE("The processing thread did not end in time");
      }
    }
    status.ReportStopPending(3000);
    if (datagram_intake_ && !datagram_intake_->JoinRequestReply(kThreadStopWaitMs)) {
      XTRACE("The request reply thread did not end in time");
    }
    status.ReportStopPending(3000);
    if (timer_thread_ && !timer_thread_->Join(kThreadStopWaitMs)) {
      XTRACE("The timer thread did not end in time");
    }
    status.ReportStopPending(3000);
    if (datagram_intake_ && !listener_failed_[kIpx]) datagram_intake_->CloseIpx();
    status.ReportStopPending(3000);  // NetBIOS never runs
    status.ReportStopPending(3000);
    if (datagram_intake_) {
      datagram_intake_->EmptyQueues();
      // As for TCP below: no new datagram scan starts once the server stops.
      datagram_intake_->CloseUdp();
    }
    // Closing the listener ends the accept thread now rather than at the
    // process's end; connections in progress finish on their own.
    if (tcp_receiver_) tcp_receiver_->Close();
  }
  if (!start_failed_) {
    ReportAnEventEx(diag::kApplicationName, "Inventory Server Unloaded", diag::kServerSinks,
                    diag::kMsgServerUnloaded, diag::kKindInformation, nullptr);
  }
  xtrace::Shutdown();
}

}  // namespace corvane::service
