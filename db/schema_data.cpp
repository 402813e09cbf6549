// The inventory schema's content: tables and metaschema rows.
//
// Append new attributes at the end of their list only: an attribute's
// METAOBJATTRRELATIONS_IDN is its position (see schema.h). Tables may be
// reordered and columns added freely.
//
// How the definition is laid out for the store:
// - Names are plain identifiers of at most 30 characters that no supported
//   DBMS reserves (hence "DiskSize", "UserId", "CacheLevel" rather than
//   "Size", "UID", "Level").
// - A keyed component has one metaschema row with key = true: the row the
//   writer looks up as "<component>.<key attribute>" to find the key column.
//   A keyed table takes attributes from that one component only.
// - Key lists (CV_MKEYS) hold only columns that every row the store writes
//   fills: Computer_Idn, the family's parent id, the key column. A stored
//   row is matched only when all of them hold a value.
// - Computer, Components and AppSoftware have no parent: the writer puts
//   them first by name, and a parent would make it write them a second time
//   as children of Computer.
// - Values the scanner sends as seconds since 1970 are DATETIME columns;
//   dates it sends as free text (the BIOS date, "04/01/2014") are VARCHAR, so
//   they are kept as sent. "Last Hardware Scan date" stays VARCHAR: the
//   device processor compares the stored text with the scanner's Last Sync
//   Date to detect a delta against data the database does not hold.
// - Numbers are INT only where the scanner sends a plain number; "2 MiB (2
//   instances)" is VARCHAR, since a number column would keep its digits only.
//
// Software files ("Software - File - (Path:...)"): each file becomes a
// FileInfoInstance row (per device and path) linked to a FileInfo catalogue
// row (one per file name and size). The writer collects all attributes of
// the instance and moves those whose column is one of the catalogue's names
// ("ExeName", "FileSize", "Title", "FileName", "Version", "Vendor",
// "FileInfo_Idn") to the catalogue row; it adds "FileName" itself, taken from
// the path after its last separator, and renames "ExeName" to "Title" when it
// inserts a catalogue row. The mapping follows from that:
// - "FileSize", "Title", "Vendor", "Version" map to columns of those names,
//   so they reach FileInfo; FileSize with the derived FileName is the
//   catalogue's identity, so every file with a size gets its own row.
// - "ExeName" maps to the instance column ExecutableName, which is not a
//   catalogue name. Mapped to "ExeName" it would be renamed to Title beside
//   the scanned Title, and mapped to "FileName" it would stand beside the
//   derived FileName: either way the catalogue INSERT would name a column
//   twice and fail. The scanners send the executable's own name here (the
//   path's last segment, which FileName already holds) and the product in
//   "Title", so the catalogue keeps the more telling title.
// - The catalogue attributes are declared on FileInfoInstance too, because
//   a metaschema row names the table of the instance it arrives with; those
//   instance columns stay NULL.

#include "db/schema.h"

