#pragma once

// The shared vocabulary of the reactive library: references, errors, the
// valueless and empty types, and the fatal stop.

#include <exception>
#include <memory>
#include <string>

namespace rv {

template <class T>
using Ref = std::shared_ptr<T>;
template <class T>
using Weak = std::weak_ptr<T>;

// Errors travel as exception pointers; a callable handed to an operator fails
// by throwing, and the operator forwards std::current_exception().
using Error = std::exception_ptr;

// The element type of sequences that can never carry an element.
struct Never {
  Never() = delete;
};

// The empty element, for sequences whose elements carry no data.
struct Unit {
  bool operator==(const Unit&) const = default;
};

// Stops the process for broken invariants and misuse: hands the message and
// the calling file and line to base::fatalError.
[[noreturn]] void fatalError(const std::string& message, const char* file = __builtin_FILE(),
                             int line = __builtin_LINE()) noexcept;

}  // namespace rv
