#pragma once

#include <cstdint>
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
template <class Context>
class DUZEContextShare;

class DUZESessionContext {
 public:
  static std::shared_ptr<DUZESessionContext> sharedInstance();
  static void resetSharedInstance();

  // Told the current session id: at once when added, then the new one in every
  // call that changes it, synchronously on the calling thread and under the
  // context's lock, so that the calls come in the order of the changes (also
  // in a forked child, where dispatch queues do not run); and none when the
  // shared instance is reset (the next one has none). It may read the
  // context; it must not wait for another thread that uses it.
  using Observer = void (*)(const std::optional<std::string>&);
  // Adds `observer`, up to four at once (false when there is no room); adding
  // one again only tells it the current session id.
  static bool addSessionIdObserver(Observer observer);
  // The crash service's observer: told as the others are, and with the time
  // the current entry was recorded (none when there is none), which names
  // that entry in the history (sessionIdRecordedAt).
  using ServiceObserver = void (*)(const std::optional<std::string>&,
                                   std::optional<dispatch::Date> recorded);
  // Adds the crash service's observer, in a slot of its own beside the four
  // above, so that it is there whatever the host added (false when another
  // one holds the slot). Removed as the others are.
  static bool addServiceSessionIdObserver(ServiceObserver observer);
  static void removeSessionIdObserver(Observer observer);
  static void removeSessionIdObserver(ServiceObserver observer);

  std::optional<std::string> sessionId();
  // Sets the current id (none is allowed) and records it, with the current
  // time, as the latest entry of the persisted history.
  void setSessionId(std::optional<std::string> sessionId);
  // The id of the latest entry recorded at or before `date` (for a date known
  // to the whole second, recorded before that second ends); none when the
  // history has none that early.
  std::optional<std::string> sessionIdAt(dispatch::Date date,
                                         DUZEDatePrecision precision = DUZEDatePrecision::exact);
  // As sessionIdAt, for a crash of an earlier run whose report does not say
  // its session (an older version's): only entries read from the persisted
  // history that were recorded before this process started count.
  std::optional<std::string> crashedSessionIdAt(dispatch::Date date, DUZEDatePrecision precision);
  // The session id of the entry recorded at `secondsSince1970` exactly (its
  // timestamp's timeIntervalSince1970; of several, the latest): the time a
  // service observer was told names its entry, for a crash whose report
  // could not carry the id. None when no entry of the history was recorded
  // then (one a forked child recorded is not stored).
  std::optional<std::string> sessionIdRecordedAt(double secondsSince1970);
  // Drops the history; with `keepCurrentSession` the current entry stays.
  void clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession);

  // Loads the persisted history.
  DUZESessionContext();

 private:
  // Stores the history, but in a forked child: it keeps its history in memory
  // (its crash reports carry its own ids), where storing could wait for ever
  // on a lock that a thread of its parent held at the fork, and would write
  // over what its parent stores.
  void persistLocked() KX_REQUIRES(mutex_);
  // Tells the observers the current value.
  void notifyLocked() KX_REQUIRES(mutex_);

  // Its shared instance and observers, and what a forked child starts from.
  using Entry = DUZESessionHistoryInfo;
  static std::optional<std::string> valueOf(const Entry& entry) { return entry.sessionId(); }
  // A forked child's copy, with `current` its current entry and only entry,
  // which stores nothing.
  explicit DUZESessionContext(std::shared_ptr<Entry> current);

  friend class DUZEContextShare<DUZESessionContext>;

  // The token of the process this context was made in, the one that stores
  // its history (a child with its parent's id, in a pid namespace, is not
  // it); none for a forked child's copy.
  const uint32_t madeIn_;
  base::RecursiveMutex mutex_;
  std::vector<std::shared_ptr<DUZESessionHistoryInfo>> history_ KX_GUARDED_BY(mutex_);
  // How many entries at the start of `history_` were read from the persisted
  // history; the rest this process recorded.
  size_t loaded_ KX_GUARDED_BY(mutex_) = 0;
  std::shared_ptr<DUZESessionHistoryInfo> current_ KX_GUARDED_BY(mutex_);
};
