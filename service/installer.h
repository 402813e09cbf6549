// Installing and removing the service with the service manager.
//
// Both print their progress and failures to `out` in the console texts and
// return normally: the program exits with 0 either way. Not thread-safe
// (command-line use only).

#ifndef CORVANE_SERVICE_INSTALLER_H_
#define CORVANE_SERVICE_INSTALLER_H_

#include <cstdint>
#include <functional>
#include <ostream>

namespace corvane::service {

inline constexpr char kServiceName[] = "Corvane Inventory Server";
inline constexpr char kDispatchName[] = "CVInventory Server";
inline constexpr char kAlertOriginatorService[] = "Arvex Alert Originator";

// Creates the service (with the alert originator dependency when `core`),
// then runs `after_install` (the configuration load that writes missing
// settings) and prints the "installed" text.
void InstallService(bool core, std::ostream& out, const std::function<void()>& after_install);

// Stops the service when it runs, polling its state every `poll_ms`, and
// deletes it.
void RemoveService(std::ostream& out, uint32_t poll_ms = 1000);

}  // namespace corvane::service

#endif  // CORVANE_SERVICE_INSTALLER_H_
