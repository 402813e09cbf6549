#include "db/odbc.h"

#include <utility>

namespace corvane::db::odbc {
namespace {

// Diagnostic messages longer than this are cut; the SQLSTATE and the start of
// the driver's message are what an operator needs.
constexpr SQLSMALLINT kMessageCapacity = 1024;
// unixODBC keeps far fewer records; the bound only protects against a driver
// that never answers SQL_NO_DATA.
constexpr SQLSMALLINT kMaxRecords = 32;

struct DiagRecord {
  std::string sql_state;
  SQLINTEGER native = 0;
  std::string message;
};

// Reads record `number`; false when there is no such record. The result of
// SQLGetDiagRec is inspected here rather than through Check(): a failure
// while reporting a failure must not recurse.
bool ReadRecord(const Handle& handle, SQLSMALLINT number, DiagRecord& record) {
  SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
  SQLCHAR message[kMessageCapacity] = {};
  SQLSMALLINT length = 0;
  SQLRETURN result = SQLGetDiagRec(handle.type(), handle.get(), number, state, &record.native,
                                   message, kMessageCapacity, &length);
  if (result != SQL_SUCCESS && result != SQL_SUCCESS_WITH_INFO) return false;
  record.sql_state = reinterpret_cast<const char*>(state);
  record.message = reinterpret_cast<const char*>(message);
  // Drivers end their messages with line breaks; the event text is one line.
  while (!record.message.empty() &&
         (record.message.back() == '\n' || record.message.back() == '\r')) {
    record.message.pop_back();
  }
  return true;
}

std::string_view ResultName(SQLRETURN result) {
  switch (result) {
    case SQL_INVALID_HANDLE:
      return "invalid handle";
    case SQL_NEED_DATA:
      return "unexpected SQL_NEED_DATA";
    case SQL_STILL_EXECUTING:
      return "unexpected SQL_STILL_EXECUTING";
    default:
      return "failed";
  }
}

}  // namespace

Handle Handle::Allocate(SQLSMALLINT type, const Handle* parent) {
  SQLHANDLE parent_handle = parent != nullptr ? parent->get() : SQL_NULL_HANDLE;
  SQLHANDLE handle = SQL_NULL_HANDLE;
  SQLRETURN result = SQLAllocHandle(type, parent_handle, &handle);
  if (result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO) return Handle(type, handle);
  // The reasons of a refused allocation sit on the parent.
  std::string text = "SQLAllocHandle failed";
  if (parent != nullptr) {
    std::string details = Diagnostics(*parent);
    if (!details.empty()) text += ": " + details;
    const std::string state = FirstSqlState(*parent);
    throw DbError(ErrorCodeFor(state), text, state);
  }
  throw DbError(kErrorFail, text);
}

Handle::~Handle() {
  if (valid()) {
    // A destructor cannot report; a handle the driver manager refuses to free
    // is lost either way, so the result is dropped on purpose.
    static_cast<void>(SQLFreeHandle(type_, handle_));
  }
}

Handle::Handle(Handle&& other) noexcept
    : type_(other.type_), handle_(std::exchange(other.handle_, nullptr)) {}

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    Handle old(std::move(*this));
    type_ = other.type_;
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

void Handle::Free() {
  if (!valid()) return;
  SQLRETURN result = SQLFreeHandle(type_, handle_);
  // The handle is gone unless the driver manager refused; keep it for the
  // destructor's attempt only in that case.
  if (result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO) {
    handle_ = SQL_NULL_HANDLE;
    return;
  }
  static_cast<void>(Check(result, *this, "SQLFreeHandle"));
}

SQLRETURN Check(SQLRETURN result, const Handle& handle, std::string_view call) {
  if (result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO || result == SQL_NO_DATA) {
    return result;
  }
  std::string text(call);
  text += ": ";
  // An invalid handle carries no records to read.
  std::string details = result == SQL_INVALID_HANDLE ? "" : Diagnostics(handle);
  text += details.empty() ? std::string(ResultName(result)) : details;
  const std::string state = result == SQL_INVALID_HANDLE ? std::string() : FirstSqlState(handle);
  throw DbError(ErrorCodeFor(state), text, state);
}

std::string Diagnostics(const Handle& handle) {
  std::string text;
  DiagRecord record;
  for (SQLSMALLINT number = 1; number <= kMaxRecords; ++number) {
    if (!ReadRecord(handle, number, record)) break;
    if (!text.empty()) text += "; ";
    text += "[" + record.sql_state + "] " + record.message + " (native " +
            std::to_string(record.native) + ")";
  }
  return text;
}

std::string FirstSqlState(const Handle& handle) {
  DiagRecord record;
  return ReadRecord(handle, 1, record) ? record.sql_state : std::string();
}

uint32_t ErrorCodeFor(std::string_view sql_state) {
  return sql_state == "HY001" ? kErrorOutOfMemory : kErrorFail;
}

}  // namespace corvane::db::odbc
