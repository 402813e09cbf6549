#include "db/schema_ddl.h"

#include <algorithm>

#include <cstdio>
#include <set>
#include <stdexcept>

#include "Common/Include/ascii_case.h"
#include "db/dialect.h"
#include "db/value.h"

namespace corvane::db::schema {
namespace {

// Oracle's limit on identifiers (before 12.2, still the common ground).
constexpr size_t kMaxName = 30;
constexpr std::string_view kSequenceSuffix = "SEQ";
constexpr std::string_view kComputerIdn = "Computer_Idn";
constexpr int kMaxTextLength = 4000;  // VARCHAR2's limit

[[noreturn]] void Invalid(const std::string& what) {
  throw std::invalid_argument("schema definition: " + what);
}

void CheckIdentifier(std::string_view name, std::string_view what) {
  bool plain =
      !name.empty() && ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
  for (char c : name) {
    plain = plain && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '_');
  }
  if (!plain)
    Invalid(std::string(what) + " \"" + std::string(name) + "\" is not a plain identifier");
  if (name.size() > kMaxName) {
    Invalid(std::string(what) + " \"" + std::string(name) + "\" is longer than 30 characters");
  }
}

const Column* FindIn(const Table& table, std::string_view column) {
  for (const Column& candidate : table.columns) {
    if (EqualsIgnoringCase(candidate.name, column)) return &candidate;
  }
  return nullptr;
}

const Column& RequireColumn(const Table& table, std::string_view column, std::string_view use) {
  const Column* found = FindIn(table, column);
  if (found == nullptr) {
    Invalid(std::string(use) + " of table " + std::string(table.name) +
            " names the missing column " + std::string(column));
  }
  return *found;
}

bool IsPerDeviceTable(const Table& table) {
  return table.kind != kKindNone && !EqualsIgnoringCase(table.name, "Computer") &&
         FindIn(table, kComputerIdn) != nullptr;
}

bool IsOwnId(const Table& table, const Column& column) {
  return !table.id_column.empty() && EqualsIgnoringCase(column.name, table.id_column);
}

bool IsNotNull(const Table& table, const Column& column) {
  return column.not_null || IsOwnId(table, column) || EqualsIgnoringCase(column.name, kComputerIdn);
}

// Checks what every dialect needs of a table; the DDL below relies on it.
void CheckTable(const Table& table) {
  CheckIdentifier(table.name, "table name");
  if (table.columns.empty()) Invalid("table " + std::string(table.name) + " has no columns");
  std::set<std::string> seen;
  for (const Column& column : table.columns) {
    CheckIdentifier(column.name, "column name");
    if (!seen.insert(Upper(column.name)).second) {
      Invalid("table " + std::string(table.name) + " defines column " + std::string(column.name) +
              " twice");
    }
    if (column.type == ColumnType::kText && (column.length < 1 || column.length > kMaxTextLength)) {
      Invalid("column " + std::string(table.name) + "." + std::string(column.name) +
              " has a text length outside 1..4000");
    }
  }
  if (!table.id_column.empty()) {
    if (table.name.size() + kSequenceSuffix.size() > kMaxName) {
      Invalid("table " + std::string(table.name) +
              " has an own id, so its name must leave room for the sequence suffix SEQ");
    }
    if (RequireColumn(table, table.id_column, "the id").type != ColumnType::kInteger) {
      Invalid("the id column of table " + std::string(table.name) + " is not an integer");
    }
  }
  for (std::string_view key : table.key_list) RequireColumn(table, key, "the key list");
  for (const auto& index : table.indexes) {
    if (index.empty()) Invalid("table " + std::string(table.name) + " has an empty index");
    for (std::string_view column : index) RequireColumn(table, column, "an index");
  }
  for (const UniqueKey& key : table.unique_keys) {
    if (key.columns.empty())
      Invalid("table " + std::string(table.name) + " has an empty unique key");
    for (std::string_view column : key.columns) RequireColumn(table, column, "a unique key");
    if (key.except_value.empty()) continue;
    // The exception is written into the DDL as a literal and must mean the
    // same on every dialect.
    if (key.columns.size() != 1 ||
        RequireColumn(table, key.columns[0], "a unique key").type != ColumnType::kText) {
      Invalid("the unique key of table " + std::string(table.name) +
              " with an exception must be one text column");
    }
  }
}

void CheckTables(const Schema& schema) {
  std::set<std::string> names;
  for (const Table& table : schema.tables) {
    CheckTable(table);
    if (!names.insert(Upper(table.name)).second) {
      Invalid("table " + std::string(table.name) + " is defined twice");
    }
  }
}

std::string TypeText(const Column& column, DbmsKind kind) {
  switch (column.type) {
    case ColumnType::kText:
      return (kind == kDbmsOracle ? "VARCHAR2(" : "VARCHAR(") + std::to_string(column.length) + ")";
    case ColumnType::kInteger:
      return kind == kDbmsOracle ? "NUMBER(10)" : "INTEGER";
    case ColumnType::kDate:
      switch (kind) {
        case kDbmsPostgres:
          return "TIMESTAMP";
        case kDbmsOracle:
          return "DATE";
        default:
          return "DATETIME";
      }
    case ColumnType::kImage:
      switch (kind) {
        case kDbmsPostgres:
          return "BYTEA";
        case kDbmsSqlServer:
          return "IMAGE";
        default:
          return "BLOB";
      }
  }
  return "VARCHAR(255)";
}

std::string OwnIdText(DbmsKind kind) {
  switch (kind) {
    case kDbmsSqlite:
      return "INTEGER PRIMARY KEY AUTOINCREMENT";
    case kDbmsPostgres:
      return "SERIAL PRIMARY KEY";
    case kDbmsSqlServer:
      return "INT IDENTITY(1,1) PRIMARY KEY";
    default:
      return "NUMBER(10) PRIMARY KEY";
  }
}

// The primary key columns of a table without an own id: the key list of a
// table outside the component tables (the metaschema's ids), when every key
// column can be one. Component tables get none: the store inserts a new row
// whenever a row with the scan's key value is not found, so a device can
// legitimately hold two rows with the same Computer_Idn, and a key would
// fail the whole scan instead.
std::vector<std::string_view> KeyListPrimaryKey(const Table& table) {
  if (!table.id_column.empty() || table.kind != kKindNone || table.key_list.empty()) return {};
  for (std::string_view key : table.key_list) {
    if (!IsNotNull(table, *FindIn(table, key))) return {};
  }
  return table.key_list;
}

std::vector<std::string_view> PrimaryKey(const Table& table) {
  if (!table.id_column.empty()) return {table.id_column};
  return KeyListPrimaryKey(table);
}

std::string Join(const std::vector<std::string_view>& parts, std::string_view separator) {
  std::string out;
  for (std::string_view part : parts) {
    if (!out.empty()) out += separator;
    out += part;
  }
  return out;
}

std::string CreateTable(const Table& table, DbmsKind kind) {
  std::string sql = "CREATE TABLE " + std::string(table.name) + " (";
  bool first = true;
  for (const Column& column : table.columns) {
    if (!first) sql += ", ";
    first = false;
    sql += column.name;
    sql += ' ';
    if (IsOwnId(table, column)) {
      sql += OwnIdText(kind);
      continue;
    }
    sql += TypeText(column, kind);
    if (IsNotNull(table, column)) sql += " NOT NULL";
  }
  std::vector<std::string_view> key = KeyListPrimaryKey(table);
  if (!key.empty()) sql += ", PRIMARY KEY (" + Join(key, ", ") + ")";
  return sql + ")";
}

// Gives out object names that are unique ignoring case (PostgreSQL and
// Oracle fold unquoted names) and fit Oracle's 30 characters. A name too
// long, or taken, is cut and given a hash of the full name.
class NameBook {
 public:
  void Reserve(std::string_view name) { used_.insert(Upper(name)); }

