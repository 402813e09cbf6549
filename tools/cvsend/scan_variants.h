// The scans of a load run, made from one template scan: each device gets
// its own identity, and the scenarios change package versions or build a
// delta scan on top of the stored full scan.
//
// Everything here is pure text work (no files, no sockets), thread-safe,
// and deterministic: the same seed and device number give the same scan,
// so a later run re-scans the devices an earlier run created. Texts keep
// the template's line ends.

#ifndef CORVANE_TOOLS_CVSEND_SCAN_VARIANTS_H_
#define CORVANE_TOOLS_CVSEND_SCAN_VARIANTS_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::cvsend {

struct DeviceIdentity {
  std::string device_id;    // "{BE0C<seed>-0000-4000-8000-<number>}"
  std::string name;         // device name and host name alike
  std::string nic_address;  // 12 hex digits, locally administered
};

// The identity of device `number` of the series `seed` (its low 16 bits).
DeviceIdentity IdentityFor(uint32_t seed, uint32_t number);

// The MAC address of the `index`th adapter (1-based) of device `number`:
// distinct for every adapter, device and seed.
std::string AdapterMacFor(uint32_t seed, uint32_t number, int index);

// `scan` with the device's identity: the "Device ID", "Device Name", host
// name and NIC address lines, and every adapter's MAC address. An adapter
// whose MAC address is the template's NIC address gets the new NIC address,
// so that the two stay the same adapter.
std::string PersonaliseScan(std::string_view scan, uint32_t seed, uint32_t number);

// `scan` without its file section: every "Software - File - " line and the
// abbreviated lines that continue it.
std::string DropFileSection(std::string_view scan);

// The number of packages ("Software - Package - (Name:...) - Version =").
int CountPackages(std::string_view scan);

// `scan` with the versions of `count` packages, spread evenly over the
// package list, followed by `suffix`.
std::string ChangePackageVersions(std::string_view scan, int count, std::string_view suffix);

// A delta scan to `full_scan` as the database holds it: its identity lines,
// "Last Sync Date" equal to its "Last Hardware Scan date" (which it keeps),
// and in the software section the version lines of the same `count`
// packages as ChangePackageVersions, followed by `suffix`; an empty
// deleted section makes it a delta, so nothing else is purged.
std::string BuildDeltaScan(std::string_view full_scan, int count, std::string_view suffix);

// The trimmed value of the first line that starts with `key` (which ends in
// " ="), up to the software section; empty when there is none.
std::string ScanValue(std::string_view scan, std::string_view key);

}  // namespace corvane::cvsend

#endif  // CORVANE_TOOLS_CVSEND_SCAN_VARIANTS_H_
