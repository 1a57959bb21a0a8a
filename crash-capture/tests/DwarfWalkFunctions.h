#pragma once

namespace rocrash::testing {

using WalkProbe = void (*)(void* context);

// walk_outer calls walk_middle calls walk_leaf calls probe(context).
void walk_outer(WalkProbe probe, void* context);
void walk_middle(WalkProbe probe, void* context);
void walk_leaf(WalkProbe probe, void* context);
// Raises `signal` in the calling thread.
void walk_raise(int signal);

}  // namespace rocrash::testing
