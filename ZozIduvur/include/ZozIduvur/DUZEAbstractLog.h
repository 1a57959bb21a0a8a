#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ZozIduvur/DUZEDevice.h"
#include "ZozIduvur/DUZESerializableObject.h"
#include "dispatch/Time.h"
#include "foundation/Value.h"

class DUZECommonSchemaLog;

// String properties of a log, in key order.
using DUZEProperties = std::map<std::string, std::string>;

// Marker: a log that adopts it keeps the session id it carries (nothing
// stamps the current session on it).
class DUZENoAutoAssignSessionIdLog {
 public:
  virtual ~DUZENoAutoAssignSessionIdLog() = default;
};

// The base of every telemetry log. A log is built on one thread, then handed
// to a channel unit, whose logs queue prepares, stores and sends it; it is
// not meant to be changed from two threads at once.
class DUZEAbstractLog : public foundation::NSCoding, public DUZESerializableObject {
  DUZE_CLASS_NAME("DUZEAbstractLog")
  // The log type ("event", "appleError", ...), set by each subclass.
  DUZE_PROPERTY(std::optional<std::string>, type, Type)
  DUZE_PROPERTY(std::optional<dispatch::Date>, timestamp, Timestamp)
  // Session id.
  DUZE_PROPERTY(std::optional<std::string>, sid, Sid)
  DUZE_PROPERTY(std::optional<std::string>, distributionGroupId, DistributionGroupId)
  DUZE_PROPERTY(std::optional<std::string>, userId, UserId)
  DUZE_PROPERTY(std::shared_ptr<DUZEDevice>, device, Device)
  DUZE_PROPERTY(std::optional<std::string>, dataResidencyRegion, DataResidencyRegion)
  // Any object the producer attaches (compared by identity); never
  // serialised or archived.
  DUZE_PROPERTY(std::shared_ptr<void>, tag, Tag)
  // Transmission target tokens; not serialised or archived (the log store
  // keeps a log's token beside it, encrypted).
  DUZE_PROPERTY(std::set<std::string>, transmissionTargetTokens, TransmissionTargetTokens)

 public:
  DUZEAbstractLog() = default;
  ~DUZEAbstractLog() override = default;

  void addTransmissionTargetToken(const std::string& token) {
    transmissionTargetTokens_.insert(token);
  }

  // "type", "timestamp" (ISO 8601), "sid", "distributionGroupId", "userId",
  // "device" and "dataResidencyRegion", each only when set.
  nlohmann::ordered_json serializeToDictionary() const override;
  // YES when type, timestamp and a valid device are present; otherwise logs
  // the invalid-field message for the first missing field and answers NO.
  virtual bool isValid() const;
  // Compares the base fields.
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;

  // Whether the log can be mirrored as Common Schema logs (every log can; a
  // subclass may refuse).
  virtual bool supportsCommonSchemaConversion() const { return true; }
  // One Common Schema log per transmission target token.
  std::vector<std::shared_ptr<DUZECommonSchemaLog>> toCommonSchemaLogsWithFlags(
      uint64_t flags) const;
  // The base Common Schema log for one token: version "3.0", the log's time,
  // the instrumentation key "o:<target key>", the flags, and the application,
  // user, device and protocol extensions filled from the log and its device.
  virtual std::shared_ptr<DUZECommonSchemaLog> toCommonSchemaLogForTargetToken(
      const std::string& token, uint64_t flags) const;

 protected:
  // Logs "%@: \"%@\" is not valid." at verbose level with the core's tag.
  void logInvalidField(std::string_view field) const;
};

// The invalid-field message of the core's validity checks, logged at verbose
// level with the core's tag: "<class name>: \"<field>\" is not valid.".
void DUZELogInvalidField(std::string_view className, std::string_view field);
