#pragma once

// The process's one fork registration, which the parts of the tree join.
//
// Around a fork, each part puts its own state right: it takes its locks
// before the fork, so that the child never finds one held by a thread it
// does not have, and lets go of them after it, in the parent and in the
// child; a child also learns that it is a new process and drops what its
// parent's threads held. pthread_atfork runs handlers by the order they were
// registered in, which static initialisers and first uses decide; here the
// order is the tree's. A part joins at its phase: before the fork the
// prepare handlers run from the last phase to the first (a part takes its
// locks before those of the parts below it, as it does while it holds its
// own), after it the parent's or the child's from the first phase to the
// last. Within a phase, handlers run in the order they joined (prepare
// handlers in the reverse order).
//
// Only a child of the C library's `fork` (or of another call that runs the
// fork handlers) runs them. Of the three kinds of child, see
// docs/ARCHITECTURE.md ("Three kinds of child"): a child made by the raw
// system call or by `clone` runs none, and tells that it is a new process
// from its token (base/ProcessToken.h); a child in its parent's memory
// (`vfork`, `clone` with CLONE_VM) runs none and is no new process there.
namespace base {

enum class ForkPhase : unsigned {
  // The process token: every later phase may ask for the child's.
  processToken,
  // platform/system: the image registry, the descriptor tables, the handler
  // stacks.
  system,
  // platform/concurrency: the fence threads' list, then the hazard slots'
  // locks, which a fork takes first, in the order the handover does.
  fenceThreads,
  hazards,
  // crash-capture: the annotations' readers.
  crashEngine,
  // The telemetry client: its lock files and shared contexts.
  telemetry,
};

struct ForkHandlers {
  void (*prepare)() = nullptr;  // before the fork, in the forking thread
  void (*parent)() = nullptr;   // after it, in the parent
  void (*child)() = nullptr;    // after it, in the child
};

// Joins the registration at `phase`. Thread-safe, and may be called from a
// static initialiser (the registration is made then, before any other of
// the program's, so that its child handlers run first in a child). False,
// and the handlers never run, in two cases only: the table is full
// (kForkHandlerCapacity joined before), or the C library had no memory for
// the registration itself as the process started (then every join fails).
inline constexpr unsigned kForkHandlerCapacity = 32;
[[nodiscard]] bool fork_join(ForkPhase phase, const ForkHandlers& handlers) noexcept;

// How a part of the tree joins, once (from a function that runs at load, or
// from the initialiser of what its handlers guard): as fork_join, but a
// failed join stops the process (base/FatalError.h) at the caller's file and
// line, saying which of the two failures it was. Without its handlers a
// forked child could find the part's lock held by a thread the child does
// not have, or take its parent's state for its own. Neither failure comes
// from what the program does: only the tree's parts join, fewer than the
// table holds, and the registration is made as the process starts.
void fork_join_or_stop(ForkPhase phase, const ForkHandlers& handlers,
                       const char* file = __builtin_FILE(), int line = __builtin_LINE()) noexcept;

}  // namespace base
