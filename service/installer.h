// Installing and removing the service with the service manager.
//
// Both print their progress and failures to `out` in the console texts and
// answer whether they did all they were asked, which the program's exit
// status tells. Not thread-safe (command-line use only).

#ifndef CORVANE_SERVICE_INSTALLER_H_
#define CORVANE_SERVICE_INSTALLER_H_

#include <cstdint>
#include <functional>
#include <ostream>

namespace corvane::service {

inline constexpr char kServiceName[] = "Corvane Inventory Server";
inline constexpr char kDispatchName[] = "CVInventory Server";
inline constexpr char kAlertOriginatorService[] = "Arvex Alert Originator";
// The system account the service runs as, where it exists.
inline constexpr char kServiceAccount[] = "corvane";

// Creates the service (with the alert originator dependency when `core`),
// then runs `after_install` (the configuration load that writes missing
// settings) and prints the "installed" text. False when the unit could not
// be written or enabled.
bool InstallService(bool core, std::ostream& out, const std::function<void()>& after_install);

// Stops the service when it runs, polling its state every `poll_ms`, and
// deletes it. False when it is not installed, did not stop, or could not be
// deleted (a service that did not stop is deleted all the same).
bool RemoveService(std::ostream& out, uint32_t poll_ms = 1000);

}  // namespace corvane::service

#endif  // CORVANE_SERVICE_INSTALLER_H_
