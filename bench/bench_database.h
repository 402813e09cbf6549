// The database the store benchmarks run on: SQLite (a fresh file per
// harness) unless CORVANE_BENCH_DATABASE names another test database
// ("Postgres", reached through the CORVANE_TEST_PG_* variables of
// testsupport/test_databases.h).
//
// Errors: std::runtime_error when the named database is unknown or not
// configured, so a benchmark never silently measures another one.

#ifndef CORVANE_BENCH_BENCH_DATABASE_H_
#define CORVANE_BENCH_BENCH_DATABASE_H_

#include "testsupport/test_databases.h"

namespace corvane::bench {

corvane::testing::TestDatabaseServer BenchDatabaseServer();

}  // namespace corvane::bench

#endif  // CORVANE_BENCH_BENCH_DATABASE_H_
