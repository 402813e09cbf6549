#include "service/config.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "platform/registry.h"
#include "testsupport/temp_root.h"

namespace corvane::service {
namespace {

using platform::RegRoot;
using platform::RegValue;
namespace registry = platform::registry;

std::optional<RegValue> Stored(const char* name) {
  return registry::GetValue(RegRoot::kLocalMachine, kServerKey, name);
}

void Store(const char* name, const RegValue& value) {
  registry::SetValue(RegRoot::kLocalMachine, kServerKey, name, value);
}

class ConfigurationTest : public ::testing::Test {
 protected:
  testing::TempRoot root_;
  Configuration configuration_;
};

TEST_F(ConfigurationTest, FirstLoadWritesBackExactlyTheTunableDefaults) {
  LoadConfiguration(configuration_);
  std::vector<std::string> names;
  for (const auto& [name, value] : registry::Values(RegRoot::kLocalMachine, kServerKey)) {
    names.push_back(name);
  }
  std::vector<std::string> expected = {"Max Connect Tries",
                                       "DB Error Recovery Tries",
                                       "Seconds Before Retry",
                                       "Log Stats",
                                       "Do Self Scan",
                                       "Self Scan At",
                                       "Clean At",
                                       "Logon Depth",
                                       "Do Blobs",
                                       "Query Timeout",
                                       "Do Transactions",
                                       "Disable Encryption",
                                       "Do DB",
                                       "Do Delta",
                                       "Scan File Prefix",
                                       "TCP Port",
                                       "UDP Port",
                                       "Max Hours To Clean",
                                       "Max Scan File Size",
                                       "Force Full Scans",
                                       "Max Scan Age",
                                       "Identity Changes Number",
                                       "Hardware Changes Number",
                                       "Handle Duplicate DeviceIDs",
                                       "Max Thread Priority",
                                       "Ignore Connection Reset",
                                       "Use Connection Address",
                                       "Ignore Mini Scans",
                                       "LogEvents",
                                       "GenerateSQL",
                                       "TCP Idle Timeout",
                                       "Max TCP Connections",
                                       "Max TCP Connections Per Address",
                                       "TCP Request Timeout",
                                       "Max Error Directory MB",
                                       "Max Error File Age"};
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);

