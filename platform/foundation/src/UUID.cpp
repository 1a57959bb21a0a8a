#include "foundation/UUID.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>

#include "base/FatalError.h"

namespace foundation {

void randomBytes(uint8_t* out, size_t size) {
  size_t filled = 0;
  while (filled < size) {
    ssize_t n = getrandom(out + filled, size - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Without randomness no identifier or key can be trusted.
      base::fatalError("the kernel's random source failed");
    }
    filled += static_cast<size_t>(n);
  }
}

NSUUID::NSUUID() {
  randomBytes(bytes_.data(), bytes_.size());
  bytes_[6] = static_cast<uint8_t>((bytes_[6] & 0x0F) | 0x40);
  bytes_[8] = static_cast<uint8_t>((bytes_[8] & 0x3F) | 0x80);
}

std::optional<NSUUID> NSUUID::fromString(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Bytes bytes{};
  size_t b = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int hi = nibble(text[i]);
    int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[b++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  return NSUUID(bytes);
}

std::string NSUUID::UUIDString() const {
  char out[37];
  std::snprintf(
      out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
      bytes_[0], bytes_[1], bytes_[2], bytes_[3], bytes_[4], bytes_[5], bytes_[6], bytes_[7],
      bytes_[8], bytes_[9], bytes_[10], bytes_[11], bytes_[12], bytes_[13], bytes_[14], bytes_[15]);
  return std::string(out, 36);
}

}  // namespace foundation
