// The custom jobs queued for devices that boot over the network, kept in
// the inventory database's table PxeCustomJobs (db/schema.h, jobs).
//
// A job is pending until it is handed out: handing it out stamps its
// HandedOutDate, in a transaction of its own, and only the caller whose
// UPDATE changed the row gets the job, so a job is handed out once even
// when two servers ask for the same device at the same moment.
//
// Everything that reaches SQL is a number or a text quoted by db::SqlQuote.
// Errors: every function raises db::DbError when the database fails.
// Thread safety: as the Connection passed (one thread at a time).

#ifndef CORVANE_TASKS_CUSTOM_JOBS_H_
#define CORVANE_TASKS_CUSTOM_JOBS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/dbms.h"

namespace corvane::tasks {

// Raises db::DbError unless the table and the columns the server uses can be
// read on `connection`; changes nothing.
void CheckCustomJobTable(db::Connection& connection);

// Takes the oldest pending job of the device `computer_idn` and marks it
// handed out; its task number, or nullopt when the device has none. Runs in
// a transaction of its own, so `connection` must not be inside one; on a
// failure that transaction is rolled back (and the error raised).
std::optional<int32_t> TakePendingCustomJob(db::Connection& connection, db::DbmsKind kind,
                                            int32_t computer_idn);

struct QueuedJob {
  enum class Outcome {
    kQueued,
    kNoDevice,       // no COMPUTER row has the device ID
    kSeveralDevices  // more than one has it: which one is meant is unknown
  };
  Outcome outcome = Outcome::kNoDevice;
  int32_t computer_idn = -1;  // the device's row, when queued
};

// Queues task `task_id` for the one device whose DeviceId is `device_id`
// (compared as the server stores it: trimmed, exact case).
QueuedJob QueueCustomJob(db::Connection& connection, db::DbmsKind kind,
                         const std::string& device_id, int32_t task_id);

struct PendingJob {
  std::string device_id;  // empty when the device row is gone
  int32_t computer_idn = 0;
  int32_t task_id = 0;
};

// The jobs not handed out yet, oldest first.
std::vector<PendingJob> PendingCustomJobs(db::Connection& connection);

}  // namespace corvane::tasks

#endif  // CORVANE_TASKS_CUSTOM_JOBS_H_
