// The credential store's exported functions (see credentials.h).
//
// Readers take one snapshot of the hive, so a reader never mixes two versions
// of a connection that another process is rewriting; writers change a whole
// connection in one atomic registry update for the same reason.

#include "db/credentials.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Common/Include/ascii_case.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/regtree.h"

struct CvDbKey {
  corvane::platform::RegRoot root;
  std::string path;
};

namespace {

using corvane::EqualsIgnoringCase;
using corvane::StartsWithIgnoringCase;
using corvane::platform::RegKey;
using corvane::platform::RegRoot;
using corvane::platform::RegTree;
using corvane::platform::RegType;
using corvane::platform::RegValue;
namespace registry = corvane::platform::registry;

constexpr std::string_view kConnectionsKey = "SOFTWARE\\Corvane\\Vantora\\Core\\Connections";
constexpr std::string_view kFallbackConnection = "Local";
// The store's readers have always used fixed buffers of these sizes; a value
// longer than that is unreadable to them, so it is treated as unreadable here.
constexpr size_t kDefaultNameBuffer = 260;
constexpr size_t kIsOracleBuffer = 8;

// RC4 keyed with the store's fixed key. Scrambling only keeps the password
// out of casual sight in exports; the key is shared with every other tool
// that reads the store, so it cannot change.
void Rc4(uint8_t* data, size_t count) {
  static constexpr std::array<uint8_t, 4> kKey = {'#', 'q', '7', 'w'};
  std::array<uint8_t, 256> s;
  std::iota(s.begin(), s.end(), 0);
  uint8_t j = 0;
  for (size_t n = 0; n < s.size(); ++n) {
    j = static_cast<uint8_t>(j + s[n] + kKey[n % kKey.size()]);
    std::swap(s[n], s[j]);
  }
  uint8_t i = 0;
  j = 0;
  for (size_t n = 0; n < count; ++n) {
    i = static_cast<uint8_t>(i + 1);
    j = static_cast<uint8_t>(j + s[i]);
    std::swap(s[i], s[j]);
    data[n] ^= s[static_cast<uint8_t>(s[i] + s[j])];
  }
}

void Scramble(size_t count, unsigned char* buffer) {
  if (buffer == nullptr || count == 0 || count > std::numeric_limits<size_t>::max() - 16) return;
  // A scratch copy with slack at the end, as the store's other writers do,
  // so the transform never works on the caller's memory directly.
  std::vector<uint8_t> scratch(count + 16, 0);
  std::memcpy(scratch.data(), buffer, count);
  Rc4(scratch.data(), count);
  std::memcpy(buffer, scratch.data(), count);
}

// The bytes a value occupies in the store, in the layout every reader of the
// store sees: strings with their NUL, DWORDs little-endian.
std::vector<uint8_t> StoredBytes(const RegValue& value) {
  std::vector<uint8_t> out;
  auto append = [&out](std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
  };
  switch (value.type) {
    case RegType::kSz:
    case RegType::kExpandSz:
      append(value.text);
      break;
    case RegType::kBinary:
      out = value.bytes;
      break;
    case RegType::kDword:
      for (int shift = 0; shift < 32; shift += 8) out.push_back((value.dword >> shift) & 0xFF);
      break;
    case RegType::kMultiSz:
      for (const std::string& text : value.strings) append(text);
      out.push_back(0);
      break;
  }
  return out;
}

// Zeroes the caller's buffer, then copies `data` when it fits with a
// terminator (a stored one counts). Refusing an exact fit without one keeps
// every buffer a valid C string for callers that never look at the result.
bool CopyIfFits(const std::vector<uint8_t>& data, size_t size, char* buffer) {
  if (buffer == nullptr) size = 0;
  if (size > 0) std::memset(buffer, 0, size);
  if (data.empty()) return true;
  bool fits = data.size() < size || (data.size() == size && data.back() == 0);
  if (fits) std::memcpy(buffer, data.data(), data.size());
  return fits;
}

// A text value as a reader with a `limit`-byte buffer sees it; nullopt when
// missing or too long.
std::optional<std::string> ReadText(const RegKey& key, std::string_view name, size_t limit) {
  const RegValue* value = key.Find(name);
  if (value == nullptr) return std::nullopt;
  std::vector<uint8_t> bytes = StoredBytes(*value);
  std::vector<char> buffer(limit, 0);
  if (!CopyIfFits(bytes, limit, buffer.data())) return std::nullopt;
  return std::string(buffer.data());
}

// Missing values and values of another type read as 0.
uint32_t ReadDword(const RegKey& key, std::string_view name) {
  const RegValue* value = key.Find(name);
  return value != nullptr && value->type == RegType::kDword ? value->dword : 0;
}

bool IsThisMachine(const char* machine) {
  if (machine == nullptr || *machine == '\0') return true;
  std::string_view name(machine);
  if (name.starts_with("\\\\")) name.remove_prefix(2);
  if (EqualsIgnoringCase(name, "localhost")) return true;
  std::string self = corvane::platform::ComputerName();
  return !self.empty() && EqualsIgnoringCase(name, self);
}

std::string ConnectionPath(const RegTree& tree) {
  std::string name(kFallbackConnection);
  if (const RegKey* connections = tree.Find(kConnectionsKey)) {
    std::optional<std::string> stored = ReadText(*connections, "Default", kDefaultNameBuffer);
    // An empty name would select the Connections key itself.
    if (stored && !stored->empty()) name = *stored;
  }
  return std::string(kConnectionsKey) + "\\" + name;
}

// The password bytes as stored, descrambled when marked so.
std::vector<uint8_t> StoredPassword(const RegKey& key) {
  const RegValue* value = key.Find("Password");
  if (value == nullptr) return {};
  std::vector<uint8_t> bytes = StoredBytes(*value);
  if (ReadDword(key, "PWD Encrypted") != 0) Rc4(bytes.data(), bytes.size());
  return bytes;
}

std::optional<RegRoot> RootFromInt(int root) {
  switch (root) {
    case CVCRED_HKEY_CLASSES_ROOT:
      return RegRoot::kClassesRoot;
    case CVCRED_HKEY_CURRENT_USER:
      return RegRoot::kCurrentUser;
    case CVCRED_HKEY_LOCAL_MACHINE:
      return RegRoot::kLocalMachine;
    case CVCRED_HKEY_USERS:
      return RegRoot::kUsers;
    case CVCRED_HKEY_CURRENT_CONFIG:
      return RegRoot::kCurrentConfig;
    default:
      return std::nullopt;
  }
}

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// Writes in the order the store's other writers use, so a key written here
// exports the same as one written by them.
void WriteConnection(RegKey& key, bool is_oracle, bool rollup, const char* database,
                     const char* server, const char* user, const char* password) {
  key.Set("Database", RegValue::Sz(OrEmpty(database)));
  key.Set("IsOracle", RegValue::Sz(is_oracle ? "true" : "false"));
  key.Set("Server", RegValue::Sz(OrEmpty(server)));
  key.Set("User", RegValue::Sz(OrEmpty(user)));
  key.Set("PWD Encrypted", RegValue::Dword(1));
  key.Set("Rollup", RegValue::Dword(rollup ? 1 : 0));
  std::string_view text(OrEmpty(password));
  std::vector<uint8_t> bytes(text.begin(), text.end());
  Scramble(bytes.size(), bytes.data());
  key.Set("Password", RegValue::Binary(std::move(bytes)));
}

void WriteConnectionAt(RegRoot root, const std::string& path, int is_oracle, int rollup,
                       const char* database, const char* server, const char* user,
                       const char* password) {
  registry::Update(root, [&](RegTree& tree) {
    WriteConnection(tree.Create(path), is_oracle != 0, rollup != 0, database, server, user,
                    password);
  });
}

}  // namespace

