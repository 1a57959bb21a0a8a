#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace foundation {

// Lengths and cuts of UTF-8 text measured in UTF-16 code units, the unit in
// which the system counts string lengths. A character outside the Basic
// Multilingual Plane counts two units; a byte that is not part of valid UTF-8
// counts one unit.
size_t utf16Length(std::string_view utf8);

// The longest prefix of `utf8` that holds at most `maxUnits` UTF-16 code
// units. A character whose surrogate pair would be split by the cut is left
// out entirely, so the result is one unit shorter in that case and always
// stays valid UTF-8 when the input was.
std::string utf16Prefix(std::string_view utf8, size_t maxUnits);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, no
// code points above U+10FFFF).
bool isValidUTF8(std::string_view bytes);

}  // namespace foundation
