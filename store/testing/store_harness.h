// Test harness: applies scan texts to devices through the scan reader and
// the scan store on a real inventory database, the way the per-device
// processing will, and counts the statements that reach the database.
//
// It creates a fresh database with the inventory schema on the given test
// server, keeps one connection and one loaded metaschema, and applies each
// scan in one transaction: find or create the Computer row by device ID,
// load the snapshot, read the scan, purge after a full scan, commit.
// Not thread-safe; one harness per test.

#ifndef CORVANE_STORE_TESTING_STORE_HARNESS_H_
#define CORVANE_STORE_TESTING_STORE_HARNESS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/metaschema.h"
#include "db/value.h"
#include "store/scan_store.h"
#include "testsupport/test_databases.h"

namespace corvane::store::testing {

// What one applied scan did.
struct ApplyResult {
  int32_t computer_idn = 0;
  bool new_device = false;
  std::vector<std::string> statements;  // every statement the store executed, in order
  int inserts = 0;
  int updates = 0;
  int deletes = 0;
  int image_statements = 0;  // statements carrying the bound "?" image
  uint32_t identity_changes = 0;
  uint32_t hardware_changes = 0;
  int changes_recorded = 0;  // calls of the change recorder
  // Statements that touch `table` (as "INSERT INTO t(", "UPDATE t ", "DELETE FROM t ").
  int Touching(std::string_view table) const;
};

class StoreHarness {
 public:
  explicit StoreHarness(const corvane::testing::TestDatabaseServer& server);
  ~StoreHarness();

  // Applies `scan_text` to the device named by its "Device ID" line. The
  // GenerateSQL copy goes to `sql_copy` when given.
  ApplyResult Apply(std::string_view scan_text, std::ostream* sql_copy = nullptr);

  db::Connection& connection() { return connection_; }
  db::Metaschema& metaschema() { return metaschema_; }
  db::DbmsKind kind() const { return kind_; }
  // The value of a single-value query (EMPTY when there is none).
  db::DbValue Value(const std::string& sql) { return connection_.QuerySingleValue(sql); }
  int Count(const std::string& table, const std::string& condition = "1 = 1");

 private:
  db::DbmsKind kind_;
  std::unique_ptr<corvane::testing::ScratchDatabase> database_;
  db::Connection connection_;
  db::Metaschema metaschema_;
};

// The text of a sample scan of ../shared/samples (CORVANE_SAMPLE_SCANS_DIR),
// or empty when the samples are absent.
std::string SampleScan(const std::string& name);

}  // namespace corvane::store::testing

#endif  // CORVANE_STORE_TESTING_STORE_HARNESS_H_
