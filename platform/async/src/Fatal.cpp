#include "Fatal.h"

#include "dispatch/FatalError.h"

namespace async::detail {

void fatalError(const std::string& message, const char* file, int line) noexcept {
  dispatch::fatalError(message, file, line);
}

}  // namespace async::detail
