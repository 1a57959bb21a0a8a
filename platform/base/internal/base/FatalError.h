#pragma once

#include <string_view>

namespace base {

// The one stop of the whole tree for a broken invariant or a caller's misuse:
// writes "Fatal error: <message>: file <file>, line <line>" to standard error
// and aborts. Every component's own stop ends here, passing its caller's
// location. It allocates nothing and writes with write(2) only, so a crash
// path may call it from a signal handler.
[[noreturn]] void fatalError(std::string_view message, const char* file = __builtin_FILE(),
                             int line = __builtin_LINE()) noexcept;

}  // namespace base
