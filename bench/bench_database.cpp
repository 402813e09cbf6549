#include "bench/bench_database.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace corvane::bench {

corvane::testing::TestDatabaseServer BenchDatabaseServer() {
  const char* requested = std::getenv("CORVANE_BENCH_DATABASE");
  const std::string name = requested && *requested ? requested : "Sqlite";
  for (const corvane::testing::TestDatabaseServer& server :
       corvane::testing::AvailableTestDatabases()) {
    if (server.name != name) continue;
    if (!server.available()) throw std::runtime_error(name + " is not configured");
    return server;
  }
  throw std::runtime_error("no test database named " + name);
}

}  // namespace corvane::bench
