// cvadmin job: queues the custom jobs that the server starts when a device
// boots over the network, and lists those still waiting.

#include <charconv>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/dbms.h"
#include "tasks/custom_jobs.h"
#include "tools/cvadmin/commands.h"
#include "tools/cvadmin/options.h"

namespace corvane::cvadmin {
namespace {

constexpr char kJobUsage[] =
    "usage: cvadmin job add --device DEVICE_ID --task NUMBER\n"
    "       cvadmin job list\n";

int Usage(std::ostream& err, std::string_view complaint = {}) {
  if (!complaint.empty()) err << "cvadmin job: " << complaint << "\n";
  err << kJobUsage;
  return 2;
}

int Fail(std::ostream& err, std::string_view text) {
  err << "cvadmin job: " << text << "\n";
  return 1;
}

// A task number as the runner takes it: a decimal number from 1 to
// 2147483647, nothing around it.
bool ParseTask(const std::string& text, int32_t* task) {
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, *task);
  return error == std::errc() && stop == end && *task > 0;
}

int Add(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  std::string complaint;
  auto options = ParseOptions(arguments, {"device", "task"}, &complaint);
  if (!options) return Usage(err, complaint);
  const std::string device_id = (*options)["device"];
  if (device_id.empty()) return Usage(err, "--device is required");
  int32_t task = 0;
  if (!ParseTask((*options)["task"], &task)) {
    return Usage(err, "--task must be a number from 1 to 2147483647");
  }
  try {
    db::Connection connection;
    db::DbmsKind kind = db::kDbmsUnknown;
    if (!OpenDefaultDatabase(connection, &kind, err, "job")) return 1;
    const tasks::QueuedJob queued = tasks::QueueCustomJob(connection, kind, device_id, task);
    connection.Close();
    switch (queued.outcome) {
      case tasks::QueuedJob::Outcome::kNoDevice:
        return Fail(err, "no device has the device ID " + device_id);
      case tasks::QueuedJob::Outcome::kSeveralDevices:
        return Fail(err,
                    "more than one device has the device ID " + device_id + "; no job was queued");
      case tasks::QueuedJob::Outcome::kQueued:
        break;
    }
    out << "Queued task " << task << " for device " << device_id << " (Computer_Idn "
        << queued.computer_idn << "); it starts at the device's next network boot.\n";
  } catch (const std::exception& error) {
    return Fail(err, error.what());
  }
  return 0;
}

int List(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (!arguments.empty()) return Usage(err);
  try {
    db::Connection connection;
    db::DbmsKind kind = db::kDbmsUnknown;
    if (!OpenDefaultDatabase(connection, &kind, err, "job")) return 1;
    const std::vector<tasks::PendingJob> pending = tasks::PendingCustomJobs(connection);
    connection.Close();
    out << "DEVICE ID\tCOMPUTER_IDN\tTASK\n";
    for (const tasks::PendingJob& job : pending) {
      out << (job.device_id.empty() ? "-" : job.device_id) << "\t" << job.computer_idn << "\t"
          << job.task_id << "\n";
    }
    out << pending.size() << " pending job(s)\n";
  } catch (const std::exception& error) {
    return Fail(err, error.what());
  }
  return 0;
}

}  // namespace

int JobCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (AsksForHelp(arguments)) {
    out << kJobUsage;
    return 0;
  }
  if (arguments.empty()) return Usage(err);
  std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  const std::string& command = arguments[0];
  if (command == "add") return Add(rest, out, err);
  if (command == "list") return List(rest, out, err);
  return Usage(err, "unknown command '" + command + "'");
}

}  // namespace corvane::cvadmin
