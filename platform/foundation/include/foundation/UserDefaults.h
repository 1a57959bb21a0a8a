#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/Value.h"

namespace foundation {

// User defaults: a registration domain held in memory and a persistent domain
// kept in one JSON file. Every change rewrites the file atomically (a
// temporary file renamed over it), so a crash never leaves half a file, and a
// later process reads what an earlier one stored. Values are plain values;
// objects must be archived to data first. Thread-safe.
class NSUserDefaults {
 public:
  // The process's shared defaults, in "UserDefaults.json" of the
  // application's data directory (see Paths.h). Made on first use.
  static std::shared_ptr<NSUserDefaults> standardUserDefaults();
  // Drops the shared defaults so the next `standardUserDefaults` reads the
  // file again (tests switch data directories between cases).
  static void resetStandardUserDefaults();

  // Defaults kept in `file`, which is read now when it exists. A file that
  // cannot be read as defaults is treated as empty (and replaced on the next
  // change).
  static std::shared_ptr<NSUserDefaults> createWithFile(std::filesystem::path file);

  // The persistent value for the key, else the registered one, else none.
  std::optional<Value> objectForKey(std::string_view key) const;
  // Stores the value in the persistent domain; a null value removes the key.
  // Plain values only: a value that holds an object is refused (answers
  // false, nothing changes).
  bool setObject(const Value& value, std::string_view key);
  void removeObjectForKey(std::string_view key);

  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<Data> dataForKey(std::string_view key) const;
  // NO when absent or not a number.
  bool boolForKey(std::string_view key) const;
  void setBool(bool value, std::string_view key) { setObject(Value(value), key); }

  // Adds values to the registration domain (kept in memory only).
  void registerDefaults(const Value::Dictionary& defaults);

  // The persistent domain's entries.
  Value::Dictionary persistentDomain() const;
  // Both domains merged, persistent values winning.
  Value::Dictionary dictionaryRepresentation() const;

  // Writes the persistent domain to its file now; false when it cannot be
  // written (the values stay in memory).
  bool synchronize();

  const std::filesystem::path& file() const { return file_; }

  explicit NSUserDefaults(std::filesystem::path file);

 private:
  bool writeLocked();

  std::filesystem::path file_;
  mutable std::mutex mutex_;
  Value::Dictionary persistent_;
  Value::Dictionary registered_;
};

}  // namespace foundation
