#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// A universally unique identifier. `NSUUID()` makes a random (version 4) one.
class NSUUID {
 public:
  using Bytes = std::array<uint8_t, 16>;

  NSUUID();
  explicit NSUUID(const Bytes& bytes) : bytes_(bytes) {}

  // Parses the 36-character form (8-4-4-4-12 hexadecimal digits, either case);
  // anything else gives std::nullopt.
  static std::optional<NSUUID> fromString(std::string_view text);

  // The 36-character form with upper-case hexadecimal digits.
  std::string UUIDString() const;
  std::string description() const { return UUIDString(); }
  const Bytes& bytes() const { return bytes_; }

  friend bool operator==(const NSUUID&, const NSUUID&) = default;

 private:
  Bytes bytes_{};
};

// Fills `size` bytes from the kernel's random source.
void randomBytes(uint8_t* out, size_t size);

}  // namespace foundation