  std::string Unique(const std::string& wanted) {
    if (wanted.size() <= kMaxName && used_.insert(Upper(wanted)).second) return wanted;
    for (uint32_t salt = 0;; ++salt) {
      char hash[10];
      std::snprintf(hash, sizeof hash, "_%08X", Fnv1a(wanted, salt));
      std::string name = wanted.substr(0, kMaxName - 9) + hash;
      if (used_.insert(Upper(name)).second) return name;
    }
  }

 private:
  static uint32_t Fnv1a(std::string_view text, uint32_t salt) {
    uint32_t hash = 2166136261u ^ salt;
    for (char c : text) {
      hash ^= static_cast<unsigned char>(AsciiUpper(c));
      hash *= 16777619u;
    }
    return hash;
  }

  std::set<std::string> used_;
};

// The column of the table's key attribute, empty when it has none.
std::string_view KeyAttributeColumn(const Schema& schema, const Table& table) {
  for (const Attribute& attribute : schema.attributes) {
    if (attribute.key && EqualsIgnoringCase(attribute.table, table.name)) return attribute.column;
  }
  return {};
}

// True when `a` is `b` or its leading part (an index on `b` serves `a`).
bool LeadsOrSame(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
  if (a.size() > b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!EqualsIgnoringCase(a[i], b[i])) return false;
  }
  return true;
}

