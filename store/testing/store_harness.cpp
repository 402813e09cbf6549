#include "store/testing/store_harness.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Common/Include/ascii_case.h"
#include "db/dialect.h"
#include "db/error.h"
#include "db/schema_create.h"
#include "scan/creator_types.h"
#include "scan/scan_reader.h"
#include "scan/scan_text.h"

namespace corvane::store::testing {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

class CountingRecorder : public ChangeRecorder {
 public:
  void RecordChange(int32_t, const db::DbValue&, const db::DbValue&, const db::AttributeInfo&, int,
                    const std::string&) override {
    ++count;
  }
  int count = 0;
};

}  // namespace

int ApplyResult::Touching(std::string_view table) const {
  const std::string name(table);
  int count = 0;
  for (const std::string& sql : statements) {
    if (StartsWithIgnoringCase(sql, "INSERT INTO " + name + "(") ||
        StartsWithIgnoringCase(sql, "UPDATE " + name + " ") ||
        StartsWithIgnoringCase(sql, "DELETE FROM " + name + " "))
      ++count;
  }
  return count;
}

StoreHarness::StoreHarness(const corvane::testing::TestDatabaseServer& server)
    : kind_(server.kind), database_(std::make_unique<corvane::testing::ScratchDatabase>(server)) {
  connection_.Open(database_->connection_string(), -1);
  db::CreateInventoryDatabase(connection_, kind_);
  metaschema_.Attach(&connection_, kind_, db::kDefaultLookupOption);
  if (!metaschema_.Load())
    throw std::runtime_error("the created database's metaschema does not load");
}

StoreHarness::~StoreHarness() = default;

int StoreHarness::Count(const std::string& table, const std::string& condition) {
  return Value("SELECT COUNT(*) FROM " + table + " WHERE " + condition).ToInt32().value_or(-1);
}

ApplyResult StoreHarness::Apply(std::string_view scan_text, std::ostream* sql_copy) {
  ApplyResult result;
  const std::string device_id = scan::GetScanValue(scan_text, "Device ID =");
  const std::string id_literal = db::SqlQuote(db::DbValue::Text(device_id));
  std::optional<int32_t> known =
      Value("SELECT Computer_Idn FROM Computer WHERE DeviceId = " + id_literal).ToInt32();

  connection_.BeginTransaction(true);
  try {
    if (known) {
      result.computer_idn = *known;
    } else {
      connection_.Execute("INSERT INTO Computer(DeviceId) VALUES(" + id_literal + ")");
      result.computer_idn = Value(db::InsertedKeyQuery(kind_, "Computer")).ToInt32().value_or(-1);
      result.new_device = true;
    }
    ScanStore store(connection_, kind_, metaschema_);
    CountingRecorder recorder;
    store.ResetForScan();
    store.set_computer_idn(result.computer_idn);
    store.set_change_recorder(&recorder);
    store.set_sql_copy(sql_copy);
    store.set_statement_observer(
        [&result](std::string_view sql) { result.statements.emplace_back(sql); });
    if (result.new_device) {
      store.StartNewDevice();
    } else {
      store.LoadSnapshot();
    }
    if (!scan::ReadScan(store, scan_text, scan::IsMacScan(scan_text), scan::CreatorTypes()))
      throw std::runtime_error("the scan text ends inside a contents block");
    if (store.snapshot_loaded() && !store.has_deletions()) store.PurgeUnseenValues();
    connection_.Commit(true);
    result.identity_changes = store.identity_changes();
    result.hardware_changes = store.hardware_changes();
    result.changes_recorded = recorder.count;
  } catch (...) {
    connection_.Rollback(true);
    throw;
  }
  for (const std::string& sql : result.statements) {
    if (StartsWith(sql, "INSERT ")) ++result.inserts;
    if (StartsWith(sql, "UPDATE ")) ++result.updates;
    if (StartsWith(sql, "DELETE ")) ++result.deletes;
    if (sql.find('?') != std::string::npos) ++result.image_statements;
  }
  return result;
}

std::string SampleScan(const std::string& name) {
  std::ifstream file(std::string(CORVANE_SAMPLE_SCANS_DIR) + "/" + name, std::ios::binary);
  if (!file) return "";
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace corvane::store::testing
