#include "db/open_failure.h"

#include <gtest/gtest.h>

#include "db/error.h"

namespace corvane::db {
namespace {

TEST(OpenFailureText, NamesTheCauseAndAddsTheDriversText) {
  EXPECT_EQ(OpenFailureText(kErrorCredentials, ""),
            "The database connection is invalid\n\nVerify your username and password are correct "
            "in Quillset.exe.");
  EXPECT_EQ(OpenFailureText(kErrorDbInit, ""), "Database initialization failed.");
  EXPECT_EQ(OpenFailureText(kErrorDbInit, "no METAOBJATTRRELATIONS"),
            "Database initialization failed.\r\nno METAOBJATTRRELATIONS");
  // Other codes are written as the signed 32-bit number they are.
  EXPECT_EQ(OpenFailureText(kErrorFail, "[08001] could not connect"),
            "CVInv.dll\r\n-2147467259\r\n[08001] could not connect");
  EXPECT_EQ(OpenFailureText(7, ""), "CVInv.dll\r\n7");
}

}  // namespace
}  // namespace corvane::db
