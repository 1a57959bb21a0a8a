#include "RvStreams/Base.h"

#include <cstdio>
#include <cstdlib>

namespace rv {

void fatalError(const std::string& message, const char* file, int line) noexcept {
  std::fprintf(stderr, "Fatal error: %s: file %s, line %d\n", message.c_str(), file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace rv
