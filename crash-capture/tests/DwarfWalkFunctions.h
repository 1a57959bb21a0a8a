#pragma once

namespace rocrash::testing {

using WalkProbe = void (*)(void* context);

// walk_outer calls walk_middle calls walk_leaf calls probe(context).
void walk_outer(WalkProbe probe, void* context);
void walk_middle(WalkProbe probe, void* context);
void walk_leaf(WalkProbe probe, void* context);
// Calls itself `depth` times, then probe(context). Each call passes two
// arguments on the stack and each frame has a cleanup to run, so g++ writes
// arguments-size notes around the calls.
void walk_args(int depth, WalkProbe probe, void* context, long a, long b, long c, long d, long e,
               long f);
// Raises `signal` in the calling thread.
void walk_raise(int signal);

}  // namespace rocrash::testing
