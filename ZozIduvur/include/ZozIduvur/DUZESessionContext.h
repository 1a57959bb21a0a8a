#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZozIduvur/DUZESessionHistoryInfo.h"
#include "base/Mutex.h"
#include "dispatch/Time.h"

// The current session id and the dated history of session ids, persisted in
// user defaults so that a later run can match the logs of an earlier one to
// their session. A new process starts with no current session. Thread-safe.
class DUZESessionContext {
 public:
  static std::shared_ptr<DUZESessionContext> sharedInstance();
  static void resetSharedInstance();

  std::optional<std::string> sessionId();
  // Sets the current id (none is allowed) and records it, with the current
  // time, as the latest entry of the persisted history.
  void setSessionId(std::optional<std::string> sessionId);
  // The id of the latest entry recorded at or before `date` (for a date known
  // to the whole second, recorded before that second ends); none when the
  // history has none that early.
  std::optional<std::string> sessionIdAt(dispatch::Date date,
                                         DUZEDatePrecision precision = DUZEDatePrecision::exact);
  // As sessionIdAt, for a crash of an earlier process: the latest entry that
  // the `crashed` process (or, for a forked child, the process it was forked
  // from) recorded at or before the crash. Entries that do not tell their
  // process, or all of them when the report does not tell the crashed one,
  // count when recorded before this process started; so do all of them for
  // a forked child's crash that neither process had recorded one for.
  std::optional<std::string> crashedSessionIdAt(dispatch::Date date, DUZEDatePrecision precision,
                                                const DUZECrashedProcess& crashed);
  // Drops the history; with `keepCurrentSession` the current entry stays.
  void clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession);

  // Loads the persisted history.
  DUZESessionContext();

 private:
  void persistLocked() KX_REQUIRES(mutex_);

  base::RecursiveMutex mutex_;
  std::vector<std::shared_ptr<DUZESessionHistoryInfo>> history_ KX_GUARDED_BY(mutex_);
  // How many entries at the start of `history_` were read from the persisted
  // history; the rest this process recorded.
  size_t loaded_ KX_GUARDED_BY(mutex_) = 0;
  std::shared_ptr<DUZESessionHistoryInfo> current_ KX_GUARDED_BY(mutex_);
};
