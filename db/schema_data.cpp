// The inventory schema's content: tables and metaschema rows.
//
// Append new attributes at the end of their list only: an attribute's
// METAOBJATTRRELATIONS_IDN is its position (see schema.h).

#include "db/schema.h"

namespace corvane::db::schema {
namespace {

using T = ColumnType;

Schema BuildSchema() {
  Schema schema;
  schema.version = 1;

  // --- The metaschema itself -------------------------------------------
  schema.tables.push_back({.name = "METAOBJATTRRELATIONS",
                           .columns = {{"METAOBJATTRRELATIONS_IDN", T::kInteger, 0, true},
                                       {"COMPONENTPATH", T::kText, 255, true},
                                       {"ATTRIBUTENAME", T::kText, 255, true},
                                       {"TABLENAME", T::kText, 64, true},
                                       {"COLUMNNAME", T::kText, 64, true},
                                       {"PARENTTABLE", T::kText, 64},
                                       {"TYPENAME", T::kText, 32, true},
                                       {"TABLEKIND", T::kInteger},
                                       {"PARENTKIND", T::kInteger},
                                       {"KEYATTR", T::kInteger},
                                       {"MARKER", T::kInteger},
                                       {"TRACKFLAGS", T::kInteger},
                                       {"DISPLAYNAME", T::kText, 255}},
                           .key_list = {"METAOBJATTRRELATIONS_IDN"},
                           .description = "The metaschema: where each scan attribute is stored."});
  schema.tables.push_back({.name = "CV_MKEYS",
                           .columns = {{"NAME", T::kText, 64, true},
                                       {"TABLENAME", T::kText, 64, true},
                                       {"KeyList", T::kText, 255}},
                           .description = "Key column lists, one row \"XPK\" + table name."});
  schema.tables.push_back({.name = "METASYSTEMS",
                           .columns = {{"System_Idn", T::kInteger, 0, true},
                                       {"SYSTEMNAME", T::kText, 64},
                                       {"SWSCANFREQ", T::kInteger},
                                       {"METASTAMP", T::kDate},
                                       {"SCHEMAVERSION", T::kInteger}},
                           .key_list = {"System_Idn"},
                           .description = "Database-wide settings; row System_Idn 0."});

  // --- The device row -------------------------------------------------
  schema.tables.push_back({.name = "Computer",
                           .kind = kKindDevice,
                           .id_column = "Computer_Idn",
                           .columns = {{"Computer_Idn", T::kInteger, 0, true},
                                       {"DeviceId", T::kText, 64},
                                       {"DeviceName", T::kText, 255},
                                       {"Type", T::kText, 64},
                                       {"LastHWScanDate", T::kText, 32},
                                       {"LastUpdInvSvr", T::kDate},
                                       {"InventoryServer", T::kText, 255}},
                           .key_list = {"Computer_Idn"},
                           .indexes = {{"DeviceId"}, {"DeviceName"}},
                           .description = "One row per device."});
  schema.tables.push_back({.name = "NetworkAdapter",
                           .kind = kKindKeyedRow,
                           .parent = "Computer",
                           .id_column = "NetworkAdapter_Idn",
                           .columns = {{"NetworkAdapter_Idn", T::kInteger, 0, true},
                                       {"Computer_Idn", T::kInteger, 0, true},
                                       {"Name", T::kText, 255},
                                       {"MACAddress", T::kText, 64}},
                           .key_list = {"Computer_Idn", "Name"},
                           .description = "Network adapters, one row per adapter name."});

  schema.attributes = {
      {"Computer", "Device ID", "Computer", "DeviceId", false, true},
      {"Computer", "Device Name", "Computer", "DeviceName", false, true},
      {"Computer", "Type", "Computer", "Type"},
      {"Computer", "Last Hardware Scan date", "Computer", "LastHWScanDate"},
      {"Computer.Network.Adapter", "Name", "NetworkAdapter", "Name", true},
      {"Computer.Network.Adapter", "MAC Address", "NetworkAdapter", "MACAddress"},
  };
  return schema;
}

}  // namespace

const Schema& InventorySchema() {
  static const Schema* const schema = new Schema(BuildSchema());
  return *schema;
}

}  // namespace corvane::db::schema
