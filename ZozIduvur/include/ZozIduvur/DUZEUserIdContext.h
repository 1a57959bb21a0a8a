#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ZozIduvur/DUZESessionHistoryInfo.h"
#include "base/Mutex.h"
#include "dispatch/Time.h"

// The current user id and its dated history, persisted in user defaults. A
// new process starts with no current user id. Thread-safe.
class DUZEUserIdContext {
 public:
  static std::shared_ptr<DUZEUserIdContext> sharedInstance();
  static void resetSharedInstance();

  std::optional<std::string> userId();
  // Sets the current user id (none is allowed) and records it with the
  // current time in the persisted history.
  void setUserId(std::optional<std::string> userId);
  // The user id of the latest entry recorded at or before `date` (for a
  // date known to the whole second, recorded before that second ends).
  std::optional<std::string> userIdAt(dispatch::Date date,
                                      DUZEDatePrecision precision = DUZEDatePrecision::exact);
  // As userIdAt, for a crash of an earlier process: the latest entry that
  // the `crashed` process (or, for a forked child, the process it was forked
  // from) recorded at or before the crash. Entries that do not tell their
  // process, or all of them when the report does not tell the crashed one,
  // count when recorded before this process started; so do all of them for
  // a forked child's crash that neither process had recorded one for.
  std::optional<std::string> crashedUserIdAt(dispatch::Date date, DUZEDatePrecision precision,
                                             const DUZECrashedProcess& crashed);
  // Drops the history except the current entry.
  void clearUserIdHistory();

  // Whether the collector accepts the id: none is fine; an empty id, a
  // prefix other than "c", or "c:" with nothing after it are refused with an
  // error log.
  static bool isUserIdValidForEventCollector(const std::optional<std::string>& userId);
  // "c:" + id for an id without ":", the id otherwise, none for none.
  static std::optional<std::string> prefixedUserIdFromUserId(
      const std::optional<std::string>& userId);

  DUZEUserIdContext();

 private:
  void persistLocked() KX_REQUIRES(mutex_);

  base::RecursiveMutex mutex_;
  std::vector<std::shared_ptr<DUZEUserIdHistoryInfo>> history_ KX_GUARDED_BY(mutex_);
  // How many entries at the start of `history_` were read from the persisted
  // history; the rest this process recorded.
  size_t loaded_ KX_GUARDED_BY(mutex_) = 0;
  std::shared_ptr<DUZEUserIdHistoryInfo> current_ KX_GUARDED_BY(mutex_);
};
