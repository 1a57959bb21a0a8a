#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ZozIduvur/DUZEAbstractLog.h"
#include "dispatch/Time.h"
#include "foundation/Data.h"
#include "foundation/KeyedArchive.h"
#include "foundation/Value.h"

enum DUZEApplicationState : int64_t {
  DUZEApplicationStateActive = 0,
  DUZEApplicationStateInactive = 1,
  DUZEApplicationStateBackground = 2,
  DUZEApplicationStateUnknown = 3,
};

enum DUZEEnvironment : int64_t {
  DUZEEnvironmentAppStore = 0,
  DUZEEnvironmentOther = 99,
};

// An entry of a folder listing, with the properties read along with it.
struct DUZEFileEntry {
  std::filesystem::path url;  // absolute path
  std::string name;           // last path component
  uint64_t fileSize = 0;      // bytes; 0 for anything but a regular file
  bool isRegularFile = false;
};

// Shared helpers of the telemetry client: its data folder and the files in
// it, dates, hashes, archives and property validation. All operations are
// class-level and thread-safe.
class DUZEUtility {
 public:
  // Data folder and files -------------------------------------------------

  // The telemetry client's data folder (the application's data directory:
  // KESTRIX_DATA_DIR, else "$XDG_DATA_HOME/<application id>"). Every path
  // component below is relative to it.
  static std::filesystem::path dataFolder();

  // When not forcing and the file exists, its URL without writing; otherwise
  // creates missing parent folders, writes `data` (empty data when absent) and
  // answers the URL, or logs an error and answers std::nullopt. A symbolic
  // link at the path is an error: it is never followed nor replaced.
  static std::optional<std::filesystem::path> createFileAtPathComponent(
      std::string_view pathComponent, const std::optional<foundation::Data>& data, bool atomically,
      bool forceOverwrite);
  // Creates the file (never replacing one, creating missing parent folders),
  // writes `data` and flushes the file and its folder to disk, so that the
  // file is there whatever happens next. Its URL, or std::nullopt (with an
  // error log, and no file left) when any step fails.
  static std::optional<std::filesystem::path> createNewFileDurablyAtPathComponent(
      std::string_view pathComponent, const foundation::Data& data);
  // Creates a folder (with parents); its URL or std::nullopt.
  static std::optional<std::filesystem::path> createDirectoryForPathComponent(
      std::string_view pathComponent);
  // Remove a file or a whole folder; a failure is logged at debug level and
  // answered NO.
  static bool deleteItemForPathComponent(std::string_view pathComponent);
  static bool deleteFileAtURL(const std::filesystem::path& url);
  static bool fileExistsForPathComponent(std::string_view pathComponent);
  static std::optional<foundation::Data> loadDataForPathComponent(std::string_view pathComponent);
  // The absolute URL of a path under the data folder; std::nullopt for an
  // empty path.
  static std::optional<std::filesystem::path> fullURLForPathComponent(
      std::string_view pathComponent);
  // A folder's entries with name, size and regular-file flag, in name order;
  // std::nullopt (with a debug log) when the folder cannot be listed or the
  // path is empty.
  static std::optional<std::vector<DUZEFileEntry>> contentsOfDirectory(
      std::string_view pathComponent);
  // Absolute-path variants. Folders are made owner-only (0700), files too
  // (0600), as every file and folder this client makes.
  static bool createDirectoryAtURL(const std::filesystem::path& url);
  static bool createFileAtPath(const std::filesystem::path& path,
                               const std::optional<foundation::Data>& contents);

  // Application ---------------------------------------------------------

  // 3 (unknown) when the executable path contains ".appex/" or the caller is
  // not on the main thread; else 2 (background) when the application is
  // hidden; else 0 (active).
  static DUZEApplicationState applicationState();
  // Installs the query that says whether the application is hidden (the
  // application layer provides it; without one the application is never
  // hidden). Null removes it.
  static void setApplicationHiddenQuery(std::function<bool()> query);
  // Always DUZEEnvironmentOther: this system is never a store build.
  static DUZEEnvironment currentAppEnvironment() { return DUZEEnvironmentOther; }

  // Text --------------------------------------------------------------

  // UTC "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" (milliseconds cut toward the past).
  static std::string dateToISO8601(dispatch::Date date);
  // SHA-256 of the text's bytes as 64 lowercase hexadecimal digits.
  static std::string sha256(std::string_view text);
  // The part of a token before the first "-" (the whole token when there is
  // none); std::nullopt when that part is empty.
  static std::optional<std::string> targetKeyFromTargetToken(std::string_view token);
  // See the definition: at most 20 entries; empty keys skipped; keys and
  // values of 126 or more UTF-16 code units cut to 125 (never splitting a
  // surrogate pair, so 124 then); each repair logged at warning level.
  static DUZEProperties validateProperties(const std::optional<DUZEProperties>& properties,
                                           std::string_view logName, std::string_view type);

  // Archives ----------------------------------------------------------

  // Old archived class name -> class, used whenever archives are decoded.
  static void addMigrationClasses(const std::map<std::string, foundation::ArchivableClass>& map);
  // Adds classes to the set that archives may hold.
  static void addAllowedClasses(const std::vector<foundation::ArchivableClass>& classes);
  // A keyed archive of the value; std::nullopt on failure.
  static std::optional<foundation::Data> archiveKeyedData(const foundation::Value& value);
  // The decoded value; a null value (with an error log) on failure.
  static foundation::Value unarchiveKeyedData(const foundation::Data& data);
  template <class T>
  static std::shared_ptr<T> unarchiveObject(const foundation::Data& data) {
    foundation::Value v = unarchiveKeyedData(data);
    if (const auto* object = v.objectValue()) return std::dynamic_pointer_cast<T>(*object);
    return nullptr;
  }
};
