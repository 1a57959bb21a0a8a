#include "ZozIduvur/DUZEUtility.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvur/DUZELogWithProperties.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZESessionHistoryInfo.h"
#include "ZozIduvur/DUZEStartServiceLog.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"
#include "dispatch/DispatchQueue.h"
#include "foundation/Bundle.h"
#include "foundation/Paths.h"
#include "foundation/UTF16.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxPropertiesPerLog = 20;
constexpr size_t kMaxPropertyKeyLength = 125;
constexpr size_t kMaxPropertyValueLength = 125;

base::Mutex gHiddenMutex;
std::function<bool()> gHiddenQuery KX_GUARDED_BY(gHiddenMutex);

// The classes archives may hold and the old class names, shared by every
// decoding in the process. The core's own classes are always allowed.
// Readers take the current snapshot; writers replace it, so decoding never
// copies the tables.
struct ArchiveClasses {
  base::Mutex mutex;
  std::shared_ptr<const foundation::NSKeyedUnarchiver::Classes> snapshot KX_GUARDED_BY(mutex);

  ArchiveClasses() {
    foundation::NSKeyedUnarchiver::Classes classes;
    for (auto cls : {
             foundation::ArchivableClass::of<DUZEStartServiceLog>(),
             foundation::ArchivableClass::of<DUZESessionHistoryInfo>(),
             foundation::ArchivableClass::of<DUZEUserIdHistoryInfo>(),
             foundation::ArchivableClass::of<DUZEDeviceHistoryInfo>(),
             foundation::ArchivableClass::of<DUZEDevice>(),
             foundation::ArchivableClass::of<DUZEWrapperSdk>(),
             foundation::ArchivableClass::of<DUZECommonSchemaLog>(),
         }) {
      classes.allowed.insert_or_assign(cls.name, cls);
    }
    snapshot = std::make_shared<const foundation::NSKeyedUnarchiver::Classes>(std::move(classes));
  }

  template <class F>
  void update(F&& change) {
    base::LockGuard lock(mutex);
    auto next = std::make_shared<foundation::NSKeyedUnarchiver::Classes>(*snapshot);
    change(*next);
    snapshot = std::move(next);
  }

  std::shared_ptr<const foundation::NSKeyedUnarchiver::Classes> current() {
    base::LockGuard lock(mutex);
    return snapshot;
  }
};

ArchiveClasses& archiveClasses() {
  static auto* classes = new ArchiveClasses();
  return *classes;
}

std::optional<fs::path> fullPath(std::string_view pathComponent) {
  if (pathComponent.empty()) return std::nullopt;
  return DUZEUtility::dataFolder() / fs::path(std::string(pathComponent));
}

// What the client keeps is for its user alone: files are owner-only (a file
// that exists keeps its mode when it is rewritten in place), and a symbolic
// link is never written through.
bool writeFile(const fs::path& path, const foundation::Data& data, bool atomically) {
  std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
  if (atomically) return foundation::writeFileAtomically(path, bytes, 0600);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t written = 0; ok && written < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && ok;
}

}  // namespace

// Data folder and files -------------------------------------------------------

fs::path DUZEUtility::dataFolder() { return foundation::applicationDataDirectory(); }

std::optional<fs::path> DUZEUtility::createFileAtPathComponent(
    std::string_view pathComponent, const std::optional<foundation::Data>& data, bool atomically,
    bool forceOverwrite) {
  auto path = fullPath(pathComponent);
  if (!path) {
    DUZELogError(kDUZELogTag, "Couldn't create a file: the path is empty.");
    return std::nullopt;
  }
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(*path, ec);
  if (fs::is_symlink(status)) {
    DUZELogError(kDUZELogTag,
                 "Couldn't create a file at %@: a symbolic link is there, which is not followed.",
                 path->string());
    return std::nullopt;
  }
  if (!forceOverwrite && fs::exists(status)) return path;
  createDirectoryAtURL(path->parent_path());
  if (!writeFile(*path, data.value_or(foundation::Data{}), atomically)) {
    DUZELogError(kDUZELogTag, "Couldn't create a file at %@.", path->string());
    return std::nullopt;
  }
  return path;
}

