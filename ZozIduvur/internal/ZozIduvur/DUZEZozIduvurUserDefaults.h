#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "foundation/UserDefaults.h"
#include "foundation/Value.h"

// The prefix put in front of every key the telemetry client stores.
inline constexpr std::string_view kDUZEUserDefaultsPrefix = "RADuzOzezad";

// An old key of a migration table that stands for every stored key beginning
// with `keyPrefix`.
class DUZEUserDefaultsPrefixKey {
 public:
  explicit DUZEUserDefaultsPrefixKey(std::string keyPrefix) : keyPrefix_(std::move(keyPrefix)) {}
  const std::string& keyPrefix() const { return keyPrefix_; }

 private:
  std::string keyPrefix_;
};

// The old key of a migration entry: a plain key or a prefix key.
using DUZEMigrationOldKey = std::variant<std::string, DUZEUserDefaultsPrefixKey>;

// The telemetry client's access to the platform user defaults: every key is
// stored with "RADuzOzezad" in front. Thread-safe.
class DUZEZozIduvurUserDefaults {
 public:
  static std::shared_ptr<DUZEZozIduvurUserDefaults> shared();
  // Drops the shared wrapper (tests; the next `shared` makes a new one).
  static void resetSharedInstance();

  // A key that already begins with the prefix is a programming error: it
  // stops a debug build and is used as given otherwise.
  std::optional<foundation::Value> objectForKey(std::string_view key) const;
  void setObject(const foundation::Value& value, std::string_view key);
  void removeObjectForKey(std::string_view key);

  // Moves values stored under old keys to their new (already prefixed) keys,
  // once per service: `keys` maps each new key to its old key. Writes the
  // marker "310<service>UserDefaultsMigratedKey" (through this wrapper) when
  // done; a later call for the same service does nothing.
  void migrateKeys(const std::map<std::string, DUZEMigrationOldKey>& keys,
                   std::string_view service);

 private:
  static std::string prefixedKey(std::string_view key);
  static std::shared_ptr<foundation::NSUserDefaults> store();
};
