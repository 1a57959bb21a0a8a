#pragma once

#include <string>

namespace async::detail {

// The runtime's stop: hands the message and the caller's location to the
// one stop of the tree, base::fatalError.
[[noreturn]] void fatalError(const std::string& message, const char* file = __builtin_FILE(),
                             int line = __builtin_LINE()) noexcept;

}  // namespace async::detail
