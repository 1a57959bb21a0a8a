#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"

#include "DUZEAssert.h"
#include "ZozIduvur/DUZELogger.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"
#include "foundation/StringFormat.h"

namespace {

// Never destroyed: the logs queue asks whether a service is enabled while
// the process exits.
struct SharedDefaults {
  base::Mutex mutex;
  std::shared_ptr<DUZEZozIduvurUserDefaults> instance KX_GUARDED_BY(mutex);
};

SharedDefaults& sharedDefaults() {
  static auto* const held = new SharedDefaults();
  return *held;
}

}  // namespace

std::shared_ptr<DUZEZozIduvurUserDefaults> DUZEZozIduvurUserDefaults::shared() {
  SharedDefaults& held = sharedDefaults();
  base::LockGuard lock(held.mutex);
  if (!held.instance) held.instance = std::make_shared<DUZEZozIduvurUserDefaults>();
  return held.instance;
}

void DUZEZozIduvurUserDefaults::resetSharedInstance() {
  SharedDefaults& held = sharedDefaults();
  base::LockGuard lock(held.mutex);
  held.instance.reset();
}

std::shared_ptr<foundation::NSUserDefaults> DUZEZozIduvurUserDefaults::store() {
  return foundation::NSUserDefaults::standardUserDefaults();
}

std::string DUZEZozIduvurUserDefaults::prefixedKey(std::string_view key) {
  DUZE_ASSERT(key.substr(0, kDUZEUserDefaultsPrefix.size()) != kDUZEUserDefaultsPrefix,
              "User defaults key already has the prefix: %@", key);
  if (key.substr(0, kDUZEUserDefaultsPrefix.size()) == kDUZEUserDefaultsPrefix) {
    return std::string(key);
  }
  return std::string(kDUZEUserDefaultsPrefix) + std::string(key);
}

std::optional<foundation::Value> DUZEZozIduvurUserDefaults::objectForKey(
    std::string_view key) const {
  return store()->objectForKey(prefixedKey(key));
}

void DUZEZozIduvurUserDefaults::setObject(const foundation::Value& value, std::string_view key) {
  store()->setObject(value, prefixedKey(key));
}

void DUZEZozIduvurUserDefaults::removeObjectForKey(std::string_view key) {
  store()->removeObjectForKey(prefixedKey(key));
}

void DUZEZozIduvurUserDefaults::migrateKeys(const std::map<std::string, DUZEMigrationOldKey>& keys,
                                            std::string_view service) {
  const std::string marker = foundation::stringWithFormat("310%@UserDefaultsMigratedKey", service);
  if (objectForKey(marker)) return;
  auto defaults = store();
  auto move = [&](const std::string& from, const std::string& to) {
    auto value = defaults->objectForKey(from);
    if (!value) return;
    DUZELogVerbose(kDUZELogTag, "Migrating key %@ -> %@", from, to);
    // The new keys of a table carry the prefix already, so they go to the
    // store directly rather than through this wrapper.
    defaults->setObject(*value, to);
    defaults->removeObjectForKey(from);
  };
  for (const auto& [newKey, oldKey] : keys) {
    if (const auto* plain = std::get_if<std::string>(&oldKey)) {
      move(*plain, newKey);
      continue;
    }
    const std::string& prefix = std::get<DUZEUserDefaultsPrefixKey>(oldKey).keyPrefix();
    for (const auto& [storedKey, value] : defaults->persistentDomain()) {
      if (storedKey.compare(0, prefix.size(), prefix) != 0) continue;
      move(storedKey, newKey + storedKey.substr(prefix.size()));
    }
  }
  setObject(foundation::Value(true), marker);
}
