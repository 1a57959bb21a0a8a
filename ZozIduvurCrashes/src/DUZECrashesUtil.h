#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KeyedArchive.h"

// The tag of every message of the crash service.
inline constexpr std::string_view kDUZECrashesLogTag = "ZozIduvurCrashes";

// The crash service's folders, relative to the telemetry client's data
// folder. The first call of each in the process (or after
// `resetDirectory`) creates its folder; a folder that cannot be created is
// not reported here (the later file operations report their own failures).
// Thread-safe.
class DUZECrashesUtil {
 public:
  // "crashes": stored crash reports.
  static std::string crashesDir();
  // "crasheslogbuffer": the crash-time log buffer files.
  static std::string logBufferDir();
  // "crasheswrapperexceptions": saved wrapper exceptions.
  static std::string wrapperExceptionsDir();
  // The next call of each folder operation creates its folder again.
  static void resetDirectory();
};

// The classes that may be read back from the crash service's archives.
class DUZECrashesArchiverUtil {
 public:
  // The allow-list, in order (24 classes; plain value kinds by name only).
  static std::vector<foundation::ArchivableClass> allowedCrashesModuleClasses();
  // Hands the allow-list to the telemetry core.
  static void addAllowedCrashesModuleClasses();
  // Old archived class names of the crash service's classes -> classes,
  // handed to the telemetry core's archive migration.
  static std::map<std::string, foundation::ArchivableClass> migrationClasses();
  static void addMigrationClasses();
};
