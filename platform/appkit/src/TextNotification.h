#pragma once

#include <string_view>

#include "objc/Runtime.h"

namespace appkit::detail {

// Tells about an edit of the user: sends `delegateSelector` with a
// notification named `name` about `sender` to `delegate` when it responds to
// it at this moment, then posts that notification to the default centre.
void notifyTextChange(objc::id sender, objc::id delegate, objc::SEL delegateSelector,
                      std::string_view name);

}  // namespace appkit::detail
