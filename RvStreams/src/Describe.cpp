#include "RvStreams/Describe.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

#include "RvStreams/RvError.h"

namespace rv {

std::string describe(const Error& error) {
  if (!error) return "nil";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

namespace detail {

std::string typeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

}  // namespace detail
}  // namespace rv
