// The SQL that turns the schema definition (schema.h) into a database: the
// DDL per dialect and the INSERTs that fill the metaschema tables. Pure
// functions over the definition, no driver; safe on any thread.
//
// Names are written unquoted, as the definition spells them. Each table is
// created with:
// - its own id column as the dialect's generated key (SQLite AUTOINCREMENT,
//   PostgreSQL SERIAL, SQL Server IDENTITY, Oracle NUMBER(10) filled by a
//   BEFORE INSERT trigger from the sequence "<table>SEQ", whose CURRVAL the
//   server reads after an insert);
// - otherwise, for a table outside the component tables (kind 0), a primary
//   key over its key list when every key column is NOT NULL (the metaschema
//   ids, System_Idn); component tables without an own id get none, since
//   the store may add a second row for a device;
// - Computer_Idn always NOT NULL;
// - on a per-device table (a component table with Computer_Idn, other than
//   Computer) an index on (Computer_Idn, key column), the key column being
//   the column of the table's key attribute (Computer_Idn alone when it has
//   none), then the table's own indexes. An index whose columns another
//   index or the primary key covers as its leading part is left out
//   (Oracle refuses exact repeats; the others only slow inserts). FileInfo's
//   FileName is indexed as UPPER(FileName), the form its lookups use, except
//   on SQL Server (whose collations compare without case anyway);
// - its unique keys as unique indexes (UniqueKeyStatements).
// Index and trigger names are unique (ignoring case) and at most 30
// characters long.
//
// Errors: a definition the DDL cannot express on every dialect (a name that
// is not a plain identifier or longer than 30 characters, a table with an own
// id whose name leaves no room for "SEQ", a text length outside 1..4000, a
// key, index or attribute naming a missing table or column, a table or
// column defined twice) and a DBMS kind without a dialect here raise
// std::invalid_argument naming the culprit.

#ifndef CORVANE_DB_SCHEMA_DDL_H_
#define CORVANE_DB_SCHEMA_DDL_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/dbms.h"
#include "db/schema.h"

namespace corvane::db::schema {

// Written to METASYSTEMS.SYSTEMNAME.
inline constexpr std::string_view kSystemName = "Corvane Inventory";

// CREATE TABLE / SEQUENCE / TRIGGER / INDEX statements, in the order they
// must run, for kDbmsSqlite, kDbmsPostgres, kDbmsSqlServer or kDbmsOracle.
// Statements carry no terminating ";" (an Oracle trigger body ends with its
// own "END;", which PL/SQL requires).
std::vector<std::string> CreateStatements(const Schema& schema, DbmsKind kind);

// The statements of one table of the definition (for an upgrade that adds
// it): the table, its sequence and trigger, its indexes and unique indexes.
std::vector<std::string> TableStatements(const Schema& schema, DbmsKind kind,
                                         std::string_view table);

// The CREATE UNIQUE INDEX statements of one table's unique keys, named
// "UX_<table>_<n>" in the order of the definition: a partial index where a
// key has an exception (SQLite, PostgreSQL, SQL Server's filtered index; an
// expression index on Oracle), FileInfo's name as UPPER(FileName) (SQL
// Server: its computed column), a NULL number taken as one value.
std::vector<std::string> UniqueKeyStatements(const Schema& schema, DbmsKind kind,
                                             std::string_view table);

// The INSERTs that fill METAOBJATTRRELATIONS (one row per attribute, id =
// position + 1), CV_MKEYS (one row per table with a key list) and
// METASYSTEMS (row System_Idn 0: software scan frequency 1, METASTAMP =
// `stamp` (seconds since 1970) as the dialect's date literal, the schema
// version). Texts go through SqlQuote.
//
// The statements run through ODBC unless `for_native_client`: a script for
// the DBMS's own client (sqlite3, psql), which knows no ODBC escapes, gets
// the stamp as a plain 'YYYY-MM-DD HH:MM:SS' literal on SQLite and
// PostgreSQL (the other dialects' forms run in their clients as they are).
std::vector<std::string> MetaschemaStatements(const Schema& schema, DbmsKind kind, int64_t stamp,
                                              bool for_native_client = false);

// The statements as a script for a DBMS's command-line tool: each followed by
// ";" and a line break, a PL/SQL block (an Oracle trigger) by a line holding
// "/" instead, as SQL*Plus expects.
std::string ScriptText(const std::vector<std::string>& statements);

}  // namespace corvane::db::schema

#endif  // CORVANE_DB_SCHEMA_DDL_H_
