#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ZozIduvurCrashes/DUZEErrorReport.h"
#include "ZozIduvurCrashes/DUZEWrapperException.h"

class ROReradUzerirud;

// The base name of the exception a wrapper SDK saved when it crashed.
inline constexpr std::string_view kDUZELastWrapperExceptionFileName =
    "last_saved_wrapper_exception";

// Keeps the exceptions that wrapper SDKs save when they crash, in the folder
// "crasheswrapperexceptions", and ties them on the next launch to the crash
// report of the same process, by the report's incident identifier.
// Class operations only; thread-safe.
class DUZEWrapperExceptionManager {
 public:
  // Keeps the crash engine instance (the crash service hands it over when it
  // configures the engine).
  static void setCrashReporter(std::shared_ptr<ROReradUzerirud> crashReporter);
  static std::shared_ptr<ROReradUzerirud> crashReporter();

  // For a wrapper SDK that is about to die of its own exception: saves the
  // exception as the last saved one and writes a live report of the running
  // process where the engine keeps its pending report, so that the next
  // launch processes both together. Every outcome is logged at error level
  // under the core's tag.
  static void saveWrapperExceptionAndCrashReport(
      const std::shared_ptr<DUZEWrapperException>& exception);

  // Saves under "last_saved_wrapper_exception".
  static void saveWrapperException(const std::shared_ptr<DUZEWrapperException>& exception);
  // Archives the exception and writes it atomically (overwriting) under the
  // base name in the folder.
  static void saveWrapperExceptionWithBaseFilename(
      const std::shared_ptr<DUZEWrapperException>& exception, const std::string& baseFilename);
  // The saved exception, or null: a missing file is logged; a file that does
  // not decode is logged and deleted.
  static std::shared_ptr<DUZEWrapperException> loadWrapperExceptionWithBaseFilename(
      const std::string& baseFilename);
  // The exception correlated to the id in this process, else the file named
  // by the id. Null for no id.
  static std::shared_ptr<DUZEWrapperException> loadWrapperExceptionWithUUIDString(
      const std::optional<std::string>& uuidString);
  static void deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename);
  // Deletes the file named by the id; an exception correlated in this
  // process stays known.
  static void deleteWrapperExceptionWithUUIDString(const std::optional<std::string>& uuidString);
  // Deletes the whole folder.
  static void deleteAllWrapperExceptions();
  // Moves the last saved exception (if any) to the first report of the same
  // process id: remembered under, and saved as, its incident identifier. An
  // exception that matches no report is dropped.
  static void correlateLastSavedWrapperExceptionToReport(
      const std::vector<std::shared_ptr<DUZEErrorReport>>& reports);
};