extern "C" {

CvDbKey* OpenDbCredentialsKey(int root, const char* subkey) {
  try {
    std::optional<RegRoot> parsed = RootFromInt(root);
    if (!parsed || subkey == nullptr || *subkey == '\0') return nullptr;
    registry::CreateKey(*parsed, subkey);
    return new CvDbKey{*parsed, subkey};
  } catch (...) {
    return nullptr;
  }
}

void CloseDbCredentialsKey(CvDbKey* key) { delete key; }

int GetDbCredentialsEx(const char* machine, int* is_oracle, int* rollup, size_t database_size,
                       char* database, size_t server_size, char* server, size_t user_size,
                       char* user, size_t password_size, char* password) {
  try {
    if (!IsThisMachine(machine)) return 0;
    RegTree tree = registry::Snapshot(RegRoot::kLocalMachine);
    const RegKey* key = tree.Find(ConnectionPath(tree));
    if (key == nullptr) return 0;
    auto copy_text = [key](std::string_view name, size_t size, char* buffer) {
      const RegValue* value = key->Find(name);
      CopyIfFits(value ? StoredBytes(*value) : std::vector<uint8_t>{}, size, buffer);
    };
    copy_text("Database", database_size, database);
    copy_text("Server", server_size, server);
    copy_text("User", user_size, user);
    std::optional<std::string> oracle = ReadText(*key, "IsOracle", kIsOracleBuffer);
    if (is_oracle != nullptr) *is_oracle = oracle && EqualsIgnoringCase(*oracle, "true") ? 1 : 0;
    if (rollup != nullptr) *rollup = ReadDword(*key, "Rollup") != 0 ? 1 : 0;
    return CopyIfFits(StoredPassword(*key), password_size, password) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int GetDbCredentials(int* is_oracle, int* rollup, size_t database_size, char* database,
                     size_t server_size, char* server, size_t user_size, char* user,
                     size_t password_size, char* password) {
  return GetDbCredentialsEx(nullptr, is_oracle, rollup, database_size, database, server_size,
                            server, user_size, user, password_size, password);
}

int GetPasswordEx(const char* machine, size_t password_size, char* password) {
  try {
    if (!IsThisMachine(machine)) return 0;
    RegTree tree = registry::Snapshot(RegRoot::kLocalMachine);
    const RegKey* key = tree.Find(ConnectionPath(tree));
    if (key == nullptr) return 0;
    return CopyIfFits(StoredPassword(*key), password_size, password) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int GetPassword(const char* machine, const char* key_path, size_t password_size, char* password) {
  try {
    // Small "pointers" are integer resource identifiers, never addresses.
    if (reinterpret_cast<uintptr_t>(key_path) < 65536) return 0;
    if (!IsThisMachine(machine)) return 0;
    std::string_view path(key_path);
    RegRoot root = RegRoot::kLocalMachine;
    if (StartsWithIgnoringCase(path, "HKEY_")) {
      size_t slash = path.find('\\');
      std::string_view root_name = path.substr(0, slash);
      path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
      if (StartsWithIgnoringCase(root_name, "HKEY_CURRENT_USER")) {
        root = RegRoot::kCurrentUser;
      } else if (StartsWithIgnoringCase(root_name, "HKEY_CURRENT_CONFIG")) {
        root = RegRoot::kCurrentConfig;
      }
    }
    if (path.empty()) return 0;
    RegTree tree = registry::Snapshot(root);
    const RegKey* key = tree.Find(path);
    if (key == nullptr) return 0;
    return CopyIfFits(StoredPassword(*key), password_size, password) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

void SetDbCredentialsEx(CvDbKey* key, int is_oracle, int rollup, const char* database,
                        const char* server, const char* user, const char* password) {
  if (key == nullptr) return;
  try {
    WriteConnectionAt(key->root, key->path, is_oracle, rollup, database, server, user, password);
  } catch (...) {
  }
  delete key;
}

void SetDbCredentialsEh(int root, const char* subkey, int is_oracle, int rollup,
                        const char* database, const char* server, const char* user,
                        const char* password) {
  SetDbCredentialsEx(OpenDbCredentialsKey(root, subkey), is_oracle, rollup, database, server, user,
                     password);
}

void SetDbCredentials(int is_oracle, int rollup, const char* database, const char* server,
                      const char* user, const char* password) {
  try {
    // Resolving the name and writing in one update keeps a concurrent change
    // of "Default" from splitting the connection across two keys.
    registry::Update(RegRoot::kLocalMachine, [&](RegTree& tree) {
      tree.Create(kConnectionsKey);
      std::string path = ConnectionPath(tree);
      WriteConnection(tree.Create(path), is_oracle != 0, rollup != 0, database, server, user,
                      password);
    });
  } catch (...) {
  }
}

void Encrypt(size_t count, unsigned char* buffer) { Scramble(count, buffer); }

void Decrypt(size_t count, unsigned char* buffer) { Scramble(count, buffer); }

}  // extern "C"
