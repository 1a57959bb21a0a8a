#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "foundation/NSError.h"
#include "foundation/Value.h"

// Text forms the crash service prints: the property-list style that
// dictionaries and arrays give as their description, and the current
// thread's call-stack symbols.
namespace duzecrashes {

// "{\n    key = value;\n}" for objects, "(\n    a,\n    b\n)" for arrays;
// strings are quoted when they hold anything but letters, digits and "_$./".
std::string describe(const nlohmann::ordered_json& value);
// A value of a keyed archive or of a plain dictionary, in the same style.
// Objects that serialise themselves are printed as their dictionary.
std::string describe(const foundation::Value& value);
// An array of strings (call-stack symbols) in the same style.
std::string describe(const std::vector<std::string>& lines);
// An error's user-info dictionary in the same style.
std::string describe(const foundation::NSError::UserInfo& userInfo);

// One line per frame of the calling thread, outermost last, the first
// `skip` frames (this function's own included) left out:
// "<index>   <image name padded to 35> 0x<address, 16 digits> <symbol> + <offset>".
std::vector<std::string> callStackSymbols(int skip = 1);
// The same line for one return address (index `index`).
std::string callStackSymbol(int index, uintptr_t address);

}  // namespace duzecrashes
