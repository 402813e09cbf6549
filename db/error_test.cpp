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

TEST(ConcurrencyConflict, AnotherWritersKeyOrLockIsToldFromOtherIntegrityFailures) {
  // As the drivers word them: psqlODBC, SQLite's, SQL Server's, Oracle's.
  EXPECT_TRUE(IsConcurrencyConflict(
      DbError(kErrorFail, "ERROR: duplicate key value violates unique constraint \"ux_computer_1\"",
              "23505")));
  EXPECT_TRUE(IsConcurrencyConflict(
      DbError(kErrorFail, "[SQLite]UNIQUE constraint failed: Computer.DeviceId (19) (native 19)",
              "HY000")));
  EXPECT_TRUE(IsConcurrencyConflict(
      DbError(kErrorFail, "Cannot insert duplicate key row in object 'dbo.FileInfo'", "23000")));
  EXPECT_TRUE(IsConcurrencyConflict(
      DbError(kErrorFail, "ORA-00001: unique constraint (INV.UX_FILEINFO_1) violated", "23000")));
  EXPECT_TRUE(IsConcurrencyConflict(DbError(kErrorFail, "could not serialize access", "40001")));
  EXPECT_TRUE(IsConcurrencyConflict(DbError(kErrorFail, "deadlock detected", "40P01")));
  EXPECT_TRUE(IsConcurrencyConflict(
      DbError(kErrorFail, "ORA-00060: deadlock detected while waiting for resource", "61000")));
  // Repeated, these fail the same way.
  EXPECT_FALSE(IsConcurrencyConflict(
      DbError(kErrorFail, "Cannot insert the value NULL into column 'TaskId'", "23000")));
  EXPECT_FALSE(IsConcurrencyConflict(
      DbError(kErrorFail, "[SQLite]NOT NULL constraint failed: PxeCustomJobs.TaskId", "HY000")));
  EXPECT_FALSE(IsConcurrencyConflict(DbError(kErrorFail, "value too long", "22001")));
  EXPECT_FALSE(IsConcurrencyConflict(DbError(kErrorFail, "server closed the connection", "08S01")));
}

}  // namespace
}  // namespace corvane::db
