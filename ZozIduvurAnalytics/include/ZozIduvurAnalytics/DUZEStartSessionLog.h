#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ZozIduvur/DUZEAbstractLog.h"

// Announces a new session ("startSession"). It carries the id of the session
// it starts, which nothing replaces. The session tracker hands each one to its
// delegate (`DUZESessionTrackerDelegate`, DUZESessionTracker.h); the analytics
// service, the delegate it is given, sends it as it sends its other logs.
class DUZEStartSessionLog : public DUZEAbstractLog, public DUZENoAutoAssignSessionIdLog {
  DUZE_CLASS_NAME("DUZEStartSessionLog")

 public:
  static constexpr std::string_view kType = "startSession";
  DUZEStartSessionLog() { setType(std::string(kType)); }
  static std::shared_ptr<DUZEStartSessionLog> create() {
    return std::make_shared<DUZEStartSessionLog>();
  }

  // A start-session log whose base fields are equal.
  bool isEqual(const foundation::NSCoding& other) const override;
};
