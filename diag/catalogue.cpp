#include "diag/catalogue.h"

#include <map>
#include <string>

#include "notifex/message_table.h"
#include "notifex/notifex.h"

namespace corvane::diag {

// The message table. Every text ends in CR LF; "%n" is a hard line break.
// clang-format off
CORVANE_MESSAGE_TABLE(kServerMessages) = CORVANE_MESSAGE_TABLE_BEGIN
    CORVANE_MESSAGE(1, "Out of memory.\r\n")
    CORVANE_MESSAGE(3, "Invalid scan sent from remote machine.  Please make sure remote machines are using the latest scanners.\r\n")
    CORVANE_MESSAGE(4, "Started processing machine:%n\r\n"
                       "%n\r\n"
                       "Device ID: %1\r\n")
    CORVANE_MESSAGE(5, "Finished processing machine:%n\r\n"
                       "%n\r\n"
                       "Display Name: %1%n\r\n"
                       "Device ID: %2%n\r\n"
                       "Elapsed Time: %3\r\n")
    CORVANE_MESSAGE(8, "Corvane Inventory Server not loaded.\r\n")
    CORVANE_MESSAGE(9, "Corvane Inventory Server loaded successfully.%n\r\n"
                       "Current settings are:%n\r\n"
                       "%n\r\n"
                       "Server to scan self daily at %1.%n\r\n"
                       "Server to clean attribute history daily at %2.%n\r\n"
                       "Database reset: %3%n\r\n")
    CORVANE_MESSAGE(10, "Corvane Inventory Server loaded successfully.%n\r\n"
                        "Current settings are:%n\r\n"
                        "%n\r\n"
                        "Server self scanning disabled.%n\r\n"
                        "Server to clean attribute history daily at %1.%n\r\n"
                        "Database reset: %2%n\r\n")
    CORVANE_MESSAGE(11, "Corvane Inventory Server unloaded.\r\n")
    CORVANE_MESSAGE(22, "Unable to synchronize Production and RivuDare databases.  Run OSKELDA.EXE to synchronize completely.\r\n")
    CORVANE_MESSAGE(2050, "Winsock failed to bind to socket (error %1).  Inventory server cannot receive IPX packets.\r\n")
    CORVANE_MESSAGE(2051, "Winsock failed to get socket name (error %1).  Inventory server cannot receive IPX packets.\r\n")
    CORVANE_MESSAGE(2052, "Winsock failed to receive data (error %1).  Inventory server cannot receive IPX packets.\r\n")
    CORVANE_MESSAGE(2053, "Winsock failed to set initialize an IPX socket (error %1).  Inventory server cannot receive IPX packets.\r\n")
    CORVANE_MESSAGE(2054, "Winsock failed to initialize (error %1).  Inventory server cannot receive IP packets.\r\n")
    CORVANE_MESSAGE(2055, "Winsock failed to create a socket (error %1).  Inventory server cannot receive IP packets.\r\n")
    CORVANE_MESSAGE(2056, "Winsock failed to bind to socket (error %1).  Inventory server cannot receive IP packets.\r\n")
    CORVANE_MESSAGE(2058, "Winsock failed to receive data (error %1).  Inventory server cannot receive IP packets.\r\n")
    CORVANE_MESSAGE(2060, "Winsock failed to initialize (error %1).  Inventory server cannot receive TCPIP packets.\r\n")
    CORVANE_MESSAGE(2061, "Winsock failed to create a socket (error %1).  Inventory server cannot receive TCPIP packets.\r\n")
    CORVANE_MESSAGE(2062, "Winsock failed to bind to socket (error %1).  Inventory server cannot receive TCPIP packets.\r\n")
    CORVANE_MESSAGE(2065, "Winsock failed to start listen mode (error %1).  Inventory server cannot receive TCPIP packets.\r\n")
    CORVANE_MESSAGE(2066, "Failed to start a TCPIP Thread.\r\n")
    CORVANE_MESSAGE(2067, "Winsock failed to set initialize an TCPIP socket (error %1).  Inventory server cannot receive TCPIP packets.\r\n")
    CORVANE_MESSAGE(2068, "An invalid scan was received over TCP.  The scan is being sent to the ErrorScan directory.\r\n")
    CORVANE_MESSAGE(2069, "An error occurred while receiving a scan over TCP (error %1).  The partial scan is being sent to the ErrorScan directory.\r\n")
    CORVANE_MESSAGE(2384, "Node '%1' never sent final packet.  This node's scan will be ignored at this time.\r\n")
    CORVANE_MESSAGE(2385, "Inventory server cannot run the inventory scanner because the CVLOGON share does not exist.  This machine will not be able to scan itself.\r\n")
    CORVANE_MESSAGE(2386, "Inventory server failed to create a process to run the inventory scanner.  This machine will not be able to scan itself.\r\n")
    CORVANE_MESSAGE(2387, "Inventory server performed a self scan at %1 hrs.\r\n")
    CORVANE_MESSAGE(2388, "Inventory server completed a database maintenance.\r\n")
    CORVANE_MESSAGE(2389, "Inventory server started a database maintenance.\r\n")
    CORVANE_MESSAGE(2390, "Inventory server detected %1 as a duplicated device ID.\r\n")
    CORVANE_MESSAGE(2391, "Inventory data for %1 is out of sync.  A full scan will be forced.\r\n")
    CORVANE_MESSAGE(2392, "Inventory server refused a scan of %1: its %2 is %3 long, and the database holds at most %4.  The scan is being sent to the ErrorScan directory.\r\n")
    CORVANE_MESSAGE(2393, "Inventory server removed the %1 oldest files (%2 bytes) from the ErrorScan, ErrorBigScan and ErrorTrans directories, which together held more than %3 bytes.\r\n")
    CORVANE_MESSAGE(2394, "Inventory server does not process scans: %1.  Received scans wait in the spool until this server is upgraded.\r\n")
    CORVANE_MESSAGE(2395, "Inventory server removed %1 files (%2 bytes) older than %3 days from the ErrorScan, ErrorBigScan and ErrorTrans directories.\r\n")
    CORVANE_MESSAGE(4097, "Component '%1' deleted from node %2 (ID: %3).\r\n")
    CORVANE_MESSAGE(4098, "Attribute '%1' modified for node %2 (ID: %3):%n\r\n"
                          "Previous Value: %4%n\r\n"
                          "New Value: %5%n\r\n")
    CORVANE_MESSAGE(4099, "Attribute '%1' of component '%2' deleted for node %3 (ID: %4).\r\n")
    CORVANE_MESSAGE(4100, "Database exception: %1.\r\n")
    CORVANE_MESSAGE(4104, "Could not read the metaschema.  Make sure the database is a valid Corvane 7.5 or greater version.\r\n")
    CORVANE_MESSAGE(4107, "Successfully connected to the database at %1.\r\n")
    CORVANE_MESSAGE_TABLE_END;
// clang-format on

namespace {

const std::map<uint32_t, std::string_view>& StringTable() {
  static const std::map<uint32_t, std::string_view> table = {
      {1, "Database Online"},
      {2, "Faulty Packet"},
      {3, "Started Processing Computer"},
      {4, "Done Processing Computer"},
      {5, "Out of Memory"},
      {6, "Inventory Server Unloaded"},
      {7, "Loaded, not scanning"},
      {8, "Loaded, scanning"},
      {9, "Inventory Server not Loaded"},
      {10, "Database Exception"},
      {11, "Last Packet not Sent"},
      {12, "Scanner Error"},
      {13, "No CVLOGON Share"},
      {14, "Attribute Modified"},
      {15, "Attribute Deleted"},
      {16, "Component Deleted"},
      {17, "Corvane Inventory Server"},
      {19, "Self Scan Performed"},
      {20, "Database Maintenance Performed"},
      {22, "Unable to install - %s\n"},
      {23, "%s installed.\n"},
      {24, "CreateService failed - %s\n"},
      {25, "OpenSCManager failed - %s\n"},
      {26, "Stopping %s."},
      {27, "\n%s stopped.\n"},
      {28, "\n%s failed to stop.\n"},
      {29, "%s removed.\n"},
      {30, "DeleteService failed - %s\n"},
      {31, "OpenService failed - %s\n"},
      {33, "Database Maintenance Started"},
      {34, "Database Synchronization Failed"},
      {35, "Duplicate Device ID Detected"},
      {36,
       "The database connection is invalid\n\nVerify your username and password are correct in "
       "Quillset.exe."},
      {37, "Database initialization failed."},
      {41, "Handles the processing of inventory data for Corvane(R) Vantora"},
      {42, "Device Data Out of Sync"},
  };
  return table;
}

const notifex::MessageTable& MessageTable() {
  static const notifex::MessageTable table =
      *notifex::ParseMessageTable(std::string_view(kServerMessages, sizeof kServerMessages));
  return table;
}

}  // namespace

std::optional<std::string_view> ProgramMessage(uint32_t id) {
  auto found = MessageTable().find(id);
  if (found == MessageTable().end()) return std::nullopt;
  return std::string_view(found->second);
}

std::optional<std::string_view> ProgramString(uint32_t id) {
  auto found = StringTable().find(id);
  if (found == StringTable().end()) return std::nullopt;
  return found->second;
}

const std::vector<AlertType>& ServerAlertTypes() {
  static const std::vector<AlertType> types = {
      {1, "Database Online", kMsgDatabaseOnline, "%s"},
      {2, "Faulty Packet", kMsgFaultyPacket, ""},
      {3, "Started Processing Computer", kMsgStartedProcessing, "%s"},
      {4, "Done Processing Computer", kMsgDoneProcessing, "%s %s %s"},
      {5, "Out of Memory", kMsgOutOfMemory, nullptr},
      {6, "Inventory Server Unloaded", kMsgServerUnloaded, nullptr},
      {7, "Loaded, not scanning", kMsgLoadedNotScanning, "%d %d"},
      {8, "Loaded, scanning", kMsgLoadedScanning, "%d %d %d"},
      {9, "Inventory Server not Loaded", kMsgServerNotLoaded, nullptr},
      {10, "Database Exception", kMsgDatabaseException, "%s"},
      {11, "Last Packet not Sent", kMsgLastPacketNotSent, "%s"},
      {12, "Scanner Error", kMsgScannerError, nullptr},
      {13, "No CVLOGON Share", kMsgNoCvlogonShare, nullptr},
      {19, "Self Scan Performed", kMsgSelfScanPerformed, "%d"},
      {20, "Database Maintenance Performed", kMsgMaintenancePerformed, nullptr},
      {33, "Database Maintenance Started", kMsgMaintenanceStarted, nullptr},
      {34, "Database Synchronization Failed", kMsgSynchronizationFailed, nullptr},
      {35, "Duplicate Device ID Detected", kMsgDuplicateDeviceId, "%s"},
      {42, "Device Data Out of Sync", kMsgDeviceOutOfSync, "%s"},
  };
  return types;
}

void RegisterServerAlertTypes() {
  for (const AlertType& type : ServerAlertTypes()) {
    std::string display(ProgramString(type.string_id).value_or(type.alert_name));
    RegisterEventEx(kApplicationName, type.alert_name, display.c_str(), type.event_id,
                    type.insert_format);
  }
}

void ReportNetworkEvent(uint32_t event_id, uint32_t kind, int error_number) {
  ReportAnEventEx(kApplicationName, nullptr, kServerSinks, event_id, kind, "%d",
                  static_cast<int32_t>(error_number));
}

void ReportLastPacketNotSent(std::string_view sender_name) {
  const std::string insert(sender_name);
  ReportAnEventEx(kApplicationName, "Last Packet not Sent", kServerSinks, kMsgLastPacketNotSent,
                  kKindInformation, "%s", insert.c_str());
}

void ReportDatabaseException(std::string_view text) {
  const std::string insert(text);
  ReportAnEventEx(kApplicationName, "Database Exception", kServerSinks, kMsgDatabaseException,
                  kKindError, "%s", insert.c_str());
}

void ReportSchemaTooNew(std::string_view text) {
  const std::string insert(text);
  ReportAnEventEx(kApplicationName, nullptr, kServerSinks, kMsgSchemaTooNew, kKindError, "%s",
                  insert.c_str());
}

void ReportMetaschemaUnreadable() {
  ReportAnEventEx(kApplicationName, nullptr, kServerSinks, kMsgMetaschemaUnreadable, kKindError,
                  "%s", "");
}

}  // namespace corvane::diag
