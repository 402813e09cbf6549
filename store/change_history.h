// The change history: what happens when a tracked attribute of a device
// appears or changes.
//
// The metaschema's tracking flags of the attribute decide:
//   bit 0 (1)        report "Attribute Modified" (event 4098) to the system
//                    event log (sink 2)
//   bit 1 (2)        write a HISTORY row (Metaschema::InsertHistoryRow)
//   bit 2 (4)        report the event to the alert system (sink 4)
//   bits 3-4         the event's kind: 2 warning, 3 error, 0 and 1
//                    information
// Flags 0, or a device without a Computer_Idn (below 1), record nothing.
//
// One ChangeHistory per scan: constructing it registers the store's three
// alert types ("Attribute Modified", "Component Deleted", "Attribute
// Deleted") with the event library for the scan's event source; only
// "Attribute Modified" is ever reported.
//
// Ownership: borrows the metaschema (and through it the connection), which
// must outlive the ChangeHistory.
// Errors: never raises for a change: a HISTORY row that cannot be written
// is dropped, a device name that cannot be read stays empty, and the event
// library does not fail towards its caller.
// Thread safety: none; belongs to the processing thread that owns the scan
// store.

#ifndef CORVANE_STORE_CHANGE_HISTORY_H_
#define CORVANE_STORE_CHANGE_HISTORY_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "db/dbms.h"
#include "db/metaschema.h"
#include "db/value.h"
#include "store/scan_store.h"

namespace corvane::store {

// One "Attribute Modified" event as it is handed to the event library.
struct ChangeEvent {
  std::string application;
  uint32_t sinks = 0;  // 2 system event log, 4 alert system
  uint32_t kind = 0;   // 1 error, 2 warning, 4 information
  // The inserts of message 4098, in order.
  std::string attribute_name;
  std::string device_name;
  std::string device_id;
  std::string previous_value;
  std::string new_value;
};

// One alert type registered per scan.
struct ChangeAlertType {
  std::string application;
  const char* alert_name;
  std::string display_name;  // from the program's string table
  uint32_t event_id;
  const char* insert_format;
};

// Where the events go; the defaults call the event library (RegisterEventEx,
// ReportAnEventEx). Tests put their own in.
struct ChangeEventHooks {
  std::function<void(const ChangeAlertType&)> register_alert_type;
  std::function<void(const ChangeEvent&)> report;
};
ChangeEventHooks EventLibraryHooks();

// The sink flags and the event kind of tracking flags (bits 0, 2 and 3-4).
uint32_t ChangeEventSinks(int32_t track_flags);
uint32_t ChangeEventKind(int32_t track_flags);

// How a value is shown in the event: a date text inside the dialect's date
// literal (an empty value too), anything else as its SQL literal.
std::string ChangeEventValueText(const db::DbValue& value, db::DataType type, db::DbmsKind kind);

class ChangeHistory : public ChangeRecorder {
 public:
  // `device_name` is the name the scan gives the device. When it is empty,
  // the device's display name (its stored DeviceName, else its DeviceId) is
  // read from the database at the device's first event and kept.
  ChangeHistory(db::Metaschema& metaschema, db::DbmsKind kind, std::string application,
                std::string device_id, std::string device_name,
                ChangeEventHooks hooks = EventLibraryHooks());
  ChangeHistory(const ChangeHistory&) = delete;
  ChangeHistory& operator=(const ChangeHistory&) = delete;

  void RecordChange(int32_t computer_idn, const db::DbValue& old_value,
                    const db::DbValue& new_value, const db::AttributeInfo& attribute,
                    int pk_value_type, const std::string& key_value) override;
  // Writes the HISTORY rows of the changes recorded since the last call,
  // a few hundred rows to a statement; rows that cannot be written are
  // dropped.
  void WriteRecordedRows() override;

 private:
  const std::string& DeviceName(int32_t computer_idn);

  db::Metaschema& metaschema_;
  db::DbmsKind kind_;
  std::vector<db::HistoryRowText> unwritten_rows_;
  std::string application_;
  std::string device_id_;
  std::string scan_device_name_;
  // The name read for device `named_device_`: each device is looked up
  // once, whether it has a name or not.
  std::optional<int32_t> named_device_;
  std::string stored_device_name_;
  ChangeEventHooks hooks_;
};

}  // namespace corvane::store

#endif  // CORVANE_STORE_CHANGE_HISTORY_H_
