#include "async/Continuation.h"

#include <string>

#include "Fatal.h"

namespace async::detail {

void resumedTwice(const char* function) noexcept {
  fatalError(std::string(function) + " tried to resume its continuation more than once");
}

}  // namespace async::detail
