#pragma once

// The async/await runtime in one include.

#include "async/AsyncSequence.h"
#include "async/AsyncStream.h"
#include "async/CancellationError.h"
#include "async/CancellationHandler.h"
#include "async/Continuation.h"
#include "async/Executor.h"
#include "async/Spawn.h"
#include "async/Task.h"
#include "async/TaskState.h"