// The column lists to index, in order. A list that another index or the
// primary key serves already (the same columns, or their leading part) is
// left out: it would cost every insert for nothing, and Oracle refuses an
// index on a list already indexed.
std::vector<std::vector<std::string_view>> IndexLists(const Schema& schema, const Table& table) {
  std::vector<std::vector<std::string_view>> wanted;
  if (IsPerDeviceTable(table)) {
    std::vector<std::string_view> device = {kComputerIdn};
    std::string_view key = KeyAttributeColumn(schema, table);
    if (!key.empty() && !EqualsIgnoringCase(key, kComputerIdn)) {
      device.push_back(RequireColumn(table, key, "the key attribute").name);
    }
    wanted.push_back(std::move(device));
  }
  wanted.insert(wanted.end(), table.indexes.begin(), table.indexes.end());

  std::vector<std::string_view> primary = PrimaryKey(table);
  std::vector<std::vector<std::string_view>> lists;
  for (size_t i = 0; i < wanted.size(); ++i) {
    bool served = LeadsOrSame(wanted[i], primary);
    for (size_t j = 0; j < wanted.size() && !served; ++j) {
      if (j == i || !LeadsOrSame(wanted[i], wanted[j])) continue;
      // Of two equal lists the first one stays.
      served = wanted[i].size() < wanted[j].size() || j < i;
    }
    if (!served) lists.push_back(wanted[i]);
  }
  return lists;
}

// The file catalogue is searched by UPPER(FileName), so that is what its
// index holds. SQL Server indexes no expressions: it indexes a computed
// column of the same expression instead, and its optimiser matches the
// lookups' UPPER(FileName) to it.
constexpr char kUpperFileNameColumn[] = "FileNameUpper";

bool IsCatalogueName(const Table& table, std::string_view column) {
  return EqualsIgnoringCase(table.name, "FileInfo") && EqualsIgnoringCase(column, "FileName");
}

std::string IndexedColumn(const Table& table, std::string_view column, DbmsKind kind) {
  if (IsCatalogueName(table, column)) {
    return kind == kDbmsSqlServer ? kUpperFileNameColumn : "UPPER(" + std::string(column) + ")";
  }
  return std::string(column);
}

std::string Literal(std::string_view text) { return SqlQuote(DbValue::Text(std::string(text))); }

// What a unique index holds for a NULL in a nullable number column on SQLite
// and PostgreSQL, which take NULLs as distinct from each other: INT's
// smallest value, which no size or count takes. SQL Server and Oracle take a
// NULL as one value in a unique index already.
constexpr char kNullKeyNumber[] = "-2147483648";

std::string UniqueColumnText(const Table& table, const Column& column, DbmsKind kind) {
  std::string text = IndexedColumn(table, column.name, kind);
  if ((kind == kDbmsSqlite || kind == kDbmsPostgres) && column.type == ColumnType::kInteger &&
      !IsNotNull(table, column)) {
    text = "COALESCE(" + text + ", " + kNullKeyNumber + ")";
  }
  return text;
}

