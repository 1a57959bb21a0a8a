#include "dispatch/Time.h"

namespace dispatch {

Date Date::now() noexcept {
  using namespace std::chrono;
  const auto sinceEpoch = duration_cast<nanoseconds>(system_clock::now().time_since_epoch());
  return fromUnixTime(static_cast<double>(sinceEpoch.count()) / 1e9);
}

}  // namespace dispatch
