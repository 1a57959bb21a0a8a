#include "Fatal.h"

#include <cstdio>
#include <cstdlib>

namespace async::detail {

void fatalError(const std::string& message, const char* file, int line) noexcept {
  std::fprintf(stderr, "%s:%d: Fatal error: %s\n", file, line, message.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace async::detail