std::optional<fs::path> DUZEUtility::createNewFileDurablyAtPathComponent(
    std::string_view pathComponent, const foundation::Data& data) {
  auto path = fullPath(pathComponent);
  if (!path || !createDirectoryAtURL(path->parent_path())) {
    DUZELogError(kDUZELogTag, "Couldn't create a file at %@.", std::string(pathComponent));
    return std::nullopt;
  }
  const int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  for (size_t written = 0; ok && written < data.size();) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += static_cast<size_t>(n);
  }
  if (ok) ok = ::fsync(fd) == 0;
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  if (!ok) {
    DUZELogError(kDUZELogTag, "Couldn't create a file at %@: %@", path->string(),
                 std::string(std::strerror(errno)));
    if (fd >= 0) ::unlink(path->c_str());
    return std::nullopt;
  }
  // The folder holds the new name.
  if (const int folder = ::open(path->parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return path;
}

std::optional<fs::path> DUZEUtility::createDirectoryForPathComponent(
    std::string_view pathComponent) {
  auto path = fullPath(pathComponent);
  if (!path || !createDirectoryAtURL(*path)) return std::nullopt;
  return path;
}

bool DUZEUtility::deleteItemForPathComponent(std::string_view pathComponent) {
  auto path = fullPath(pathComponent);
  if (!path) {
    DUZELogDebug(kDUZELogTag, "Couldn't delete an item: the path is empty.");
    return false;
  }
  return deleteFileAtURL(*path);
}

bool DUZEUtility::deleteFileAtURL(const fs::path& url) {
  std::error_code ec;
  auto removed = fs::remove_all(url, ec);
  if (ec || removed == 0) {
    DUZELogDebug(kDUZELogTag, "Couldn't delete %@: %@", url.string(),
                 ec ? ec.message() : std::string("no such item"));
    return false;
  }
  return true;
}

bool DUZEUtility::fileExistsForPathComponent(std::string_view pathComponent) {
  auto path = fullPath(pathComponent);
  std::error_code ec;
  return path && fs::exists(*path, ec);
}

std::optional<foundation::Data> DUZEUtility::loadDataForPathComponent(
    std::string_view pathComponent) {
  auto path = fullPath(pathComponent);
  if (!path) return std::nullopt;
  std::ifstream in(*path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  std::string bytes = buffer.str();
  return foundation::Data(bytes.begin(), bytes.end());
}

std::optional<fs::path> DUZEUtility::fullURLForPathComponent(std::string_view pathComponent) {
  return fullPath(pathComponent);
}

std::optional<std::vector<DUZEFileEntry>> DUZEUtility::contentsOfDirectory(
    std::string_view pathComponent) {
  auto path = fullPath(pathComponent);
  if (!path) {
    DUZELogDebug(kDUZELogTag, "Couldn't list a folder: the path is empty.");
    return std::nullopt;
  }
  std::error_code ec;
  fs::directory_iterator it(*path, ec);
  if (ec) {
    DUZELogDebug(kDUZELogTag, "Couldn't list the folder %@: %@", path->string(), ec.message());
    return std::nullopt;
  }
  std::vector<DUZEFileEntry> entries;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    DUZEFileEntry entry;
    entry.url = it->path();
    entry.name = it->path().filename().string();
    std::error_code statError;
    entry.isRegularFile = it->is_regular_file(statError);
    if (entry.isRegularFile) {
      auto size = it->file_size(statError);
      entry.fileSize = statError ? 0 : size;
    }
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(),
            [](const DUZEFileEntry& a, const DUZEFileEntry& b) { return a.name < b.name; });
  return entries;
}

bool DUZEUtility::createDirectoryAtURL(const fs::path& url) {
  // The folder is the client's own: also one an earlier version made open to
  // all becomes owner-only. Parents that exist are left as they are.
  std::error_code error;
  if (!foundation::createPrivateDirectory(url, foundation::ExistingFolder::makePrivate, &error)) {
    DUZELogError(kDUZELogTag, "Couldn't create the folder %@: %@", url.string(), error.message());
    return false;
  }
  return true;
}

bool DUZEUtility::createFileAtPath(const fs::path& path,
                                   const std::optional<foundation::Data>& contents) {
  return writeFile(path, contents.value_or(foundation::Data{}), false);
}

// Application -------------------------------------------------------------

DUZEApplicationState DUZEUtility::applicationState() {
  if (foundation::NSBundle::mainBundle()->executablePath().find(".appex/") != std::string::npos ||
      !dispatch::isMainThread()) {
    return DUZEApplicationStateUnknown;
  }
  std::function<bool()> query;
  {
    base::LockGuard lock(gHiddenMutex);
    query = gHiddenQuery;
  }
  if (query && query()) return DUZEApplicationStateBackground;
  return DUZEApplicationStateActive;
}

void DUZEUtility::setApplicationHiddenQuery(std::function<bool()> query) {
  base::LockGuard lock(gHiddenMutex);
  gHiddenQuery = std::move(query);
}

// Text ----------------------------------------------------------------------

std::string DUZEUtility::dateToISO8601(dispatch::Date date) {
  // A timestamp read back from a damaged store can be anything: keep it to
  // the years the format writes with four digits (0001 to 9999), and write a
  // value that is no number as the epoch.
  constexpr double kFirst = -62135596800.0;    // 0001-01-01T00:00:00Z
  constexpr double kLast = 253402300799.9995;  // 9999-12-31T23:59:59.999Z
  double unix = date.timeIntervalSince1970();
  if (std::isnan(unix)) unix = 0;
  unix = std::clamp(unix, kFirst, kLast);
  double whole = std::floor(unix);
  auto millis = static_cast<int>(std::floor((unix - whole) * 1000.0));
  if (millis >= 1000) {
    whole += 1;
    millis -= 1000;
  }
  const auto seconds = static_cast<time_t>(whole);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  return buffer;
}

std::string DUZEUtility::sha256(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0F];
  }
  return out;
}

