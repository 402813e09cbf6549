// The device processor's database side: one per processing thread, created
// and destroyed on that thread. It opens the default connection of the
// credential store, finds out which DBMS it talks to, loads the metaschema
// and keeps all three for the thread's life; it never reconnects in place
// (a lost database is recovered by replacing the thread).
//
// Errors: Open answers a result code and reports its own events (4100 for
// a database error, 4104 for an unreadable metaschema); it never raises.
// The metaschema check raises DbError when the database fails.
// Thread safety: none; the object belongs to its thread.

#ifndef CORVANE_DB_DEVICE_PROCESSOR_H_
#define CORVANE_DB_DEVICE_PROCESSOR_H_

#include <cstdint>
#include <memory>
#include <string>

#include "db/connection.h"
#include "db/connection_settings.h"
#include "db/dbms.h"
#include "db/metaschema.h"
#include "db/value.h"

namespace corvane::db {

// What the per-device processing takes from the settings.
struct DeviceProcessingSettings {
  bool log_stats = false;
  bool handle_duplicates = false;
  int identity_changes_limit = 0;
  int hardware_changes_limit = 0;
};

class DeviceProcessor {
 public:
  DeviceProcessor();
  // Closes the connection; failures at that point are dropped.
  ~DeviceProcessor();
  DeviceProcessor(const DeviceProcessor&) = delete;
  DeviceProcessor& operator=(const DeviceProcessor&) = delete;

  // Opens the database: 0 on success; kErrorCredentials when the credential
  // store cannot be read (nothing reported); kErrorDbInit when the metaschema
  // cannot be read (event 4104) or something unexpected failed; otherwise
  // the code of the failed database call (event 4100 with the driver's text,
  // which error_text() keeps). `command_timeout_seconds` below 0 leaves the
  // driver's default. A second Open on an open processor reloads the
  // metaschema. With `report_failure` false a failed database call reports
  // nothing (a caller that retries reports its episode once).
  // kErrorSchemaTooNew when the database's schema version is newer than this
  // program's definition: it is not processed, since what a newer server
  // added may not be kept by this one. Nothing is reported (the caller
  // waits for an upgrade and reports that once); the connection is closed
  // and error_text() names both versions.
  uint32_t Open(int command_timeout_seconds, bool report_failure = true);
  // The insert of event 4100 for a failed Open's result.
  std::string OpenFailureText(uint32_t result) const;

  // The change check at the start of every device: reads a fresh stamp and,
  // when the metaschema changed, reloads it and saves the stamp read after
  // the reload. True when it reloaded. Without a connection it does nothing.
  // A newer server upgrading the database changes the stamp too: a schema
  // found newer then raises DbError with kErrorSchemaTooNew, reloading
  // nothing.
  bool ReloadMetaschemaIfChanged();
  // Reloads the metaschema (refresh, or create and load) and saves the stamp.
  void ReloadMetaschema();

  void set_settings(const DeviceProcessingSettings& settings) { settings_ = settings; }
  const DeviceProcessingSettings& settings() const { return settings_; }

  // Null while closed.
  Connection* connection() const { return connection_.get(); }
  DbmsKind dbms_kind() const { return dbms_kind_; }
  // Null until the first Open created it.
  Metaschema* metaschema() const { return metaschema_.get(); }
  bool metaschema_loaded() const { return metaschema_loaded_; }
  const DbValue& metaschema_stamp() const { return metaschema_stamp_; }
  const ConnectionCredentials& credentials() const { return credentials_; }
  const std::string& error_text() const { return error_text_; }

 private:
  void CloseQuietly();
  // kErrorSchemaTooNew with error_text_ set when the stored schema is newer
  // than the definition; 0 otherwise, also when no version can be read (a
  // database without the metaschema is reported by its load).
  uint32_t CheckSchemaVersion();

  ConnectionCredentials credentials_;
  std::unique_ptr<Connection> connection_;
  bool metaschema_loaded_ = false;
  DeviceProcessingSettings settings_;
  std::unique_ptr<Metaschema> metaschema_;
  DbmsKind dbms_kind_ = kDbmsUnknown;
  std::string error_text_;
  DbValue metaschema_stamp_;
};

}  // namespace corvane::db

#endif  // CORVANE_DB_DEVICE_PROCESSOR_H_
