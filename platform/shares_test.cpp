#include "platform/shares.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "testsupport/temp_root.h"

namespace corvane::platform {
namespace {

constexpr char kConfiguration[] =
    "# Samba's own sections come first\n"
    "[global]\n"
    "   workgroup = WORKGROUP\n"
    "   path = /not/this/one\n"
    "\n"
    "[homes]\n"
    "   path = /home\n"
    "[ CvLogon ]\n"
    "   ; the scanner lives here\n"
    "   comment = inventory scanner\n"
    "   Pa th = /srv/corvane/\\\n"
    "cvlogon\r\n"
    "   read only = yes\n"
    "[printers]\n"
    "   path = /var/spool/samba\n";

TEST(SambaConfiguration, FindsTheSharesPathIgnoringCaseBlanksAndComments) {
  EXPECT_EQ(SharePathInSambaConfiguration(kConfiguration, "cvlogon"), "/srv/corvane/cvlogon");
  EXPECT_EQ(SharePathInSambaConfiguration(kConfiguration, "HOMES"), "/home");
  EXPECT_EQ(SharePathInSambaConfiguration(kConfiguration, "printers"), "/var/spool/samba");
}

TEST(SambaConfiguration, AShareWithoutAPathOrAMissingShareIsNotFound) {
  EXPECT_EQ(SharePathInSambaConfiguration(kConfiguration, "public"), std::nullopt);
  EXPECT_EQ(SharePathInSambaConfiguration("[cvlogon]\n  comment = no path\n", "cvlogon"),
            std::nullopt);
  EXPECT_EQ(SharePathInSambaConfiguration("[cvlogon]\n  path =   \n", "cvlogon"), std::nullopt);
  // The commented-out path does not count; "directory" is Samba's synonym.
  EXPECT_EQ(
      SharePathInSambaConfiguration("[cvlogon]\n# path = /old\ndirectory = /new\n", "cvlogon"),
      "/new");
  EXPECT_EQ(SharePathInSambaConfiguration("", "cvlogon"), std::nullopt);
  EXPECT_EQ(SharePathInSambaConfiguration("[cvlogon\npath = /x\n", "cvlogon"), std::nullopt);
}

TEST(SambaConfiguration, TheLookupReadsTheFileNamedByTheEnvironmentOnEveryCall) {
  testing::TempRoot root;
  const std::string file = root.path() + "/smb.conf";
  setenv("CORVANE_SMB_CONF", file.c_str(), 1);
  EXPECT_EQ(SambaConfigurationPath(), file);
  EXPECT_EQ(LocalSharePath("cvlogon"), std::nullopt);  // no file yet
  testing::WriteFile(file, "[cvlogon]\npath = /opt/scanner\n");
  EXPECT_EQ(LocalSharePath("cvlogon"), "/opt/scanner");
  unsetenv("CORVANE_SMB_CONF");
  EXPECT_EQ(SambaConfigurationPath(), "/etc/samba/smb.conf");
}

}  // namespace
}  // namespace corvane::platform
