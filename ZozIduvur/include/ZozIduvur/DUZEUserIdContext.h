#pragma once

#include <cstdint>
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
template <class Context>
class DUZEContextShare;

class DUZEUserIdContext {
 public:
  static std::shared_ptr<DUZEUserIdContext> sharedInstance();
  static void resetSharedInstance();

  // Told the current user id: at once when added, then the new one in every
  // call that changes it, synchronously on the calling thread and under the
  // context's lock, so that the calls come in the order of the changes (also
  // in a forked child, where dispatch queues do not run); and none when the
  // shared instance is reset (the next one has none). It may read the
  // context; it must not wait for another thread that uses it.
  using Observer = void (*)(const std::optional<std::string>&);
  // Adds `observer`, up to four at once (false when there is no room); adding
  // one again only tells it the current user id.
  static bool addUserIdObserver(Observer observer);
  // The crash service's observer: told as the others are, and with the time
  // the current entry was recorded (none when there is none), which names
  // that entry in the history (userIdRecordedAt).
  using ServiceObserver = void (*)(const std::optional<std::string>&,
                                   std::optional<dispatch::Date> recorded);
  // Adds the crash service's observer, in a slot of its own beside the four
  // above, so that it is there whatever the host added (false when another
  // one holds the slot). Removed as the others are.
  static bool addServiceUserIdObserver(ServiceObserver observer);
  static void removeUserIdObserver(Observer observer);
  static void removeUserIdObserver(ServiceObserver observer);

  std::optional<std::string> userId();
  // Sets the current user id (none is allowed) and records it with the
  // current time in the persisted history.
  void setUserId(std::optional<std::string> userId);
  // The user id of the latest entry recorded at or before `date` (for a
  // date known to the whole second, recorded before that second ends).
  std::optional<std::string> userIdAt(dispatch::Date date,
                                      DUZEDatePrecision precision = DUZEDatePrecision::exact);
  // As userIdAt, for a crash of an earlier run whose report does not say its
  // user (an older version's): only entries read from the persisted history
  // that were recorded before this process started count.
  std::optional<std::string> crashedUserIdAt(dispatch::Date date, DUZEDatePrecision precision);
  // The user id of the entry recorded at `secondsSince1970` exactly (its
  // timestamp's timeIntervalSince1970; of several, the latest): the time a
  // service observer was told names its entry, for a crash whose report
  // could not carry the id. None when no entry of the history was recorded
  // then (one a forked child recorded is not stored).
  std::optional<std::string> userIdRecordedAt(double secondsSince1970);
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
  // Stores the history, but in a forked child: it keeps its history in memory
  // (its crash reports carry its own ids), where storing could wait for ever
  // on a lock that a thread of its parent held at the fork, and would write
  // over what its parent stores.
  void persistLocked() KX_REQUIRES(mutex_);
  // Tells the observers the current value.
  void notifyLocked() KX_REQUIRES(mutex_);

  // Its shared instance and observers, and what a forked child starts from.
  using Entry = DUZEUserIdHistoryInfo;
  static std::optional<std::string> valueOf(const Entry& entry) { return entry.userId(); }
  // A forked child's copy, with `current` its current entry and only entry,
  // which stores nothing.
  explicit DUZEUserIdContext(std::shared_ptr<Entry> current);

  friend class DUZEContextShare<DUZEUserIdContext>;

  // The token of the process this context was made in, the one that stores
  // its history (a child with its parent's id, in a pid namespace, is not
  // it); none for a forked child's copy.
  const uint32_t madeIn_;
  base::RecursiveMutex mutex_;
  std::vector<std::shared_ptr<DUZEUserIdHistoryInfo>> history_ KX_GUARDED_BY(mutex_);
  // How many entries at the start of `history_` were read from the persisted
  // history; the rest this process recorded.
  size_t loaded_ KX_GUARDED_BY(mutex_) = 0;
  std::shared_ptr<DUZEUserIdHistoryInfo> current_ KX_GUARDED_BY(mutex_);
};
