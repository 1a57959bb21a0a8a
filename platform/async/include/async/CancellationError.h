#pragma once

#include <exception>

namespace async {

// Thrown by work that stopped because its task was cancelled.
class CancellationError : public std::exception {
 public:
  CancellationError() noexcept = default;
  const char* what() const noexcept override { return "CancellationError()"; }
};

}  // namespace async
