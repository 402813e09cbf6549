// Test helper: a PostgreSQL server of the test's own, which the test may stop
// and start again (a database outage) without disturbing the shared test
// server that other tests use at the same time.
//
// It is made by scripts/test-postgres (as root: the server runs as the
// postgres user) and removed on destruction. available() is false, and the
// test skips, when it could not be made (not root, no PostgreSQL). Not
// copyable; one thread at a time.

#ifndef CORVANE_TESTSUPPORT_PRIVATE_POSTGRES_H_
#define CORVANE_TESTSUPPORT_PRIVATE_POSTGRES_H_

#include <string>

#include "testsupport/test_databases.h"

namespace corvane::testing {

class PrivatePostgres {
 public:
  PrivatePostgres();
  ~PrivatePostgres();
  PrivatePostgres(const PrivatePostgres&) = delete;
  PrivatePostgres& operator=(const PrivatePostgres&) = delete;

  bool available() const { return !directory_.empty(); }
  // The server as the database tests name one.
  const TestDatabaseServer& server() const { return server_; }

  // "fast" (sessions are ended cleanly) or "immediate" (as a crash would).
  // True when the server has stopped.
  bool Stop(const std::string& mode);
  // True when the server accepts connections again, on the same port.
  bool Start();

 private:
  TestDatabaseServer server_;
  std::string directory_;
};

}  // namespace corvane::testing

#endif  // CORVANE_TESTSUPPORT_PRIVATE_POSTGRES_H_
