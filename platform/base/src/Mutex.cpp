#include "base/Mutex.h"

#include "base/FatalError.h"

namespace base::detail {

void lockNotHeld(const char* file, int line) noexcept {
  fatalError("assertHeld: the calling thread does not hold the lock", file, line);
}

}  // namespace base::detail
