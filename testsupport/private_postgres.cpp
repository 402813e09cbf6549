#include "testsupport/private_postgres.h"

#include <cstdlib>
#include <sstream>

#include "testsupport/child_process.h"

namespace corvane::testing {
namespace {

// The value of "export NAME=value" in the script's output: as it stands, or
// in single quotes with each quote inside written '\''.
std::string ExportedValue(const std::string& output, const std::string& name) {
  const std::string prefix = "export " + name + "=";
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(prefix, 0) != 0) continue;
    std::string quoted = line.substr(prefix.size());
    if (quoted.size() < 2 || quoted.front() != '\'' || quoted.back() != '\'') return quoted;
    std::string value = quoted.substr(1, quoted.size() - 2);
    for (size_t at = value.find("'\\''"); at != std::string::npos;
         at = value.find("'\\''", at + 1)) {
      value.replace(at, 4, "'");
    }
    return value;
  }
  return {};
}

constexpr char kScript[] = CORVANE_SOURCE_DIR "/scripts/test-postgres";

}  // namespace

PrivatePostgres::PrivatePostgres() {
  RunResult made = RunToEnd("/bin/bash", {kScript}, {}, 120000);
  if (made.exit_code != 0) return;
  server_.name = "Postgres";
  server_.kind = db::kDbmsPostgres;
  server_.host = ExportedValue(made.output, "CORVANE_TEST_PG_HOST");
  server_.port = ExportedValue(made.output, "CORVANE_TEST_PG_PORT");
  server_.user = ExportedValue(made.output, "CORVANE_TEST_PG_USER");
  server_.password = ExportedValue(made.output, "CORVANE_TEST_PG_PASSWORD");
  directory_ = ExportedValue(made.output, "CORVANE_TEST_PG_DIR");
}

PrivatePostgres::~PrivatePostgres() {
  if (!available()) return;
  RunToEnd("/bin/bash", {kScript, "stop", directory_}, {}, 60000);
}

bool PrivatePostgres::Stop(const std::string& mode) {
  return RunToEnd("/bin/bash", {kScript, "halt", directory_, mode}, {}, 60000).exit_code == 0;
}

bool PrivatePostgres::Start() {
  return RunToEnd("/bin/bash", {kScript, "resume", directory_}, {}, 60000).exit_code == 0;
}

}  // namespace corvane::testing
