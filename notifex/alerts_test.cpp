// The alert sinks with an alert library present. This program runs from a
// directory of its own that holds a recording stand-in for "halolib".

#include <dlfcn.h>

#include <gtest/gtest.h>

#include "notifex/notifex.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "testsupport/temp_root.h"

namespace corvane::notifex {
namespace {

constexpr char kApp[] = "Corvane Inventory Server";

std::string Calls() {
  std::string path = platform::ProgramDirectory() + "/halolib.so";
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) return "(library not loaded)";
  auto calls = reinterpret_cast<const char* (*)()>(dlsym(library, "FakeHaloCalls"));
  std::string text = calls != nullptr ? calls() : "(no FakeHaloCalls)";
  dlclose(library);
  return text;
}

class AlertsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(RegisterEventApplicationEx(kApp, "Inventory", nullptr), 1); }
  testing::TempRoot root_;
};

TEST_F(AlertsTest, RegistrationMapsTheDisplayNameAndRegistersTheOriginator) {
  auto mapping = platform::registry::GetValue(
      platform::RegRoot::kLocalMachine, "SOFTWARE\\Arvex\\Corvane\\Tessel\\Alert Mappings", kApp);
  ASSERT_TRUE(mapping);
  EXPECT_EQ(*mapping, platform::RegValue::Binary({'I', 'n', 'v', 'e', 'n', 't', 'o', 'r', 'y', 0}));
  EXPECT_EQ(Calls(), "OriginatorRegisterEh|Corvane Inventory Server||||0\n");
}

TEST_F(AlertsTest, AlertTypesAreRegisteredWithOneParameterPerInsert) {
  RegisterEventEx(kApp, "Loaded, scanning", "Loaded and scanning", 9, "%d %d %d");
  RegisterEvent(kApp, nullptr, 11, nullptr);
  std::string calls = Calls();
  EXPECT_NE(calls.find("RegisterAlert|Corvane Inventory Server|Loaded, scanning|"
                       "Description=;AlertName=Loaded and scanning;P1=;P2=;P3=;||0\n"),
            std::string::npos)
      << calls;
  EXPECT_NE(calls.find("RegisterAlert|Corvane Inventory Server|Alert #11|"
                       "Description=;AlertName=Alert #11;||0\n"),
            std::string::npos)
      << calls;
}

TEST_F(AlertsTest, ReportsIssueAlertsWithTextSeverityAndHostname) {
  EXPECT_EQ(UsingHalo2(), 0);  // the library is there, the setting is not
  ReportAnEventEx(kApp, "Database Exception", NTFX_SINK_HALO2 | NTFX_SINK_HALOLITE, 4100, 1, "%s",
                  "disk full");
  std::string calls = Calls();
  EXPECT_NE(calls.find("IssueAlertEh|Corvane Inventory Server|Database Exception|"
                       "Description=Message source 'Corvane Inventory Server' not found (id "
                       "0x1004).  Inserts were: disk full;AlertName=Database Exception;"
                       "Source=Inventory;P1=disk full;|time|16\n"),
            std::string::npos)
      << calls;
  EXPECT_NE(calls.find(";P1=disk full;--Hostname="), std::string::npos) << calls;

  EnableHalo2(1);
  EXPECT_EQ(UsingHalo2(), 1);
  ReportAnEvent(kApp, 5, 2, nullptr);
  EXPECT_NE(Calls().find("|Alert #5|"), std::string::npos);
  EXPECT_NE(Calls().find("|time|8\n"), std::string::npos);
}

TEST_F(AlertsTest, DeregisteringUnloadsTheLibrary) {
  DeRegisterNtfx();
  EXPECT_EQ(UsingHalo2(), 0);
  EnableHalo2(1);
  EXPECT_EQ(UsingHalo2(), 0);
}

}  // namespace
}  // namespace corvane::notifex
