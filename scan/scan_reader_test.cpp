// The scan contents reader against a recording writer: grouping into rows,
// the deleted section, contents blocks, markers, decoding and a real scan.

#include "scan/scan_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "db/error.h"

namespace corvane::scan {
namespace {

// Resolves the components it knows (or every one with `resolve_all`) and
// records what it is handed. The resolved literal is "<value>".
class RecordingWriter : public InventoryWriter {
 public:
  struct Target {
    std::string table;
    std::string key_column;
    int pk_value_type = kKeyText;
  };
  std::map<std::string, Target> known{
      {"Computer", {"Computer", "", 0}},
      {"Computer.OS", {"Operating_System", "", 0}},
      {"Computer.Network.Adapter", {"NetworkAdapter", "Name", kKeyText}},
      {"Computer.Memory.Slot", {"MemorySlot", "Slot", kKeyInteger}},
      {"Computer.Odd", {"Odd", "When", 4}},  // a key type without a literal
      {"Computer.Custom", {"UnmodeledData", "", 0}},
      {"Computer.Configuration Files.File", {"OSConfigFiles", "FilePath", kKeyText}},
      {"Computer.BIOS.BIOS Strings", {"BiosStrings", "", 0}},
  };
  bool resolve_all = false;
  bool exists = false;
  std::string fail_on;  // attribute whose write raises a database error

  std::vector<std::string> events;
  std::vector<ScanLine> calls;  // as received
  std::vector<std::pair<PendingRow, bool>> rows;
  int flushes = 0;

