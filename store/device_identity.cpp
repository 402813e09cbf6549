#include "store/device_identity.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <mutex>
#include <vector>

#include "db/dialect.h"
#include "db/value.h"
#include "platform/registry.h"

namespace corvane::store {
namespace {

std::string Literal(const std::string& text) { return db::SqlQuote(db::DbValue::Text(text)); }

bool Known(const std::string& text) { return !db::TrimSqlWhiteSpace(text).empty(); }

// The Computer_Idn values a query returns, in its order.
std::vector<int32_t> ComputerIdns(db::Connection& connection, const std::string& sql) {
  std::vector<int32_t> idns;
  for (db::Recordset rows = connection.Query(sql); !rows.AtEnd(); rows.Next()) {
    if (std::optional<int32_t> idn = rows.Value(0).ToInt32()) idns.push_back(*idn);
  }
  return idns;
}

// One lock for both lists: their registry values live in one key, and an
// in-memory change must never be seen without its registry rewrite.
std::mutex& ListMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<std::string> StoredList(const platform::RegKey& key, const char* value_name) {
  const platform::RegValue* value = key.Find(value_name);
  if (value == nullptr || value->type != platform::RegType::kMultiSz) return {};
  return value->strings;
}

// Rewrites the registry list under the hive lock; false (with the reason in
// *error) when the hive cannot be written.
template <typename Change>
bool RewriteList(const char* value_name, Change change, std::string* error) {
  try {
    platform::registry::Update(platform::RegRoot::kLocalMachine, [&](platform::RegTree& tree) {
      platform::RegKey& key = tree.Create(service::kServerKey);
      std::vector<std::string> list = StoredList(key, value_name);
      change(list);
      key.Set(value_name, platform::RegValue::MultiSz(std::move(list)));
    });
    return true;
  } catch (const std::exception& failure) {
    if (error != nullptr)
      *error = std::string("The registry list \"") + value_name +
               "\" was not rewritten: " + failure.what();
    return false;
  }
}

}  // namespace

int32_t FindComputerByDeviceId(db::Connection& connection, const std::string& device_id) {
  if (!Known(device_id)) return -1;
  std::vector<int32_t> idns = ComputerIdns(
      connection, "SELECT Computer_Idn FROM Computer WHERE DeviceId = " + Literal(device_id) +
                      " ORDER BY Computer_Idn");
  return idns.empty() ? -1 : idns.front();
}

int32_t FindComputerByIdentity(db::Connection& connection, const std::string& host_name,
                               const std::string& nic_address, const std::string& device_name) {
  if (!Known(nic_address)) return -1;
  std::string names;
  if (Known(host_name)) names = "HostName = " + Literal(host_name);
  if (Known(device_name)) {
    if (!names.empty()) names += " OR ";
    names += "DeviceName = " + Literal(device_name);
  }
  if (names.empty()) return -1;
  std::vector<int32_t> idns = ComputerIdns(
      connection, "SELECT Computer_Idn FROM Computer WHERE NICAddress = " + Literal(nic_address) +
                      " AND (" + names + ")");
  return idns.size() == 1 ? idns.front() : -1;
}

std::string UnmanagedNodesDeleteSql(db::DbmsKind kind, const std::string& nic_address,
                                    const std::string& device_name, const std::string& host_name) {
  const std::string nic = Literal(nic_address);
  const std::string name = Literal(device_name);
  const std::string host = Literal(host_name);
  if (kind == db::kDbmsOracle) {
    return "DELETE FROM UNMANAGEDNODES WHERE (PHYSADDRESS IS NOT NULL AND PHYSADDRESS = " + nic +
           ") OR (NODENAME IS NOT NULL AND (NODENAME = " + name + " OR NODENAME = " + host + "))";
  }
  return "DELETE FROM UNMANAGEDNODES WHERE (PHYSADDRESS IS NOT NULL AND PHYSADDRESS <> '' AND "
         "PHYSADDRESS = " +
         nic + ") OR (NODENAME IS NOT NULL AND NODENAME <> '' AND (NODENAME = " + name +
         " OR NODENAME = " + host + "))";
}

bool AddListedDeviceId(service::DeviceIdSet& set, const char* value_name,
                       const std::string& device_id, std::string* error) {
  if (device_id.empty()) return false;
  std::lock_guard<std::mutex> lock(ListMutex());
  if (!set.Add(device_id)) return false;
  RewriteList(
      value_name,
      [&](std::vector<std::string>& list) {
        // A list edited by hand may hold the ID already; it stays listed once.
        if (std::find(list.begin(), list.end(), device_id) == list.end()) list.push_back(device_id);
      },
      error);
  return true;
}

bool RemoveListedDeviceId(service::DeviceIdSet& set, const char* value_name,
                          const std::string& device_id, std::string* error) {
  std::lock_guard<std::mutex> lock(ListMutex());
  if (!set.Remove(device_id)) return false;
  RewriteList(
      value_name,
      [&](std::vector<std::string>& list) {
        auto found = std::find(list.begin(), list.end(), device_id);
        if (found != list.end()) list.erase(found);
      },
      error);
  return true;
}

std::string ElapsedText(int64_t milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  const int64_t seconds = milliseconds / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                static_cast<long long>(seconds % 60));
  return text;
}

std::string StorageRootOf(const std::string& path) {
  static constexpr char kStorage[] = "cvscan/";
  // The last one: the file lies directly in the storage directory, whose
  // parents may carry the same name.
  const size_t found = path.rfind(kStorage);
  if (found == std::string::npos) return std::string();
  return path.substr(0, found + sizeof kStorage - 1);
}

std::string SqlCopyFileName(std::string_view name) {
  std::string safe;
  for (char c : name) safe += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
  if (safe.size() > kMaxSqlCopyNameLength) {
    size_t cut = kMaxSqlCopyNameLength;
    // Never leave half a UTF-8 character at the end.
    while (cut > 0 && (static_cast<unsigned char>(safe[cut]) & 0xC0) == 0x80) --cut;
    safe.resize(cut);
  }
  if (safe.empty() || safe == "." || safe == "..") safe = "_" + safe;
  return safe;
}

}  // namespace corvane::store
