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

#include "corvane/version.h"

namespace {

using corvane::service::CommandKind;

constexpr char kUsage[] =
    "usage: CVDiv32             run as the service (under systemd)\n"
    "       CVDiv32 -debug      run in the foreground; Enter or Ctrl-C stops it, and\n"
    "                           every event is also written to standard error\n"
    "       CVDiv32 -install [core]\n"
    "                           write and enable the systemd unit (core: after the\n"
    "                           alert originator service)\n"
    "       CVDiv32 -remove     stop the service, disable and delete its unit\n"
    "       CVDiv32 --version   the program's version\n"
    "\n"
    "The Corvane Inventory Server. Its settings live in the registry under\n"
    "$CORVANE_ROOT (default /var/lib/corvane); cvadmin shows and changes them.\n";

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
        return corvane::service::InstallService(
                   command.core, std::cout,
                   [] {
                     corvane::service::Configuration configuration;
                     corvane::service::LoadConfiguration(configuration);
                   })
                   ? 0
                   : 1;
      case CommandKind::kRemove:
        corvane::service::SetUpLanguageResources();
        return corvane::service::RemoveService(std::cout) ? 0 : 1;
      case CommandKind::kHelp:
        std::cout << kUsage;
        return 0;
      case CommandKind::kVersion:
        std::cout << "CVDiv32 (Corvane Inventory Server) " << CORVANE_VERSION << "\n";
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
