#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sys::testing {

// The 16-byte GNU build id of the file at `path`, found by its note's byte
// pattern; empty when the file has none.
std::vector<uint8_t> buildIdOfFile(const std::string& path);

}  // namespace sys::testing
