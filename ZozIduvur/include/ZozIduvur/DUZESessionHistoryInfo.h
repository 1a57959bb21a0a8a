#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "ZozIduvur/DUZEDevice.h"
#include "ZozIduvur/DUZESerializableObject.h"
#include "dispatch/Time.h"
#include "foundation/Value.h"

// How precisely a date looked up in a dated history is known.
enum class DUZEDatePrecision {
  exact,
  // To the whole second only, as the time of a crash report: an entry
  // recorded anywhere within that second may have come before the event, so
  // it counts, and the latest such entry wins.
  wholeSecond,
};

// A process as the crash engine's report names it: its id, the whole second
// it started (since 1970, from the boot time the wall clock gives), and what
// tells it from every other process of the machine, whatever the wall clock
// did and however soon its id is used again (another run in a pid namespace
// of its own is pid 1 too): this boot's id and the start in clock ticks since
// boot. Entries and reports of older versions have no boot id nor ticks.
struct DUZEProcessIdentity {
  DUZEProcessIdentity() = default;
  DUZEProcessIdentity(int64_t processId, int64_t startSeconds,
                      std::optional<std::string> bootId = std::nullopt,
                      std::optional<int64_t> startTicks = std::nullopt)
      : processId(processId),
        startSeconds(startSeconds),
        bootId(std::move(bootId)),
        startTicks(startTicks) {}

  int64_t processId = 0;
  int64_t startSeconds = 0;
  std::optional<std::string> bootId;
  std::optional<int64_t> startTicks;

  // This process, taken once, at the first call in the process, from the
  // system facts the crash engine reads at its set-up (a forked child takes
  // its own); none where the system has no record of it.
  static std::optional<DUZEProcessIdentity> current();
  // Whether this one can be told from every other process: it has a boot id
  // and a start in ticks.
  bool isKnown() const { return bootId && startTicks; }
  // The same process: both known, with the same id, boot and start.
  bool sameAs(const DUZEProcessIdentity& other) const;
  bool operator==(const DUZEProcessIdentity&) const = default;
};

// The process of a crash report, as the report names it: none, or not known,
// in reports of older versions. A forked child's report also names the
// process it was forked from, whose session and user it carries on.
struct DUZECrashedProcess {
  std::optional<DUZEProcessIdentity> process;
  std::optional<DUZEProcessIdentity> forkedFrom;
};

// One entry of a dated history: the value valid from `timestamp` on, and the
// process that recorded it (entries of older versions name none).
class DUZEHistoryInfo : public foundation::NSCoding {
  DUZE_CLASS_NAME("DUZEHistoryInfo")
  DUZE_PROPERTY(dispatch::Date, timestamp, Timestamp)
  DUZE_PROPERTY(std::optional<DUZEProcessIdentity>, recordedBy, RecordedBy)

 public:
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};

// A session id valid from a time on (the id may be absent: no session).
class DUZESessionHistoryInfo : public DUZEHistoryInfo {
  DUZE_CLASS_NAME("DUZESessionHistoryInfo")
  DUZE_PROPERTY(std::optional<std::string>, sessionId, SessionId)

 public:
  static std::shared_ptr<DUZESessionHistoryInfo> create(dispatch::Date timestamp,
                                                        std::optional<std::string> sessionId);
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};

// A user id valid from a time on.
class DUZEUserIdHistoryInfo : public DUZEHistoryInfo {
  DUZE_CLASS_NAME("DUZEUserIdHistoryInfo")
  DUZE_PROPERTY(std::optional<std::string>, userId, UserId)

 public:
  static std::shared_ptr<DUZEUserIdHistoryInfo> create(dispatch::Date timestamp,
                                                       std::optional<std::string> userId);
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};

// A device description valid from a time on.
class DUZEDeviceHistoryInfo : public DUZEHistoryInfo {
  DUZE_CLASS_NAME("DUZEDeviceHistoryInfo")
  DUZE_PROPERTY(std::shared_ptr<DUZEDevice>, device, Device)

 public:
  static std::shared_ptr<DUZEDeviceHistoryInfo> create(dispatch::Date timestamp,
                                                       std::shared_ptr<DUZEDevice> device);
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};
