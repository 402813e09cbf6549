#include "tools/cvadmin/inventory_view.h"

#include <cstdio>
#include <ctime>

#include "Common/Include/ascii_case.h"
#include "db/dialect.h"
#include "db/schema.h"
#include "db/value.h"

namespace corvane::cvadmin {
namespace {

namespace schema = db::schema;

// "UPPER(column) LIKE UPPER('%text%') ESCAPE '!'" with the wildcards of
// `text` escaped.
std::string Contains(std::string_view column, std::string_view text) {
  std::string pattern = "%";
  for (char c : text) {
    if (c == '%' || c == '_' || c == '!') pattern += '!';
    pattern += c;
  }
  pattern += '%';
  return "UPPER(" + std::string(column) + ") LIKE UPPER(" +
         db::SqlQuote(db::DbValue::Text(pattern)) + ") ESCAPE '!'";
}

// A stored value as text: dates as UTC timestamps, binary values as their
// size.
std::string Shown(const db::DbValue& value) {
  switch (value.type()) {
    case db::DbValue::Type::kDate:
      return FormatTimestamp(value.date());
    case db::DbValue::Type::kBytes:
      return std::to_string(value.bytes().size()) + " bytes";
    default:
      return value.ToText();
  }
}

// The scan's name for a column, else the column's own.
std::string Label(std::string_view table, std::string_view column) {
  for (const schema::Attribute& attribute : schema::InventorySchema().attributes) {
    if (EqualsIgnoringCase(attribute.table, table) &&
        EqualsIgnoringCase(attribute.column, column)) {
      return std::string(attribute.attribute);
    }
  }
  return std::string(column);
}

void AppendRows(db::Connection& connection, const std::string& sql, Tabular& table) {
  for (db::Recordset rows = connection.Query(sql); !rows.AtEnd(); rows.Next()) {
    std::vector<std::string> row;
    for (int i = 0; i < rows.FieldCount(); ++i) row.push_back(Shown(rows.Value(i)));
    table.rows.push_back(std::move(row));
  }
}

bool IsIdColumn(const schema::Table& table, const schema::Column& column) {
  const std::string_view name = column.name;
  return EqualsIgnoringCase(name, table.id_column) || EqualsIgnoringCase(name, "Computer_Idn") ||
         (column.type == schema::ColumnType::kInteger && name.size() > 4 &&
          EqualsIgnoringCase(name.substr(name.size() - 4), "_Idn"));
}

}  // namespace

Tabular ListDevices(db::Connection& connection, std::string_view search) {
  Tabular table{{"Computer_Idn", "Device ID", "Name", "Host", "Address", "OS", "Last scan",
                 "Inventory server"},
                {}};
  std::string sql =
      "SELECT c.Computer_Idn, c.DeviceId, c.DeviceName, c.HostName, n.IPAddress, o.Name, "
      "c.LastUpdInvSvr, c.InventoryServer FROM Computer c "
      "LEFT JOIN NetworkSoftware n ON n.Computer_Idn = c.Computer_Idn "
      "LEFT JOIN Operating_System o ON o.Computer_Idn = c.Computer_Idn";
  if (!search.empty()) {
    sql += " WHERE " + Contains("c.DeviceId", search) + " OR " + Contains("c.DeviceName", search) +
           " OR " + Contains("c.HostName", search) + " OR " + Contains("n.IPAddress", search) +
           " OR " + Contains("o.Name", search);
  }
  sql += " ORDER BY c.DeviceName, c.Computer_Idn";
  AppendRows(connection, sql, table);
  return table;
}

std::vector<int32_t> FindDevices(db::Connection& connection, std::string_view name) {
  std::string condition;
  if (!name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos &&
      name.size() <= 9) {
    condition = "Computer_Idn = " + std::string(name);
  } else {
    const std::string literal = db::SqlQuote(db::DbValue::Text(std::string(name)));
    condition = "DeviceId = " + literal + " OR UPPER(DeviceName) = UPPER(" + literal +
                ") OR UPPER(HostName) = UPPER(" + literal + ")";
  }
  std::vector<int32_t> found;
  for (db::Recordset rows = connection.Query("SELECT Computer_Idn FROM Computer WHERE " +
                                             condition + " ORDER BY Computer_Idn");
       !rows.AtEnd(); rows.Next()) {
    found.push_back(rows.Value(0).ToInt32().value_or(0));
  }
  return found;
}

std::vector<ComponentRows> DeviceComponents(db::Connection& connection, int32_t computer_idn) {
  std::vector<ComponentRows> components;
  const std::string device = std::to_string(computer_idn);
  for (const schema::Table& table : schema::InventorySchema().tables) {
    if (table.kind == schema::kKindNone || table.name == "FileInfo") continue;
    ComponentRows component{std::string(table.name), std::string(table.description), {}};
    std::string sql;
    if (table.kind == schema::kKindFileInstance && table.name == "FileInfoInstance") {
      // The catalogue holds what the device's file rows leave NULL.
      component.rows.columns = {"Path", "File name", "Size", "Title", "Version", "Vendor"};
      sql =
          "SELECT i.Path, f.FileName, f.FileSize, f.Title, f.Version, f.Vendor "
          "FROM FileInfoInstance i LEFT JOIN FileInfo f ON f.FileInfo_Idn = i.FileInfo_Idn "
          "WHERE i.Computer_Idn = " +
          device + " ORDER BY i.Path";
    } else {
      std::string columns;
      for (const schema::Column& column : table.columns) {
        if (IsIdColumn(table, column)) continue;
        columns += (columns.empty() ? "" : ", ") + std::string(column.name);
        component.rows.columns.push_back(Label(table.name, column.name));
      }
      const bool per_device = schema::InventorySchema().FindColumn(table.name, "Computer_Idn");
      if (columns.empty() || !per_device) continue;
      sql = "SELECT " + columns + " FROM " + std::string(table.name) +
            " WHERE Computer_Idn = " + device + " ORDER BY " + columns.substr(0, columns.find(','));
    }
    AppendRows(connection, sql, component.rows);
    if (!component.rows.rows.empty()) components.push_back(std::move(component));
  }
  return components;
}

Tabular DeviceHistory(db::Connection& connection, db::DbmsKind kind, int32_t computer_idn,
                      std::optional<int64_t> since, size_t limit) {
  Tabular table{{"Date", "Attribute", "Instance", "Old", "New"}, {}};
  std::string sql =
      "SELECT CHANGEDATE, METAOBJATTRRELATIONS_IDN, PKVALSTR, PKVALINT, OLDSTR, NEWSTR, OLDINT, "
      "NEWINT, OLDDATE, NEWDATE FROM HISTORY WHERE COMPUTER_IDN = " +
      std::to_string(computer_idn);
  if (since) sql += " AND CHANGEDATE >= " + db::DateLiteral(*since, kind);
  sql += " ORDER BY CHANGEDATE DESC, HISTORY_IDN DESC";
  const std::vector<schema::Attribute>& attributes = schema::InventorySchema().attributes;
  for (db::Recordset rows = connection.Query(sql); !rows.AtEnd(); rows.Next()) {
    if (limit != 0 && table.rows.size() >= limit) break;
    const int32_t attribute_idn = rows.Value(1).ToInt32().value_or(0);
    std::string attribute = std::to_string(attribute_idn);
    if (attribute_idn > 0 && static_cast<size_t>(attribute_idn) <= attributes.size()) {
      const schema::Attribute& known = attributes[static_cast<size_t>(attribute_idn) - 1];
      attribute = std::string(known.component) + " / " + std::string(known.attribute);
    }
    // A change keeps its values in the columns of their kind.
    auto either = [&](int text, int number, int date) {
      if (!rows.Value(text).is_null_like()) return Shown(rows.Value(text));
      if (!rows.Value(number).is_null_like()) return Shown(rows.Value(number));
      return Shown(rows.Value(date));
    };
    const std::string instance =
        rows.Value(2).is_null_like() ? Shown(rows.Value(3)) : Shown(rows.Value(2));
    table.rows.push_back(
        {Shown(rows.Value(0)), attribute, instance, either(4, 6, 8), either(5, 7, 9)});
  }
  return table;
}

Tabular ListSoftware(db::Connection& connection, std::string_view search) {
  Tabular table{{"Name", "Version", "Devices"}, {}};
  std::string sql = "SELECT Name, Version, COUNT(DISTINCT Computer_Idn) FROM AppSoftware";
  if (!search.empty()) sql += " WHERE " + Contains("Name", search);
  sql += " GROUP BY Name, Version ORDER BY Name, Version";
  AppendRows(connection, sql, table);
  return table;
}

std::optional<int64_t> ParseDate(std::string_view text) {
  std::tm parts{};
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char rest = 0;
  const std::string copy(text);
  const int read = std::sscanf(copy.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &year, &month, &day,
                               &hour, &minute, &second, &rest);
  if (read != 3 && read != 5 && read != 6) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  return static_cast<int64_t>(timegm(&parts));
}

}  // namespace corvane::cvadmin