// "UX_<table>_<n>": at most 30 characters for every table whose name leaves
// room for the sequence suffix; unique, since table names are.
std::vector<std::string> UniqueIndexes(const Table& table, DbmsKind kind) {
  std::vector<std::string> statements;
  int number = 0;
  NameBook names;
  for (const UniqueKey& key : table.unique_keys) {
    const std::string name =
        names.Unique("UX_" + std::string(table.name) + "_" + std::to_string(++number));
    std::string sql = "CREATE UNIQUE INDEX " + name + " ON " + std::string(table.name) + " (";
    if (!key.except_value.empty() && kind == kDbmsOracle) {
      // Oracle has no partial index, but leaves out the rows whose indexed
      // expression is NULL.
      const std::string column = IndexedColumn(table, key.columns[0], kind);
      statements.push_back(sql + "CASE WHEN " + column + " <> " + Literal(key.except_value) +
                           " THEN " + column + " END)");
      continue;
    }
    for (size_t i = 0; i < key.columns.size(); ++i) {
      if (i > 0) sql += ", ";
      sql += UniqueColumnText(table, *FindIn(table, key.columns[i]), kind);
    }
    sql += ")";
    if (!key.except_value.empty()) {
      const std::string column = IndexedColumn(table, key.columns[0], kind);
      // SQL Server holds every NULL as one value, even in a filtered index.
      sql += " WHERE " + (kind == kDbmsSqlServer ? column + " IS NOT NULL AND " : std::string()) +
             column + " <> " + Literal(key.except_value);
    }
    statements.push_back(std::move(sql));
  }
  return statements;
}

const Table& RequireTable(const Schema& schema, std::string_view name, std::string_view use) {
  const Table* table = schema.FindTable(name);
  if (table == nullptr) Invalid(std::string(use) + " names the missing table " + std::string(name));
  return *table;
}

void CheckKind(DbmsKind kind) {
  if (kind != kDbmsSqlite && kind != kDbmsPostgres && kind != kDbmsSqlServer &&
      kind != kDbmsOracle) {
    throw std::invalid_argument("no DDL dialect for DBMS kind " +
                                std::to_string(static_cast<int>(kind)));
  }
}

}  // namespace

std::vector<std::string> CreateStatements(const Schema& schema, DbmsKind kind) {
  CheckKind(kind);
  CheckTables(schema);
  NameBook names;
  for (const Table& table : schema.tables) {
    names.Reserve(table.name);
    if (!table.id_column.empty()) names.Reserve(std::string(table.name) + "SEQ");
  }

  std::vector<std::string> statements;
  for (const Table& table : schema.tables) {
    statements.push_back(CreateTable(table, kind));
    if (kind == kDbmsOracle && !table.id_column.empty()) {
      std::string sequence = std::string(table.name) + std::string(kSequenceSuffix);
      statements.push_back("CREATE SEQUENCE " + sequence + " START WITH 1 INCREMENT BY 1 NOCACHE");
      // Unconditional, so that CURRVAL is always the id of the row just
      // inserted.
      statements.push_back(
          "CREATE OR REPLACE TRIGGER " + names.Unique(std::string(table.name) + "TRG") +
          " BEFORE INSERT ON " + std::string(table.name) + " FOR EACH ROW BEGIN SELECT " +
          sequence + ".NEXTVAL INTO :NEW." + std::string(table.id_column) + " FROM DUAL; END;");
    }
    int number = 0;
    const std::vector<std::vector<std::string_view>> index_lists = IndexLists(schema, table);
    if (kind == kDbmsSqlServer) {
      std::vector<std::vector<std::string_view>> uses = index_lists;
      for (const UniqueKey& key : table.unique_keys) uses.push_back(key.columns);
      for (const auto& columns : uses) {
        if (std::none_of(columns.begin(), columns.end(),
                         [&](std::string_view c) { return IsCatalogueName(table, c); })) {
          continue;
        }
        statements.push_back("ALTER TABLE " + std::string(table.name) + " ADD " +
                             kUpperFileNameColumn + " AS UPPER(FileName)");
        break;
      }
    }
    for (const auto& columns : index_lists) {
      std::string sql =
          "CREATE INDEX " +
          names.Unique("IX_" + std::string(table.name) + "_" + std::to_string(++number)) + " ON " +
          std::string(table.name) + " (";
      for (size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) sql += ", ";
        sql += IndexedColumn(table, columns[i], kind);
      }
      statements.push_back(sql + ")");
    }
    std::vector<std::string> unique = UniqueIndexes(table, kind);
    statements.insert(statements.end(), unique.begin(), unique.end());
  }
  return statements;
}

std::vector<std::string> UniqueKeyStatements(const Schema& schema, DbmsKind kind,
                                             std::string_view table_name) {
  CheckKind(kind);
  const Table& table = RequireTable(schema, table_name, "the unique keys");
  CheckTable(table);
  return UniqueIndexes(table, kind);
}

