#pragma once

#include <string_view>

namespace objc {

// Writes one line to standard error: a timestamp, the process name with its
// process and thread identifiers, and the message (already formatted; use
// `stringWithFormat` for the Objective-C specifiers). Lines of concurrent
// callers never interleave.
void NSLog(std::string_view message);

}  // namespace objc
