#include "ZozIduvurAnalytics/DUZEAnalyticsClock.h"

#include "base/Mutex.h"

#ifdef KX_TEST_SEAMS
#include "ZozIduvurAnalytics/TestSeams.h"
#endif

namespace {

base::Mutex gClockMutex;
std::function<dispatch::Date()> gClock KX_GUARDED_BY(gClockMutex);

}  // namespace

dispatch::Date DUZEAnalyticsClock::now() {
  std::function<dispatch::Date()> clock;
  {
    base::LockGuard lock(gClockMutex);
    clock = gClock;
  }
  return clock ? clock() : dispatch::Date::now();
}

#ifdef KX_TEST_SEAMS
void DUZEAnalyticsClockSeams::setClockForTesting(std::function<dispatch::Date()> clock) {
  base::LockGuard lock(gClockMutex);
  gClock = std::move(clock);
}
#endif
