#pragma once

// `describe(x)`: the text of elements, errors and events used by error reports
// and the debug operator. A type joins by providing `operator<<`; values
// without one are described by their type name.

#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "RvStreams/Base.h"

namespace rv {

// The description of an error: the fixed text of an RvError, `what()` of any
// other std::exception, "Unknown error" for everything else.
std::string describe(const Error& error);

namespace detail {
template <class T>
concept Streamable = requires(std::ostream& out, const T& value) {
  out << value;
};
std::string typeName(const std::type_info& type);
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
}  // namespace detail

template <class T>
std::string describe(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return value;
  } else if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_same_v<T, Unit>) {
    return "()";
  } else if constexpr (detail::IsOptional<T>::value) {
    return value ? "Optional(" + describe(*value) + ")" : "nil";
  } else if constexpr (detail::Streamable<T>) {
    std::ostringstream out;
    out << value;
    return out.str();
  } else {
    return detail::typeName(typeid(T));
  }
}

}  // namespace rv
