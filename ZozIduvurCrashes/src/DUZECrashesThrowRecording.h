#pragma once

#include <typeinfo>

// Between the program's throw entry point and the uncaught-exception handler
// manager: which throws are recorded, and where they go on.
namespace duzecrashes {

using NextCxaThrow = void (*)(void*, std::type_info*, void (*)(void*));

// The C++ runtime's own throw entry point, past this program's (resolved
// once); null when there is none.
NextCxaThrow resolveNextCxaThrow();
// Whether a throw of `type` is recorded now: while the terminate handler is
// installed, for every type but the object runtime's exceptions.
bool shouldRecordThrow(const std::type_info* type);
// Keeps the thrown object and the throwing thread's return addresses
// (innermost first, the throw entry point's own first) as this thread's
// latest throw.
void recordThrow(void* thrownObject, void* const* frames, int count);
// Defined beside the throw entry point: referring to it links the entry
// point into every program that uses the manager (a definition of the same
// name in a library seen earlier, such as a sanitizer runtime, would
// otherwise keep it out).
void linkThrowInterposer();

}  // namespace duzecrashes
