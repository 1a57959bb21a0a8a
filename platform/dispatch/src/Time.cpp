#include "dispatch/Time.h"

namespace dispatch {

Date Date::now() noexcept {
  using namespace std::chrono;
  const auto sinceEpoch = duration_cast<nanoseconds>(system_clock::now().time_since_epoch());
  return fromUnixTime(static_cast<double>(sinceEpoch.count()) / 1e9);
}

DispatchTime DispatchTime::now() noexcept {
  using namespace std::chrono;
  const auto sinceStart = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch());
  return DispatchTime(static_cast<uint64_t>(sinceStart.count()));
}

}  // namespace dispatch
