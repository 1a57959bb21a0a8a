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

// One entry of a dated history: the value valid from `timestamp` on. (Entries
// some earlier versions wrote also name the process that recorded them; that
// is read past.)
class DUZEHistoryInfo : public foundation::NSCoding {
  DUZE_CLASS_NAME("DUZEHistoryInfo")
  DUZE_PROPERTY(dispatch::Date, timestamp, Timestamp)

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