std::optional<std::string> DUZEUtility::targetKeyFromTargetToken(std::string_view token) {
  std::string_view key = token.substr(0, token.find('-'));
  if (key.empty()) return std::nullopt;
  return std::string(key);
}

DUZEProperties DUZEUtility::validateProperties(const std::optional<DUZEProperties>& properties,
                                               std::string_view logName, std::string_view type) {
  DUZEProperties result;
  if (!properties) return result;
  for (const auto& [rawKey, rawValue] : *properties) {
    if (result.size() >= kMaxPropertiesPerLog) {
      DUZELogWarning(kDUZELogTag,
                     "%@ '%@' : properties cannot contain more than %d items. Skipping other "
                     "properties.",
                     type, logName, static_cast<int>(kMaxPropertiesPerLog));
      break;
    }
    if (rawKey.empty()) {
      DUZELogWarning(kDUZELogTag,
                     "%@ '%@' : a property key cannot be null or empty. Property will be skipped.",
                     type, logName);
      continue;
    }
    std::string key = rawKey;
    if (foundation::utf16Length(key) > kMaxPropertyKeyLength) {
      DUZELogWarning(kDUZELogTag,
                     "%@ '%@' : property %@ : property key length cannot be longer than %d "
                     "characters. Property key will be truncated.",
                     type, logName, key, static_cast<int>(kMaxPropertyKeyLength));
      key = foundation::utf16Prefix(key, kMaxPropertyKeyLength);
    }
    std::string value = rawValue;
    if (foundation::utf16Length(value) > kMaxPropertyValueLength) {
      DUZELogWarning(kDUZELogTag,
                     "%@ '%@' : property '%@' : property value cannot be longer than %d "
                     "characters. Property value will be truncated.",
                     type, logName, key, static_cast<int>(kMaxPropertyValueLength));
      value = foundation::utf16Prefix(value, kMaxPropertyValueLength);
    }
    result.insert_or_assign(std::move(key), std::move(value));
  }
  return result;
}

// Archives --------------------------------------------------------------------

void DUZEUtility::addMigrationClasses(
    const std::map<std::string, foundation::ArchivableClass>& map) {
  archiveClasses().update([&](foundation::NSKeyedUnarchiver::Classes& classes) {
    for (const auto& [oldName, cls] : map) classes.renamed.insert_or_assign(oldName, cls);
  });
}

void DUZEUtility::addAllowedClasses(const std::vector<foundation::ArchivableClass>& classes) {
  archiveClasses().update([&](foundation::NSKeyedUnarchiver::Classes& table) {
    for (const auto& cls : classes) {
      // A name listed without a factory never replaces one that can make objects.
      auto it = table.allowed.find(cls.name);
      if (it != table.allowed.end() && it->second.make && !cls.make) continue;
      table.allowed.insert_or_assign(cls.name, cls);
    }
  });
}

std::optional<foundation::Data> DUZEUtility::archiveKeyedData(const foundation::Value& value) {
  std::shared_ptr<foundation::NSError> error;
  auto data = foundation::NSKeyedArchiver::archivedDataWithRootObject(value, &error);
  if (!data) {
    DUZELogError(kDUZELogTag, "Archiving data failed with error: %@",
                 error ? error->localizedDescription() : std::string());
  }
  return data;
}

foundation::Value DUZEUtility::unarchiveKeyedData(const foundation::Data& data) {
  auto classes = archiveClasses().current();
  std::shared_ptr<foundation::NSError> error;
  foundation::Value value = foundation::NSKeyedUnarchiver::unarchivedObject(data, *classes, &error);
  if (error) {
    DUZELogError(kDUZELogTag, "Unarchiving data failed with error: %@",
                 error->localizedDescription());
  }
  return value;
}
