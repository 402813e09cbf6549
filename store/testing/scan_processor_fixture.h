// Test fixture: per-device scan processing on every test database. Scan
// files are dropped into a storage directory of the test's own root and
// processed through a device processor opened on the default connection;
// the helpers read what ends up in the database, the directories and the
// trace log.

#ifndef CORVANE_STORE_TESTING_SCAN_PROCESSOR_FIXTURE_H_
#define CORVANE_STORE_TESTING_SCAN_PROCESSOR_FIXTURE_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/Include/ascii_case.h"
#include "Common/Include/xtrace.h"
#include "db/device_processor.h"
#include "db/schema_create.h"
#include "diag/catalogue.h"
#include "notifex/notifex.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "service/config.h"
#include "store/scan_processor.h"
#include "testsupport/syslog_capture.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane::store {

// The sample scans' device ID.
inline constexpr char kDeviceId[] = "{3D1219C7-0000-0000-0000-000000005EED}";

inline std::string Sample(const std::string& name) {
  return corvane::testing::ReadFileOrEmpty(std::string(CORVANE_SAMPLE_SCANS_DIR) + "/" + name);
}

class ScanProcessorFixture : public ::testing::TestWithParam<corvane::testing::TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    full_ = Sample("debian12-full.scn");
    delta_ = Sample("debian12-delta.scn");
    if (full_.empty() || delta_.empty()) GTEST_SKIP() << "sample scans not found";
    RegisterEventApplicationEx(diag::kApplicationName, diag::kApplicationName,
                               platform::ProgramPath().c_str());
    EnableNTEventLog(1);
    database_ = std::make_unique<corvane::testing::ScratchDatabase>(GetParam());
    connection_.Open(database_->connection_string(), -1);
    db::CreateInventoryDatabase(connection_, GetParam().kind);
    corvane::testing::WriteDefaultConnection(*database_);
    ASSERT_EQ(device_.Open(30), 0u) << device_.error_text();
    storage_ = root_.path() + "/cvscan";
    std::filesystem::create_directories(storage_ + "/ErrorScan");
  }

  std::unique_ptr<ScanProcessor> Processor(ScanProcessingSettings settings = {}) {
    return std::make_unique<ScanProcessor>(device_, force_, bad_, settings);
  }

  std::string Drop(const std::string& name, const std::string& text) {
    const std::string path = storage_ + "/" + name;
    corvane::testing::WriteFile(path, text);
    return path;
  }
  bool InStorage(const std::string& name) { return std::filesystem::exists(storage_ + "/" + name); }
  std::string SetAside(const std::string& name) {
    return corvane::testing::ReadFileOrEmpty(storage_ + "/ErrorScan/" + name);
  }

  db::DbValue Value(const std::string& sql) { return connection_.QuerySingleValue(sql); }
  int Count(const std::string& table, const std::string& condition = "1 = 1") {
    return Value("SELECT COUNT(*) FROM " + table + " WHERE " + condition).ToInt32().value_or(-1);
  }
  std::string TableOf(const std::string& component, const std::string& attribute) {
    std::optional<db::AttributeInfo> info =
        device_.metaschema()->LookupAttribute(component, attribute);
    EXPECT_TRUE(info.has_value()) << component << "." << attribute;
    return info ? info->table : "Computer";
  }
  std::string Memory() { return Value("SELECT PhysicalMemory FROM Memory").ToText(); }

  // Tracing on, into CVDiv32.xlg of the test's root; the trace ends with
  // TraceText().
  void StartTrace() {
    platform::registry::SetValue(platform::RegRoot::kLocalMachine,
                                 "Software\\Arvex\\Corvane\\XTrace", "CVDiv32",
                                 platform::RegValue::Dword(1));
    xtrace::InitForModule(root_.path() + "/CVDiv32", "CVDiv32");
  }
  std::string TraceText() {
    xtrace::Shutdown();
    return corvane::testing::ReadFileOrEmpty(root_.path() + "/CVDiv32.xlg");
  }

  // Every stored row of the inventory but the device's update stamp.
  std::string Dump() {
    std::vector<std::string> tables = device_.metaschema()->device_tables();
    tables.insert(tables.end(), {"FileInfoInstance", "FileInfo"});
    std::string dump;
    for (const std::string& table : tables) {
      for (db::Recordset rows = connection_.Query("SELECT * FROM " + table + " ORDER BY 1");
           !rows.AtEnd(); rows.Next()) {
        dump += table + ":";
        for (int i = 0; i < rows.FieldCount(); ++i) {
          if (!EqualsIgnoringCase(rows.FieldName(i), "LastUpdInvSvr"))
            dump += rows.Value(i).ToText() + "|";
        }
        dump += "\n";
      }
    }
    return dump;
  }

  testing::TempRoot root_;
  testing::SyslogCapture syslog_{root_.path()};
  std::unique_ptr<corvane::testing::ScratchDatabase> database_;
  db::Connection connection_;
  db::DeviceProcessor device_;
  service::DeviceIdSet force_;
  service::DeviceIdSet bad_;
  std::string storage_;
  std::string full_;
  std::string delta_;
};

}  // namespace corvane::store

#endif  // CORVANE_STORE_TESTING_SCAN_PROCESSOR_FIXTURE_H_
