#include "RvStreams/Base.h"

#include "dispatch/FatalError.h"

namespace rv {

void fatalError(const std::string& message, const char* file, int line) noexcept {
  dispatch::fatalError(message, file, line);
}

}  // namespace rv
