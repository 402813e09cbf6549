// The service host: resource and event-source set-up, the service main
// routine under the service manager, and the foreground ("debug") run.
//
// Both runs report "Inventory Server not Loaded" (event 8) when set-up or
// server start fails. The service run's process exit code is the exit code
// of its final stopped report (0, or 31 after a failure).

#ifndef CORVANE_SERVICE_SERVICE_MAIN_H_
#define CORVANE_SERVICE_SERVICE_MAIN_H_

#include <string>
#include <vector>

#include "platform/signals.h"
#include "service/server.h"

namespace corvane::service {

inline constexpr char kResourcesMissingText[] =
    "CVINVRC.DLL not found.  Corvane Inventory Server cannot be loaded.";
inline constexpr char kForegroundBoxText[] =
    "Press this button to terminate the Inventory Service.";
inline constexpr char kForegroundBoxCaption[] = "Inventory Service";

// Steps shared by every command word: C locale from the environment and the
// language resources (which fall back to the program's own tables).
void SetUpLanguageResources();

// The full set-up of the service and foreground runs: language resources,
// then the event source registered with the program as its message file,
// message boxes off and the system event log on. False when no message
// module results.
bool SetUpResourcesAndEventSource();

// The service main routine. `arguments` are the manager's: the service name
// first. Returns when the service has stopped.
void ServiceMain(const std::vector<std::string>& arguments, Server& server,
                 ServiceStatusReporter& status);

// Runs as a service: without a service manager to report to, returns 0 at
// once; else runs ServiceMain on its own thread while this thread turns
// control signals into control requests. Returns the process exit code.
int RunAsService(const std::vector<std::string>& arguments, Server& server,
                 platform::ControlSignals& signals);

// The foreground run: starts the server, shows the stop box on the terminal
// and stops the server on Enter, SIGINT or SIGTERM, or when the server asks
// for its own stop, as the service would. `arguments` start with the debug
// switch. Returns the process exit code: 1 when the server stopped itself
// or could not start, else 0.
int RunInForeground(const std::vector<std::string>& arguments, Server& server,
                    platform::ControlSignals& signals);

}  // namespace corvane::service

#endif  // CORVANE_SERVICE_SERVICE_MAIN_H_
