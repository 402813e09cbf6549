// CVDiv32: the inventory server's program entry.

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "platform/signals.h"
#include "service/command_line.h"
#include "service/installer.h"
#include "service/service_main.h"

namespace {

using corvane::service::CommandKind;

// Stands in for the inventory server until its start and stop exist: the
// service lifecycle runs with no listeners and no workers behind it.
class LifecycleOnlyServer : public corvane::service::Server {
 public:
  bool Start(const std::string&, corvane::service::ServiceStatusReporter&) override { return true; }
  void ReportStartupSettings() override {}
  void Stop(corvane::service::ServiceStatusReporter&) override {}
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  corvane::service::Command command = corvane::service::ParseCommandLine(arguments);
  LifecycleOnlyServer server;

  try {
    switch (command.kind) {
      case CommandKind::kInstall:
        corvane::service::SetUpLanguageResources();
        corvane::service::InstallService(command.core, std::cout, nullptr);
        return 0;
      case CommandKind::kRemove:
        corvane::service::SetUpLanguageResources();
        corvane::service::RemoveService(std::cout);
        return 0;
      case CommandKind::kUnknownWord:
        corvane::service::SetUpLanguageResources();
        return 0;
      case CommandKind::kDebug: {
        corvane::service::SetUpLanguageResources();
        corvane::platform::ControlSignals signals;
        corvane::service::RunInForeground(arguments, server, signals);
        return 0;
      }
      case CommandKind::kRunService: {
        corvane::platform::ControlSignals signals;
        return corvane::service::RunAsService(arguments, server, signals);
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "CVDiv32: %s\n", error.what());
    return 1;
  }
  return 0;
}
