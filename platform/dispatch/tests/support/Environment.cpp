#include "dispatchTest/Environment.h"

#include <cstdlib>

namespace dispatch::testing {

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

void ScopedEnvironment::set(const std::string& name, const std::string& value) {
  remember(name);
  setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnvironment::unset(const std::string& name) {
  remember(name);
  unsetenv(name.c_str());
}

void ScopedEnvironment::remember(const std::string& name) {
  for (const auto& entry : saved_) {
    if (entry.first == name) return;
  }
  const char* value = std::getenv(name.c_str());
  saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
}

}  // namespace dispatch::testing
