// The software file catalogue. A scanned executable is stored per device in
// FileInfoInstance (its path and the device-specific columns) and once in the
// shared catalogue FileInfo (one row per file name and size, with its title,
// vendor and version and the administrator's Action and Discovered). Every
// instance row is linked to its catalogue row through FileInfo_Idn; catalogue
// rows are created on first sight and never deleted here.
//
// Catalogue statements reach the statement observer but not the GenerateSQL
// copy: the copy holds the component statements of the flush and the purge,
// and a catalogue INSERT is meaningless there without the id read back after
// it.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <iterator>
#include <utility>

#include "Common/Include/xtrace.h"
#include "db/dialect.h"
#include "store/names.h"
#include "store/scan_store.h"

namespace corvane::store {
namespace {

// Scan attributes (by their column) that belong to the catalogue row rather
// than to the device's instance row. "VersionString" is the version under
// the other name the catalogue takes (stored as Version): left on the
// instance it would name a column the instance does not have.
constexpr std::string_view kCatalogueColumns[] = {
    "ExeName", "FileSize", "Title",        "FileName",
    "Version", "Vendor",   "FileInfo_Idn", "VersionString",
};

bool IsCatalogueColumn(std::string_view column) {
  return std::any_of(std::begin(kCatalogueColumns), std::end(kCatalogueColumns),
                     [column](std::string_view name) { return EqualsIgnoringCase(column, name); });
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A literal that holds no value: the empty text or NULL.
bool IsEmptyLiteral(std::string_view literal) {
  return literal.empty() || literal == "''" || EqualsIgnoringCase(literal, "null");
}

const scan::PendingAttribute* Find(const std::vector<scan::PendingAttribute>& list,
                                   std::string_view column) {
  for (const scan::PendingAttribute& entry : list) {
    if (EqualsIgnoringCase(entry.column, column)) return &entry;
  }
  return nullptr;
}

// The file name of a path literal: the text after the last "\", else after
// the last "/", else after the last ":", else the whole path. The separators
// are never quotes, so the tail of a quoted literal holds its doubled quotes
// whole and becomes a literal again with an opening quote.
std::string FileNameLiteral(const std::string& path_literal) {
  size_t cut = path_literal.rfind('\\');
  if (cut == std::string::npos) cut = path_literal.rfind('/');
  if (cut == std::string::npos) cut = path_literal.rfind(':');
  const std::string tail = cut == std::string::npos ? path_literal : path_literal.substr(cut + 1);
  if (path_literal.starts_with('\'')) return cut == std::string::npos ? tail : "'" + tail;
  // Path keys are always text literals; anything else is quoted here so that
  // the name can never reach the SQL unquoted.
  return db::SqlQuote(db::DbValue::Text(tail));
}

// How a catalogue row's size is compared: a file reported without a size is
// catalogued with a NULL size, which "=" would never find again.
std::string SizeCondition(const std::string& size_literal) {
  if (IsEmptyLiteral(size_literal)) return "FileSize IS NULL";
  return "FileSize = " + size_literal;
}

// The SQL literal of a value read back from the catalogue.
std::string LiteralOf(const db::DbValue& value, db::DbmsKind kind) {
  switch (value.type()) {
    case db::DbValue::Type::kInt32:
    case db::DbValue::Type::kDecimal:
    case db::DbValue::Type::kDouble:
      return db::FormatSqlValue(db::kValueNumber, value, kind, nullptr);
    case db::DbValue::Type::kDate:
      return db::DateLiteral(value.date(), kind);
    default:
      return db::SqlQuote(value);
  }
}

bool IsAscii(std::string_view text) {
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// The number of a size literal; nullopt for the empty literal or NULL.
std::optional<int64_t> SizeOf(const std::string& size_literal) {
  if (IsEmptyLiteral(size_literal)) return std::nullopt;
  std::string_view digits = size_literal;
  if (digits.size() >= 2 && digits.front() == '\'' && digits.back() == '\'') {
    digits = digits.substr(1, digits.size() - 2);
  }
  int64_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

// Names to one prefetch query: well inside every DBMS's limits on the
// length of an IN list (Oracle's is 1,000).
constexpr size_t kPrefetchNames = 500;

}  // namespace

void ScanStore::PrefetchFileCatalogue(const std::vector<scan::PendingRow>& rows) {
  catalogue_cache_.clear();
  std::vector<std::string> names;
  for (const scan::PendingRow& row : rows) {
    if (row.deleted || row.key_value.empty()) continue;
    const std::string name = Upper(FileNameLiteral(row.key_value));
    if (IsEmptyLiteral(name) || !IsAscii(name)) continue;
    if (catalogue_cache_.emplace(name, std::vector<CataloguedFile>()).second) {
      names.push_back(name);
    }
  }
  const auto start = std::chrono::steady_clock::now();
  for (size_t first = 0; first < names.size(); first += kPrefetchNames) {
    std::string list;
    for (size_t i = first; i < names.size() && i < first + kPrefetchNames; ++i) {
      if (!list.empty()) list += ", ";
      list += names[i];
    }
    WriteQueuedInserts();
    for (db::Recordset found =
             connection_.Query("SELECT UPPER(FileName), FileSize, FileInfo_Idn, Discovered, "
                               "Action FROM FileInfo WHERE UPPER(FileName) IN (" +
                               list + ")");
         !found.AtEnd(); found.Next()) {
      // The database's upper case of a plain ASCII name is ours; a row it
      // spells otherwise is simply not used here.
      auto cached = catalogue_cache_.find(db::SqlQuote(found.Value(0)));
      if (cached == catalogue_cache_.end()) continue;
      CataloguedFile file;
      if (std::optional<int32_t> size = found.Value(1).ToInt32()) file.size = *size;
      file.id = found.Value(2).ToInt32().value_or(-1);
      file.discovered = found.Value(3).ToInt32().value_or(0);
      file.action = found.Value(4).ToInt32().value_or(0);
      if (file.id != -1) cached->second.push_back(file);
    }
  }
  file_catalogue_seconds_ += SecondsSince(start);
}

ScanStore::CataloguedFile* ScanStore::CachedFile(const std::string& upper_name,
                                                 const std::string& size_literal) {
  auto cached = catalogue_cache_.find(upper_name);
  if (cached == catalogue_cache_.end()) return nullptr;
  const std::optional<int64_t> size = SizeOf(size_literal);
  for (CataloguedFile& file : cached->second) {
    if (file.size == size) return &file;
  }
  return nullptr;
}

void ScanStore::ExecuteCatalogue(const std::string& sql) {
  if (statement_observer_) statement_observer_(sql);
  connection_.Execute(sql);
}

void ScanStore::LinkFileInstance(scan::PendingRow& row) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<scan::PendingAttribute> own;
  std::vector<scan::PendingAttribute> catalogue;
  for (scan::PendingAttribute& attribute : row.attributes) {
    (IsCatalogueColumn(attribute.column) ? catalogue : own).push_back(std::move(attribute));
  }
  row.attributes = std::move(own);
  if (!row.key_value.empty()) {
    catalogue.push_back({"FileName", FileNameLiteral(row.key_value), db::kValueText});
    const FileLink link = LinkFileInfo(row, catalogue);
    // A stored link that changed was set by LinkFileInfo's own UPDATE, and
    // one that did not change needs no write; only an instance without a
    // link (new, or stored without one) takes it with its own statement.
    if (link.id != -1 && link.old_link == -1) {
      row.attributes.push_back({"FileInfo_Idn", std::to_string(link.id), db::kValueNumber});
    }
  }
  file_catalogue_seconds_ += SecondsSince(start);
}

ScanStore::FileLink ScanStore::LinkFileInfo(const scan::PendingRow& row,
                                            std::vector<scan::PendingAttribute>& catalogue) {
  FileLink link;
  int32_t instance_id = -1;
  // The stored instance and its link, from the snapshot where it can tell;
  // its size there is the linked catalogue row's.
  std::optional<db::DbValue> stored_size;
  const SnapshotRecord* record = nullptr;
  std::optional<bool> known = StoredRowExists(row, &record);
  if (known && (record != nullptr || !*known)) {
    if (record != nullptr) {
      link.old_link = StoredValue(row, *record, "FileInfo_Idn").ToInt32().value_or(-1);
      instance_id = StoredValue(row, *record, "FileInfoInstance_Idn").ToInt32().value_or(-1);
      stored_size = StoredValue(row, *record, "FileSize");
    }
  } else {
    WriteQueuedInserts();
    db::Recordset stored = connection_.Query(
        "SELECT FileInfo_Idn, FileInfoInstance_Idn FROM FileInfoInstance WHERE Computer_Idn = " +
        std::to_string(computer_idn_) + " AND Path = " + row.key_value);
    if (!stored.AtEnd()) {
      link.old_link = stored.Value(0).ToInt32().value_or(-1);
      instance_id = stored.Value(1).ToInt32().value_or(-1);
    }
  }
  const scan::PendingAttribute* name = Find(catalogue, "FileName");
  if (name == nullptr || IsEmptyLiteral(name->literal)) {
    link.id = link.old_link;
    return link;
  }
  const std::string upper_name = Upper(name->literal);

  // A file whose size did not change (or a delta scan's changed attribute)
  // comes without its size: the file is still the one of the stored link.
  if (Find(catalogue, "FileSize") == nullptr && link.old_link != -1) {
    const db::DbValue size =
        stored_size
            ? *stored_size
            : connection_.QuerySingleValue("SELECT FileSize FROM FileInfo WHERE FileInfo_Idn = " +
                                           std::to_string(link.old_link));
    catalogue.push_back(
        {"FileSize", db::FormatSqlValue(db::kValueNumber, size, kind_, nullptr), db::kValueNumber});
  }
  const scan::PendingAttribute* size = Find(catalogue, "FileSize");
  link.id = FindOrCreateFileInfo(link.old_link, catalogue, upper_name,
                                 size == nullptr ? std::string() : size->literal);
  if (link.old_link != -1 && instance_id != -1 && link.id != -1 && link.id != link.old_link) {
    ExecuteCatalogue("UPDATE FileInfoInstance SET FileInfo_Idn = " + std::to_string(link.id) +
                     " WHERE FileInfoInstance_Idn = " + std::to_string(instance_id));
  }
  return link;
}

int32_t ScanStore::FindOrCreateFileInfo(int32_t old_link,
                                        const std::vector<scan::PendingAttribute>& catalogue,
                                        const std::string& upper_name,
                                        const std::string& size_literal) {
  // UPPER on both sides: the database's upper case of a non-ASCII name need
  // not be ours, and a name that never matches would be catalogued anew on
  // every device.
  std::optional<int32_t> id;
  int32_t discovered = 0;
  const bool prefetched = catalogue_cache_.count(upper_name) != 0;
  const bool size_understood = IsEmptyLiteral(size_literal) || SizeOf(size_literal).has_value();
  if (CataloguedFile* file = CachedFile(upper_name, size_literal)) {
    id = file->id;
    discovered = file->discovered;
    file->discovered = 1;  // set below when it is not yet
  } else if (prefetched && size_understood) {
    // The prefetch read every row of the name: this size has none yet.
    return InsertFileInfo(old_link, catalogue, upper_name);
  } else {
    const std::string sql =
        "SELECT FileInfo_Idn, Discovered FROM FileInfo WHERE UPPER(FileName) = UPPER(" +
        upper_name + ") AND " + SizeCondition(size_literal);
    db::Recordset found = connection_.Query(sql);
    if (!found.AtEnd()) {
      id = found.Value(0).ToInt32();
      discovered = found.Value(1).ToInt32().value_or(0);
    }
  }
  if (!id) return InsertFileInfo(old_link, catalogue, upper_name);
  if (discovered == 0) {
    ExecuteCatalogue("UPDATE FileInfo SET Discovered = 1 WHERE FileInfo_Idn = " +
                     std::to_string(*id));
  }
  return *id;
}

int32_t ScanStore::InsertFileInfo(int32_t old_link,
                                  const std::vector<scan::PendingAttribute>& catalogue,
                                  const std::string& upper_name) {
  struct Column {
    std::string name;
    std::string literal;
    bool renamed;
  };
  std::vector<Column> columns;
  for (const scan::PendingAttribute& entry : catalogue) {
    // The catalogue's own id is the database's to give.
    if (IsEmptyLiteral(entry.literal) || EqualsIgnoringCase(entry.column, "FileInfo_Idn")) continue;
    Column column{entry.column, entry.literal, false};
    if (EqualsIgnoringCase(column.name, "ExeName")) column = {"Title", entry.literal, true};
    if (EqualsIgnoringCase(column.name, "VersionString")) column = {"Version", entry.literal, true};
    // A column named twice would make the INSERT fail; a value scanned under
    // the column's own name wins over a renamed one.
    auto same = std::find_if(columns.begin(), columns.end(), [&column](const Column& existing) {
      return EqualsIgnoringCase(existing.name, column.name);
    });
    if (same == columns.end()) {
      columns.push_back(std::move(column));
    } else if (same->renamed && !column.renamed) {
      *same = std::move(column);
    }
  }

  // What the scan does not say about the file is taken over from the
  // catalogue row the instance was linked to (the same program, changed).
  std::vector<std::string> missing;
  for (std::string_view name : {"Title", "Vendor", "Version"}) {
    if (std::none_of(columns.begin(), columns.end(), [name](const Column& column) {
          return EqualsIgnoringCase(column.name, name);
        })) {
      missing.emplace_back(name);
    }
  }
  if (old_link != -1 && !missing.empty()) {
    std::string list;
    for (const std::string& name : missing) list += (list.empty() ? "" : ",") + name;
    db::Recordset old = connection_.Query(
        "SELECT " + list + " FROM FileInfo WHERE FileInfo_Idn = " + std::to_string(old_link));
    if (!old.AtEnd()) {
      for (size_t i = 0; i < missing.size(); ++i) {
        const std::string literal = LiteralOf(old.Value(static_cast<int>(i)), kind_);
        if (!IsEmptyLiteral(literal)) columns.push_back({missing[i], literal, false});
      }
    }
  }

  XTRACE("InsertNewFileInfoRecord 1");
  // The wildcard row (FileSize -1) of the name holds the administrator's
  // Action for every file of that name. UPPER on both sides, as in the
  // lookup: a wildcard row entered in mixed case must still apply.
  int32_t action = 0;
  if (catalogue_cache_.count(upper_name) != 0) {
    if (const CataloguedFile* wildcard = CachedFile(upper_name, "-1")) action = wildcard->action;
  } else {
    action = QueryId("SELECT Action FROM FileInfo WHERE UPPER(FileName) = UPPER(" + upper_name +
                     ") AND FileSize = -1")
                 .value_or(0);
  }
  XTRACE("InsertNewFileInfoRecord 2");

  std::string names;
  std::string values;
  for (const Column& column : columns) {
    names += ", " + column.name;
    values += ", " + column.literal;
  }
  const std::string action_text = std::to_string(action);
  XTRACE("InsertNewFileInfoRecord 3");
  // The key is read back with the session's last generated id: no queued
  // instance INSERT may run between the two.
  WriteQueuedInserts();
  if (kind_ == db::kDbmsOracle) {
    ExecuteCatalogue("INSERT INTO FileInfo(Action, Discovered" + names + ") VALUES(" + action_text +
                     ", 1" + values + ")");
  } else {
    ExecuteCatalogue("INSERT INTO FileInfo(Discovered, Action" + names + ") VALUES(1, " +
                     action_text + values + ")");
  }
  const int32_t id = QueryId(db::InsertedKeyQuery(kind_, "FileInfo")).value_or(-1);
  // A second path of the same file in this flush finds the new row.
  auto cached = catalogue_cache_.find(upper_name);
  if (cached != catalogue_cache_.end() && id != -1) {
    const scan::PendingAttribute* size = Find(catalogue, "FileSize");
    CataloguedFile file;
    if (size != nullptr) file.size = SizeOf(size->literal);
    file.id = id;
    file.discovered = 1;
    file.action = action;
    cached->second.push_back(file);
  }
  return id;
}

}  // namespace corvane::store
