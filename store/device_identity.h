// The pieces of per-device scan processing that stand on their own: finding
// a device's COMPUTER row, removing the unmanaged nodes a scanning device
// replaces, the two shared device-ID lists, and the small texts and names
// the processing builds.
//
// How a device is found (the matching rule):
// 1. By device ID: the COMPUTER rows whose DeviceId equals the scan's
//    device ID; the oldest (lowest Computer_Idn) when several do.
// 2. Otherwise by identity, for a device whose device ID changed (a
//    reinstalled agent) or that never sent one (a mini scan): the NIC address
//    must be known and equal NICAddress, and the host name or the device name
//    (each only when known) must equal HostName or DeviceName. Exactly one
//    such row is the device; none, or several (cloned machines that the
//    identity cannot tell apart), means an unknown device, so that no two
//    devices' data are ever merged on a guess.
// Values are compared as the writer stores them (SqlQuote: trimmed, exact
// case). A database failure raises db::DbError rather than reading as an
// unknown device, which would create a second row for a known one.
//
// The device-ID lists ("Force Full Scans", "Bad Device IDs") are kept in
// memory and in the registry together: every change of either list takes one
// process-wide lock around the in-memory change and the registry rewrite, so
// two threads never interleave their read-change-write of a list.
//
// The text builders are pure and thread-safe; the finders use the caller's
// connection (one thread at a time, as the connection).

#ifndef CORVANE_STORE_DEVICE_IDENTITY_H_
#define CORVANE_STORE_DEVICE_IDENTITY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "db/connection.h"
#include "db/dbms.h"
#include "service/config.h"

namespace corvane::store {

inline constexpr char kForceFullScansValue[] = "Force Full Scans";
inline constexpr char kBadDeviceIdsValue[] = "Bad Device IDs";

// The Computer_Idn of the device with `device_id`, or -1. Raises db::DbError.
int32_t FindComputerByDeviceId(db::Connection& connection, const std::string& device_id);

// The Computer_Idn of the one device with this identity (see above), or -1.
// Raises db::DbError.
int32_t FindComputerByIdentity(db::Connection& connection, const std::string& host_name,
                               const std::string& nic_address, const std::string& device_name);

// The statement that removes the unmanaged nodes matching a scanning device:
// by physical address, or by node name equal to the device name or the host
// name. Oracle reads '' as NULL, so there the "<> ''" tests are left out.
std::string UnmanagedNodesDeleteSql(db::DbmsKind kind, const std::string& nic_address,
                                    const std::string& device_name, const std::string& host_name);

// Adds `device_id` to `set` and appends it to the registry list `value_name`
// of the server key, when the ID is not empty and not yet in the set. True
// when it was added. A registry failure keeps the in-memory change (the
// running server still acts on it) and is described in `*error` (may be
// null).
bool AddListedDeviceId(service::DeviceIdSet& set, const char* value_name,
                       const std::string& device_id, std::string* error);

// Removes `device_id` from `set` and its first occurrence from the registry
// list, only when the set holds it. True when it was removed.
bool RemoveListedDeviceId(service::DeviceIdSet& set, const char* value_name,
                          const std::string& device_id, std::string* error);

// Elapsed time as the end event shows it: "%d:%02d", whole minutes and then
// seconds, after the milliseconds were cut to whole seconds (61900 -> "1:01").
std::string ElapsedText(int64_t milliseconds);

// The storage root of a scan file: its path up to and including the last
// "cvscan/"; empty when the path holds none.
std::string StorageRootOf(const std::string& path);

// A file name for the "GenerateSQL" copy of a device's statements, made from
// a name sent by the device: never empty, no "/", "\" or NUL, not "." or
// "..", at most kMaxSqlCopyNameLength bytes, so that the file stays inside
// the "dmsql" directory.
inline constexpr size_t kMaxSqlCopyNameLength = 200;
std::string SqlCopyFileName(std::string_view name);

}  // namespace corvane::store

#endif  // CORVANE_STORE_DEVICE_IDENTITY_H_
