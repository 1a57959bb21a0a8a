#pragma once

// The hooks the tests steer dispatch with; built only with the tests.

#include "dispatch/DispatchSource.h"

namespace dispatch {

// Delivers `event` to every resumed memory-pressure source whose mask has it,
// as if the system had entered that level. Any thread.
void simulateMemoryPressure(MemoryPressureEvent event);

}  // namespace dispatch
