#pragma once

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "ZozIduvur/DUZESerializableObject.h"
#include "ZozIduvur/DUZESessionHistoryInfo.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"

namespace duze {

// Reads a history persisted under `key` as an archived array of T; an
// absent or unreadable history is empty.
template <class T>
std::vector<std::shared_ptr<T>> loadHistory(std::string_view key) {
  std::vector<std::shared_ptr<T>> out;
  auto stored = DUZEZozIduvurUserDefaults::shared()->objectForKey(key);
  if (!stored || !stored->dataValue()) return out;
  foundation::Value value = DUZEUtility::unarchiveKeyedData(*stored->dataValue());
  const auto* array = value.arrayValue();
  if (!array) return out;
  for (const auto& element : *array) {
    const auto* object = element.objectValue();
    auto entry = object ? std::dynamic_pointer_cast<T>(*object) : nullptr;
    if (entry) out.push_back(std::move(entry));
  }
  return out;
}

template <class T>
void storeHistory(std::string_view key, const std::vector<std::shared_ptr<T>>& history) {
  if (auto data = DUZEUtility::archiveKeyedData(objectArray(history))) {
    DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(std::move(*data)), key);
  }
}

// The entry valid at `date`: the latest one recorded at or before it, or,
// for a date known to the whole second, before the end of that second.
// Seconds since the reference date begin where seconds since 1970 do.
template <class T>
std::shared_ptr<T> entryAt(const std::vector<std::shared_ptr<T>>& history, dispatch::Date date,
                           DUZEDatePrecision precision) {
  const double seconds = date.timeIntervalSinceReferenceDate();
  const double endOfSecond = std::floor(seconds) + 1;
  std::shared_ptr<T> found;
  for (const auto& entry : history) {
    const double recorded = entry->timestamp().timeIntervalSinceReferenceDate();
    if (precision == DUZEDatePrecision::wholeSecond ? recorded < endOfSecond
                                                    : recorded <= seconds) {
      found = entry;
    }
  }
  return found;
}

// When this process started: the kernel's time of its start, taken to the
// wall clock once, at the first call in the process; failing that, when this
// library's code first ran.
dispatch::Date processStartTime();

// The entry valid at `date` (the time of a crash) as the crashed process
// recorded it, among the first `loaded` entries (those read from the
// persisted history when the context was made; an entry this process
// recorded is never one).
//
// Where the report tells the crashed process from every other one (its boot
// id and start in ticks), an entry that does the same counts when that
// process recorded it, whenever that was (a crashed run may record its
// session after the run that reads it began: a relaunch while it still
// started up, or a launcher that started the reading process long before it
// ran the program), and whatever the wall clock did meanwhile; another
// run's entry is never the crash's, even of the same pid started within the
// same second. For a forked child's crash, the entries of the process it was
// forked from count too: the child carries on that process's session.
//
// The time rule judges the rest: entries that do not tell their process
// (older versions wrote none, or only its id and start second) count when
// recorded before this process started. A report that does not tell its
// process (an older version's) is judged by the time rule alone, every entry
// alike, and so is a forked child's crash for which neither it nor the
// process it was forked from recorded an entry before the crash.
template <class T>
std::shared_ptr<T> crashedProcessEntryAt(const std::vector<std::shared_ptr<T>>& history,
                                         size_t loaded, dispatch::Date date,
                                         DUZEDatePrecision precision,
                                         const DUZECrashedProcess& crashed) {
  const dispatch::Date started = processStartTime();
  const auto of = [](const std::optional<DUZEProcessIdentity>& process,
                     const DUZEProcessIdentity& recordedBy) {
    return process && recordedBy.sameAs(*process);
  };
  const bool known = (crashed.process && crashed.process->isKnown()) ||
                     (crashed.forkedFrom && crashed.forkedFrom->isKnown());
  std::vector<std::shared_ptr<T>> byProcess;
  std::vector<std::shared_ptr<T>> byTime;
  for (size_t i = 0; i < std::min(loaded, history.size()); ++i) {
    const auto& recordedBy = history[i]->recordedBy();
    const bool early = history[i]->timestamp() < started;
    if (early) byTime.push_back(history[i]);
    if (recordedBy && recordedBy->isKnown()) {
      if (of(crashed.process, *recordedBy) || of(crashed.forkedFrom, *recordedBy)) {
        byProcess.push_back(history[i]);
      }
    } else if (early) {
      byProcess.push_back(history[i]);
    }
  }
  if (!known) return entryAt(byTime, date, precision);
  auto found = entryAt(byProcess, date, precision);
  if (!found && crashed.forkedFrom) found = entryAt(byTime, date, precision);
  return found;
}

}  // namespace duze
