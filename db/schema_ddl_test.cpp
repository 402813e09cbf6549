#include "db/schema_ddl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Common/Include/ascii_case.h"
#include "db/dialect.h"

namespace corvane::db::schema {
namespace {

using T = ColumnType;
using Statements = std::vector<std::string>;

constexpr DbmsKind kAllKinds[] = {kDbmsSqlite, kDbmsPostgres, kDbmsSqlServer, kDbmsOracle};

// Aggregate initialisation would leave the docs-only fields unnamed.
Table NewTable(std::string_view name, int kind, std::string_view parent, std::string_view id_column,
               std::vector<Column> columns, std::vector<std::string_view> key_list = {},
               std::vector<std::vector<std::string_view>> indexes = {}) {
  Table table;
  table.name = name;
  table.kind = kind;
  table.parent = parent;
  table.id_column = id_column;
  table.columns = std::move(columns);
  table.key_list = std::move(key_list);
  table.indexes = std::move(indexes);
  return table;
}

// A small definition with every column type, an own-id table, FileInfo and a
// table without an own id whose key columns are nullable.
Schema SampleSchema() {
  Schema schema;
  schema.version = 7;
  schema.tables.push_back(NewTable("Computer", kKindDevice, "", "Computer_Idn",
                                   {{"Computer_Idn", T::kInteger, 0, true},
                                    {"DeviceName", T::kText, 120, false},
                                    {"LastUpdInvSvr", T::kDate, 0, false},
                                    {"Picture", T::kImage, 0, false}},
                                   {"Computer_Idn"},
                                   {{"Computer_Idn"},
                                    {"DeviceName"},
                                    {"DEVICENAME"},
                                    {"LastUpdInvSvr"},
                                    {"LastUpdInvSvr", "DeviceName"}}));
  schema.tables.push_back(NewTable("FileInfo", kKindNoPurge, "", "FileInfo_Idn",
                                   {{"FileInfo_Idn", T::kInteger, 0, true},
                                    {"FileName", T::kText, 255, false},
                                    {"FileSize", T::kInteger, 0, false}},
                                   {}, {{"FileName", "FileSize"}}));
  schema.tables.push_back(NewTable("Printer", kKindDeviceChild, "Computer", "",
                                   {{"Computer_Idn", T::kInteger, 0, false},
                                    {"Name", T::kText, 64, false},
                                    {"Driver", T::kText, 64, false}},
                                   {"Computer_Idn", "Name"}, {{"Computer_Idn"}}));
  schema.tables.push_back(
      NewTable("Bios", kKindDevice, "Computer", "",
               {{"Computer_Idn", T::kInteger, 0, false}, {"Vendor", T::kText, 64, false}},
               {"Computer_Idn"}));
  schema.attributes = {
      {"Computer", "Device Name", "Computer", "DeviceName", false, true, 3, ""},
      {"Computer.Printer", "Bob's \"Name\"", "printer", "NAME", true, false, 0, "Printer name"},
      {"Computer.Printer", "Driver", "Printer", "Driver", false, false, 0, ""},
  };
  return schema;
}

std::vector<std::string> Matching(const Statements& statements, std::string_view prefix) {
  std::vector<std::string> out;
  for (const std::string& sql : statements) {
    if (sql.starts_with(prefix)) out.push_back(sql);
  }
  return out;
}

bool AnyContains(const Statements& statements, std::string_view text) {
  return std::any_of(statements.begin(), statements.end(),
                     [&](const std::string& sql) { return sql.find(text) != std::string::npos; });
}

// The object name after "CREATE INDEX " / "CREATE OR REPLACE TRIGGER ".
std::string ObjectName(const std::string& sql, std::string_view prefix) {
  std::string rest = sql.substr(prefix.size());
  return rest.substr(0, rest.find(' '));
}

TEST(SchemaDdlTest, OracleUsesItsTypesAndFillsIdsFromSequenceByTrigger) {
  Statements ddl = CreateStatements(SampleSchema(), kDbmsOracle);
  EXPECT_EQ(ddl[0],
            "CREATE TABLE Computer (Computer_Idn NUMBER(10) PRIMARY KEY, DeviceName VARCHAR2(120), "
            "LastUpdInvSvr DATE, Picture BLOB)");
  EXPECT_EQ(ddl[1], "CREATE SEQUENCE ComputerSEQ START WITH 1 INCREMENT BY 1 NOCACHE");
  EXPECT_EQ(ddl[2],
            "CREATE OR REPLACE TRIGGER ComputerTRG BEFORE INSERT ON Computer FOR EACH ROW BEGIN "
            "SELECT ComputerSEQ.NEXTVAL INTO :NEW.Computer_Idn FROM DUAL; END;");
  EXPECT_EQ(Matching(ddl, "CREATE SEQUENCE").size(), 2u);  // Computer, FileInfo
  EXPECT_TRUE(AnyContains(ddl,
                          "CREATE TABLE Printer (Computer_Idn NUMBER(10) NOT NULL, "
                          "Name VARCHAR2(64), Driver VARCHAR2(64))"));
  for (const char* foreign : {"VARCHAR(", "INTEGER", "DATETIME", "IDENTITY", "SERIAL"}) {
    EXPECT_FALSE(AnyContains(ddl, foreign)) << foreign;
  }
  // A PL/SQL block needs "/" in a script; plain statements ";".
  std::string script = ScriptText({ddl[1], ddl[2]});
  EXPECT_EQ(script, ddl[1] + ";\n" + ddl[2] + "\n/\n");
}

TEST(SchemaDdlTest, SqlServerUsesIdentityAndItsTypes) {
  Statements sqlserver = CreateStatements(SampleSchema(), kDbmsSqlServer);
  EXPECT_EQ(sqlserver[0],
            "CREATE TABLE Computer (Computer_Idn INT IDENTITY(1,1) PRIMARY KEY, DeviceName "
            "VARCHAR(120), LastUpdInvSvr DATETIME, Picture IMAGE)");
  EXPECT_TRUE(Matching(sqlserver, "CREATE SEQUENCE").empty());
  EXPECT_TRUE(Matching(sqlserver, "CREATE OR REPLACE TRIGGER").empty());
  // SQLite's and PostgreSQL's forms run in the database creator's tests.
  EXPECT_THROW(CreateStatements(SampleSchema(), kDbmsAccess), std::invalid_argument);
}

TEST(SchemaDdlTest, PrimaryKeysFollowTheKeyListOnlyWhenItCanHoldOne) {
  Statements ddl = CreateStatements(InventorySchema(), kDbmsSqlite);
  EXPECT_TRUE(AnyContains(ddl, "PRIMARY KEY (METAOBJATTRRELATIONS_IDN))"));
  EXPECT_TRUE(AnyContains(ddl, "PRIMARY KEY (System_Idn))"));
  std::string keys = Matching(ddl, "CREATE TABLE CV_MKEYS")[0];
  EXPECT_EQ(keys.find("PRIMARY KEY"), std::string::npos) << keys;

  Statements sample = CreateStatements(SampleSchema(), kDbmsSqlite);
  // Component tables without an own id get none, not even over a key list
  // of NOT NULL columns: the store may add a second row for a device.
  EXPECT_EQ(Matching(sample, "CREATE TABLE Printer")[0].find("PRIMARY KEY"), std::string::npos);
  EXPECT_EQ(Matching(sample, "CREATE TABLE Bios")[0],
            "CREATE TABLE Bios (Computer_Idn INTEGER NOT NULL, Vendor VARCHAR(64))");
}

TEST(SchemaDdlTest, IndexesCoverDeviceKeysAndFileNamesWithoutRepeats) {
  for (DbmsKind kind : kAllKinds) {
    SCOPED_TRACE(kind);
    Statements ddl = CreateStatements(SampleSchema(), kind);
    auto on = [&](std::string_view table) {
      std::vector<std::string> columns;
      for (const std::string& sql : Matching(ddl, "CREATE INDEX ")) {
        size_t at = sql.find(" ON " + std::string(table) + " (");
        if (at != std::string::npos) columns.push_back(sql.substr(sql.find('(', at)));
      }
      return columns;
    };
    // The key attribute's column, spelled as the table defines it; it also
    // serves the table's own (Computer_Idn).
    EXPECT_EQ(on("Printer"), std::vector<std::string>{"(Computer_Idn, Name)"});
    // No key attribute: Computer_Idn alone. Computer's own (Computer_Idn)
    // repeats its primary key, DEVICENAME repeats DeviceName, and
    // (LastUpdInvSvr, DeviceName) serves (LastUpdInvSvr).
    EXPECT_EQ(on("Bios"), std::vector<std::string>{"(Computer_Idn)"});
    EXPECT_EQ(on("Computer"),
              (std::vector<std::string>{"(DeviceName)", "(LastUpdInvSvr, DeviceName)"}));
    // The catalogue lookups compare UPPER(FileName): SQL Server indexes it
    // through a computed column of that expression.
    std::string file =
        kind == kDbmsSqlServer ? "(FileNameUpper, FileSize)" : "(UPPER(FileName), FileSize)";
    EXPECT_EQ(on("FileInfo"), std::vector<std::string>{file});
    EXPECT_EQ(AnyContains(ddl, "ALTER TABLE FileInfo ADD FileNameUpper AS UPPER(FileName)"),
              kind == kDbmsSqlServer);
  }
  Statements inventory = CreateStatements(InventorySchema(), kDbmsPostgres);
  EXPECT_TRUE(AnyContains(inventory, " ON NetworkAdapter (Computer_Idn, Name)"));
}

TEST(SchemaDdlTest, UniqueKeysHoldOneRowPerValueOnEveryDialect) {
  Schema schema = SampleSchema();
  schema.tables[0].columns.push_back({"DeviceId", T::kText, 64, false});
  schema.tables[0].unique_keys = {{{"DeviceId"}, "Unassigned"}};
  schema.tables[1].unique_keys = {{{"FileName", "FileSize"}, {}}};
  const std::map<DbmsKind, std::vector<std::string>> expected = {
      // A NULL size is one value: SQLite and PostgreSQL need COALESCE for it.
      {kDbmsSqlite,
       {"CREATE UNIQUE INDEX UX_Computer_1 ON Computer (DeviceId) WHERE DeviceId <> 'Unassigned'",
        "CREATE UNIQUE INDEX UX_FileInfo_1 ON FileInfo (UPPER(FileName), COALESCE(FileSize, "
        "-2147483648))"}},
      {kDbmsPostgres,
       {"CREATE UNIQUE INDEX UX_Computer_1 ON Computer (DeviceId) WHERE DeviceId <> 'Unassigned'",
        "CREATE UNIQUE INDEX UX_FileInfo_1 ON FileInfo (UPPER(FileName), COALESCE(FileSize, "
        "-2147483648))"}},
      {kDbmsSqlServer,
       {"CREATE UNIQUE INDEX UX_Computer_1 ON Computer (DeviceId) WHERE DeviceId IS NOT NULL AND "
        "DeviceId <> 'Unassigned'",
        "CREATE UNIQUE INDEX UX_FileInfo_1 ON FileInfo (FileNameUpper, FileSize)"}},
      {kDbmsOracle,
       {"CREATE UNIQUE INDEX UX_Computer_1 ON Computer (CASE WHEN DeviceId <> 'Unassigned' THEN "
        "DeviceId END)",
        "CREATE UNIQUE INDEX UX_FileInfo_1 ON FileInfo (UPPER(FileName), FileSize)"}},
  };
  for (const auto& [kind, statements] : expected) {
    SCOPED_TRACE(kind);
    const Statements ddl = CreateStatements(schema, kind);
    EXPECT_EQ(Matching(ddl, "CREATE UNIQUE INDEX "), statements);
    EXPECT_EQ(UniqueKeyStatements(schema, kind, "FileInfo"), Statements{statements[1]});
    // SQL Server's computed column comes before the index that names it.
    if (kind == kDbmsSqlServer) {
      const auto column = std::find(ddl.begin(), ddl.end(),
                                    "ALTER TABLE FileInfo ADD FileNameUpper AS UPPER(FileName)");
      ASSERT_NE(column, ddl.end());
      EXPECT_LT(column - ddl.begin(),
                std::find(ddl.begin(), ddl.end(), statements[1]) - ddl.begin());
    }
  }
  // An exception is a text literal of one column, or the DDL would differ
  // between dialects.
  schema.tables[0].unique_keys = {{{"DeviceId", "DeviceName"}, "Unassigned"}};
  EXPECT_THROW(CreateStatements(schema, kDbmsSqlite), std::invalid_argument);
  schema.tables[0].unique_keys = {{{"LastUpdInvSvr"}, "Unassigned"}};
  EXPECT_THROW(CreateStatements(schema, kDbmsSqlite), std::invalid_argument);
  schema.tables[0].unique_keys = {{{"Missing"}, {}}};
  EXPECT_THROW(CreateStatements(schema, kDbmsSqlite), std::invalid_argument);
}

TEST(SchemaDdlTest, ObjectNamesAreUniqueAndFitOracle) {
  Schema schema = SampleSchema();
  // Index names that must be cut to 30 characters, and cut alike.
  for (std::string_view name : {"AVeryLongComponentTableName", "AVeryLongComponentTableNameX"}) {
    schema.tables.push_back(
        NewTable(name, kKindKeyedRow, "", "",
                 {{"Computer_Idn", T::kInteger, 0, false}, {"Bb", T::kText, 10, false}}, {},
                 {{"Bb"}, {"Bb", "Computer_Idn"}}));
  }
  for (const Schema* definition : {&std::as_const(schema), &InventorySchema()}) {
    for (DbmsKind kind : kAllKinds) {
      SCOPED_TRACE(kind);
      Statements ddl = CreateStatements(*definition, kind);
      std::set<std::string> names;
      for (const Table& table : definition->tables) names.insert(Upper(table.name));
      for (const char* prefix : {"CREATE INDEX ", "CREATE OR REPLACE TRIGGER "}) {
        for (const std::string& sql : Matching(ddl, prefix)) {
          std::string name = ObjectName(sql, prefix);
          EXPECT_LE(name.size(), 30u) << name;
          EXPECT_TRUE(names.insert(Upper(name)).second) << "repeated: " << name;
        }
      }
    }
  }
}

TEST(SchemaDdlTest, MetaschemaRowsFollowTheDefinitionWithQuotedTexts) {
  Statements rows = MetaschemaStatements(SampleSchema(), kDbmsSqlite, 86400);
  ASSERT_EQ(rows.size(), 3u + 3u + 1u);  // attributes, key lists (Computer, Printer, Bios), system
  const std::string values = "VALUES (";
  auto values_of = [&](const std::string& sql) {
    return sql.substr(sql.find(values) + values.size());
  };
  EXPECT_EQ(values_of(rows[0]),
            "1, 'Computer', 'Device Name', 'Computer', 'DeviceName', NULL, 'VARCHAR', 6, 0, 0, 1, "
            "3, 'Computer.Device Name')");
  // Names as the definition spells the table and column; quotes doubled.
  EXPECT_EQ(
      values_of(rows[1]),
      "2, 'Computer.Printer', 'Bob''s \"Name\"', 'Printer', 'Name', 'Computer', 'VARCHAR', 1, "
      "6, 1, 0, 0, 'Printer name')");
  EXPECT_TRUE(rows[0].starts_with(
      "INSERT INTO METAOBJATTRRELATIONS (METAOBJATTRRELATIONS_IDN, COMPONENTPATH, ATTRIBUTENAME, "
      "TABLENAME, COLUMNNAME, PARENTTABLE, TYPENAME, TABLEKIND, PARENTKIND, KEYATTR, MARKER, "
      "TRACKFLAGS, DISPLAYNAME)"));
  EXPECT_EQ(values_of(rows[4]), "'XPKPrinter', 'Printer', 'Computer_Idn,Name')");
  EXPECT_TRUE(rows.back().ends_with(", 1, " + db::DateLiteral(86400, kDbmsSqlite) + ", 7)"));
  EXPECT_NE(MetaschemaStatements(SampleSchema(), kDbmsOracle, 86400).back().find("TO_DATE("),
            std::string::npos);

  Schema broken = SampleSchema();
  broken.attributes.push_back(
      {"Computer", "Ghost", "Computer", "NoSuchColumn", false, false, 0, ""});
  EXPECT_THROW(MetaschemaStatements(broken, kDbmsSqlite, 0), std::invalid_argument);
  broken = SampleSchema();
  broken.tables[2].parent = "Nowhere";
  EXPECT_THROW(MetaschemaStatements(broken, kDbmsSqlite, 0), std::invalid_argument);
}

TEST(SchemaDdlTest, DefinitionsNoDialectCanCreateAreRefused) {
  auto refused = [](void (*change)(Schema&)) {
    Schema schema = SampleSchema();
    change(schema);
    try {
      CreateStatements(schema, kDbmsSqlite);
    } catch (const std::invalid_argument& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  EXPECT_NE(refused([](Schema& s) { s.tables[0].indexes.push_back({"Nope"}); }).find("Nope"),
            std::string::npos);
  EXPECT_NE(refused([](Schema& s) { s.tables[2].key_list.push_back("Nope"); }), "accepted");
  EXPECT_NE(refused([](Schema& s) { s.tables[2].columns[1].name = "Na me"; }), "accepted");
  EXPECT_NE(refused([](Schema& s) { s.tables[2].columns[1].length = 0; }), "accepted");
  EXPECT_NE(refused([](Schema& s) { s.tables[2].columns[2].name = "NAME"; }), "accepted");
  EXPECT_NE(refused([](Schema& s) { s.tables.push_back(s.tables[2]); }), "accepted");
  // 28 characters: "SEQ" would make the sequence name 31.
  EXPECT_NE(refused([](Schema& s) { s.tables[1].name = "FileInfoWithAVeryLongNameXXX"; }),
            "accepted");
}

// Words Oracle or PostgreSQL reserve, which unquoted names may not be.
const std::set<std::string>& ReservedWords() {
  static const std::set<std::string> words = {
      "ACCESS",    "ADD",        "ALL",       "ALTER",    "AND",     "ANY",      "ARRAY",
      "AS",        "ASC",        "AUDIT",     "BETWEEN",  "BOTH",    "BY",       "CASE",
      "CAST",      "CHAR",       "CHECK",     "CLUSTER",  "COLUMN",  "COMMENT",  "COMPRESS",
      "CONNECT",   "CONSTRAINT", "CREATE",    "CURRENT",  "DATE",    "DECIMAL",  "DEFAULT",
      "DELETE",    "DESC",       "DISTINCT",  "DO",       "DROP",    "ELSE",     "END",
      "EXCEPT",    "EXCLUSIVE",  "EXISTS",    "FALSE",    "FETCH",   "FILE",     "FLOAT",
      "FOR",       "FOREIGN",    "FROM",      "GRANT",    "GROUP",   "HAVING",   "IDENTIFIED",
      "IMMEDIATE", "IN",         "INCREMENT", "INDEX",    "INITIAL", "INSERT",   "INTEGER",
      "INTERSECT", "INTO",       "IS",        "LEVEL",    "LIKE",    "LIMIT",    "LOCK",
      "LONG",      "MINUS",      "MODE",      "MODIFY",   "NOT",     "NOWAIT",   "NULL",
      "NUMBER",    "OF",         "OFFLINE",   "OFFSET",   "ON",      "ONLINE",   "ONLY",
      "OPTION",    "OR",         "ORDER",     "PCTFREE",  "PRIMARY", "PRIOR",    "PUBLIC",
      "RAW",       "REFERENCES", "RENAME",    "RESOURCE", "REVOKE",  "ROW",      "ROWID",
      "ROWNUM",    "ROWS",       "SELECT",    "SESSION",  "SET",     "SHARE",    "SIZE",
      "SMALLINT",  "SOME",       "START",     "SYNONYM",  "SYSDATE", "TABLE",    "THEN",
      "TO",        "TRIGGER",    "TRUE",      "UID",      "UNION",   "UNIQUE",   "UPDATE",
      "USER",      "USING",      "VALIDATE",  "VALUES",   "VARCHAR", "VARCHAR2", "VIEW",
      "WHEN",      "WHERE",      "WITH"};
  return words;
}

TEST(SchemaDdlTest, InventorySchemaCanBeCreatedOnEveryDialect) {
  const Schema& schema = InventorySchema();
  for (DbmsKind kind : kAllKinds) {
    EXPECT_NO_THROW(CreateStatements(schema, kind)) << kind;
    EXPECT_NO_THROW(MetaschemaStatements(schema, kind, 0)) << kind;
  }
  for (const Table& table : schema.tables) {
    EXPECT_FALSE(ReservedWords().contains(Upper(table.name))) << table.name;
    for (const Column& column : table.columns) {
      EXPECT_FALSE(ReservedWords().contains(Upper(column.name)))
          << table.name << "." << column.name;
    }
  }
}

}  // namespace
}  // namespace corvane::db::schema
