#pragma once

// The hooks the tests steer the telemetry core with; built only with the tests.

#include "ZozIduvur/DUZEChannelUnitDefault.h"
#include "ZozIduvur/DUZEHttpClient.h"
#include "ZozIduvur/DUZELogDBStorage.h"

struct DUZEHttpClientSeams {
  // How long a success's body is read after its header block; std::nullopt
  // restores the default.
  static void setSuccessBodyGraceForTesting(std::optional<std::chrono::milliseconds> grace);

  // Where the CA certificates are read from instead of the system bundle,
  // for clients made afterwards; std::nullopt restores the system bundle.
  static void setCertificateAuthorityFileForTesting(std::optional<std::string> path);

  // Rewrites libcurl's text about a failure before the client reads it, as
  // another libcurl version might word it; none restores libcurl's own.
  static void setFailureTextForTesting(std::function<std::string(const std::string&)> rewrite);
};

struct DUZELogDBStorageSeams {
  // Called with the old path after a file is moved away and before its
  // write-ahead log, shared memory and journal follow it; none by default.
  static void setMovedAwayHookForTesting(std::function<void(const std::filesystem::path&)> hook);
  // Called with the set-aside or carried name a file is about to be renamed
  // to, once that name was found free; none by default.
  static void setRenamingHookForTesting(std::function<void(const std::filesystem::path&)> hook);
  // Called with the old path once a file system that cannot rename without
  // replacing gave a file its new name as a second one, before the old name
  // is taken away; none by default.
  static void setLinkedHookForTesting(std::function<void(const std::filesystem::path&)> hook);
  // Called with "carrying" and a set-aside file just before the transaction
  // that carries its rows begins, and with "carried" once that transaction is
  // committed (before the file is renamed); none by default.
  static void setCarryingHookForTesting(
      std::function<void(std::string_view step, const std::filesystem::path&)> hook);
};

struct DUZEChannelUnitDefaultSeams {
  // The length of one "second" of the flush interval. std::nullopt
  // restores real seconds.
  static void setFlushIntervalUnitForTesting(std::optional<dispatch::DispatchTimeInterval> unit);
  // Tries to store logs, by every channel unit of the process so far.
  static uint64_t storeTriesForTesting();
};
