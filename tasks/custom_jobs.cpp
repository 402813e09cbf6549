#include "tasks/custom_jobs.h"

#include <ctime>
#include <utility>

#include "db/dialect.h"
#include "db/error.h"
#include "db/schema.h"
#include "db/value.h"

namespace corvane::tasks {
namespace {

namespace jobs = db::schema::jobs;

std::string Name(std::string_view name) { return std::string(name); }

std::string Now(db::DbmsKind kind) {
  return db::DateLiteral(static_cast<int64_t>(std::time(nullptr)), kind);
}

}  // namespace

void CheckCustomJobTable(db::Connection& connection) {
  db::Recordset rows =
      connection.Query("SELECT " + Name(jobs::kIdn) + ", " + Name(jobs::kComputerIdn) + ", " +
                       Name(jobs::kTaskId) + ", " + Name(jobs::kQueuedDate) + ", " +
                       Name(jobs::kHandedOutDate) + " FROM " + Name(jobs::kTable) + " WHERE 1 = 0");
  rows.Close();
}

std::optional<int32_t> TakePendingCustomJob(db::Connection& connection, db::DbmsKind kind,
                                            int32_t computer_idn) {
  connection.BeginTransaction(true);
  try {
    std::vector<std::pair<int32_t, int32_t>> pending;  // job row, task
    {
      db::Recordset rows =
          connection.Query("SELECT " + Name(jobs::kIdn) + ", " + Name(jobs::kTaskId) + " FROM " +
                           Name(jobs::kTable) + " WHERE " + Name(jobs::kComputerIdn) + " = " +
                           std::to_string(computer_idn) + " AND " + Name(jobs::kHandedOutDate) +
                           " IS NULL ORDER BY " + Name(jobs::kIdn));
      for (; !rows.AtEnd(); rows.Next()) {
        const std::optional<int32_t> job = rows.Value(0).ToInt32();
        const std::optional<int32_t> task = rows.Value(1).ToInt32();
        if (job && task) pending.emplace_back(*job, *task);
      }
    }
    std::optional<int32_t> taken;
    for (const auto& [job, task] : pending) {
      // Another server may have taken the row since it was read: only the
      // UPDATE that still finds it pending hands it out.
      const int64_t changed = connection.Execute(
          "UPDATE " + Name(jobs::kTable) + " SET " + Name(jobs::kHandedOutDate) + " = " +
          Now(kind) + " WHERE " + Name(jobs::kIdn) + " = " + std::to_string(job) + " AND " +
          Name(jobs::kHandedOutDate) + " IS NULL");
      if (changed == 1) {
        taken = task;
        break;
      }
    }
    connection.Commit(true);
    return taken;
  } catch (...) {
    try {
      connection.Rollback(true);
    } catch (const db::DbError&) {
      // The failure that led here is the one to raise.
    }
    throw;
  }
}

QueuedJob QueueCustomJob(db::Connection& connection, db::DbmsKind kind,
                         const std::string& device_id, int32_t task_id) {
  QueuedJob result;
  if (db::TrimSqlWhiteSpace(device_id).empty()) return result;
  std::vector<int32_t> devices;
  {
    db::Recordset rows =
        connection.Query("SELECT Computer_Idn FROM Computer WHERE DeviceId = " +
                         db::SqlQuote(db::DbValue::Text(device_id)) + " ORDER BY Computer_Idn");
    for (; !rows.AtEnd(); rows.Next()) {
      if (std::optional<int32_t> idn = rows.Value(0).ToInt32()) devices.push_back(*idn);
    }
  }
  if (devices.empty()) return result;
  if (devices.size() > 1) {
    result.outcome = QueuedJob::Outcome::kSeveralDevices;
    return result;
  }
  connection.Execute("INSERT INTO " + Name(jobs::kTable) + "(" + Name(jobs::kComputerIdn) + ", " +
                     Name(jobs::kTaskId) + ", " + Name(jobs::kQueuedDate) + ") VALUES(" +
                     std::to_string(devices.front()) + ", " + std::to_string(task_id) + ", " +
                     Now(kind) + ")");
  result.outcome = QueuedJob::Outcome::kQueued;
  result.computer_idn = devices.front();
  return result;
}

std::vector<PendingJob> PendingCustomJobs(db::Connection& connection) {
  std::vector<PendingJob> pending;
  db::Recordset rows = connection.Query(
      "SELECT c.DeviceId, j." + Name(jobs::kComputerIdn) + ", j." + Name(jobs::kTaskId) + " FROM " +
      Name(jobs::kTable) + " j LEFT JOIN Computer c ON c.Computer_Idn = j." +
      Name(jobs::kComputerIdn) + " WHERE j." + Name(jobs::kHandedOutDate) + " IS NULL ORDER BY j." +
      Name(jobs::kIdn));
  for (; !rows.AtEnd(); rows.Next()) {
    PendingJob job;
    if (!rows.Value(0).is_null_like()) job.device_id = rows.Value(0).ToText();
    job.computer_idn = rows.Value(1).ToInt32().value_or(0);
    job.task_id = rows.Value(2).ToInt32().value_or(0);
    pending.push_back(std::move(job));
  }
  return pending;
}

}  // namespace corvane::tasks
