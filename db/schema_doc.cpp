#include "db/schema_doc.h"

#include <algorithm>
#include <map>
#include <string>

#include "Common/Include/ascii_case.h"

namespace corvane::db::schema {
namespace {

constexpr std::string_view kComputerIdn = "Computer_Idn";

// A table cell: "|" would end it and a line break would end the row.
std::string Cell(std::string_view text) {
  std::string cell;
  for (char c : text) {
    if (c == '|') {
      cell += "\\|";
    } else if (c == '\n' || c == '\r') {
      cell += ' ';
    } else {
      cell += c;
    }
  }
  return cell;
}

std::string Join(const std::vector<std::string_view>& names, std::string_view separator) {
  std::string text;
  for (std::string_view name : names) {
    if (!text.empty()) text += separator;
    text += name;
  }
  return text;
}

std::string ColumnList(const std::vector<std::string_view>& names) {
  return "(" + Join(names, ", ") + ")";
}

std::string TypeText(const Column& column) {
  std::string text(TypeName(column.type));
  if (column.type == ColumnType::kText) text += "(" + std::to_string(column.length) + ")";
  return text;
}

std::string KindText(int kind) {
  return std::to_string(kind) + " (" + std::string(KindName(kind)) + ")";
}

// GitHub's anchor of a heading that is a plain identifier.
std::string Anchor(std::string_view name) { return Lower(name); }

bool HasColumn(const Table& table, std::string_view name) {
  return std::any_of(table.columns.begin(), table.columns.end(),
                     [&](const Column& column) { return EqualsIgnoringCase(column.name, name); });
}

// The attributes stored in one column, as "component / attribute" texts.
std::string Holders(const Schema& schema, const Table& table, const Column& column) {
  std::string text;
  for (const Attribute& attribute : schema.attributes) {
    if (!EqualsIgnoringCase(attribute.table, table.name) ||
        !EqualsIgnoringCase(attribute.column, column.name)) {
      continue;
    }
    if (!text.empty()) text += "; ";
    text += std::string(attribute.component) + " / " + std::string(attribute.attribute);
    if (attribute.key) text += " (key)";
  }
  return text;
}

void WriteTable(const Schema& schema, const Table& table, std::string& out) {
  out += "### " + std::string(table.name) + "\n\n";
  if (!table.description.empty()) out += std::string(table.description) + "\n\n";
  out += "- Kind: " + KindText(table.kind) + "\n";
  out += "- Parent: " + (table.parent.empty() ? std::string("none") : std::string(table.parent)) +
         "\n";
  out += "- Own id: " +
         (table.id_column.empty() ? std::string("none") : std::string(table.id_column)) + "\n";
  if (table.key_list.empty()) {
    out += "- Key list: none\n";
  } else {
    out += "- Key list (CV_MKEYS XPK" + std::string(table.name) +
           "): " + Join(table.key_list, ", ") + "\n";
  }
  std::vector<std::string> indexes;
  std::vector<std::string_view> automatic = AutomaticIndex(schema, table);
  if (!automatic.empty()) indexes.push_back(ColumnList(automatic) + " automatic");
  for (const auto& index : table.indexes) indexes.push_back(ColumnList(index));
  std::string index_text;
  for (const std::string& index : indexes) {
    if (!index_text.empty()) index_text += ", ";
    index_text += index;
  }
  out += "- Indexes: " + (index_text.empty() ? std::string("none") : index_text) + "\n";
  for (const UniqueKey& key : table.unique_keys) {
    out += "- Unique: " + ColumnList(key.columns);
    if (!key.except_value.empty()) {
      out += " except \"" + std::string(key.except_value) + "\"";
    }
    out += " (one row per value, whichever server writes it)\n";
  }
  out += "\n";

  out += "| Column | Type | Null | Holds |\n|---|---|---|---|\n";
  for (const Column& column : table.columns) {
    out += "| " + Cell(column.name) + " | " + TypeText(column) + " | " +
           (column.not_null ? "NOT NULL" : "") + " | " + Cell(Holders(schema, table, column)) +
           " |\n";
  }
  out += "\n";
}

void WriteComponent(const Schema& schema, std::string_view component,
                    const std::vector<size_t>& rows, std::string& out) {
  out += "### " + Cell(component) + "\n\n";
  out += "| Id | Attribute | Table.Column | Type | Key | Marker | TrackFlags | Display name |\n";
  out += "|---|---|---|---|---|---|---|---|\n";
  for (size_t row : rows) {
    const Attribute& attribute = schema.attributes[row];
    const Column* column = schema.FindColumn(attribute.table, attribute.column);
    std::string type = column == nullptr ? "?" : TypeText(*column);
    out += "| " + std::to_string(row + 1) + " | " + Cell(attribute.attribute) + " | " +
           Cell(attribute.table) + "." + Cell(attribute.column) + " | " + type + " | " +
           (attribute.key ? "yes" : "") + " | " + (attribute.marker ? "yes" : "") + " | " +
           (attribute.track_flags == 0 ? std::string() : std::to_string(attribute.track_flags)) +
           " | " + Cell(attribute.display_name) + " |\n";
  }
  out += "\n";
}

}  // namespace

std::string_view KindName(int kind) {
  switch (kind) {
    case kKindNone:
      return "not a component table";
    case kKindDeviceChild:
      return "child of a one-per-device table";
    case kKindFileInstance:
      return "file instance";
    case kKindNetworkSoftware:
      return "network software family";
    case kKindOperatingSystem:
      return "operating system family";
    case kKindCorvane:
      return "Corvane agent family";
    case kKindDevice:
      return "one row per device";
    case kKindMif:
      return "MIF family";
    case kKindUnmodeled:
      return "unmodeled data";
    case kKindSuite:
      return "software suite family";
    case kKindKeyedRow:
      return "keyed rows with own id";
    case kKindOsKeyedChild:
      return "keyed child of the operating system";
    case kKindNoPurge:
      return "never purged";
  }
  return "unknown";
}

std::string_view KeyAttributeColumn(const Schema& schema, const Table& table) {
  for (const Attribute& attribute : schema.attributes) {
    if (attribute.key && EqualsIgnoringCase(attribute.table, table.name)) return attribute.column;
  }
  return {};
}

std::vector<std::string_view> AutomaticIndex(const Schema& schema, const Table& table) {
  if (table.kind == kKindNone || EqualsIgnoringCase(table.name, "Computer") ||
      !HasColumn(table, kComputerIdn)) {
    return {};
  }
  std::vector<std::string_view> index = {kComputerIdn};
  std::string_view key = KeyAttributeColumn(schema, table);
  if (!key.empty() && !EqualsIgnoringCase(key, kComputerIdn)) index.push_back(key);
  return index;
}

std::string SchemaMarkdown(const Schema& schema) {
  std::string out;
  out += "# Inventory database schema\n\n";
  out +=
      "<!-- Generated from the schema definition (db/schema_data.cpp) by corvane_schemadoc; "
      "regenerate with the build target schema-doc instead of editing. -->\n\n";
  out += "Schema version " + std::to_string(schema.version) + ": " +
         std::to_string(schema.tables.size()) + " tables, " +
         std::to_string(schema.attributes.size()) + " metaschema attributes.\n\n";
  out +=
      "Tables and columns are created unquoted: PostgreSQL shows their names in lower case, "
      "Oracle in upper case. A table's kind tells the store how a row hangs off the device "
      "row; per-device tables carry Computer_Idn and get the automatic index on Computer_Idn "
      "and their key column. Column types are the metaschema type names (VARCHAR, INT, "
      "DATETIME, IMAGE), written per DBMS when the database is created.\n\n";

  out += "## Tables\n\n| Table | Kind | Parent | Description |\n|---|---|---|---|\n";
  for (const Table& table : schema.tables) {
    out += "| [" + Cell(table.name) + "](#" + Anchor(table.name) + ") | " +
           std::to_string(table.kind) + " | " + Cell(table.parent) + " | " +
           Cell(table.description) + " |\n";
  }
  out += "\n";
  for (const Table& table : schema.tables) WriteTable(schema, table, out);

  out += "## Metaschema\n\n";
  out +=
      "One METAOBJATTRRELATIONS row per attribute; Id is its METAOBJATTRRELATIONS_IDN. "
      "Key: the component's instances are told apart by this attribute. Marker: an identity "
      "attribute, whose changes count towards the duplicate-device test. TrackFlags: 1 event "
      "log, 2 history row, 4 alert; 16 makes the event a warning, 24 an error.\n\n";
  std::map<std::string_view, std::vector<size_t>> components;
  for (size_t row = 0; row < schema.attributes.size(); ++row) {
    components[schema.attributes[row].component].push_back(row);
  }
  for (const auto& [component, rows] : components) {
    WriteComponent(schema, component, rows, out);
  }
  while (out.ends_with("\n\n")) out.pop_back();
  return out;
}

}  // namespace corvane::db::schema
