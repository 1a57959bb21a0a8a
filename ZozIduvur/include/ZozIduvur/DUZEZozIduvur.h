#pragma once

// ZozIduvur, the telemetry client's core. `DUZEZozIduvur` (this header) is the
// entry object: it configures the client and starts its services
// (DUZEServiceAbstract.h). Their logs (DUZEAbstractLog.h) go through the units
// of one channel group (DUZEChannelGroupDefault.h, DUZEChannelUnitDefault.h)
// into the SQLite log store (DUZELogDBStorage.h), and from there in batches to
// the ingestion service (DUZEIngestion.h, DUZEHttpClient.h).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEServiceAbstract.h"
#include "foundation/UUID.h"

// A service "class" handed to `DUZEZozIduvur::start`: the way to its shared
// instance (made on first use).
struct DUZEServiceClass {
  std::function<std::shared_ptr<DUZEServiceAbstract>()> sharedInstance;

  template <class T>
  static DUZEServiceClass of() {
    return {[] { return std::static_pointer_cast<DUZEServiceAbstract>(T::sharedInstance()); }};
  }
};

// Environment variables the client reads.
inline constexpr std::string_view kDUZEDisableEnvironmentVariable = "ZOZIDUVUR_DISABLE";
inline constexpr std::string_view kDUZELogUrlEnvironmentVariable = "ZOZIDUVUR_LOG_URL";
// Where logs go unless `setLogUrl` or ZOZIDUVUR_LOG_URL say otherwise.
inline constexpr std::string_view kDUZEDefaultLogUrl = "https://telemetry.kestrix.invalid";
// The channel unit of the entry object's own start-service logs.
inline constexpr std::string_view kDUZEStartServiceGroupId = "ZozIduvur";

// The telemetry client's entry object. All operations are class-level and
// thread-safe; configuring, starting and enabling take one recursive lock.
class DUZEZozIduvur {
 public:
  // Configures the client once with the application secret (a plain secret,
  // or "appsecret=<secret>;target=<token>"), then starts the given services
  // that are not started yet, highest initialization priority first, and
  // enqueues one start-service log naming them. With ZOZIDUVUR_DISABLE set
  // to "1" or "true" nothing happens.
  static void start(const std::string& appSecret, const std::vector<DUZEServiceClass>& services);

  static bool isConfigured();
  // The stored flag ("ZozIduvurIsEnabled"); YES when none is stored.
  static bool isEnabled();
  // Enables or disables every channel unit (disabling deletes stored logs)
  // and every started service, and stores the flag. Needs a configured
  // client.
  static void setEnabled(bool isEnabled);
  // YES while `setEnabled` is switching the services.
  static bool isEnabledStateChanging();

  // The install id, made and stored on first use.
  static std::optional<foundation::NSUUID> installId();
  // YES when the process is being traced (TracerPid in /proc/self/status).
  static bool isDebuggerAttached();
  static void setLogLevel(DUZELogLevel level) { DUZELogger::setCurrentLogLevel(level); }
  static DUZELogLevel logLevel() { return DUZELogger::currentLogLevel(); }
  static std::string_view logTag() { return kDUZELogTag; }
  // The base URL of the ingestion; takes effect at the next configuration.
  // ZOZIDUVUR_LOG_URL overrides it.
  static void setLogUrl(std::string url);

  // The channel group of the configured client, or null.
  static std::shared_ptr<DUZEChannelGroupDefault> channelGroup();
  // Tears the client down (enqueued logs taken up, timers stopped, HTTP
  // thread ended, log store closed) so that the next `start` configures
  // anew. For tests and restarts within a process.
  static void resetSharedInstance();
};
