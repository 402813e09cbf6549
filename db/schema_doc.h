// docs/schema.md, written from the schema definition.
//
// The text is a pure function of the definition (no dates, no host names), so
// the copy kept in the source tree can be compared with a fresh one and never
// goes stale unnoticed. Thread-safe; nothing is cached.

#ifndef CORVANE_DB_SCHEMA_DOC_H_
#define CORVANE_DB_SCHEMA_DOC_H_

#include <string>
#include <string_view>
#include <vector>

#include "db/schema.h"

namespace corvane::db::schema {

// The whole Markdown document: the tables (kind, parent, id column, key list,
// indexes, columns with their types and the attributes they hold), then the
// metaschema rows grouped by component.
std::string SchemaMarkdown(const Schema& schema);

// The index that database creation adds to a per-device table (a table of a
// non-zero kind with a Computer_Idn column, Computer itself excepted):
// Computer_Idn followed by the column of the table's key attribute, if it has
// one. Empty for other tables.
std::vector<std::string_view> AutomaticIndex(const Schema& schema, const Table& table);

// The column of the table's key attribute (the attribute with key = true
// whose table it is); empty when it has none.
std::string_view KeyAttributeColumn(const Schema& schema, const Table& table);

// A short name of a table kind ("keyed row", "device child", ...).
std::string_view KindName(int kind);

}  // namespace corvane::db::schema

#endif  // CORVANE_DB_SCHEMA_DOC_H_
