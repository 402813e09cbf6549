#include "service/service_main.h"

#include <clocale>
#include <cstdlib>
#include <memory>

#include "diag/catalogue.h"
#include "notifex/notifex.h"
#include "platform/error.h"
#include "platform/paths.h"
#include "platform/syslog.h"
#include "platform/terminal.h"
#include "service/command_line.h"
#include "service/installer.h"

namespace corvane::service {
namespace {

using platform::ServiceState;

// The localisation library would load a language library here. This
// platform has none, so the program's own string and message tables serve;
// the message module is then the program file itself.
std::string LoadLanguageLibrary() { return {}; }

void ReportResourcesMissing() {
  ReportAnEvent(diag::kApplicationName, 0, diag::kKindError, "%s", kResourcesMissingText);
}

void ReportNotLoaded() {
  ReportAnEventEx(diag::kApplicationName, "Inventory Server not Loaded", diag::kServerSinks,
                  diag::kMsgServerNotLoaded, diag::kKindError, nullptr);
}

ServiceControl ControlFor(platform::ControlRequest request) {
  switch (request) {
    case platform::ControlRequest::kStop:
    case platform::ControlRequest::kInterrupt:
      return ServiceControl::kStop;
    case platform::ControlRequest::kPause:
      return ServiceControl::kPause;
    case platform::ControlRequest::kContinue:
      return ServiceControl::kContinue;
    case platform::ControlRequest::kInterrogate:
      break;
  }
  return ServiceControl::kInterrogate;
}

std::unique_ptr<platform::Event> CreateStopEvent() {
  try {
    return std::make_unique<platform::Event>(true, false);
  } catch (const platform::OsError&) {
    return nullptr;
  }
}

}  // namespace

void SetUpLanguageResources() {
  std::setlocale(LC_ALL, "");
  // A language library, when one exists, would provide the string table;
  // the message library ("DIV32.MRL") likewise. Both fall back to the program.
  LoadLanguageLibrary();
}

bool SetUpResourcesAndEventSource() {
  SetUpLanguageResources();
  std::string message_module = LoadLanguageLibrary();
  if (message_module.empty()) message_module = platform::ProgramPath();
  if (message_module.empty()) return false;
  RegisterEventApplicationEx(diag::kApplicationName, diag::kApplicationName,
                             message_module.c_str());
  EnableUI(0, nullptr, 1);
  EnableNTEventLog(1);
  return true;
}

void ServiceMain(const std::vector<std::string>& arguments, Server& server,
                 ServiceStatusReporter& status) {
  std::unique_ptr<platform::Event> stop_event;
  auto finish = [&] {
    status.SetStopEvent(nullptr);
    stop_event.reset();
    if (status.has_channel()) status.Report(ServiceState::kStopped);
  };
  auto fail = [&] {
    ReportNotLoaded();
    // A refused report signals the stop event by itself.
    if (status.has_channel()) status.ReportFailedStop();
    finish();
  };

  status.ReportStartPending(3000);
  if (!SetUpResourcesAndEventSource()) {
    ReportResourcesMissing();
    fail();
    return;
  }
  std::vector<std::string> after_name;
  if (arguments.size() > 1) after_name.assign(arguments.begin() + 1, arguments.end());
  std::string joined = JoinArguments(after_name);

  stop_event = CreateStopEvent();
  if (!stop_event) {
    fail();
    return;
  }
  status.SetStopEvent(stop_event.get());

  status.ReportStartPending(3000);
  if (!server.Start(joined, status)) {
    stop_event->Set();
    fail();
    return;
  }
  if (!status.Report(ServiceState::kRunning)) {
    fail();
    return;
  }
  server.ReportStartupSettings();
  stop_event->Wait(platform::kInfinite);
  server.Stop(status);
  finish();
}

int RunAsService(const std::vector<std::string>& arguments, Server& server,
                 platform::ControlSignals& signals) {
  auto channel = platform::ServiceStatusChannel::Connect();
  // Started from a console without a switch: there is no manager to serve.
  if (!channel) return 0;
  ServiceStatusReporter status(std::move(channel));

  std::vector<std::string> service_arguments = {kDispatchName};
  service_arguments.insert(service_arguments.end(), arguments.begin(), arguments.end());
  platform::Event main_done(true, false);
  platform::Thread main_routine([&] {
    ServiceMain(service_arguments, server, status);
    main_done.Set();
  });
  for (;;) {
    int index = platform::WaitForAny({&main_done, &signals}, platform::kInfinite);
    if (index == 0) break;
    while (std::optional<platform::ControlRequest> request = signals.Next()) {
      status.HandleControl(ControlFor(*request));
    }
  }
  main_routine.Join(platform::kInfinite);
  const int exit_code = static_cast<int>(status.final_exit_code().value_or(0));
  if (exit_code == 0 && server.StoppedItself()) return 1;
  return exit_code;
}

int RunInForeground(const std::vector<std::string>& arguments, Server& server,
                    platform::ControlSignals& signals) {
  // Before any thread starts: the events also go to the terminal.
  setenv(platform::kSyslogEchoVariable, "1", 1);
  if (!SetUpResourcesAndEventSource()) {
    ReportResourcesMissing();
    ReportNotLoaded();
    return 1;
  }
  std::string joined = JoinArguments(arguments);
  ServiceStatusReporter status(nullptr);
  std::unique_ptr<platform::Event> stop_event = CreateStopEvent();
  if (!stop_event) {
    ReportNotLoaded();
    return 1;
  }
  status.SetStopEvent(stop_event.get());
  if (!server.Start(joined, status)) {
    stop_event->Set();
    ReportNotLoaded();
    status.SetStopEvent(nullptr);
    return 1;
  }
  server.ReportStartupSettings();
  platform::ShowOnTerminal(kForegroundBoxCaption, kForegroundBoxText,
                           platform::MessageIcon::kInformation);
  // Pause and continue have no meaning here; only a stop or an interrupt
  // closes the box, as the button would, and the server's own stop.
  for (;;) {
    if (platform::WaitForEnterOr({&signals, stop_event.get()})) break;
    if (server.StoppedItself()) break;
    // Without a service manager every status report is refused, which
    // signals the stop event too; only the server's own stop counts here.
    stop_event->Reset();
    bool stop = false;
    while (std::optional<platform::ControlRequest> request = signals.Next()) {
      stop = stop || ControlFor(*request) == ServiceControl::kStop;
    }
    if (stop) break;
  }
  server.Stop(status);
  status.SetStopEvent(nullptr);
  return server.StoppedItself() ? 1 : 0;
}

}  // namespace corvane::service