  EXPECT_EQ(Stored("TCP Port"), RegValue::Dword(5007));
  EXPECT_EQ(Stored("Max Scan File Size"), RegValue::Dword(10000000));
  EXPECT_EQ(Stored("DB Error Recovery Tries"), RegValue::Dword(10));
  EXPECT_EQ(Stored("Scan File Prefix"), RegValue::Sz("SCA"));
  EXPECT_EQ(Stored("Force Full Scans"), RegValue::MultiSz({}));
  EXPECT_EQ(Stored("Use Connection Address"), RegValue::Dword(1));
  EXPECT_EQ(Stored("Ignore Mini Scans"), RegValue::Dword(0));
  EXPECT_EQ(Stored("Max TCP Connections Per Address"), RegValue::Dword(16));
  EXPECT_EQ(Stored("TCP Request Timeout"), RegValue::Dword(30));
  EXPECT_EQ(Stored("Max Error Directory MB"), RegValue::Dword(1024));
  EXPECT_EQ(Stored("Max Error File Age"), RegValue::Dword(90));
  EXPECT_EQ(configuration_.software_scan_frequency, 0u);
}

TEST_F(ConfigurationTest, StoredValuesWinAndTheNoDbFrequencyIsReadOnlyWithoutADatabase) {
  Store("TCP Port", RegValue::Dword(6000));
  Store("Do Delta", RegValue::Dword(0));
  Store("Scan File Prefix", RegValue::Sz("ABCDEFGHIJKLMNOPQRSTU"));
  Store("Bad Device IDs", RegValue::MultiSz({"bad-1", "", "bad-2"}));
  Store("Force Full Scans", RegValue::MultiSz({"full-1"}));
  Store("Software Scan Frequency when no DB", RegValue::Dword(7));
  LoadConfiguration(configuration_);
  const Settings& settings = configuration_.settings;
  EXPECT_EQ(settings.tcp_port, 6000u);
  EXPECT_EQ(settings.do_delta, 0u);
  EXPECT_EQ(settings.scan_file_prefix, "ABCDEFGHIJKLMNO");
  EXPECT_EQ(configuration_.bad_device_ids.Entries(), (std::vector<std::string>{"bad-1", "bad-2"}));
  EXPECT_TRUE(configuration_.force_full_scans.Contains("full-1"));
  EXPECT_EQ(configuration_.software_scan_frequency, 0u);  // "Do DB" is on

  Configuration without_db;
  Store("Do DB", RegValue::Dword(0));
  LoadConfiguration(without_db);
  EXPECT_EQ(without_db.software_scan_frequency, 7u);
}

TEST_F(ConfigurationTest, NoDbFrequencyIsWrittenOnlyWhenItIsUsed) {
  LoadConfiguration(configuration_);
  EXPECT_FALSE(Stored("Software Scan Frequency when no DB"));
  Store("Do DB", RegValue::Dword(0));
  Configuration again;
  LoadConfiguration(again);
  EXPECT_EQ(Stored("Software Scan Frequency when no DB"), RegValue::Dword(1));
  EXPECT_EQ(again.software_scan_frequency, 1u);
}

TEST_F(ConfigurationTest, NumbersOfOtherTypesAreReadFromTheirFirstFourBytes) {
  Store("Logon Depth", RegValue::Binary({9, 0, 0, 0, 0xAA}));
  Store("Clean At", RegValue::Binary({1, 2}));  // too short: counts as missing
  Store("Self Scan At", RegValue::Sz("ABC"));   // "ABC" and its terminator
  LoadConfiguration(configuration_);
  EXPECT_EQ(configuration_.settings.logon_depth, 9u);
  EXPECT_EQ(configuration_.settings.clean_at, 23u);
  EXPECT_EQ(Stored("Clean At"), RegValue::Dword(23));
  EXPECT_EQ(configuration_.settings.self_scan_at, 0x00434241u);
}

TEST_F(ConfigurationTest, StoreAndForwardAreReadButNeverWritten) {
  Store("Forward Scans Path", RegValue::Sz("/srv/forward"));
  LoadConfiguration(configuration_);
  EXPECT_EQ(configuration_.settings.forward_scans_path, "");
  EXPECT_FALSE(Stored("Store Scans"));
  EXPECT_FALSE(Stored("Forward Scans"));

  Store("Forward Scans", RegValue::Dword(1));
  Store("Store Scans", RegValue::Dword(1));
  Configuration again;
  LoadConfiguration(again);
  EXPECT_EQ(again.settings.forward_scans_path, "/srv/forward");
  EXPECT_EQ(again.settings.store_scans, 1u);
}

TEST_F(ConfigurationTest, ZeroBoundsOfTheTcpIntakeAndTheErrorDirectoriesFallBackToTheirDefaults) {
  Store("TCP Idle Timeout", RegValue::Dword(0));
  Store("Max TCP Connections", RegValue::Dword(0));
  Store("Max TCP Connections Per Address", RegValue::Dword(0));
  Store("TCP Request Timeout", RegValue::Dword(0));
  Store("Max Error Directory MB", RegValue::Dword(0));
  Store("Max Error File Age", RegValue::Dword(0));
  Store("Use Connection Address", RegValue::Binary({0, 0, 0, 0}));
  LoadConfiguration(configuration_);
  EXPECT_EQ(configuration_.settings.max_error_file_age_days, 0u) << "0 keeps the files";
  EXPECT_EQ(configuration_.settings.tcp_idle_timeout_seconds, 300u);
  EXPECT_EQ(configuration_.settings.max_tcp_connections, 1024u);
  EXPECT_EQ(configuration_.settings.max_tcp_connections_per_address, 16u);
  EXPECT_EQ(configuration_.settings.tcp_request_timeout_seconds, 30u);
  EXPECT_EQ(configuration_.settings.max_error_directory_mb, 1024u);
  EXPECT_EQ(Stored("TCP Request Timeout"), RegValue::Dword(0));  // left as the administrator set it

  Store("Max TCP Connections Per Address", RegValue::Dword(4));
  Store("TCP Request Timeout", RegValue::Dword(5));
  Store("Max Error Directory MB", RegValue::Dword(64));
  Configuration again;
  LoadConfiguration(again);
  EXPECT_EQ(again.settings.max_error_directory_mb, 64u);
  EXPECT_EQ(again.settings.max_tcp_connections_per_address, 4u);
  EXPECT_EQ(again.settings.tcp_request_timeout_seconds, 5u);
  // Always written back, in its proper type.
  EXPECT_EQ(Stored("Use Connection Address"), RegValue::Dword(0));
}

TEST_F(ConfigurationTest, AnUnreadableHiveLeavesTheDefaultsAndIsNotTouched) {
  std::string hive = platform::RegistryDirectory() + "/HKEY_LOCAL_MACHINE.reg";
  platform::CreateDirectories(platform::RegistryDirectory());
  testing::WriteFile(hive, "[HKEY_LOCAL_MACHINE\\broken\n");
  Configuration fresh;
  LoadConfiguration(fresh);
  EXPECT_EQ(fresh.settings.tcp_port, 5007u);
  EXPECT_EQ(fresh.settings.scan_file_prefix, "SCA");
  EXPECT_EQ(testing::ReadFileOrEmpty(hive), "[HKEY_LOCAL_MACHINE\\broken\n");
}

}  // namespace
}  // namespace corvane::service
