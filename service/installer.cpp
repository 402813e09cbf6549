#include "service/installer.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/error.h"
#include "platform/paths.h"
#include "platform/servicectl.h"
#include "service/console.h"

namespace corvane::service {

using platform::OsError;
using platform::ServiceManager;
using platform::ServiceState;

namespace {

// The service manager, or null after printing why it cannot be opened.
std::unique_ptr<ServiceManager> OpenManager(std::ostream& out) {
  try {
    return ServiceManager::Open();
  } catch (const OsError& error) {
    out << ConsoleText(kOpenManagerFailed, ErrorTextFor(error.error_number())) << std::flush;
    return nullptr;
  }
}

}  // namespace

bool InstallService(bool core, std::ostream& out, const std::function<void()>& after_install) {
  platform::ServiceDefinition definition;
  definition.name = kServiceName;
  definition.program = platform::ProgramPath();
  if (definition.program.size() > 512 || definition.program.empty()) {
    out << ConsoleText(kUnableToInstall, ErrorTextFor(ENAMETOOLONG)) << std::flush;
    return false;
  }
  if (core) definition.dependencies.push_back(kAlertOriginatorService);
  definition.user = kServiceAccount;
  // What the server keeps beside its program (the storage directory, the
  // trace log) must stay writable; a program installed under /usr keeps it
  // in the runtime root instead, since nothing may write under /usr.
  const std::string directory = definition.program.substr(0, definition.program.rfind('/'));
  if (directory.starts_with("/usr/")) {
    definition.data_directory = platform::RuntimeRoot();
  } else {
    definition.writable_paths.push_back(directory);
  }
  definition.description = std::string(ConsoleText(kServiceDescription, ""));

  std::unique_ptr<ServiceManager> manager = OpenManager(out);
  if (!manager) return false;
  try {
    manager->Create(definition);
  } catch (const OsError& error) {
    out << ConsoleText(kCreateServiceFailed, ErrorTextFor(error.error_number())) << std::flush;
    return false;
  }
  if (after_install) after_install();
  out << ConsoleText(kInstalled, kServiceName) << std::flush;
  return true;
}

bool RemoveService(std::ostream& out, uint32_t poll_ms) {
  std::unique_ptr<ServiceManager> manager = OpenManager(out);
  if (!manager) return false;
  try {
    manager->CheckInstalled(kServiceName);
  } catch (const OsError& error) {
    out << ConsoleText(kOpenServiceFailed, ErrorTextFor(error.error_number())) << std::flush;
    return false;
  }

  bool stopped = true;
  if (manager->Stop(kServiceName)) {
    auto pause = [poll_ms] { std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms)); };
    out << ConsoleText(kStopping, kServiceName) << std::flush;
    pause();
    std::optional<ServiceState> state = manager->Query(kServiceName);
    while (state && *state == ServiceState::kStopPending) {
      out << "." << std::flush;
      pause();
      state = manager->Query(kServiceName);
    }
    stopped = state && *state == ServiceState::kStopped;
    out << ConsoleText(stopped ? kStopped : kFailedToStop, kServiceName) << std::flush;
  }

  try {
    manager->Delete(kServiceName);
    out << ConsoleText(kRemoved, kServiceName) << std::flush;
  } catch (const OsError& error) {
    out << ConsoleText(kDeleteServiceFailed, ErrorTextFor(error.error_number())) << std::flush;
    return false;
  }
  return stopped;
}

}  // namespace corvane::service
