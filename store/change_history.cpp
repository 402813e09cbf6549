#include "store/change_history.h"

#include <ctime>

#include <exception>
#include <string_view>
#include <utility>

#include "db/dialect.h"
#include "db/metadata.h"
#include "diag/catalogue.h"
#include "notifex/notifex.h"

namespace corvane::store {
namespace {

constexpr char kAttributeModified[] = "Attribute Modified";
constexpr char kAttributeModifiedFormat[] = "%s %s %s %s %s";

// The alert types of the store, with the string-table ids of their display
// names. The two deletion types are registered so that the alert system
// knows them; the store never reports them. Their pairing of names, numbers
// and insert formats is the one alert systems already hold, although
// message 4097 tells of a component and 4099 of an attribute: since
// neither is reported, what matters is that the registration stays the
// same.
struct StoreAlertType {
  uint32_t string_id;
  const char* alert_name;
  uint32_t event_id;
  const char* insert_format;
};
constexpr StoreAlertType kStoreAlertTypes[] = {
    {14, kAttributeModified, diag::kMsgAttributeModified, kAttributeModifiedFormat},
    {16, "Component Deleted", 4099, "%s %s"},
    {15, "Attribute Deleted", 4097, "%s %s %s"},
};

}  // namespace

ChangeEventHooks EventLibraryHooks() {
  ChangeEventHooks hooks;
  hooks.register_alert_type = [](const ChangeAlertType& type) {
    RegisterEventEx(type.application.c_str(), type.alert_name, type.display_name.c_str(),
                    type.event_id, type.insert_format);
  };
  hooks.report = [](const ChangeEvent& event) {
    // The texts come from the scan and the database: they travel as
    // inserts only, never as a format.
    ReportAnEventEx(event.application.c_str(), kAttributeModified, event.sinks,
                    diag::kMsgAttributeModified, event.kind, kAttributeModifiedFormat,
                    event.attribute_name.c_str(), event.device_name.c_str(),
                    event.device_id.c_str(), event.previous_value.c_str(), event.new_value.c_str());
  };
  return hooks;
}

uint32_t ChangeEventSinks(int32_t track_flags) {
  uint32_t sinks = 0;
  if (track_flags & 1) sinks |= NTFX_SINK_NT_EVENT_LOG;
  if (track_flags & 4) sinks |= NTFX_SINK_HALO2;
  return sinks;
}

uint32_t ChangeEventKind(int32_t track_flags) {
  switch ((track_flags >> 3) & 3) {
    case 2:
      return diag::kKindWarning;
    case 3:
      return diag::kKindError;
    default:
      return diag::kKindInformation;
  }
}

std::string ChangeEventValueText(const db::DbValue& value, db::DataType type, db::DbmsKind kind) {
  if (type == db::kValueDate) {
    if (value.type() == db::DbValue::Type::kDate) return db::DateLiteral(value.date(), kind);
    const std::string text = value.ToText();
    if (kind == db::kDbmsOracle) return "TO_DATE('" + text + "', 'MM/DD/YYYY HH24:MI:SS')";
    return "{ts '" + text + "'}";
  }
  try {
    return db::FormatSqlValue(type, value, kind, nullptr);
  } catch (const std::exception&) {
    // A stored value that is no 32-bit number: the event shows it as it is.
    return value.ToText();
  }
}

ChangeHistory::ChangeHistory(db::Metaschema& metaschema, db::DbmsKind kind, std::string application,
                             std::string device_id, std::string device_name, ChangeEventHooks hooks)
    : metaschema_(metaschema),
      kind_(kind),
      application_(std::move(application)),
      device_id_(std::move(device_id)),
      scan_device_name_(std::move(device_name)),
      hooks_(std::move(hooks)) {
  if (!hooks_.register_alert_type) return;
  for (const StoreAlertType& type : kStoreAlertTypes) {
    const std::string display_name(
        diag::ProgramString(type.string_id).value_or(std::string_view(type.alert_name)));
    hooks_.register_alert_type(
        {application_, type.alert_name, display_name, type.event_id, type.insert_format});
  }
}

const std::string& ChangeHistory::DeviceName(int32_t computer_idn) {
  if (!scan_device_name_.empty()) return scan_device_name_;
  if (named_device_ == computer_idn) return stored_device_name_;
  named_device_ = computer_idn;
  stored_device_name_.clear();
  db::MetadataComponent* metadata = metaschema_.metadata();
  if (metadata == nullptr) return stored_device_name_;
  try {
    metadata->NameByNumber(computer_idn, stored_device_name_);
  } catch (const std::exception&) {
    // The event goes out without a name rather than the scan being lost
    // over an event text.
    stored_device_name_.clear();
  }
  return stored_device_name_;
}

void ChangeHistory::RecordChange(int32_t computer_idn, const db::DbValue& old_value,
                                 const db::DbValue& new_value, const db::AttributeInfo& attribute,
                                 int pk_value_type, const std::string& key_value) {
  const int32_t flags = attribute.track_flags;
  if (computer_idn < 1 || flags == 0) return;
  if (flags & 2) {
    // A lost history row never stops the scan; the event below still tells
    // of the change.
    try {
      std::optional<db::HistoryRowText> row =
          db::HistoryRow(kind_, computer_idn, old_value, new_value, attribute, pk_value_type,
                         key_value, static_cast<int64_t>(std::time(nullptr)));
      if (row) unwritten_rows_.push_back(std::move(*row));
    } catch (const std::exception&) {
    }
  }
  const uint32_t sinks = ChangeEventSinks(flags);
  if (sinks == 0 || !hooks_.report) return;

  ChangeEvent event;
  event.application = application_;
  event.sinks = sinks;
  event.kind = ChangeEventKind(flags);
  event.attribute_name = attribute.display_name;
  event.device_name = DeviceName(computer_idn);
  event.device_id = device_id_;
  event.previous_value = ChangeEventValueText(old_value, attribute.data_type, kind_);
  event.new_value = ChangeEventValueText(new_value, attribute.data_type, kind_);
  hooks_.report(event);
}

void ChangeHistory::WriteRecordedRows() {
  try {
    metaschema_.InsertHistoryRows(unwritten_rows_);
  } catch (const std::exception&) {
  }
  unwritten_rows_.clear();
}

}  // namespace corvane::store