  void SetHasSoftwareSection(bool v) override { events.push_back(v ? "software" : "-software"); }
  void SetHasDeletions(bool v) override { events.push_back(v ? "deletions" : "-deletions"); }
  bool WriteAttribute(ScanLine& line) override {
    calls.push_back(line);
    if (line.attribute == fail_on) throw db::DbError(db::kErrorFail, "write failed");
    auto it = known.find(line.component);
    if (it == known.end() && !resolve_all) return false;
    Target target = it != known.end() ? it->second : Target{line.component, "Key", kKeyText};
    line.table = target.table;
    line.column = line.attribute;
    if (!line.key_attribute.empty()) {
      line.key_column = target.key_column;
      line.pk_value_type = target.pk_value_type;
    }
    line.value = "<" + line.value + ">";
    return exists;
  }
  void AddPendingRow(PendingRow row, bool no_merge) override {
    rows.emplace_back(std::move(row), no_merge);
  }
  void FlushPendingRows() override { ++flushes; }
  db::DbmsKind dbms_kind() const override { return db::kDbmsSqlServer; }
};

RecordingWriter Read(std::string_view text, bool mac = false, RecordingWriter writer = {}) {
  EXPECT_TRUE(ReadScan(writer, text, mac, CreatorTypes()));
  return writer;
}

std::vector<std::string> Columns(const PendingRow& row) {
  std::vector<std::string> columns;
  for (const PendingAttribute& a : row.attributes) columns.push_back(a.column + "=" + a.literal);
  return columns;
}

using Strings = std::vector<std::string>;

TEST(ScanReaderTest, MarkersAloneWriteNothingAndFlushOnce) {
  RecordingWriter w = Read(
      "_SOFTWARE = Packages\n\n_DELETED\n_ENDDELETED\nLast Sync Date = 17\n"
      "Profiles - (Profile:x) - Name = y\nCfg - /etc/fstab 75 1\nNo separator here\n");
  EXPECT_TRUE(w.calls.empty());
  EXPECT_TRUE(w.rows.empty());
  EXPECT_EQ(w.flushes, 1);
  // A delta scan is announced before its first item.
  EXPECT_EQ(w.events, (Strings{"-software", "deletions", "software"}));
  EXPECT_EQ(Read("_SOFTWARE = Packages\n").events,
            (Strings{"-software", "-deletions", "software"}));
}

TEST(ScanReaderTest, LinesOfOneInstanceShareARowUntilAnotherComesBetween) {
  RecordingWriter writer;
  writer.exists = true;
  RecordingWriter w = Read(
      "Network - Adapter - (Name:Eth0) - Type = ether\n"
      "* - MTU = 1500\n"
      "Network - Adapter - (Name:eth0) - MTU = 1400\n"   // same instance, key case aside
      "Network - Adapter - (Name:eth0) - Name = eth0\n"  // the key line itself: skipped
      "OS - Name = Debian\n"
      "Network - Adapter - (Name:eth0) - Status = Up\n"
      "Memory - Slot - (Slot:12) - Size = 8\n"
      "Custom - One = 1\nCustom - Two = 2\n"
      "Unknown - Thing = 1\n",
      false, writer);
  ASSERT_EQ(w.calls.size(), 9u);  // all but the key line
  EXPECT_EQ(w.calls[3].component, "Computer.OS");
  ASSERT_EQ(w.rows.size(), 6u);
  const PendingRow& first = w.rows[0].first;
  EXPECT_EQ(first.table, "NetworkAdapter");
  EXPECT_EQ(first.key_column, "Name");
  EXPECT_EQ(first.key_value, "'Eth0'");
  EXPECT_TRUE(first.exists);
  EXPECT_EQ(Columns(first), (Strings{"Type=<ether>", "MTU=<1400>"}));
  EXPECT_EQ(Columns(w.rows[1].first), (Strings{"Name=<Debian>"}));
  EXPECT_EQ(w.rows[1].first.key_value, "");
  EXPECT_EQ(Columns(w.rows[2].first), (Strings{"Status=<Up>"}));
  EXPECT_EQ(w.rows[3].first.key_value, "12");
  // Unmodeled data: one row per attribute.
  EXPECT_EQ(Columns(w.rows[4].first), (Strings{"One=<1>"}));
  EXPECT_EQ(Columns(w.rows[5].first), (Strings{"Two=<2>"}));
  for (const auto& [row, no_merge] : w.rows) EXPECT_FALSE(no_merge);
  EXPECT_EQ(w.flushes, 1);
}

TEST(ScanReaderTest, AbbreviationWithoutAPreviousLineIsDropped) {
  RecordingWriter w = Read("* - Name = x\nOS - Name = a\n* - Version = 12\n");
  ASSERT_EQ(w.calls.size(), 2u);
  EXPECT_EQ(w.calls[1].component, "Computer.OS");
  EXPECT_EQ(w.calls[1].attribute, "Version");
}

// A row goes to the writer with its key as an SQL literal, or with no key at
// all when the writer gave it no key column.
TEST(ScanReaderTest, KeyedRowWithoutKeyLiteralIsDiscarded) {
  RecordingWriter w = Read("Odd - (When:now) - A = 1\nOS - (Build:it's) - Name = a\n");
  ASSERT_EQ(w.rows.size(), 1u);
  EXPECT_EQ(w.rows[0].first.table, "Operating_System");
  EXPECT_EQ(w.rows[0].first.key_value, "");
}

TEST(ScanReaderTest, DeletedSectionItemsAreRowsOfTheirOwn) {
  RecordingWriter w = Read(
      "Network - Adapter - (Name:a) - Type = x\n"
      "_DELETED\n"
      "Network - Adapter - (Name:b) - Name = b\n"
      "Network - Adapter - (Name:b) - MTU = 1\n"
      "Network - Adapter - (Name:c) - Type = y\n"
      "_ENDDELETED\n"
      "Network - Adapter - (Name:c) - Type = z\n");
  ASSERT_EQ(w.calls.size(), 5u);
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(w.calls[i].value, "ItemDeleted");
    EXPECT_TRUE(w.calls[i].deleted);
  }
  EXPECT_EQ(w.calls[1].attribute, "Name");  // the key line removes the instance
  EXPECT_FALSE(w.calls[4].deleted);
  ASSERT_EQ(w.rows.size(), 5u);
  // The row open when "_DELETED" comes is an ordinary one.
  EXPECT_FALSE(w.rows[0].second);
  EXPECT_FALSE(w.rows[0].first.deleted);
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_TRUE(w.rows[i].second) << i;
    EXPECT_TRUE(w.rows[i].first.deleted) << i;
    EXPECT_EQ(w.rows[i].first.attributes.size(), 1u);
  }
  // The ordinary line after "_ENDDELETED" does not join the deleted row.
  EXPECT_FALSE(w.rows[4].second);
  EXPECT_EQ(Columns(w.rows[4].first), (Strings{"Type=<z>"}));
  EXPECT_EQ(w.events, (Strings{"-software", "deletions"}));
}

// The item as received, in the layout of the reader's table of preset fields:
// component, key attribute = key value, attribute = value, key column, parent
// table, key type, data type, table kind, has key, parent kind.
std::string Preset(const ScanLine& l) {
  std::ostringstream out;
  out << l.component << "|" << l.key_attribute << "=" << l.key_value << "|" << l.attribute << "="
      << l.value << "|" << l.key_column << "|" << l.parent_table << "|" << l.pk_value_type << "|"
      << l.data_type << "|" << l.table_kind << "|" << l.has_key << "|" << l.parent_kind;
  return out.str();
}

