#include "foundation/Base64.h"

#include <array>

namespace foundation {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> makeReverse() {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}
constexpr auto kReverse = makeReverse();

}  // namespace

std::string base64Encode(const uint8_t* bytes, size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    uint32_t v = (uint32_t(bytes[i]) << 16) | (uint32_t(bytes[i + 1]) << 8) | bytes[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (size - i == 1) {
    uint32_t v = uint32_t(bytes[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (size - i == 2) {
    uint32_t v = (uint32_t(bytes[i]) << 16) | (uint32_t(bytes[i + 1]) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::optional<Data> base64Decode(std::string_view text) {
  size_t end = text.size();
  size_t padding = 0;
  while (end > 0 && text[end - 1] == '=' && padding < 2) {
    --end;
    ++padding;
  }
  if (padding > 0 && text.size() % 4 != 0) return std::nullopt;
  const size_t rest = end % 4;
  if (rest == 1) return std::nullopt;
  Data out;
  out.reserve(end / 4 * 3 + 2);
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < end; ++i) {
    int8_t v = kReverse[static_cast<uint8_t>(text[i])];
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>((acc >> bits) & 0xFF));
    }
  }
  // The bits left over must be zero, as every encoder writes them.
  if (bits > 0 && (acc & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

}  // namespace foundation