namespace corvane::db::schema {
namespace {

using T = ColumnType;

Column Id(std::string_view name) { return {name, T::kInteger, 0, true}; }
Column Text(std::string_view name, int length = 255) { return {name, T::kText, length, false}; }
Column RequiredText(std::string_view name, int length) { return {name, T::kText, length, true}; }
Column Int(std::string_view name) { return {name, T::kInteger, 0, false}; }
Column RequiredInt(std::string_view name) { return {name, T::kInteger, 0, true}; }
Column Date(std::string_view name) { return {name, T::kDate, 0, false}; }
Column Image(std::string_view name) { return {name, T::kImage, 0, false}; }

using Indexes = std::vector<std::vector<std::string_view>>;

Table MakeTable(std::string_view name, int kind, std::string_view parent, std::string_view id,
                std::vector<Column> columns, std::vector<std::string_view> key_list,
                Indexes indexes, std::string_view description) {
  Table table;
  table.name = name;
  table.kind = kind;
  table.parent = parent;
  table.id_column = id;
  table.columns = std::move(columns);
  table.key_list = std::move(key_list);
  table.indexes = std::move(indexes);
  table.description = description;
  return table;
}

constexpr std::string_view kComputerIdn = "Computer_Idn";

// A table that hangs off the device row. `id` is its own generated id (empty
// when none), `parent_id` the id of its family's parent row that it carries
// (empty when none); both come first, then Computer_Idn, then `columns`.
Table DeviceTable(std::string_view name, int kind, std::string_view parent, std::string_view id,
                  std::string_view parent_id, std::vector<Column> columns,
                  std::vector<std::string_view> key_list, std::string_view description) {
  std::vector<Column> all;
  if (!id.empty()) all.push_back(Id(id));
  all.push_back(Id(kComputerIdn));
  if (!parent_id.empty()) all.push_back(Id(parent_id));
  all.insert(all.end(), columns.begin(), columns.end());
  return MakeTable(name, kind, parent, id, std::move(all), std::move(key_list), {}, description);
}

// Multi-row table with its own id, told apart by `key`.
Table KeyedTable(std::string_view name, std::string_view id, std::string_view key,
                 std::vector<Column> columns, std::string_view description,
                 std::string_view parent = "Computer") {
  return DeviceTable(name, kKindKeyedRow, parent, id, {}, std::move(columns), {kComputerIdn, key},
                     description);
}

// One row per device, no id of its own.
Table OnePerDevice(std::string_view name, std::vector<Column> columns,
                   std::string_view description) {
  return DeviceTable(name, kKindDevice, "Computer", {}, {}, std::move(columns), {kComputerIdn},
                     description);
}

// Child of a one-per-device parent, keyed by `key` or single when empty.
Table DeviceChild(std::string_view name, std::string_view parent, std::string_view key,
                  std::vector<Column> columns, std::string_view description) {
  std::vector<std::string_view> key_list = {kComputerIdn};
  if (!key.empty()) key_list.push_back(key);
  return DeviceTable(name, kKindDeviceChild, parent, {}, {}, std::move(columns),
                     std::move(key_list), description);
}

// Keyed child of Operating_System.
Table OsChild(std::string_view name, std::string_view key, std::vector<Column> columns,
              std::string_view description) {
  return DeviceTable(name, kKindOsKeyedChild, "Operating_System", {}, "Operating_System_Idn",
                     std::move(columns), {kComputerIdn, "Operating_System_Idn", key}, description);
}

Attribute Attr(std::string_view component, std::string_view attribute, std::string_view table,
               std::string_view column, int track_flags = 0, std::string_view display_name = {}) {
  return {component, attribute, table, column, false, false, track_flags, display_name};
}

Attribute Key(std::string_view component, std::string_view attribute, std::string_view table,
              std::string_view column) {
  return {component, attribute, table, column, true, false, 0, {}};
}

// An identity attribute: its changes count towards the duplicate-device test.
Attribute Marker(std::string_view component, std::string_view attribute, std::string_view table,
                 std::string_view column, int track_flags, std::string_view display_name) {
  return {component, attribute, table, column, false, true, track_flags, display_name};
}

void AddMetaschemaTables(Schema& schema) {
  schema.tables.push_back(MakeTable(
      "METAOBJATTRRELATIONS", kKindNone, {}, {},
      {Id("METAOBJATTRRELATIONS_IDN"), RequiredText("COMPONENTPATH", 255),
       RequiredText("ATTRIBUTENAME", 255), RequiredText("TABLENAME", 64),
       RequiredText("COLUMNNAME", 64), Text("PARENTTABLE", 64), RequiredText("TYPENAME", 32),
       Int("TABLEKIND"), Int("PARENTKIND"), Int("KEYATTR"), Int("MARKER"), Int("TRACKFLAGS"),
       Text("DISPLAYNAME", 255)},
      {"METAOBJATTRRELATIONS_IDN"}, {}, "The metaschema: where each scan attribute is stored."));
  schema.tables.push_back(
      MakeTable("CV_MKEYS", kKindNone, {}, {},
                {RequiredText("NAME", 64), RequiredText("TABLENAME", 64), Text("KeyList", 255)}, {},
                {}, "Key column lists, one row \"XPK\" + table name."));
  schema.tables.push_back(MakeTable("METASYSTEMS", kKindNone, {}, {},
                                    {Id("System_Idn"), Text("SYSTEMNAME", 64), Int("SWSCANFREQ"),
                                     Date("METASTAMP"), Int("SCHEMAVERSION")},
                                    {"System_Idn"}, {},
                                    "Database-wide settings; row System_Idn 0."));
}

void AddServerTables(Schema& schema) {
  schema.tables.push_back(
      MakeTable("HISTORY", kKindNone, {}, "HISTORY_IDN",
                {Id("HISTORY_IDN"), Id("COMPUTER_IDN"), Int("METAOBJATTRRELATIONS_IDN"),
                 Date("CHANGEDATE"), Int("PKVALTYPE"), Text("PKVALSTR", 512), Int("PKVALINT"),
                 Text("NEWSTR", 1024), Text("OLDSTR", 1024), Int("NEWINT"), Int("OLDINT"),
                 Date("NEWDATE"), Date("OLDDATE"), Image("NEWIMG"), Image("OLDIMG")},
                {"HISTORY_IDN"}, {{"COMPUTER_IDN", "CHANGEDATE"}},
                "Changes of tracked attributes, one row per change."));
  schema.tables.push_back(MakeTable(
      "UNMANAGEDNODES", kKindNone, {}, "UNMANAGEDNODES_IDN",
      {Id("UNMANAGEDNODES_IDN"), Text("NODENAME"), Text("PHYSADDRESS", 64), Text("IPADDRESS", 64),
       Text("OSNAME"), Date("DISCOVERYDATE"), Date("LASTSEENDATE")},
      {"UNMANAGEDNODES_IDN"}, {{"PHYSADDRESS"}, {"NODENAME"}},
      "Nodes seen on the network without a scan; removed when the node scans."));
  schema.tables.push_back(MakeTable(
      jobs::kTable, kKindNone, {}, jobs::kIdn,
      {Id(jobs::kIdn), Id(jobs::kComputerIdn), RequiredInt(jobs::kTaskId), Date(jobs::kQueuedDate),
       Date(jobs::kHandedOutDate)},
      {jobs::kIdn}, {{jobs::kComputerIdn, jobs::kHandedOutDate}},
      "Custom jobs queued for a device's network boot; HandedOutDate stays NULL while the job "
      "waits and is set when the server hands it out to be started."));
  schema.tables.push_back(MakeTable(
      "FileInfo", kKindNone, {}, "FileInfo_Idn",
      {Id("FileInfo_Idn"), Text("FileName"), Int("FileSize"), Text("Title"), Text("Vendor"),
       Text("Version", 128), Int("Action"), Int("Discovered")},
      {"FileInfo_Idn"}, {{"FileName", "FileSize"}},
      "File catalogue: one row per file name and size (FileSize -1: the name's wildcard row, "
      "whose Action new rows inherit)."));
  schema.tables.back().unique_keys = {{{"FileName", "FileSize"}, {}}};
}

void AddTables(Schema& schema) {
  AddMetaschemaTables(schema);

  // --- The device row and the tables the writer puts right after it -------
  schema.tables.push_back(MakeTable(
      "Computer", kKindDevice, {}, "Computer_Idn",
      {Id("Computer_Idn"), Text("DeviceId", 64), Text("DeviceName"), Text("Type", 64),
       Text("HostName"), Text("NICAddress", 64), Text("LastHWScanDate", 32), Date("SWLastScanDate"),
       Int("SWNumFiles"), Date("LastUpdInvSvr"), Text("InventoryServer")},
      {"Computer_Idn"}, {{"DeviceId"}, {"DeviceName"}, {"HostName"}, {"NICAddress"}},
      "One row per device, with the values that identify it."));
  // Mini scans of devices not yet known all carry the placeholder ID.
  schema.tables.back().unique_keys = {{{"DeviceId"}, "Unassigned"}};
  schema.tables.push_back(KeyedTable("Components", "Components_Idn", "Name",
                                     {Text("Name"), Text("DeviceClass", 64), Text("Manufacturer"),
                                      Text("Description", 512), Text("Driver"), Text("Status", 64)},
                                     "Hardware devices as the operating system lists them.", {}));
  schema.tables.push_back(KeyedTable(
      "AppSoftware", "AppSoftware_Idn", "Name",
      {Text("Name"), Text("Version", 128), Text("Architecture", 32), Int("PackageSize"),
       Text("Source", 64), Text("Description", 512), Text("Vendor"), Date("InstallDate")},
      "Installed applications and packages.", {}));
  AddServerTables(schema);

  // --- Software families with their own strategies --------------------------
  schema.tables.push_back(DeviceTable(
      "FileInfoInstance", kKindFileInstance, "Computer", "FileInfoInstance_Idn", {},
      {Text("Path", 512), Int("FileInfo_Idn"), Text("ExecutableName"), Int("FileSize"),
       Text("Title"), Text("Vendor"), Text("Version", 128), Int("SCM_DaysSinceLastUsed"),
       Date("SCM_DateDiscovered"), Int("SCM_DaysSinceDiscovered")},
      {kComputerIdn, "Path"},
      "Executable files per device and path, linked to the file catalogue. FileSize, Title, "
      "Vendor and Version arrive here and are stored in FileInfo; these columns stay NULL."));
  schema.tables.push_back(DeviceTable("AppSoftwareSuites", kKindSuite, "Computer",
                                      "AppSoftwareSuites_Idn", {},
                                      {Text("Name"), Text("Version", 128), Text("Vendor")},
                                      {kComputerIdn, "Name"}, "Installed software suites."));
  schema.tables.push_back(
      DeviceTable("UnmodeledData", kKindUnmodeled, "Computer", "UnmodeledData_Idn", {},
                  {Id("METAOBJATTRRELATIONS_IDN"), Text("DataString", 1024)},
                  {kComputerIdn, "METAOBJATTRRELATIONS_IDN"},
                  "Attributes without a table of their own: one row per device and attribute."));
  schema.tables.back().indexes = {{kComputerIdn, "METAOBJATTRRELATIONS_IDN"}};
  schema.tables.push_back(
      KeyedTable("ComputerVulnerability", "ComputerVulnerability_Idn", "VulnerabilityId",
                 {Text("VulnerabilityId", 64), Text("Title"), Text("Severity", 32),
                  Text("Status", 32), Date("DetectedDate"), Text("Patch")},
                 "Vulnerabilities found on the device; kept by every purge."));

  // --- Hardware --------------------------------------------------------------
  schema.tables.push_back(OnePerDevice(
      "Processor",
      {Text("ProcessorType"), Text("Manufacturer", 128), Int("ProcessorCount"), Int("Cores"),
       Int("LogicalProcessors"), Text("Architecture", 32), Text("Speed", 64), Text("L2Cache", 64)},
      "The processor."));
  schema.tables.push_back(OnePerDevice(
      "Memory", {Int("PhysicalMemory"), Int("SwapSize"), Int("SlotCount")}, "Memory sizes (MB)."));
  schema.tables.push_back(
      DeviceChild("MemorySlot", "Memory", "SlotName",
                  {Text("SlotName", 64), Int("SlotSize"), Text("MemoryType", 64), Text("Speed", 64),
                   Text("FormFactor", 64), Text("Manufacturer", 128)},
                  "Memory slots and their modules."));
  schema.tables.push_back(DeviceChild(
      "MemCache", "Memory", "CacheLevel",
      {Text("CacheLevel", 16), Text("CacheSize", 32), Text("CacheType", 64)}, "Memory caches."));
  schema.tables.push_back(DeviceChild("EMSDriverInfo", "Memory", {},
                                      {Text("Version", 32), Int("TotalPages"), Int("FreePages")},
                                      "Expanded-memory driver."));
  schema.tables.push_back(DeviceChild("XMSDriverInfo", "Memory", {},
                                      {Text("Version", 32), Int("TotalKB"), Int("FreeKB")},
                                      "Extended-memory driver."));
  schema.tables.push_back(OnePerDevice(
      "Motherboard",
      {Text("Manufacturer", 128), Text("Model"), Text("Version", 64), Text("SerialNumber", 128)},
      "The main board."));
  schema.tables.push_back(DeviceChild(
      "MBSlot", "Motherboard", "SlotName",
      {Text("SlotName", 64), Text("SlotType", 64), Text("SlotUsage", 64)}, "Main-board slots."));
  schema.tables.push_back(
      DeviceChild("MBCache", "Motherboard", "CacheLevel",
                  {Text("CacheLevel", 16), Text("CacheSize", 32), Text("CacheType", 64)},
                  "Main-board caches."));
  schema.tables.push_back(
      OnePerDevice("Bus", {Text("BusType", 64), Text("Version", 64)}, "The system bus."));
  schema.tables.push_back(DeviceChild(
      "BusSlots", "Bus", "SlotName",
      {Text("SlotName", 64), Text("SlotType", 64), Text("SlotUsage", 64)}, "Bus slots."));
  schema.tables.push_back(
      OnePerDevice("BIOS", {Text("Manufacturer", 128), Text("Version", 128), Text("BIOSDate", 32)},
                   "The BIOS (its date as the firmware writes it)."));
  schema.tables.push_back(DeviceChild("Manufacturer", "BIOS", {},
                                      {Text("Name", 128), Text("Model"), Text("SerialNumber", 128),
                                       Text("UUID", 64), Text("AssetTag", 64)},
                                      "The system's maker and model as the BIOS reports them."));
  schema.tables.push_back(DeviceChild("BiosStrings", "BIOS", {},
                                      {Image("BiosText"), Int("TextSize"), Date("ScanDate")},
                                      "The BIOS text the scanner sends as a file."));
  schema.tables.push_back(
      OnePerDevice("Video",
                   {Text("AdapterName"), Text("ChipType", 128), Int("VideoMemory"),
                    Text("DriverVersion", 64), Text("Resolution", 32), Int("ColorDepth")},
                   "The video adapter."));
  schema.tables.push_back(
      KeyedTable("Monitor", "Monitor_Idn", "Name",
                 {Text("Name"), Text("Manufacturer", 128), Text("Model"), Text("SerialNumber", 128),
                  Text("ScreenSize", 32), Text("MaxResolution", 32)},
                 "Monitors."));
  schema.tables.push_back(OnePerDevice(
      "Sound", {Text("DeviceName"), Text("Manufacturer", 128), Text("Driver")}, "Sound device."));
  schema.tables.push_back(
      OnePerDevice("Keyboard", {Text("KeyboardType", 128), Text("Layout", 64)}, "Keyboard."));
  schema.tables.push_back(
      OnePerDevice("Mouse", {Text("MouseType", 128), Int("Buttons")}, "Pointing device."));
  schema.tables.push_back(
      KeyedTable("Printer", "Printer_Idn", "Name",
                 {Text("Name"), Text("Driver"), Text("Port", 128), Text("Location"),
                  Text("IsDefault", 8), Text("IsShared", 8), Text("Status", 64)},
                 "Printers."));
  schema.tables.push_back(
      KeyedTable("NetworkAdapter", "NetworkAdapter_Idn", "Name",
                 {Text("Name"), Text("MACAddress", 64), Text("AdapterType", 64), Text("Status", 32),
                  Int("MTU"), Text("IPAddress", 64), Text("IPv6Address", 64), Text("Speed", 32),
                  Text("Manufacturer", 128)},
                 "Network adapters, one row per adapter name."));
  schema.tables.push_back(
      KeyedTable("DiskDrive", "DiskDrive_Idn", "Name",
                 {Text("Name"), Int("DiskSize"), Text("DiskType", 32), Text("Model"),
                  Text("SerialNumber", 128), Text("BusInterface", 32)},
                 "Mass-storage disks (sizes in MB)."));
  schema.tables.push_back(KeyedTable("LogicalDrive", "LogicalDrive_Idn", "MountPoint",
                                     {Text("MountPoint"), Text("FileSystem", 32), Int("TotalSize"),
                                      Int("FreeSpace"), Text("Volume")},
                                     "Mounted file systems (sizes in MB)."));
  schema.tables.push_back(KeyedTable("LocalUser", "LocalUser_Idn", "Name",
                                     {Text("Name", 128), Text("UserId", 32), Text("HomeDirectory"),
                                      Text("Shell"), Text("FullName")},
                                     "Local user accounts."));
  schema.tables.push_back(
      KeyedTable("LocalGroup", "LocalGroup_Idn", "Name",
                 {Text("Name", 128), Text("GroupId", 32), Text("Members", 1024)}, "Local groups."));

  // --- Network software -------------------------------------------------------
  schema.tables.push_back(DeviceTable(
      "NetworkSoftware", kKindNetworkSoftware, "Computer", "NetworkSoftware_Idn", {},
      {Text("IPAddress", 64), Text("SubnetMask", 64), Text("DefaultGateway", 64), Text("DNSServer"),
       Text("DomainName"), Text("DHCPEnabled", 8), Text("DHCPServer", 64)},
      {kComputerIdn}, "The TCP/IP configuration."));
  schema.tables.push_back(
      DeviceTable("BoundAdapter", kKindNetworkSoftware, "NetworkSoftware", "BoundAdapter_Idn",
                  "NetworkSoftware_Idn",
                  {Text("Name"), Text("IPAddress", 64), Text("SubnetMask", 64),
                   Text("DefaultGateway", 64), Text("DHCPEnabled", 8), Text("MACAddress", 64)},
                  {kComputerIdn, "NetworkSoftware_Idn", "Name"}, "Adapters bound to TCP/IP."));

  // --- Operating system -------------------------------------------------------
  schema.tables.push_back(
      DeviceTable("Operating_System", kKindOperatingSystem, "Computer", "Operating_System_Idn", {},
                  {Text("Name"), Text("Version", 64), Text("Description"), Text("Architecture", 32),
                   Text("KernelVersion", 128), Date("InstallDate"), Text("Language", 64)},
                  {kComputerIdn}, "The operating system."));
  schema.tables.push_back(
      DeviceTable("OSConfigFiles", kKindOperatingSystem, "Operating_System", "OSConfigFiles_Idn",
                  "Operating_System_Idn",
                  {Text("FilePath", 512), Image("FileData"), Int("FileSize"), Date("FileDate")},
                  {kComputerIdn, "Operating_System_Idn", "FilePath"},
                  "Configuration files the scanner sends whole, one row per path."));
  schema.tables.push_back(
      OsChild("Services", "Name",
              {Text("Name"), Text("DisplayName"), Text("State", 32), Text("StartMode", 32),
               Text("ExecutablePath", 512), Text("Description", 512)},
              "Services and daemons."));
  schema.tables.push_back(OsChild("Drivers", "Name",
                                  {Text("Name"), Text("Version", 64), Text("Provider"),
                                   Text("DriverDate", 32), Text("DeviceName")},
                                  "Device drivers."));
  schema.tables.push_back(OsChild("KernelDrivers", "Name",
                                  {Text("Name", 128), Int("ModuleSize"), Text("Version", 64),
                                   Text("Description", 512), Text("UsedBy", 512)},
                                  "Loaded kernel modules."));
  schema.tables.push_back(OsChild("SystemDrivers", "Name",
                                  {Text("Name", 128), Text("DisplayName"), Text("State", 32),
                                   Text("StartMode", 32), Text("ExecutablePath", 512)},
                                  "Kernel-mode system drivers."));
  schema.tables.push_back(OsChild("Font", "Name",
                                  {Text("Name"), Text("FontFile", 512), Text("Version", 64)},
                                  "Installed fonts."));
  schema.tables.push_back(OsChild("DeskAccessory", "Name", {Text("Name"), Text("Version", 64)},
                                  "Desk accessories (classic Mac OS)."));
  schema.tables.push_back(OsChild("Extension", "Name",
                                  {Text("Name"), Text("Version", 64), Text("Enabled", 8)},
                                  "System extensions (Mac OS)."));

  // --- The inventory agent ------------------------------------------------------
  schema.tables.push_back(DeviceTable("Corvane", kKindCorvane, "Computer", "Corvane_Idn", {},
                                      {Text("AgentVersion", 64), Text("ScannerVersion", 64),
                                       Text("CoreServer"), Text("InstallDirectory", 512)},
                                      {kComputerIdn}, "The Corvane agent on the device."));
  schema.tables.push_back(
      DeviceTable("CorvaneAgent", kKindCorvane, "Corvane", "CorvaneAgent_Idn", "Corvane_Idn",
                  {Text("Name", 128), Text("Version", 64), Text("Status", 32)},
                  {kComputerIdn, "Corvane_Idn", "Name"}, "Installed agent components."));

  // --- DMI management information -------------------------------------------
  schema.tables.push_back(
      DeviceTable("MIF", kKindMif, "Computer", "MIF_Idn", {},
                  {Text("Vendor"), Text("Product"), Text("Version", 64), Text("SerialNumber", 128)},
                  {kComputerIdn}, "DMI component identification."));
  schema.tables.push_back(
      DeviceTable("MIFAttribute", kKindMif, "MIF", "MIFAttribute_Idn", "MIF_Idn",
                  {Text("Name"), Text("AttributeValue", 512), Text("GroupName")},
                  {kComputerIdn, "MIF_Idn", "Name"}, "DMI attributes from MIF files."));
}

void AddAttributes(Schema& schema) {
  constexpr int kHistory = kTrackHistory;
  constexpr int kLoggedHistory = kTrackEventLog | kTrackHistory;
  std::vector<Attribute>& a = schema.attributes;
  // The first rows, in the order databases already hold them.
  a.push_back(Marker("Computer", "Device ID", "Computer", "DeviceId", 0, {}));
  a.push_back(
      Marker("Computer", "Device Name", "Computer", "DeviceName", kLoggedHistory, "Device name"));
  a.push_back(Attr("Computer", "Type", "Computer", "Type"));
  a.push_back(Attr("Computer", "Last Hardware Scan date", "Computer", "LastHWScanDate"));
  a.push_back(Key("Computer.Network.Adapter", "Name", "NetworkAdapter", "Name"));
  a.push_back(
      Attr("Computer.Network.Adapter", "MAC Address", "NetworkAdapter", "MACAddress", kHistory));

  // Identity values of the device row.
  a.push_back(Marker("Computer.Network.TCPIP", "Host Name", "Computer", "HostName", kLoggedHistory,
                     "Host name"));
  a.push_back(Marker("Computer.Network", "NIC Address", "Computer", "NICAddress", kLoggedHistory,
                     "NIC address"));
  a.push_back(Attr("Computer.Software", "Last Scan Date", "Computer", "SWLastScanDate"));
  a.push_back(Attr("Computer.Software", "Number of Files", "Computer", "SWNumFiles"));

  constexpr std::string_view kAdapter = "Computer.Network.Adapter";
  a.push_back(Attr(kAdapter, "Type", "NetworkAdapter", "AdapterType"));
  a.push_back(Attr(kAdapter, "Status", "NetworkAdapter", "Status"));
  a.push_back(Attr(kAdapter, "MTU", "NetworkAdapter", "MTU"));
  a.push_back(Attr(kAdapter, "IP Address", "NetworkAdapter", "IPAddress"));
  a.push_back(Attr(kAdapter, "IPv6 Address", "NetworkAdapter", "IPv6Address"));
  a.push_back(Attr(kAdapter, "Speed", "NetworkAdapter", "Speed"));
  a.push_back(Attr(kAdapter, "Manufacturer", "NetworkAdapter", "Manufacturer"));

  constexpr std::string_view kTcpip = "Computer.Network.TCPIP";
  a.push_back(Attr(kTcpip, "Address", "NetworkSoftware", "IPAddress", kHistory));
  a.push_back(Attr(kTcpip, "Subnet Mask", "NetworkSoftware", "SubnetMask"));
  a.push_back(Attr(kTcpip, "Default Gateway", "NetworkSoftware", "DefaultGateway"));
  a.push_back(Attr(kTcpip, "DNS Server", "NetworkSoftware", "DNSServer"));
  a.push_back(Attr(kTcpip, "Domain", "NetworkSoftware", "DomainName"));
  a.push_back(Attr(kTcpip, "DHCP Enabled", "NetworkSoftware", "DHCPEnabled"));
  a.push_back(Attr(kTcpip, "DHCP Server", "NetworkSoftware", "DHCPServer"));

  constexpr std::string_view kBound = "Computer.Network.TCPIP.Bound Adapter";
  a.push_back(Key(kBound, "Name", "BoundAdapter", "Name"));
  a.push_back(Attr(kBound, "IP Address", "BoundAdapter", "IPAddress"));
  a.push_back(Attr(kBound, "Subnet Mask", "BoundAdapter", "SubnetMask"));
  a.push_back(Attr(kBound, "Default Gateway", "BoundAdapter", "DefaultGateway"));
  a.push_back(Attr(kBound, "DHCP Enabled", "BoundAdapter", "DHCPEnabled"));
  a.push_back(Attr(kBound, "MAC Address", "BoundAdapter", "MACAddress"));

  constexpr std::string_view kOs = "Computer.OS";
  a.push_back(Attr(kOs, "Name", "Operating_System", "Name", kLoggedHistory, "Operating system"));
  a.push_back(
      Attr(kOs, "Version", "Operating_System", "Version", kHistory, "Operating system version"));
  a.push_back(Attr(kOs, "Description", "Operating_System", "Description"));
  a.push_back(Attr(kOs, "Architecture", "Operating_System", "Architecture"));
  a.push_back(Attr(kOs, "Kernel Version", "Operating_System", "KernelVersion", kHistory));
  a.push_back(Attr(kOs, "Install Date", "Operating_System", "InstallDate"));
  a.push_back(Attr(kOs, "Language", "Operating_System", "Language"));

  constexpr std::string_view kCpu = "Computer.Processor";
  a.push_back(Attr(kCpu, "Type", "Processor", "ProcessorType", kHistory, "Processor"));
  a.push_back(Attr(kCpu, "Manufacturer", "Processor", "Manufacturer"));
  a.push_back(Attr(kCpu, "Count", "Processor", "ProcessorCount", kHistory));
  a.push_back(Attr(kCpu, "Cores", "Processor", "Cores", kHistory));
  a.push_back(Attr(kCpu, "Logical Processors", "Processor", "LogicalProcessors"));
  a.push_back(Attr(kCpu, "Architecture", "Processor", "Architecture"));
  a.push_back(Attr(kCpu, "Speed", "Processor", "Speed"));
  a.push_back(Attr(kCpu, "L2 Cache", "Processor", "L2Cache"));

  constexpr std::string_view kMemory = "Computer.Memory";
  a.push_back(Attr(kMemory, "Physical Memory", "Memory", "PhysicalMemory",
                   kLoggedHistory | kTrackWarning, "Physical memory (MB)"));
  a.push_back(Attr(kMemory, "Swap", "Memory", "SwapSize"));
  a.push_back(Attr(kMemory, "Slots", "Memory", "SlotCount"));
  constexpr std::string_view kMemorySlot = "Computer.Memory.Slot";
  a.push_back(Key(kMemorySlot, "Name", "MemorySlot", "SlotName"));
  a.push_back(Attr(kMemorySlot, "Size", "MemorySlot", "SlotSize", kHistory));
  a.push_back(Attr(kMemorySlot, "Type", "MemorySlot", "MemoryType"));
  a.push_back(Attr(kMemorySlot, "Speed", "MemorySlot", "Speed"));
  a.push_back(Attr(kMemorySlot, "Form Factor", "MemorySlot", "FormFactor"));
  a.push_back(Attr(kMemorySlot, "Manufacturer", "MemorySlot", "Manufacturer"));
  constexpr std::string_view kMemCache = "Computer.Memory.Cache";
  a.push_back(Key(kMemCache, "Level", "MemCache", "CacheLevel"));
  a.push_back(Attr(kMemCache, "Size", "MemCache", "CacheSize"));
  a.push_back(Attr(kMemCache, "Type", "MemCache", "CacheType"));
  constexpr std::string_view kEms = "Computer.Memory.EMS Driver";
  a.push_back(Attr(kEms, "Version", "EMSDriverInfo", "Version"));
  a.push_back(Attr(kEms, "Total Pages", "EMSDriverInfo", "TotalPages"));
  a.push_back(Attr(kEms, "Free Pages", "EMSDriverInfo", "FreePages"));
  constexpr std::string_view kXms = "Computer.Memory.XMS Driver";
  a.push_back(Attr(kXms, "Version", "XMSDriverInfo", "Version"));
  a.push_back(Attr(kXms, "Total KB", "XMSDriverInfo", "TotalKB"));
  a.push_back(Attr(kXms, "Free KB", "XMSDriverInfo", "FreeKB"));

  constexpr std::string_view kBoard = "Computer.Motherboard";
  a.push_back(Attr(kBoard, "Manufacturer", "Motherboard", "Manufacturer"));
  a.push_back(Attr(kBoard, "Model", "Motherboard", "Model"));
  a.push_back(Attr(kBoard, "Version", "Motherboard", "Version"));
  a.push_back(Attr(kBoard, "Serial Number", "Motherboard", "SerialNumber", kHistory));
  constexpr std::string_view kBoardSlot = "Computer.Motherboard.Slot";
  a.push_back(Key(kBoardSlot, "Name", "MBSlot", "SlotName"));
  a.push_back(Attr(kBoardSlot, "Type", "MBSlot", "SlotType"));
  a.push_back(Attr(kBoardSlot, "Usage", "MBSlot", "SlotUsage"));
  constexpr std::string_view kBoardCache = "Computer.Motherboard.Cache";
  a.push_back(Key(kBoardCache, "Level", "MBCache", "CacheLevel"));
  a.push_back(Attr(kBoardCache, "Size", "MBCache", "CacheSize"));
  a.push_back(Attr(kBoardCache, "Type", "MBCache", "CacheType"));

  a.push_back(Attr("Computer.Bus", "Type", "Bus", "BusType"));
  a.push_back(Attr("Computer.Bus", "Version", "Bus", "Version"));
  constexpr std::string_view kBusSlot = "Computer.Bus.Slot";
  a.push_back(Key(kBusSlot, "Name", "BusSlots", "SlotName"));
  a.push_back(Attr(kBusSlot, "Type", "BusSlots", "SlotType"));
  a.push_back(Attr(kBusSlot, "Usage", "BusSlots", "SlotUsage"));

  constexpr std::string_view kBios = "Computer.BIOS";
  a.push_back(Attr(kBios, "Manufacturer", "BIOS", "Manufacturer"));
  a.push_back(Attr(kBios, "Version", "BIOS", "Version", kHistory, "BIOS version"));
  a.push_back(Attr(kBios, "Date", "BIOS", "BIOSDate"));
  a.push_back(Attr(kBios, "System Manufacturer", "Manufacturer", "Name"));
  a.push_back(Attr(kBios, "System Model", "Manufacturer", "Model"));
  a.push_back(Attr(kBios, "System Serial Number", "Manufacturer", "SerialNumber", kHistory));
  a.push_back(Attr(kBios, "System UUID", "Manufacturer", "UUID"));
  a.push_back(Attr(kBios, "Asset Tag", "Manufacturer", "AssetTag"));
  // The BIOS text, sent as an embedded file.
  constexpr std::string_view kBiosText = "Computer.BIOS.BIOS Strings";
  a.push_back(Attr(kBiosText, "Data", "BiosStrings", "BiosText"));
  a.push_back(Attr(kBiosText, "Size", "BiosStrings", "TextSize"));
  a.push_back(Attr(kBiosText, "Scan Date", "BiosStrings", "ScanDate"));

  constexpr std::string_view kVideo = "Computer.Video";
  a.push_back(Attr(kVideo, "Adapter", "Video", "AdapterName", kHistory));
  a.push_back(Attr(kVideo, "Chip Type", "Video", "ChipType"));
  a.push_back(Attr(kVideo, "Memory", "Video", "VideoMemory"));
  a.push_back(Attr(kVideo, "Driver Version", "Video", "DriverVersion"));
  a.push_back(Attr(kVideo, "Resolution", "Video", "Resolution"));
  a.push_back(Attr(kVideo, "Color Depth", "Video", "ColorDepth"));
  constexpr std::string_view kMonitor = "Computer.Display.Monitor";
  a.push_back(Key(kMonitor, "Name", "Monitor", "Name"));
  a.push_back(Attr(kMonitor, "Manufacturer", "Monitor", "Manufacturer"));
  a.push_back(Attr(kMonitor, "Model", "Monitor", "Model"));
  a.push_back(Attr(kMonitor, "Serial Number", "Monitor", "SerialNumber"));
  a.push_back(Attr(kMonitor, "Size", "Monitor", "ScreenSize"));
  a.push_back(Attr(kMonitor, "Max Resolution", "Monitor", "MaxResolution"));
  a.push_back(Attr("Computer.Sound", "Name", "Sound", "DeviceName"));
  a.push_back(Attr("Computer.Sound", "Manufacturer", "Sound", "Manufacturer"));
  a.push_back(Attr("Computer.Sound", "Driver", "Sound", "Driver"));
  a.push_back(Attr("Computer.Keyboard", "Type", "Keyboard", "KeyboardType"));
  a.push_back(Attr("Computer.Keyboard", "Layout", "Keyboard", "Layout"));
  a.push_back(Attr("Computer.Mouse", "Type", "Mouse", "MouseType"));
  a.push_back(Attr("Computer.Mouse", "Buttons", "Mouse", "Buttons"));
  constexpr std::string_view kPrinter = "Computer.Printers.Printer";
  a.push_back(Key(kPrinter, "Name", "Printer", "Name"));
  a.push_back(Attr(kPrinter, "Driver", "Printer", "Driver"));
  a.push_back(Attr(kPrinter, "Port", "Printer", "Port"));
  a.push_back(Attr(kPrinter, "Location", "Printer", "Location"));
  a.push_back(Attr(kPrinter, "Default", "Printer", "IsDefault"));
  a.push_back(Attr(kPrinter, "Shared", "Printer", "IsShared"));
  a.push_back(Attr(kPrinter, "Status", "Printer", "Status"));
  constexpr std::string_view kDevice = "Computer.Hardware.Device";
  a.push_back(Key(kDevice, "Name", "Components", "Name"));
  a.push_back(Attr(kDevice, "Class", "Components", "DeviceClass"));
  a.push_back(Attr(kDevice, "Manufacturer", "Components", "Manufacturer"));
  a.push_back(Attr(kDevice, "Description", "Components", "Description"));
  a.push_back(Attr(kDevice, "Driver", "Components", "Driver"));
  a.push_back(Attr(kDevice, "Status", "Components", "Status"));

  constexpr std::string_view kDisk = "Computer.Mass Storage.Disk";
  a.push_back(Key(kDisk, "Name", "DiskDrive", "Name"));
  a.push_back(Attr(kDisk, "Size", "DiskDrive", "DiskSize", kHistory, "Disk size (MB)"));
  a.push_back(Attr(kDisk, "Type", "DiskDrive", "DiskType"));
  a.push_back(Attr(kDisk, "Model", "DiskDrive", "Model"));
  a.push_back(Attr(kDisk, "Serial Number", "DiskDrive", "SerialNumber", kHistory));
  a.push_back(Attr(kDisk, "Interface", "DiskDrive", "BusInterface"));
  constexpr std::string_view kDrive = "Computer.Logical Drive";
  a.push_back(Key(kDrive, "Mount Point", "LogicalDrive", "MountPoint"));
  a.push_back(Attr(kDrive, "File System", "LogicalDrive", "FileSystem"));
  a.push_back(Attr(kDrive, "Total Size", "LogicalDrive", "TotalSize", kHistory));
  a.push_back(Attr(kDrive, "Free Space", "LogicalDrive", "FreeSpace"));
  a.push_back(Attr(kDrive, "Volume", "LogicalDrive", "Volume"));

  constexpr std::string_view kUser = "Computer.Users.Local User";
  a.push_back(Key(kUser, "Name", "LocalUser", "Name"));
  a.push_back(Attr(kUser, "UID", "LocalUser", "UserId"));
  a.push_back(Attr(kUser, "Home", "LocalUser", "HomeDirectory"));
  a.push_back(Attr(kUser, "Shell", "LocalUser", "Shell"));
  a.push_back(Attr(kUser, "Full Name", "LocalUser", "FullName"));
  constexpr std::string_view kGroup = "Computer.Users.Local Group";
  a.push_back(Key(kGroup, "Name", "LocalGroup", "Name"));
  a.push_back(Attr(kGroup, "GID", "LocalGroup", "GroupId"));
  a.push_back(Attr(kGroup, "Members", "LocalGroup", "Members"));

  // Software section.
  constexpr std::string_view kPackage = "Computer.Software.Package";
  a.push_back(Key(kPackage, "Name", "AppSoftware", "Name"));
  a.push_back(Attr(kPackage, "Version", "AppSoftware", "Version", kHistory));
  a.push_back(Attr(kPackage, "Architecture", "AppSoftware", "Architecture"));
  a.push_back(Attr(kPackage, "Size", "AppSoftware", "PackageSize"));
  a.push_back(Attr(kPackage, "Source", "AppSoftware", "Source"));
  a.push_back(Attr(kPackage, "Description", "AppSoftware", "Description"));
  a.push_back(Attr(kPackage, "Vendor", "AppSoftware", "Vendor"));
  a.push_back(Attr(kPackage, "Install Date", "AppSoftware", "InstallDate"));
  constexpr std::string_view kSuite = "Computer.Software.Suite";
  a.push_back(Key(kSuite, "Name", "AppSoftwareSuites", "Name"));
  a.push_back(Attr(kSuite, "Version", "AppSoftwareSuites", "Version"));
  a.push_back(Attr(kSuite, "Vendor", "AppSoftwareSuites", "Vendor"));
  // Executables: see the file comment for why ExeName is not a catalogue column.
  constexpr std::string_view kFile = "Computer.Software.File";
  a.push_back(Key(kFile, "Path", "FileInfoInstance", "Path"));
  a.push_back(Attr(kFile, "ExeName", "FileInfoInstance", "ExecutableName"));
  a.push_back(Attr(kFile, "FileSize", "FileInfoInstance", "FileSize"));
  a.push_back(Attr(kFile, "Title", "FileInfoInstance", "Title"));
  a.push_back(Attr(kFile, "Vendor", "FileInfoInstance", "Vendor"));
  a.push_back(Attr(kFile, "Version", "FileInfoInstance", "Version"));
  a.push_back(Attr(kFile, "Days Since Last Used", "FileInfoInstance", "SCM_DaysSinceLastUsed"));
  a.push_back(Attr(kFile, "Date Discovered", "FileInfoInstance", "SCM_DateDiscovered"));
  a.push_back(Attr(kFile, "Days Since Discovered", "FileInfoInstance", "SCM_DaysSinceDiscovered"));

  // Configuration files, sent as embedded files.
  constexpr std::string_view kConfig = "Computer.Configuration Files.File";
  a.push_back(Key(kConfig, "File Path", "OSConfigFiles", "FilePath"));
  a.push_back(Attr(kConfig, "File Data", "OSConfigFiles", "FileData"));
  a.push_back(Attr(kConfig, "File Size", "OSConfigFiles", "FileSize"));
  a.push_back(Attr(kConfig, "File Date", "OSConfigFiles", "FileDate", kHistory));

  constexpr std::string_view kService = "Computer.Services.Service";
  a.push_back(Key(kService, "Name", "Services", "Name"));
  a.push_back(Attr(kService, "Display Name", "Services", "DisplayName"));
  a.push_back(Attr(kService, "State", "Services", "State"));
  a.push_back(Attr(kService, "Start Mode", "Services", "StartMode"));
  a.push_back(Attr(kService, "Path", "Services", "ExecutablePath"));
  a.push_back(Attr(kService, "Description", "Services", "Description"));
  constexpr std::string_view kDriver = "Computer.Drivers.Driver";
  a.push_back(Key(kDriver, "Name", "Drivers", "Name"));
  a.push_back(Attr(kDriver, "Version", "Drivers", "Version"));
  a.push_back(Attr(kDriver, "Provider", "Drivers", "Provider"));
  a.push_back(Attr(kDriver, "Date", "Drivers", "DriverDate"));
  a.push_back(Attr(kDriver, "Device", "Drivers", "DeviceName"));
  constexpr std::string_view kModule = "Computer.Kernel Modules.Module";
  a.push_back(Key(kModule, "Name", "KernelDrivers", "Name"));
  a.push_back(Attr(kModule, "Size", "KernelDrivers", "ModuleSize"));
  a.push_back(Attr(kModule, "Version", "KernelDrivers", "Version"));
  a.push_back(Attr(kModule, "Description", "KernelDrivers", "Description"));
  a.push_back(Attr(kModule, "Used By", "KernelDrivers", "UsedBy"));
  constexpr std::string_view kSystemDriver = "Computer.System Drivers.Driver";
  a.push_back(Key(kSystemDriver, "Name", "SystemDrivers", "Name"));
  a.push_back(Attr(kSystemDriver, "Display Name", "SystemDrivers", "DisplayName"));
  a.push_back(Attr(kSystemDriver, "State", "SystemDrivers", "State"));
  a.push_back(Attr(kSystemDriver, "Start Mode", "SystemDrivers", "StartMode"));
  a.push_back(Attr(kSystemDriver, "Path", "SystemDrivers", "ExecutablePath"));
  constexpr std::string_view kFont = "Computer.Fonts.Font";
  a.push_back(Key(kFont, "Name", "Font", "Name"));
  a.push_back(Attr(kFont, "File", "Font", "FontFile"));
  a.push_back(Attr(kFont, "Version", "Font", "Version"));
  constexpr std::string_view kAccessory = "Computer.Desk Accessories.Desk Accessory";
  a.push_back(Key(kAccessory, "Name", "DeskAccessory", "Name"));
  a.push_back(Attr(kAccessory, "Version", "DeskAccessory", "Version"));
  constexpr std::string_view kExtension = "Computer.Extensions.Extension";
  a.push_back(Key(kExtension, "Name", "Extension", "Name"));
  a.push_back(Attr(kExtension, "Version", "Extension", "Version"));
  a.push_back(Attr(kExtension, "Enabled", "Extension", "Enabled"));

  constexpr std::string_view kAgent = "Computer.Corvane";
  a.push_back(Attr(kAgent, "Agent Version", "Corvane", "AgentVersion", kHistory));
  a.push_back(Attr(kAgent, "Scanner Version", "Corvane", "ScannerVersion"));
  a.push_back(Attr(kAgent, "Core Server", "Corvane", "CoreServer"));
  a.push_back(Attr(kAgent, "Install Directory", "Corvane", "InstallDirectory"));
  constexpr std::string_view kAgentPart = "Computer.Corvane.Agent";
  a.push_back(Key(kAgentPart, "Name", "CorvaneAgent", "Name"));
  a.push_back(Attr(kAgentPart, "Version", "CorvaneAgent", "Version"));
  a.push_back(Attr(kAgentPart, "Status", "CorvaneAgent", "Status"));

  a.push_back(Attr("Computer.MIF", "Vendor", "MIF", "Vendor"));
  a.push_back(Attr("Computer.MIF", "Product", "MIF", "Product"));
  a.push_back(Attr("Computer.MIF", "Version", "MIF", "Version"));
  a.push_back(Attr("Computer.MIF", "Serial Number", "MIF", "SerialNumber"));
  constexpr std::string_view kMifAttribute = "Computer.MIF.Attribute";
  a.push_back(Key(kMifAttribute, "Name", "MIFAttribute", "Name"));
  a.push_back(Attr(kMifAttribute, "Value", "MIFAttribute", "AttributeValue"));
  a.push_back(Attr(kMifAttribute, "Group", "MIFAttribute", "GroupName"));

  constexpr std::string_view kVulnerability = "Computer.Security.Vulnerability";
  a.push_back(Key(kVulnerability, "ID", "ComputerVulnerability", "VulnerabilityId"));
  a.push_back(Attr(kVulnerability, "Title", "ComputerVulnerability", "Title"));
  a.push_back(Attr(kVulnerability, "Severity", "ComputerVulnerability", "Severity"));
  a.push_back(Attr(kVulnerability, "Status", "ComputerVulnerability", "Status",
                   kTrackEventLog | kTrackAlert | kTrackError, "Vulnerability status"));
  a.push_back(Attr(kVulnerability, "Detected", "ComputerVulnerability", "DetectedDate"));
  a.push_back(Attr(kVulnerability, "Patch", "ComputerVulnerability", "Patch"));

  // Values without a table of their own: one UnmodeledData row each.
  for (std::string_view name :
       {"Boot Time", "Uptime", "Virtualization", "Chassis Type", "Time Zone", "Locale"}) {
    a.push_back(Attr("Computer.System", name, "UnmodeledData", "DataString"));
  }
  for (std::string_view name : {"PATH", "LANG", "TEMP"}) {
    a.push_back(Attr("Computer.Environment", name, "UnmodeledData", "DataString"));
  }
}

Schema BuildSchema() {
  Schema schema;
  schema.version = 4;
  AddTables(schema);
  AddAttributes(schema);
  return schema;
}

}  // namespace

const Schema& InventorySchema() {
  static const Schema* const schema = new Schema(BuildSchema());
  return *schema;
}

}  // namespace corvane::db::schema
