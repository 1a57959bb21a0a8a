#pragma once

// Consuming an async stream to its end in a test, to compare what the
// consumer saw with one list.

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "async/CancellationError.h"
#include "async/Task.h"

namespace async::test {

// What a consumer of `stream` (of int) saw: each element as text, then "end",
// "cancellation error" when the iteration threw CancellationError, or
// "error <what()>" for any other error.
template <class Stream>
Task<std::vector<std::string>> drain(Stream stream) {
  std::vector<std::string> seen;
  auto it = stream.makeAsyncIterator();
  try {
    while (std::optional<int> element = co_await it.next())
      seen.push_back(std::to_string(*element));
    seen.push_back("end");
  } catch (const CancellationError&) {
    seen.push_back("cancellation error");
  } catch (const std::exception& error) {
    seen.push_back(std::string("error ") + error.what());
  }
  co_return seen;
}

}  // namespace async::test
