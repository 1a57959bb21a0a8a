#pragma once

#include <string>

namespace rv {

// Stops the process for a broken precondition of the Cocoa layer: writes
// "Fatal error: <message>" to standard error and aborts. Every such stop of
// this component goes through this one function, so they all report the same
// source location, "RvCocoa/RvCocoa".
[[noreturn]] void cocoaFatalError(const std::string& message) noexcept;

}  // namespace rv
