#include "db/schema.h"

#include "Common/Include/ascii_case.h"

namespace corvane::db::schema {

std::string_view TypeName(ColumnType type) {
  switch (type) {
    case ColumnType::kText:
      return "VARCHAR";
    case ColumnType::kInteger:
      return "INT";
    case ColumnType::kDate:
      return "DATETIME";
    case ColumnType::kImage:
      return "IMAGE";
  }
  return "VARCHAR";
}

const Table* Schema::FindTable(std::string_view name) const {
  for (const Table& table : tables) {
    if (EqualsIgnoringCase(table.name, name)) return &table;
  }
  return nullptr;
}

const Column* Schema::FindColumn(std::string_view table_name, std::string_view column) const {
  const Table* table = FindTable(table_name);
  if (table == nullptr) return nullptr;
  for (const Column& candidate : table->columns) {
    if (EqualsIgnoringCase(candidate.name, column)) return &candidate;
  }
  return nullptr;
}

}  // namespace corvane::db::schema
