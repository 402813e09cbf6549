// The persistent registry: one hive file per root.
//
// Hive files live in RegistryDirectory() as "<ROOT NAME>.reg" (regtree.h
// format), readable by their owner only (mode 0600: they hold the database
// password). Reads use a cached tree that is reloaded whenever the file
// changed on disk. Every change takes an exclusive flock on "<ROOT NAME>.lock",
// re-reads the file, applies the change, writes a temporary file, fsyncs it
// and renames it over the hive, so several processes may change the same hive
// at once without losing an update, and a writer killed at any moment leaves
// either the old or the new hive, never a torn one.
//
// All functions are thread-safe. Missing keys and values are not errors (see
// each function); file-system failures and unreadable hives throw
// RegistryError with the file named.

#ifndef CORVANE_PLATFORM_REGISTRY_H_
#define CORVANE_PLATFORM_REGISTRY_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/regtree.h"

namespace corvane::platform::registry {

// The value, or nullopt when the key or the value does not exist.
std::optional<RegValue> GetValue(RegRoot root, std::string_view key, std::string_view name);

bool KeyExists(RegRoot root, std::string_view key);

// Immediate subkey names; empty when the key does not exist.
std::vector<std::string> SubkeyNames(RegRoot root, std::string_view key);

// The key's values in stored order; empty when the key does not exist.
std::vector<std::pair<std::string, RegValue>> Values(RegRoot root, std::string_view key);

// Creates the key and its missing ancestors (no change when it exists).
void CreateKey(RegRoot root, std::string_view key);

// Sets a value, creating the key when needed.
void SetValue(RegRoot root, std::string_view key, std::string_view name, const RegValue& value);

// False when the key or value did not exist.
bool DeleteValue(RegRoot root, std::string_view key, std::string_view name);

// Deletes the key with all its subkeys; false when it did not exist.
bool DeleteKey(RegRoot root, std::string_view key);

// Runs `change` on the current tree under the hive lock and stores the result
// as one atomic change. An exception from `change` leaves the hive untouched.
void Update(RegRoot root, const std::function<void(RegTree&)>& change);

// A copy of the whole root as it is now.
RegTree Snapshot(RegRoot root);

}  // namespace corvane::platform::registry

#endif  // CORVANE_PLATFORM_REGISTRY_H_
