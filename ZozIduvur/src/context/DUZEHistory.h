#pragma once

#include <algorithm>
#include <cmath>
#include <memory>
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

// The latest entry recorded at `secondsSince1970` exactly, as its timestamp
// gives it: a time that names one entry, never an earlier one.
template <class T>
std::shared_ptr<T> entryRecordedAt(const std::vector<std::shared_ptr<T>>& history,
                                   double secondsSince1970) {
  std::shared_ptr<T> found;
  for (const auto& entry : history) {
    if (entry->timestamp().timeIntervalSince1970() == secondsSince1970) found = entry;
  }
  return found;
}

// When this process started: the kernel's time of its start, taken to the
// wall clock once, at the first call in the process; failing that, when this
// library's code first ran.
dispatch::Date processStartTime();

// The entry valid at `date` (the time of a crash) for a crash whose report
// does not say its session and user (reports of older versions): by time,
// among the first `loaded` entries (those read from the persisted history
// when the context was made) that were recorded before this process started.
// An entry this process recorded is never one, whatever its time, nor is one
// that another process recorded after this one started: reports keep whole
// seconds, and at a relaunch within the crash's second those would pass for
// the crashed run's.
template <class T>
std::shared_ptr<T> earlierProcessEntryAt(const std::vector<std::shared_ptr<T>>& history,
                                         size_t loaded, dispatch::Date date,
                                         DUZEDatePrecision precision) {
  const dispatch::Date started = processStartTime();
  std::vector<std::shared_ptr<T>> earlier;
  for (size_t i = 0; i < std::min(loaded, history.size()); ++i) {
    if (history[i]->timestamp() < started) earlier.push_back(history[i]);
  }
  return entryAt(earlier, date, precision);
}

}  // namespace duze
