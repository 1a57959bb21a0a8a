#pragma once

// Choosing processors for the calling thread, for tests that need a thread
// alone on a processor of its own.

#include <sched.h>

#include <cstdio>
#include <initializer_list>

namespace concurrency::testing {

// Two processors this process may run on.
inline bool twoProcessors(int& first, int& second) {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
  first = -1;
  for (int processor = 0; processor < CPU_SETSIZE; ++processor) {
    if (!CPU_ISSET(processor, &allowed)) continue;
    if (first >= 0) {
      second = processor;
      return true;
    }
    first = processor;
  }
  return false;
}

inline cpu_set_t processors(std::initializer_list<int> which) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (const int processor : which) CPU_SET(processor, &set);
  return set;
}

inline bool pinTo(int processor) {
  const cpu_set_t only = processors({processor});
  return sched_setaffinity(0, sizeof only, &only) == 0;
}

// Pins the caller to the first of two processors this process may run on, or
// says on standard error why it cannot.
inline bool pinnedBesideAnother(int& first, int& second) {
  if (twoProcessors(first, second) && pinTo(first)) return true;
  std::fputs("needs two processors to choose from\n", stderr);
  return false;
}

}  // namespace concurrency::testing
