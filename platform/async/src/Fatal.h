#pragma once

#include <string>

namespace async::detail {

// Writes "<file>:<line>: Fatal error: <message>" to standard error and aborts.
[[noreturn]] void fatalError(const std::string& message, const char* file = __builtin_FILE(),
                             int line = __builtin_LINE()) noexcept;

}  // namespace async::detail