TEST(ScanReaderTest, DeletedConfigurationFileAndBiosText) {
  RecordingWriter w = Read(
      "_DELETED\nCfg - /etc/caf\xE9.conf 75 1796000000\nCfg - CVBIOS.TXT 39 1796000000\n"
      "_ENDDELETED\n");
  ASSERT_EQ(w.calls.size(), 2u);
  EXPECT_EQ(Preset(w.calls[0]),
            "Computer.Configuration Files.File|File Path=/etc/caf\xC3\xA9.conf|"
            "File Path=ItemDeleted|FilePath|Operating_System|2|2|4|1|5");
  EXPECT_EQ(Preset(w.calls[1]), "Computer.BIOS.BIOS Strings|=|Size=ItemDeleted|||0|2|4|1|5");
  EXPECT_TRUE(w.calls[0].deleted && w.calls[1].deleted);
  // Both rows reach the writer, the unkeyed BIOS row too.
  ASSERT_EQ(w.rows.size(), 2u);
  EXPECT_EQ(w.rows[0].first.key_value, "'/etc/caf\xC3\xA9.conf'");
  EXPECT_EQ(w.rows[1].first.table, "BiosStrings");
  EXPECT_TRUE(w.rows[0].second && w.rows[1].second);
}

TEST(ScanReaderTest, ContentsBlockGivesContentsSizeAndTime) {
  RecordingWriter w = Read(
      "_BeginContents\n9\n1796000000\nn\xE9.conf\n/etc/\nab\xE9\ncd\n_EndContents\n"
      "* - Version = 1\n"  // the block's lines never become the previous line
      "_BeginContents\n5\n7\nCVBIOS.TXT\n\nQEMU\n_EndContents\n");
  Strings items;
  for (const ScanLine& line : w.calls) items.push_back(Preset(line));
  const std::string file = "Computer.Configuration Files.File|File Path=/etc/n\xC3\xA9.conf|";
  const std::string bios = "Computer.BIOS.BIOS Strings|=|";
  // The contents keep their bytes; the file name is decoded.
  EXPECT_EQ(items, (Strings{file + "File Data=ab\xE9\ncd\n|FilePath|Operating_System|2|1|4|1|5",
                            file + "File Size=9|FilePath|Operating_System|2|3|4|1|5",
                            file + "File Date=1796000000|FilePath|Operating_System|2|3|4|1|5",
                            bios + "Data=QEMU\n|||2|1|4|0|5", bios + "Size=5|||2|3|4|0|5",
                            bios + "Scan Date=7|||2|3|4|0|5"}));
  ASSERT_EQ(w.rows.size(), 2u);
  EXPECT_TRUE(w.rows[0].first.image);
  EXPECT_EQ(w.rows[0].first.attributes.size(), 3u);
}

TEST(ScanReaderTest, TruncatedContentsBlockOrDatabaseFailureEndsWithoutFlush) {
  RecordingWriter w;
  EXPECT_FALSE(
      ReadScan(w, "OS - Name = a\n_BeginContents\n12\n1796000000\n", false, CreatorTypes()));
  // Nothing of a text cut short reaches the writer, not even its first line.
  EXPECT_TRUE(w.calls.empty());
  EXPECT_TRUE(w.events.empty());
  EXPECT_TRUE(w.rows.empty());
  EXPECT_EQ(w.flushes, 0);

  // All four headers, but the text stops before the marker and the size:
  // the block, and everything the scan would have reported after it, is cut.
  for (const char* cut : {"_BeginContents\n500\n1796000000\nfstab\n/etc/\n/dev/vda / ext4\n",
                          "_BeginContents\nfstab\n/etc/\n1796000000\n500\n",
                          "_BeginContents\n500\n1796000000\nfstab\n/etc/\n/dev/vda / ex"}) {
    RecordingWriter cut_writer;
    EXPECT_FALSE(ReadScan(cut_writer, std::string("OS - Name = a\n") + cut, false, CreatorTypes()))
        << cut;
    EXPECT_TRUE(cut_writer.calls.empty()) << cut;
    EXPECT_TRUE(cut_writer.rows.empty()) << cut;
    EXPECT_EQ(cut_writer.flushes, 0) << cut;
  }
  // A block that reaches its declared size at the end of the text is whole.
  RecordingWriter whole;
  EXPECT_TRUE(
      ReadScan(whole, "OS - Name = a\n_BeginContents\n3\n0\nf\n/\nab\n", false, CreatorTypes()));
  EXPECT_EQ(whole.calls.size(), 4u);
  EXPECT_EQ(whole.flushes, 1);

  RecordingWriter failing;
  failing.fail_on = "Version";
  EXPECT_THROW(ReadScan(failing, "OS - Name = a\nOS - Version = 1\n", false, CreatorTypes()),
               db::DbError);
  EXPECT_EQ(failing.calls.size(), 2u);
  EXPECT_EQ(failing.flushes, 0);
}

