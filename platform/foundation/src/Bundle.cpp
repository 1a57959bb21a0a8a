#include "foundation/Bundle.h"

#include <unistd.h>

#include <filesystem>

#include "base/ProcFiles.h"

namespace foundation {

std::shared_ptr<NSBundle> NSBundle::mainBundle() {
  // Never destroyed: threads that still run while the process exits ask for
  // it (the data folder is named after it).
  static const auto* const bundle = new std::shared_ptr<NSBundle>(std::make_shared<NSBundle>());
  return *bundle;
}

std::string NSBundle::executablePath() const {
  {
    base::LockGuard lock(mutex_);
    if (executablePath_) return *executablePath_;
  }
  char buffer[4096];
  ssize_t n =
      readlink(base::ProcPath(base::kProcSelf).file("exe").c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

void NSBundle::setExecutablePath(std::optional<std::string> path) {
  base::LockGuard lock(mutex_);
  executablePath_ = std::move(path);
}

std::string NSBundle::bundleIdentifier() const {
  {
    base::LockGuard lock(mutex_);
    auto it = info_.find(kCFBundleIdentifierKey);
    if (it != info_.end()) {
      if (const auto* s = it->second.stringValue(); s && !s->empty()) return *s;
    }
  }
  return std::filesystem::path(executablePath()).filename().string();
}

std::optional<Value> NSBundle::objectForInfoDictionaryKey(std::string_view key) const {
  base::LockGuard lock(mutex_);
  auto it = info_.find(key);
  if (it == info_.end()) return std::nullopt;
  return it->second;
}

void NSBundle::setObjectForInfoDictionaryKey(const Value& value, std::string_view key) {
  base::LockGuard lock(mutex_);
  if (value.isNull()) {
    if (auto it = info_.find(key); it != info_.end()) info_.erase(it);
  } else {
    info_.insert_or_assign(std::string(key), value);
  }
}

Value::Dictionary NSBundle::infoDictionary() const {
  base::LockGuard lock(mutex_);
  return info_;
}

}  // namespace foundation
