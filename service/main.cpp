// CVDiv32: the inventory server's program entry.

#include <cstdio>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "intake/processing_loop.h"
#include "platform/signals.h"
#include "service/command_line.h"
#include "service/installer.h"
#include "service/inventory_server.h"
#include "service/service_main.h"

namespace {

using corvane::service::CommandKind;

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  corvane::service::Command command = corvane::service::ParseCommandLine(arguments);
  // "Do DB" = 0 starts no processing thread at all; the server decides.
  corvane::service::ServerOptions options;
  options.processing_body = corvane::intake::RunProcessingLoop;
  corvane::service::InventoryServer server(std::move(options));

  try {
    switch (command.kind) {
      case CommandKind::kInstall:
        corvane::service::SetUpLanguageResources();
        corvane::service::InstallService(command.core, std::cout, [] {
          corvane::service::Configuration configuration;
          corvane::service::LoadConfiguration(configuration);
        });
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
        return corvane::service::RunInForeground(arguments, server, signals);
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
