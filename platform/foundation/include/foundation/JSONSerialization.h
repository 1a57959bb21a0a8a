#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "foundation/Data.h"
#include "foundation/NSError.h"

namespace foundation {

// How JSON text is read. Values read here are plain C++ values, so the two
// mutability options change nothing; they are accepted for callers that pass
// them along.
enum JSONReadingOptions : uint64_t {
  JSONReadingMutableContainers = 1u << 0,
  JSONReadingMutableLeaves = 1u << 1,
  // A top-level value that is neither an array nor an object is accepted.
  JSONReadingFragmentsAllowed = 1u << 2,
};

// The code of the errors of `JSONObjectWithData` (in NSCocoaErrorDomain).
inline constexpr int64_t NSPropertyListReadCorruptError = 3840;

// Reads JSON text.
class JSONSerialization {
 public:
  // The value `data` holds as UTF-8 JSON text. Without
  // JSONReadingFragmentsAllowed the top-level value must be an array or an
  // object. On malformed text (invalid UTF-8 included), an empty input, or a
  // refused fragment: nothing, and `*error` (when asked for) is set to an
  // error of NSCocoaErrorDomain with code 3840. Any thread.
  static std::optional<nlohmann::json> JSONObjectWithData(const Data& data,
                                                          JSONReadingOptions options,
                                                          std::shared_ptr<NSError>* error);

  JSONSerialization() = delete;
};

}  // namespace foundation
