// What the inventory database holds, read for people and scripts: the
// devices, one device's components, its change history, and the software
// across devices. The schema definition names the tables and labels their
// columns with the scan's attribute names, so every component table is
// shown without a query written for it.
//
// Each function runs its queries on the connection given (any supported
// DBMS) and throws db::DbError when the database fails. Search texts match
// anywhere, ignoring case, and are written into the SQL as quoted literals
// with LIKE's wildcards escaped. Not thread-safe beyond the connection's own
// rules.

#ifndef CORVANE_TOOLS_CVADMIN_INVENTORY_VIEW_H_
#define CORVANE_TOOLS_CVADMIN_INVENTORY_VIEW_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/dbms.h"
#include "tools/cvadmin/tabular.h"

namespace corvane::cvadmin {

// The devices whose ID, name, host name, address or OS holds `search`
// (every device when it is empty), by name: Computer_Idn, Device ID, Name,
// Host, Address, OS, Last scan, Inventory server.
Tabular ListDevices(db::Connection& connection, std::string_view search);

// The Computer_Idn of every device named `name`: a Computer_Idn (all
// digits), a device ID, or a device or host name (ignoring case).
std::vector<int32_t> FindDevices(db::Connection& connection, std::string_view name);

// One component table's rows of a device, labelled by attribute.
struct ComponentRows {
  std::string table;
  std::string description;
  Tabular rows;
};

// Every component table that holds rows of the device, in the schema's
// order, Computer first. Software files come with their catalogue entry
// (file name, size, title, version, vendor); binary values (configuration
// files, the BIOS text) show as their size.
std::vector<ComponentRows> DeviceComponents(db::Connection& connection, int32_t computer_idn);

// The device's recorded changes, newest first, at most `limit` (0: all),
// from `since` on when given: Date, Attribute, Instance, Old, New.
Tabular DeviceHistory(db::Connection& connection, db::DbmsKind kind, int32_t computer_idn,
                      std::optional<int64_t> since, size_t limit);

// Package name and version with the number of devices that have them,
// names holding `search` (all when empty): Name, Version, Devices.
Tabular ListSoftware(db::Connection& connection, std::string_view search);

// "2026-12-09" or "2026-12-09 08:30[:00]" (UTC) as seconds since 1970.
std::optional<int64_t> ParseDate(std::string_view text);

}  // namespace corvane::cvadmin

#endif  // CORVANE_TOOLS_CVADMIN_INVENTORY_VIEW_H_
