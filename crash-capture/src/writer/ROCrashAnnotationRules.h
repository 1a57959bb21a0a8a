#pragma once

#include <cstddef>
#include <string_view>

// What an annotation's name and value may be: the table holds to it as they
// are set, and a report's reader as it reads them back, so that a report
// damaged after it was written says no more than one written without the
// damaged text. A node of its own beside the writer, for the reader.
namespace rocrash::annotations {

// Bytes of a name (at least one) and of a value, at most.
inline constexpr size_t kMaxNameBytes = 64;
inline constexpr size_t kMaxValueBytes = 4096;

// 1 to kMaxNameBytes bytes of valid UTF-8 without a zero byte.
bool isName(std::string_view name);
// At most kMaxValueBytes bytes of valid UTF-8 without a zero byte.
bool isValue(std::string_view value);

}  // namespace rocrash::annotations
