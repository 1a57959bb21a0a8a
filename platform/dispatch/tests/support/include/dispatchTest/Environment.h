#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dispatch::testing {

// Sets and clears environment variables for a scope: when it ends, each
// variable it touched holds again what it held before, or is unset again.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  void set(const std::string& name, const std::string& value);
  void unset(const std::string& name);

 private:
  void remember(const std::string& name);

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace dispatch::testing
