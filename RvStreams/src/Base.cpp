#include "RvStreams/Base.h"

#include "base/FatalError.h"

namespace rv {

void fatalError(const std::string& message, const char* file, int line) noexcept {
  base::fatalError(message, file, line);
}

}  // namespace rv
