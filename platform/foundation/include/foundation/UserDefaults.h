#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Mutex.h"
#include "foundation/Value.h"

namespace foundation {

// User defaults: a registration domain held in memory and a persistent domain
// kept in one JSON file, readable by its owner only. Every change rewrites the
// file atomically and durably (a temporary file, flushed to disk, renamed over
// it), so neither a crash nor a power cut leaves half a file, and a later
// process reads what an earlier one stored. Values are plain values; objects
// must be archived to data first. Thread-safe.
class NSUserDefaults {
 public:
  // The process's shared defaults, in "UserDefaults.json" of the
  // application's data directory (see Paths.h). Made on first use.
  static std::shared_ptr<NSUserDefaults> standardUserDefaults();
  // Drops the shared defaults so the next `standardUserDefaults` reads the
  // file again (tests switch data directories between cases).
  static void resetStandardUserDefaults();

  // Defaults kept in `file`, which is read now when it exists. A file that
  // cannot be read whole (malformed, truncated, nested deeper than 128 levels,
  // an entry of an unknown shape) is renamed "<file>.unreadable" (or
  // ".unreadable.2", ... : an earlier one is never overwritten) with a line on
  // standard error, and the entries that could be read are kept in a new file.
  // When it cannot even be renamed, the defaults live in memory only and the
  // file is left as it is.
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
  bool writeLocked() KX_REQUIRES(mutex_);
  // Renames the unreadable file out of the way; false (and no more writing)
  // when that fails.
  bool setAsideLocked() KX_REQUIRES(mutex_);

  std::filesystem::path file_;
  mutable base::Mutex mutex_;
  Value::Dictionary persistent_ KX_GUARDED_BY(mutex_);
  Value::Dictionary registered_ KX_GUARDED_BY(mutex_);
  bool unwritable_ KX_GUARDED_BY(mutex_) = false;
};

}  // namespace foundation
