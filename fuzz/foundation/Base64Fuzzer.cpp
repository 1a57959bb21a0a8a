// Feeds arbitrary bytes to the Base64 decoder and encoder: text that decodes
// is the encoding of what it decodes to (padding aside), and any bytes
// encode to text that decodes back to them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "foundation/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto decoded = foundation::base64Decode(text)) {
    auto unpadded = [](std::string_view s) {
      while (!s.empty() && s.back() == '=') s.remove_suffix(1);
      return s;
    };
    std::string encoded = foundation::base64Encode(*decoded);
    if (unpadded(encoded) != unpadded(text)) __builtin_trap();
  }
  auto back = foundation::base64Decode(foundation::base64Encode(data, size));
  if (!back || back->size() != size || !std::equal(back->begin(), back->end(), data)) {
    __builtin_trap();
  }
  return 0;
}
