#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Mutex.h"
#include "foundation/Value.h"

namespace foundation {

// Keys of the information dictionary.
inline constexpr std::string_view kCFBundleIdentifierKey = "CFBundleIdentifier";
inline constexpr std::string_view kCFBundleShortVersionStringKey = "CFBundleShortVersionString";
inline constexpr std::string_view kCFBundleVersionKey = "CFBundleVersion";
inline constexpr std::string_view kCFBundleNameKey = "CFBundleName";

// The application's bundle: its executable and its information dictionary
// (the switches and identity an application package would carry). There is
// no package on this platform, so the host fills the dictionary at start-up.
// Thread-safe.
class NSBundle {
 public:
  static std::shared_ptr<NSBundle> mainBundle();

  // The running executable's absolute path (/proc/self/exe) unless the host
  // set another one (an application packaged as an extension reports its
  // path inside the package).
  std::string executablePath() const;
  void setExecutablePath(std::optional<std::string> path);
  // The dictionary's identifier, or the executable's file name when the host
  // set none.
  std::string bundleIdentifier() const;

  std::optional<Value> objectForInfoDictionaryKey(std::string_view key) const;
  void setObjectForInfoDictionaryKey(const Value& value, std::string_view key);
  Value::Dictionary infoDictionary() const;

 private:
  mutable base::Mutex mutex_;
  Value::Dictionary info_ KX_GUARDED_BY(mutex_);
  std::optional<std::string> executablePath_ KX_GUARDED_BY(mutex_);
};

}  // namespace foundation
