// Consistency of the inventory schema definition: what database creation,
// the writer and the sample scans rely on.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "Common/Include/ascii_case.h"
#include "db/schema.h"
#include "db/schema_doc.h"
#include "scan/code_page.h"
#include "scan/contents_block.h"
#include "scan/line_splitter.h"
#include "scan/scan_text.h"

namespace corvane::db::schema {
namespace {

const Schema& S() { return InventorySchema(); }

std::string ReadFile(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// Names are created unquoted on every DBMS: plain identifiers that none of
// them reserves, short enough for Oracle.
bool UsableName(std::string_view name) {
  static const std::string kReserved =
      " ACCESS ADD ALL AS ASC BY CHECK COLUMN COMMENT CURRENT DATE DEFAULT DELETE DESC FILE FROM"
      " GROUP IDENTITY INDEX KEY LEVEL LOCK MODE NUMBER OFFSET OPTION ORDER PERCENT PUBLIC"
      " RESOURCE ROW ROWS SESSION SIZE START TABLE TIME UID USER VALUE VALUES VIEW WHERE ";
  auto plain = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  return !name.empty() && name.size() <= 30 && std::isalpha(static_cast<unsigned char>(name[0])) &&
         std::all_of(name.begin(), name.end(), plain) &&
         kReserved.find(" " + Upper(name) + " ") == std::string::npos;
}

TEST(SchemaTest, TablesHaveTheColumnsTheStoreWritesThrough) {
  // The tables the server's statements name.
  std::istringstream named(
      "Computer COMPONENTS APPSOFTWARE MBSlot MBCache Motherboard MemCache MemorySlot "
      "EMSDriverInfo XMSDriverInfo Memory BusSlots Bus BiosStrings Manufacturer BIOS "
      "NetworkSoftware BoundAdapter Operating_System Corvane MIF FileInfo FileInfoInstance "
      "UnmodeledData AppSoftwareSuites ComputerVulnerability Drivers KernelDrivers Services "
      "SystemDrivers OSConfigFiles Font DeskAccessory Extension HISTORY UNMANAGEDNODES "
      "METASYSTEMS METAOBJATTRRELATIONS CV_MKEYS");
  for (std::string name; named >> name;) EXPECT_NE(S().FindTable(name), nullptr) << name;
  for (const Table& table : S().tables) {
    EXPECT_TRUE(UsableName(table.name) && S().FindTable(table.name) == &table) << table.name;
    for (const Column& c : table.columns) {
      EXPECT_TRUE(UsableName(c.name) && S().FindColumn(table.name, c.name) == &c &&
                  (c.type != ColumnType::kText || (c.length > 0 && c.length <= 4000)))
          << table.name << "." << c.name;
    }
    // A flushed row binds one image parameter: one image column per component table.
    EXPECT_TRUE(table.kind == kKindNone ||
                std::count_if(table.columns.begin(), table.columns.end(),
                              [](const Column& c) { return c.type == ColumnType::kImage; }) <= 1)
        << table.name;
    const Column* computer_idn = S().FindColumn(table.name, "Computer_Idn");
    EXPECT_TRUE(table.kind == kKindNone || (computer_idn != nullptr && computer_idn->not_null))
        << table.name;
    // A stored row with a NULL key-list column is never matched again, so
    // every scan would insert it anew.
    for (std::string_view key : table.key_list) {
      const Column* column = S().FindColumn(table.name, key);
      EXPECT_TRUE(column != nullptr &&
                  (column->not_null || EqualsIgnoringCase(key, KeyAttributeColumn(S(), table))))
          << table.name << "." << key;
    }
    // Generated ids are read back as "<table>_Idn" (Oracle: "<table>SEQ").
    static const std::set<int> kOwnIdKinds = {2, 3, 4, 5, 23, 24, 25, 26};
    EXPECT_TRUE(!kOwnIdKinds.contains(table.kind) || !table.id_column.empty()) << table.name;
    if (table.id_column.empty()) continue;
    const Column* id = S().FindColumn(table.name, table.id_column);
    EXPECT_TRUE(EqualsIgnoringCase(table.id_column, std::string(table.name) + "_Idn") &&
                id != nullptr && id->not_null && id->type == ColumnType::kInteger)
        << table.name;
  }
}

TEST(SchemaTest, ParentsChainEveryComponentTableToTheDeviceRow) {
  for (const Table& table : S().tables) {
    // Computer, Components and AppSoftware are written first by name; with
    // a parent they would be written a second time as children.
    bool first = EqualsIgnoringCase(table.name, "Computer") ||
                 EqualsIgnoringCase(table.name, "Components") ||
                 EqualsIgnoringCase(table.name, "AppSoftware");
    EXPECT_EQ(table.parent.empty(), first || table.kind == kKindNone) << table.name;
    if (table.kind == kKindNone) continue;
    const Table* child = &table;
    for (int depth = 0; !child->parent.empty() && !EqualsIgnoringCase(child->parent, "Computer");
         ++depth) {
      const Table* parent = S().FindTable(child->parent);
      ASSERT_TRUE(parent != nullptr && depth < 5) << table.name << ": missing parent or a cycle";
      // A family's rows find (and create) their parent row through its id; a
      // device child's missing parent row is created under kinds 6 and 99 only.
      const Column* parent_id = S().FindColumn(child->name, parent->id_column);
      EXPECT_TRUE(table.kind == kKindDeviceChild
                      ? parent->kind == kKindDevice || parent->kind == kKindNoPurge
                      : parent_id != nullptr && parent_id->not_null)
          << child->name << " under " << parent->name;
      child = parent;
    }
    EXPECT_TRUE(first || EqualsIgnoringCase(child->parent, "Computer")) << table.name;
  }
}

// The statements issued per scan line and per device need these.
TEST(SchemaTest, IndexesServeTheStoresQueries) {
  std::set<std::string> indexes;  // "TABLE:COLUMN,COLUMN,"
  for (const Table& table : S().tables) {
    std::vector<std::vector<std::string_view>> lists = table.indexes;
    lists.push_back(AutomaticIndex(S(), table));
    for (const auto& list : lists) {
      std::string text = Upper(table.name) + ":";
      for (std::string_view column : list) text += Upper(column) + ",";
      indexes.insert(text);
    }
  }
  for (const char* wanted :
       {"COMPUTER:DEVICEID,", "COMPUTER:DEVICENAME,", "COMPUTER:HOSTNAME,", "COMPUTER:NICADDRESS,",
        "FILEINFO:FILENAME,FILESIZE,", "FILEINFOINSTANCE:COMPUTER_IDN,PATH,",
        "UNMODELEDDATA:COMPUTER_IDN,METAOBJATTRRELATIONS_IDN,", "HISTORY:COMPUTER_IDN,CHANGEDATE,",
        "NETWORKADAPTER:COMPUTER_IDN,NAME,"}) {
    EXPECT_TRUE(indexes.contains(wanted)) << wanted;
  }
}

TEST(SchemaTest, AttributesMapToColumnsOnePlaceEach) {
  std::set<std::pair<std::string_view, std::string_view>> names;
  std::set<std::pair<std::string, std::string>> columns;
  const Column* history_text = S().FindColumn("HISTORY", "NEWSTR");
  const Column* history_key = S().FindColumn("HISTORY", "PKVALSTR");
  ASSERT_TRUE(history_text != nullptr && history_key != nullptr);
  for (const Attribute& a : S().attributes) {
    SCOPED_TRACE(std::string(a.component) + "." + std::string(a.attribute));
    const Table* table = S().FindTable(a.table);
    const Column* column = S().FindColumn(a.table, a.column);
    ASSERT_TRUE(table != nullptr && column != nullptr && table->kind != kKindNone);
    EXPECT_TRUE(names.insert({a.component, a.attribute}).second) << "mapped twice";
    // The purge finds an attribute by its column; unmodeled rows are told
    // apart by their metaschema id instead.
    EXPECT_TRUE(table->kind == kKindUnmodeled ||
                columns.insert({Upper(a.table), Upper(a.column)}).second)
        << "column shared";
    // A tracked value and the keys of instances must fit the history row.
    EXPECT_TRUE(a.track_flags == 0 || column->type != ColumnType::kText ||
                column->length <= history_text->length);
    EXPECT_TRUE(!a.key || column->length <= history_key->length);
    // A keyed table holds the instances of its key's component only, and a
    // keyed component has exactly one key row.
    int keys = 0;
    for (const Attribute& other : S().attributes) {
      keys += other.key && other.component == a.component;
      EXPECT_TRUE(!other.key || !EqualsIgnoringCase(other.table, a.table) ||
                  other.component == a.component);
    }
    EXPECT_LE(keys, 1);
    std::string_view key_column = KeyAttributeColumn(S(), *table);
    bool keyed_kind = table->kind == kKindKeyedRow || table->kind == kKindOsKeyedChild;
    EXPECT_TRUE(!keyed_kind || !key_column.empty()) << a.table << " needs a key";
    // The writer has no rule for a keyed instance under a keyed parent.
    const Table* parent = S().FindTable(table->parent);
    EXPECT_TRUE(key_column.empty() || parent == nullptr ||
                KeyAttributeColumn(S(), *parent).empty());
  }
}

// The writer moves file attributes with a catalogue column name to FileInfo, adds FileName
// and renames ExeName to Title: the catalogue INSERT must name each column once.
TEST(SchemaTest, SoftwareFilesReachTheCatalogueWithoutNamingAColumnTwice) {
  const std::set<std::string> catalogue = {"EXENAME", "FILESIZE", "TITLE",       "FILENAME",
                                           "VERSION", "VENDOR",   "FILEINFO_IDN"};
  std::multiset<std::string> inserted = {"FILENAME", "ACTION", "DISCOVERED"};
  for (const Attribute& a : S().attributes) {
    if (!EqualsIgnoringCase(a.table, "FileInfoInstance") || !catalogue.contains(Upper(a.column)))
      continue;
    std::string column = Upper(a.column) == "EXENAME" ? "TITLE" : Upper(a.column);
    EXPECT_NE(S().FindColumn("FileInfo", column), nullptr) << column;
    inserted.insert(column);
  }
  for (const std::string& column : inserted) EXPECT_EQ(inserted.count(column), 1u) << column;
  EXPECT_EQ(inserted.count("FILESIZE"), 1u);  // the catalogue's identity with FileName
}

// The items of a sample scan as the scan reader makes them.
std::vector<scan::ScanItem> SampleItems(const std::string& name) {
  const std::string text = ReadFile(std::string(CORVANE_SAMPLE_SCANS_DIR) + "/" + name);
  scan::ScanTextDecoder decoder(scan::IsMacScan(text));
  scan::LineExpander expander;
  std::vector<scan::ScanItem> items;
  size_t cursor = 0;
  while (std::optional<scan::Line> line = scan::ReadLine(text, &cursor)) {
    std::optional<std::string> expanded = expander.Expand(line->text);
    if (!expanded) continue;
    if (expanded->starts_with(scan::kBeginContents)) {
      std::optional<scan::ContentsBlock> block = scan::ReadContentsBlock(text, &cursor);
      if (!block) break;
      for (scan::ScanItem& item : scan::ContentsBlockItems(*block, decoder)) items.push_back(item);
    } else if (expanded->starts_with("Cfg -")) {  // in the samples only within "_DELETED"
      items.push_back(scan::RewriteDeletedConfigLine(*expanded).item);
    } else if (!expanded->starts_with("_") && !expanded->starts_with("Last Sync Date")) {
      if (auto item = scan::SplitDataLine(scan::WithoutLineFeed(*expanded))) items.push_back(*item);
    }
  }
  return items;
}

TEST(SchemaTest, EveryItemOfTheSampleScansHasItsAttribute) {
  std::map<std::pair<std::string_view, std::string_view>, const Attribute*> by_name;
  for (const Attribute& a : S().attributes) by_name[{a.component, a.attribute}] = &a;
  auto find = [&](std::string_view component, std::string_view name) -> const Attribute* {
    auto it = by_name.find({component, name});
    return it == by_name.end() ? nullptr : it->second;
  };
  std::set<std::string> unmapped;
  size_t checked = 0;
  for (const char* name :
       {"debian12-full.scn", "debian12-delta.scn", "config-files.scn", "config-delta.scn"}) {
    std::vector<scan::ScanItem> items = SampleItems(name);
    if (items.empty()) GTEST_SKIP() << "sample scans not present";
    for (const scan::ScanItem& item : items) {
      ++checked;
      const Attribute* attribute = find(item.component, item.attribute);
      const Attribute* key = item.keyed ? find(item.component, item.key_name) : nullptr;
      if (attribute == nullptr || (item.keyed && (key == nullptr || !key->key))) {
        unmapped.insert(item.component + " (" + item.key_name + ") " + item.attribute);
      } else if (key != nullptr) {
        EXPECT_EQ(attribute->table, key->table) << item.component << "." << item.attribute;
      }
    }
  }
  EXPECT_GT(checked, 9000u);
  EXPECT_TRUE(unmapped.empty()) << "first unmapped: " << *unmapped.begin();
}

TEST(SchemaTest, DocumentInTheSourceTreeIsCurrent) {
  EXPECT_TRUE(ReadFile(std::string(CORVANE_SOURCE_DIR) + "/docs/schema.md") == SchemaMarkdown(S()))
      << "docs/schema.md is stale: rebuild it with the build target schema-doc";
}

}  // namespace
}  // namespace corvane::db::schema
