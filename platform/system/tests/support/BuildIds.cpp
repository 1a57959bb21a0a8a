#include "systemTest/BuildIds.h"

#include <fstream>
#include <iterator>

namespace sys::testing {

std::vector<uint8_t> buildIdOfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  static const char kNote[] = "\x04\0\0\0\x14\0\0\0\x03\0\0\0GNU\0";
  const size_t at = bytes.find(std::string(kNote, 16));
  if (at == std::string::npos || bytes.size() - at < 32) return {};
  return std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at) + 16,
                              bytes.begin() + static_cast<std::ptrdiff_t>(at) + 32);
}

}  // namespace sys::testing
