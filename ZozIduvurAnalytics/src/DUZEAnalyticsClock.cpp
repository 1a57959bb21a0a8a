#include "ZozIduvurAnalytics/DUZEAnalyticsClock.h"

#include <mutex>

namespace {

std::mutex gClockMutex;
std::function<dispatch::Date()> gClock;

}  // namespace

dispatch::Date DUZEAnalyticsClock::now() {
  std::function<dispatch::Date()> clock;
  {
    std::lock_guard lock(gClockMutex);
    clock = gClock;
  }
  return clock ? clock() : dispatch::Date::now();
}

void DUZEAnalyticsClock::setClockForTesting(std::function<dispatch::Date()> clock) {
  std::lock_guard lock(gClockMutex);
  gClock = std::move(clock);
}