std::vector<std::string> TableStatements(const Schema& schema, DbmsKind kind,
                                         std::string_view table_name) {
  Schema alone;
  alone.version = schema.version;
  alone.tables.push_back(RequireTable(schema, table_name, "the table statements"));
  alone.attributes = schema.attributes;
  return CreateStatements(alone, kind);
}

namespace {

// METASTAMP's literal: the dialect's date literal, which on SQLite and
// PostgreSQL is an ODBC escape; their own clients take the quoted text in
// it.
std::string StampLiteral(int64_t stamp, DbmsKind kind, bool for_native_client) {
  std::string literal = DateLiteral(stamp, kind);
  if (for_native_client && (kind == kDbmsSqlite || kind == kDbmsPostgres) &&
      literal.starts_with("{ts ") && literal.ends_with("}")) {
    literal = literal.substr(4, literal.size() - 5);
  }
  return literal;
}

}  // namespace

std::vector<std::string> MetaschemaStatements(const Schema& schema, DbmsKind kind, int64_t stamp,
                                              bool for_native_client) {
  CheckKind(kind);
  std::vector<std::string> statements;
  int id = 0;
  for (const Attribute& attribute : schema.attributes) {
    ++id;
    std::string use = "attribute " + std::to_string(id) + " (" + std::string(attribute.component) +
                      "." + std::string(attribute.attribute) + ")";
    const Table& table = RequireTable(schema, attribute.table, use);
    const Column& column = RequireColumn(table, attribute.column, use);
    const Table* parent = table.parent.empty()
                              ? nullptr
                              : &RequireTable(schema, table.parent, "the parent of " + use);
    std::string display = attribute.display_name.empty() ? std::string(attribute.component) + "." +
                                                               std::string(attribute.attribute)
                                                         : std::string(attribute.display_name);
    namespace m = meta;
    std::string sql =
        "INSERT INTO " + std::string(m::kRelationsTable) + " (" +
        Join({m::kIdn, m::kComponentPath, m::kAttributeName, m::kTableName, m::kColumnName,
              m::kParentTable, m::kTypeName, m::kTableKind, m::kParentKind, m::kKeyFlag, m::kMarker,
              m::kTrackFlags, m::kDisplayName},
             ", ") +
        ") VALUES (";
    sql += std::to_string(id) + ", " + Literal(attribute.component) + ", " +
           Literal(attribute.attribute) + ", " + Literal(table.name) + ", " + Literal(column.name) +
           ", " + (parent ? Literal(parent->name) : std::string("NULL")) + ", " +
           Literal(TypeName(column.type)) + ", " + std::to_string(table.kind) + ", " +
           std::to_string(parent ? parent->kind : 0) + ", " + (attribute.key ? "1" : "0") + ", " +
           (attribute.marker ? "1" : "0") + ", " + std::to_string(attribute.track_flags) + ", " +
           Literal(display) + ")";
    statements.push_back(std::move(sql));
  }
  for (const Table& table : schema.tables) {
    if (table.key_list.empty()) continue;
    statements.push_back("INSERT INTO " + std::string(meta::kKeysTable) + " (" +
                         Join({meta::kKeyName, meta::kKeyTable, meta::kKeyList}, ", ") +
                         ") VALUES (" + Literal("XPK" + std::string(table.name)) + ", " +
                         Literal(table.name) + ", " + Literal(Join(table.key_list, ",")) + ")");
  }
  statements.push_back("INSERT INTO " + std::string(meta::kSystemsTable) + " (" +
                       Join({meta::kSystemIdn, "SYSTEMNAME", meta::kSoftwareScanFrequency,
                             meta::kStamp, meta::kSchemaVersion},
                            ", ") +
                       ") VALUES (0, " + Literal(kSystemName) + ", 1, " +
                       StampLiteral(stamp, kind, for_native_client) + ", " +
                       std::to_string(schema.version) + ")");
  return statements;
}

std::string ScriptText(const std::vector<std::string>& statements) {
  std::string out;
  for (const std::string& statement : statements) {
    out += statement;
    out += statement.ends_with("END;") ? "\n/\n" : ";\n";
  }
  return out;
}

}  // namespace corvane::db::schema
