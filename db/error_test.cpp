#include "db/error.h"

#include <gtest/gtest.h>

namespace corvane::db {
namespace {

TEST(DatabaseFailure, TheDatabasesFailuresAreToldFromTheStatementsOwn) {
  // The connection, the server going away, contention and time-outs.
  for (const char* state : {"08S01", "08001", "08006", "57P01", "57P02", "57P03", "53300", "40001",
                            "40P01", "HYT00", "HYT01", "57014"}) {
    EXPECT_TRUE(IsDatabaseFailureState(state)) << state;
    EXPECT_TRUE(IsDatabaseFailure(DbError(kErrorFail, "x", state))) << state;
  }
  // What the statement itself did wrong: a value too long, a constraint, a
  // syntax error, a missing table; and failures that did not come from a
  // driver at all.
  for (const char* state : {"22001", "23505", "42601", "42P01", "HY000", "", "08", "0800X1"}) {
    EXPECT_FALSE(IsDatabaseFailureState(state)) << state;
  }
  EXPECT_FALSE(IsDatabaseFailure(DbError(kErrorFail, "value too long", "22001")));
}

TEST(DatabaseFailure, SqlitesLockedDatabaseCountsThoughItsStateIsGeneral) {
  EXPECT_TRUE(IsDatabaseFailure(
      DbError(kErrorFail, "SQLExecDirect: [HY000] database is locked (native 5)", "HY000")));
  EXPECT_TRUE(IsDatabaseFailure(
      DbError(kErrorFail, "SQLExecDirect: [HY000] database table is locked (native 6)", "HY000")));
  EXPECT_FALSE(IsDatabaseFailure(
      DbError(kErrorFail, "SQLExecDirect: [HY000] no such table: Nothing (native 1)", "HY000")));
}

}  // namespace
}  // namespace corvane::db
