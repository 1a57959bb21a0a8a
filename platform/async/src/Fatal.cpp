#include "Fatal.h"

#include "base/FatalError.h"

namespace async::detail {

void fatalError(const std::string& message, const char* file, int line) noexcept {
  base::fatalError(message, file, line);
}

}  // namespace async::detail
