#include "foundation/UserDefaults.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "DepthLimitedJSON.h"
#include "ValueFromJSON.h"
#include "foundation/Base64.h"
#include "foundation/Paths.h"

namespace foundation {

using json = nlohmann::json;

namespace {

// The file holds one JSON object, key -> value. JSON has no form for data and
// dates, and an object is needed for dictionaries too, so every JSON object
// inside a value is a tagged wrapper with exactly one key: "$data", or the
// "$date" and "$dict" of ValueFromJSON.h.
constexpr std::string_view kDataTag = "$data";
using detail::kDateTag;
using detail::kDictTag;

bool holdsObject(const Value& value) {
  if (value.objectValue()) return true;
  if (const auto* array = value.arrayValue()) {
    for (const auto& element : *array)
      if (holdsObject(element)) return true;
  }
  if (const auto* dictionary = value.dictionaryValue()) {
    for (const auto& [key, element] : *dictionary)
      if (holdsObject(element)) return true;
  }
  return false;
}

json toJson(const Value& value) {
  if (value.isNull()) return nullptr;
  if (auto* v = value.boolValue()) return *v;
  if (auto* v = value.intValue()) return *v;
  if (auto* v = value.unsignedValue()) return *v;
  if (auto* v = value.doubleValue()) return *v;
  if (auto* v = value.stringValue()) return *v;
  if (auto* v = value.dataValue()) return json{{std::string(kDataTag), base64Encode(*v)}};
  if (auto* v = value.dateValue()) {
    return json{{std::string(kDateTag), v->timeIntervalSinceReferenceDate()}};
  }
  if (auto* v = value.arrayValue()) {
    json out = json::array();
    for (const auto& element : *v) out.push_back(toJson(element));
    return out;
  }
  if (auto* v = value.dictionaryValue()) {
    json entries = json::object();
    for (const auto& [key, element] : *v) entries[key] = toJson(element);
    return json{{std::string(kDictTag), std::move(entries)}};
  }
  return nullptr;
}

std::optional<Value> fromJson(const json& j) {
  // The file's own shape: data as {"$data": its Base64 text}.
  const auto data = [](const json& tagged) -> std::optional<Value> {
    if (tagged.size() != 1 || tagged.begin().key() != kDataTag || !tagged.begin()->is_string()) {
      return std::nullopt;
    }
    auto bytes = base64Decode(tagged.begin()->get<std::string>());
    if (!bytes) return std::nullopt;
    return Value(std::move(*bytes));
  };
  return detail::valueFromJSON(j, data);
}

// Never destroyed, as the process's other shared instances: threads that
// still run while the process exits read and write defaults.
struct StandardDefaults {
  base::Mutex mutex;
  std::shared_ptr<NSUserDefaults> defaults KX_GUARDED_BY(mutex);
};

StandardDefaults& standardDefaults() {
  static auto* const held = new StandardDefaults();
  return *held;
}

}  // namespace

std::shared_ptr<NSUserDefaults> NSUserDefaults::standardUserDefaults() {
  StandardDefaults& held = standardDefaults();
  base::LockGuard lock(held.mutex);
  if (!held.defaults) {
    held.defaults = createWithFile(applicationDataDirectory() / "UserDefaults.json");
  }
  return held.defaults;
}

void NSUserDefaults::resetStandardUserDefaults() {
  StandardDefaults& held = standardDefaults();
  base::LockGuard lock(held.mutex);
  held.defaults.reset();
}

std::shared_ptr<NSUserDefaults> NSUserDefaults::createWithFile(std::filesystem::path file) {
  return std::make_shared<NSUserDefaults>(std::move(file));
}

NSUserDefaults::NSUserDefaults(std::filesystem::path file) : file_(std::move(file)) {
  std::ifstream in(file_, std::ios::binary);
  if (!in) {
    std::error_code ec;
    // Present but not readable: keep it, never write over it.
    if (std::filesystem::exists(file_, ec)) setAsideLocked();
    return;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  in.close();
  const json document =
      detail::parseDepthLimited(text.begin(), text.end(), json::input_format_t::json);
  bool whole = document.is_object();
  if (whole) {
    for (const auto& [key, element] : document.items()) {
      // One unreadable entry is dropped; the others are kept.
      auto v = fromJson(element);
      if (!v) whole = false;
      if (v && !v->isNull()) persistent_.emplace(key, std::move(*v));
    }
  }
  if (whole) return;
  // Whatever could not be read stays in the file set aside; what could be
  // read goes on in a fresh file at once, so that it survives the next start.
  if (setAsideLocked() && !persistent_.empty()) writeLocked();
}

bool NSUserDefaults::setAsideLocked() {
  std::filesystem::path aside;
  for (int attempt = 1; attempt < 10000; ++attempt) {
    aside = file_;
    aside += ".unreadable";
    if (attempt > 1) {
      aside += ".";
      aside += std::to_string(attempt);
    }
    if (::renameat2(AT_FDCWD, file_.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
      std::fprintf(stderr, "UserDefaults: %s could not be read; it is kept as %s.\n", file_.c_str(),
                   aside.c_str());
      return true;
    }
    if (errno != EEXIST) break;
  }
  std::fprintf(stderr,
               "UserDefaults: %s could not be read nor set aside; changes stay in memory.\n",
               file_.c_str());
  unwritable_ = true;
  return false;
}

std::optional<Value> NSUserDefaults::objectForKey(std::string_view key) const {
  base::LockGuard lock(mutex_);
  if (auto it = persistent_.find(key); it != persistent_.end()) return it->second;
  if (auto it = registered_.find(key); it != registered_.end()) return it->second;
  return std::nullopt;
}

bool NSUserDefaults::setObject(const Value& value, std::string_view key) {
  if (value.isNull()) {
    removeObjectForKey(key);
    return true;
  }
  if (holdsObject(value)) return false;
  base::LockGuard lock(mutex_);
  persistent_.insert_or_assign(std::string(key), value);
  writeLocked();
  return true;
}

void NSUserDefaults::removeObjectForKey(std::string_view key) {
  base::LockGuard lock(mutex_);
  auto it = persistent_.find(key);
  if (it == persistent_.end()) return;
  persistent_.erase(it);
  writeLocked();
}

std::optional<std::string> NSUserDefaults::stringForKey(std::string_view key) const {
  auto v = objectForKey(key);
  if (v && v->stringValue()) return *v->stringValue();
  return std::nullopt;
}

std::optional<Data> NSUserDefaults::dataForKey(std::string_view key) const {
  auto v = objectForKey(key);
  if (v && v->dataValue()) return *v->dataValue();
  return std::nullopt;
}

bool NSUserDefaults::boolForKey(std::string_view key) const {
  auto v = objectForKey(key);
  return v ? v->asBool().value_or(false) : false;
}

void NSUserDefaults::registerDefaults(const Value::Dictionary& defaults) {
  base::LockGuard lock(mutex_);
  for (const auto& [key, value] : defaults) registered_.insert_or_assign(key, value);
}

Value::Dictionary NSUserDefaults::persistentDomain() const {
  base::LockGuard lock(mutex_);
  return persistent_;
}

Value::Dictionary NSUserDefaults::dictionaryRepresentation() const {
  base::LockGuard lock(mutex_);
  Value::Dictionary merged = registered_;
  for (const auto& [key, value] : persistent_) merged.insert_or_assign(key, value);
  return merged;
}

bool NSUserDefaults::synchronize() {
  base::LockGuard lock(mutex_);
  return writeLocked();
}

bool NSUserDefaults::writeLocked() {
  if (unwritable_) return false;
  json document = json::object();
  for (const auto& [key, value] : persistent_) document[key] = toJson(value);
  // Owner-only: the defaults hold the install id and the services' state.
  return writeFileAtomically(file_, document.dump(1, ' ', false, json::error_handler_t::replace),
                             0600);
}

}  // namespace foundation
