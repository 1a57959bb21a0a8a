#include "foundation/UTF16.h"

#include <cstdint>

namespace foundation {
namespace {

// Length in bytes of the well-formed UTF-8 sequence at `pos` and its code
// point, or 0 when the bytes there are not a valid sequence.
size_t decodeOne(std::string_view s, size_t pos, uint32_t& codePoint) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[pos + k]); };
  const uint8_t b0 = byte(0);
  size_t length = 0;
  uint32_t cp = 0;
  if (b0 < 0x80) {
    codePoint = b0;
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (pos + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const uint8_t b = byte(k);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  codePoint = cp;
  return length;
}

}  // namespace

size_t utf16Length(std::string_view utf8) {
  size_t units = 0;
  size_t pos = 0;
  while (pos < utf8.size()) {
    uint32_t cp = 0;
    size_t n = decodeOne(utf8, pos, cp);
    if (n == 0) {
      ++units;
      ++pos;
      continue;
    }
    units += cp >= 0x10000 ? 2 : 1;
    pos += n;
  }
  return units;
}

std::string utf16Prefix(std::string_view utf8, size_t maxUnits) {
  size_t units = 0;
  size_t pos = 0;
  while (pos < utf8.size()) {
    uint32_t cp = 0;
    size_t n = decodeOne(utf8, pos, cp);
    size_t need = 1;
    if (n == 0) {
      n = 1;
    } else if (cp >= 0x10000) {
      need = 2;
    }
    if (units + need > maxUnits) break;
    units += need;
    pos += n;
  }
  return std::string(utf8.substr(0, pos));
}

bool isValidUTF8(std::string_view bytes) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    uint32_t cp = 0;
    size_t n = decodeOne(bytes, pos, cp);
    if (n == 0) return false;
    pos += n;
  }
  return true;
}

}  // namespace foundation
