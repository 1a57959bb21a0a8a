#include "base/Fork.h"

#include <pthread.h>

#include <atomic>

#include "base/FatalError.h"

namespace base {
namespace {

struct Joined {
  ForkPhase phase;
  ForkHandlers handlers;
  std::atomic<bool> ready;
};

// Initialised before any code runs (no constructor runs on them later), so
// that static initialisers of every other file may join.
constinit Joined gJoined[kForkHandlerCapacity] = {};
constinit std::atomic<unsigned> gClaimed{0};

constexpr unsigned kPhases = static_cast<unsigned>(ForkPhase::telemetry) + 1;

unsigned joinedCount() {
  const unsigned claimed = gClaimed.load(std::memory_order_acquire);
  return claimed < kForkHandlerCapacity ? claimed : kForkHandlerCapacity;
}

void runPrepare() {
  const unsigned count = joinedCount();
  for (unsigned phase = kPhases; phase-- > 0;) {
    for (unsigned i = count; i-- > 0;) {
      const Joined& joined = gJoined[i];
      if (joined.ready.load(std::memory_order_acquire) &&
          static_cast<unsigned>(joined.phase) == phase && joined.handlers.prepare != nullptr) {
        joined.handlers.prepare();
      }
    }
  }
}

// The parent's or the child's handlers (`child`), first phase first.
void runAfter(bool child) {
  const unsigned count = joinedCount();
  for (unsigned phase = 0; phase < kPhases; ++phase) {
    for (unsigned i = 0; i < count; ++i) {
      const Joined& joined = gJoined[i];
      void (*handler)() = child ? joined.handlers.child : joined.handlers.parent;
      if (joined.ready.load(std::memory_order_acquire) &&
          static_cast<unsigned>(joined.phase) == phase && handler != nullptr) {
        handler();
      }
    }
  }
}

void runParent() { runAfter(false); }
void runChild() { runAfter(true); }

// Once, before any static initialiser of the program: pthread_atfork runs
// the child handlers of the first registration first.
bool registerOnce() {
  static const bool registered = pthread_atfork(runPrepare, runParent, runChild) == 0;
  return registered;
}

__attribute__((constructor(101))) void registeredAtStart() { (void)registerOnce(); }

}  // namespace

bool fork_join(ForkPhase phase, const ForkHandlers& handlers) noexcept {
  if (!registerOnce()) return false;
  const unsigned slot = gClaimed.fetch_add(1, std::memory_order_acq_rel);
  if (slot >= kForkHandlerCapacity) return false;
  gJoined[slot].phase = phase;
  gJoined[slot].handlers = handlers;
  gJoined[slot].ready.store(true, std::memory_order_release);
  return true;
}

void fork_join_or_stop(ForkPhase phase, const ForkHandlers& handlers, const char* file,
                       int line) noexcept {
  if (fork_join(phase, handlers)) return;
  if (!registerOnce()) {
    fatalError("the C library had no memory for the fork registration", file, line);
  }
  fatalError("the fork registration's table is full: raise kForkHandlerCapacity", file, line);
}

}  // namespace base