TEST(ScanReaderTest, AnItemReportedTwiceIsComparedAndWrittenWithItsLastValueOnly) {
  // The scan's own address, then the one the receiver appends for the
  // connection: only the second is the device's.
  RecordingWriter w = Read(
      "Network - TCPIP - Address = 192.0.2.2\n"
      "OS - Name = a\n"
      "Network - Adapter - (Name:eth0) - Speed = 100\n"
      "Network - Adapter - (Name:eth1) - Speed = 10\n"
      "network - tcpip - address =127.000.000.001\n"
      "Network - Adapter - (Name:eth0) - Speed = 1000\n"
      "_DELETED\n"
      "OS - Name = b\n"
      "OS - Name = b\n"
      "_ENDDELETED\n");
  std::vector<std::string> seen;
  for (const ScanLine& line : w.calls) {
    seen.push_back(line.attribute + (line.key_value.empty() ? "" : "@" + line.key_value) + "=" +
                   line.value + (line.deleted ? " deleted" : ""));
  }
  // Other instances of the same attribute stay; deleted items are all kept.
  EXPECT_EQ(seen, (std::vector<std::string>{"Name=a", "Speed@eth1=10", "address=127.000.000.001",
                                            "Speed@eth0=1000", "Name=ItemDeleted deleted",
                                            "Name=ItemDeleted deleted"}));
  EXPECT_EQ(w.flushes, 1);
}

TEST(ScanReaderTest, ValuesAreDecodedAsUtf8OrAnsi) {
  std::string text = "OS - Name = caf\xC3\xA9\n";
  EXPECT_EQ(Read(text, true).calls.at(0).value, "caf\xC3\xA9");
  EXPECT_EQ(Read(text, false).calls.at(0).value, "caf\xC3\x83\xC2\xA9");
}

TEST(ScanReaderTest, ReadingStopsAtTheEndOfTheTextAndAtNul) {
  std::string buffer = "OS - Name = a\nOS - Version = 12XYZ\n";
  RecordingWriter w = Read(std::string_view(buffer).substr(0, buffer.find("XYZ")));
  ASSERT_EQ(w.calls.size(), 2u);
  EXPECT_EQ(w.calls[1].value, "12");
  std::string with_nul("OS - Name = a\n\0OS - Version = 12\n", 33);
  EXPECT_EQ(Read(with_nul).calls.size(), 1u);
}

std::string Sample(const std::string& name) {
#ifdef CORVANE_SAMPLE_SCANS_DIR
  std::ifstream in(std::string(CORVANE_SAMPLE_SCANS_DIR) + "/" + name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
#else
  return std::string();
#endif
}

TEST(ScanReaderTest, FullSampleScanReachesTheWriterLineByLine) {
  std::string text = Sample("debian12-full.scn");
  if (text.empty()) GTEST_SKIP() << "sample scans not present";
  // Counted from the text alone: data lines, and the first lines of keyed
  // instances (each a new instance in this scan).
  size_t data_lines = 0, keyed_instances = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" =") == std::string::npos || line.starts_with("_SOFTWARE") ||
        line.starts_with("Last Sync Date") || line.starts_with("Profiles - (Profile:")) {
      continue;
    }
    ++data_lines;
    if (!line.starts_with("*") && line.find(" - (") != std::string::npos) ++keyed_instances;
  }
  RecordingWriter writer;
  writer.resolve_all = true;
  RecordingWriter w = Read(text, false, writer);
  EXPECT_EQ(w.calls.size(), data_lines);
  size_t attributes = 0, keyed_rows = 0;
  for (const auto& [row, no_merge] : w.rows) {
    attributes += row.attributes.size();
    if (!row.key_column.empty()) ++keyed_rows;
  }
  EXPECT_EQ(attributes, data_lines);
  EXPECT_EQ(keyed_rows, keyed_instances);
  EXPECT_EQ(w.flushes, 1);
  EXPECT_EQ(w.events, (Strings{"-software", "-deletions", "software"}));
  auto adduser = std::find_if(w.rows.begin(), w.rows.end(),
                              [](const auto& r) { return r.first.key_value == "'adduser'"; });
  ASSERT_NE(adduser, w.rows.end());
  EXPECT_EQ(adduser->first.table, "Computer.Software.Package");
  EXPECT_EQ(Columns(adduser->first),
            (Strings{"Version=<3.134>", "Architecture=<all>", "Size=<702464>", "Source=<deb>",
                     "Description=<add and remove users and groups>"}));
}

}  // namespace
}  // namespace corvane::scan
