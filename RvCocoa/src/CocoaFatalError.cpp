#include "RvCocoa/CocoaFatalError.h"

#include "RvStreams/Base.h"

namespace rv {

void cocoaFatalError(const std::string& message) noexcept {
  // One location for every stop of this component.
  fatalError(message, "RvCocoa/RvCocoa", __LINE__);
}

}  // namespace rv
