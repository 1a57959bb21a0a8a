#include "async/AsyncStream.h"

#include "Fatal.h"

namespace async::detail {

void secondConsumer() noexcept { fatalError("attempt to await next() on more than one task"); }

}  // namespace async::detail
