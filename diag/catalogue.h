// The server's event catalogue: the application name it reports under, the
// message numbers, and its own message and string tables.
//
// The message table is carried inside the program file (see
// notifex/message_table.h), so the event library can format the server's
// events from the program's file name alone; the string table serves the
// console texts and the alert display names. Both are constant data: safe
// from any thread.

#ifndef CORVANE_DIAG_CATALOGUE_H_
#define CORVANE_DIAG_CATALOGUE_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace corvane::diag {

inline constexpr char kApplicationName[] = "Corvane Inventory Server";

// Sink flags and kinds the server reports with.
inline constexpr uint32_t kServerSinks = 6;  // system event log and Halo2
inline constexpr uint32_t kIpxSinks = 2;     // system event log only
inline constexpr uint32_t kKindError = 1;
inline constexpr uint32_t kKindWarning = 2;
inline constexpr uint32_t kKindInformation = 4;

enum MessageId : uint32_t {
  kMsgOutOfMemory = 1,
  kMsgFaultyPacket = 3,
  kMsgStartedProcessing = 4,
  kMsgDoneProcessing = 5,
  kMsgServerNotLoaded = 8,
  kMsgLoadedScanning = 9,
  kMsgLoadedNotScanning = 10,
  kMsgServerUnloaded = 11,
  kMsgSynchronizationFailed = 22,
  kMsgIpxBindFailed = 2050,
  kMsgIpxSocketNameFailed = 2051,
  kMsgIpxReceiveFailed = 2052,
  kMsgIpxInitFailed = 2053,
  kMsgUdpStartupFailed = 2054,
  kMsgUdpSocketFailed = 2055,
  kMsgUdpBindFailed = 2056,
  kMsgUdpReceiveFailed = 2058,
  kMsgTcpStartupFailed = 2060,
  kMsgTcpSocketFailed = 2061,
  kMsgTcpBindFailed = 2062,
  kMsgTcpListenFailed = 2065,
  kMsgTcpThreadFailed = 2066,
  kMsgTcpInitFailed = 2067,
  kMsgTcpInvalidScan = 2068,
  kMsgTcpReceiveError = 2069,
  kMsgLastPacketNotSent = 2384,
  kMsgNoCvlogonShare = 2385,
  kMsgScannerError = 2386,
  kMsgSelfScanPerformed = 2387,
  kMsgMaintenancePerformed = 2388,
  kMsgMaintenanceStarted = 2389,
  kMsgDuplicateDeviceId = 2390,
  kMsgDeviceOutOfSync = 2391,
  kMsgIdentityValueTooLong = 2392,
  kMsgErrorDirectoriesCleaned = 2393,
  kMsgSchemaTooNew = 2394,
  kMsgOldErrorFilesRemoved = 2395,
  kMsgComponentDeleted = 4097,
  kMsgAttributeModified = 4098,
  kMsgAttributeDeleted = 4099,
  kMsgDatabaseException = 4100,
  kMsgMetaschemaUnreadable = 4104,
  kMsgDatabaseOnline = 4107,
};

// The message text of `id` from the program's own table, with its final
// CR LF; nullopt for numbers the table does not hold.
std::optional<std::string_view> ProgramMessage(uint32_t id);

// The program's own string table; nullopt for unknown ids.
std::optional<std::string_view> ProgramString(uint32_t id);

// One alert type the server registers at start: its display name is string
// `string_id` of the string table.
struct AlertType {
  uint32_t string_id;
  const char* alert_name;
  uint32_t event_id;
  const char* insert_format;  // null: none
};

// The server's alert types, in registration order.
const std::vector<AlertType>& ServerAlertTypes();

// Registers every alert type with the event library.
void RegisterServerAlertTypes();

// Reports a network failure: no alert name, the server's sinks, and the
// network error number as the only insert.
void ReportNetworkEvent(uint32_t event_id, uint32_t kind, int error_number);

// Event 2384, alert "Last Packet not Sent", information: the datagram scan
// of `sender_name` was given up before its last packet came.
void ReportLastPacketNotSent(std::string_view sender_name);

// Event 4100, alert "Database Exception", an error with `text` as its insert.
void ReportDatabaseException(std::string_view text);
// Event 2394, an error: the database's schema is newer than the server's,
// which processes nothing; `text` names the versions.
void ReportSchemaTooNew(std::string_view text);
// Event 4104 (the metaschema cannot be read), an error with an empty insert.
void ReportMetaschemaUnreadable();

}  // namespace corvane::diag

#endif  // CORVANE_DIAG_CATALOGUE_H_
