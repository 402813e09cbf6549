#include "db/device_processor.h"

#include "db/error.h"
#include "db/open_failure.h"
#include "db/schema.h"
#include "db/schema_upgrade.h"
#include "diag/catalogue.h"

namespace corvane::db {

DeviceProcessor::DeviceProcessor() = default;

DeviceProcessor::~DeviceProcessor() { CloseQuietly(); }

void DeviceProcessor::CloseQuietly() {
  if (connection_ == nullptr) return;
  try {
    connection_->Close();
  } catch (...) {
    // Closing is best effort: the connection is released either way.
  }
  connection_.reset();
}

uint32_t DeviceProcessor::Open(int command_timeout_seconds, bool report_failure) {
  error_text_.clear();
  std::optional<ConnectionCredentials> credentials = LoadCredentials();
  if (!credentials) return kErrorCredentials;
  credentials_ = std::move(*credentials);
  try {
    if (connection_ == nullptr) connection_ = std::make_unique<Connection>();
    connection_->Open(BuildConnectionString(credentials_), command_timeout_seconds);

    dbms_kind_ = kDbmsUnknown;
    try {
      dbms_kind_ = ClassifyDbmsName(connection_->DbmsName(), true);
    } catch (const DbError&) {
      // An unreadable "DBMS Name" leaves the kind unknown.
    }

    if (const uint32_t refused = CheckSchemaVersion(); refused != 0) {
      // Held while it waits for an upgrade, the connection would be one
      // fewer for the server that did it.
      CloseQuietly();
      return refused;
    }

    if (metaschema_ == nullptr) metaschema_ = std::make_unique<Metaschema>();
    if (!metaschema_loaded_) {
      metaschema_->Attach(connection_.get(), dbms_kind_, kDefaultLookupOption);
      metaschema_loaded_ = metaschema_->Load();
      if (!metaschema_loaded_) {
        if (report_failure) diag::ReportMetaschemaUnreadable();
        return kErrorDbInit;
      }
      metaschema_->ReadStamp(metaschema_stamp_);
    } else {
      ReloadMetaschema();
    }
    return 0;
  } catch (const DbError& error) {
    error_text_ = error.text();
    CloseQuietly();
    if (report_failure) diag::ReportDatabaseException(error_text_);
    return error.code();
  } catch (...) {
    CloseQuietly();
    return kErrorDbInit;
  }
}

uint32_t DeviceProcessor::CheckSchemaVersion() {
  int stored = 0;
  try {
    stored = StoredSchemaVersion(*connection_);
  } catch (const DbError&) {
    return 0;
  }
  const int known = schema::InventorySchema().version;
  if (stored <= known) return 0;
  error_text_ = "The database's schema is version " + std::to_string(stored) +
                ", newer than version " + std::to_string(known) + ", the newest this server knows";
  return kErrorSchemaTooNew;
}

std::string DeviceProcessor::OpenFailureText(uint32_t result) const {
  return db::OpenFailureText(result, error_text_);
}

void DeviceProcessor::ReloadMetaschema() {
  if (connection_ == nullptr) return;
  if (metaschema_ == nullptr) metaschema_ = std::make_unique<Metaschema>();
  // The connection object may have been replaced since the last load.
  metaschema_->Attach(connection_.get(), dbms_kind_, kDefaultLookupOption);
  metaschema_loaded_ =
      metaschema_->metadata() != nullptr ? metaschema_->Refresh() : metaschema_->Load();
  metaschema_->ReadStamp(metaschema_stamp_);
}

bool DeviceProcessor::ReloadMetaschemaIfChanged() {
  if (connection_ == nullptr) return false;
  DbValue fresh = DbValue::Error();
  if (metaschema_ != nullptr) metaschema_->ReadStamp(fresh);
  if (!MetaschemaChanged(fresh, metaschema_stamp_)) return false;
  if (CheckSchemaVersion() != 0) throw DbError(kErrorSchemaTooNew, error_text_);
  ReloadMetaschema();
  return true;
}

}  // namespace corvane::db
