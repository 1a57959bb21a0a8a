#pragma once

// platform/async, the async/await runtime on C++20 coroutines, in one
// include: `Task<T>` (Task.h), run on an executor (Executor.h) and started
// with `spawn` (Spawn.h); cancellation (TaskState.h, CancellationHandler.h,
// CancellationError.h); checked continuations, the bridge from callback code
// (Continuation.h); and asynchronous sequences and streams (AsyncSequence.h,
// AsyncStream.h).

#include "async/AsyncSequence.h"
#include "async/AsyncStream.h"
#include "async/CancellationError.h"
#include "async/CancellationHandler.h"
#include "async/Continuation.h"
#include "async/Executor.h"
#include "async/Spawn.h"
#include "async/Task.h"
#include "async/TaskState.h"
