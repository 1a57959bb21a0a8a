#pragma once

// The sanitizers' own interfaces, in a build that has them (KX_ASAN,
// KX_TSAN: base/BuildFacts.h). Whether the running program has one,
// whatever this tree was built with, and how the tree's stacks of its own
// are announced to them: base/StackSwitch.h.

#include <cstddef>

#include "base/BuildFacts.h"

#if KX_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if KX_TSAN
#include <sanitizer/tsan_interface.h>
#endif
