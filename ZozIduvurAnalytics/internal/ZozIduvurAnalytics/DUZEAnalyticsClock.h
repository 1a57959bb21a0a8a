#pragma once

#include <functional>

#include "dispatch/Time.h"

// The analytics service's source of the current date: the wall clock, unless
// a test installs a clock of its own to make session timeouts and token
// expiry deterministic.
class DUZEAnalyticsClock {
 public:
  static dispatch::Date now();
};
