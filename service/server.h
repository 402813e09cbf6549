// What the service host starts and stops: the inventory server.
//
// The host calls Start once, ReportStartupSettings after the service runs,
// and Stop once after the service stop event. Start and Stop may send
// pending reports with their wait hints through `status`. Called from the
// service main routine's thread only.

#ifndef CORVANE_SERVICE_SERVER_H_
#define CORVANE_SERVICE_SERVER_H_

#include <string>

#include "service/service_status.h"

namespace corvane::service {

class Server {
 public:
  virtual ~Server() = default;
  // False when the server could not start; it has then cleaned up after itself.
  virtual bool Start(const std::string& arguments, ServiceStatusReporter& status) = 0;
  virtual void ReportStartupSettings() = 0;
  virtual void Stop(ServiceStatusReporter& status) = 0;
  // The server asked for the stop itself (it cannot go on); the process then
  // ends with a non-zero status, so a supervisor restarts it.
  virtual bool StoppedItself() const { return false; }
};

}  // namespace corvane::service

#endif  // CORVANE_SERVICE_SERVER_H_
