// Feeds arbitrary bytes to the JSON reader. It answers a value or an error,
// never crashes; fragments are accepted exactly when asked for; a value read
// is written back and read again unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/JSONSerialization.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using foundation::JSONSerialization;
  foundation::Data bytes(data, data + size);
  std::shared_ptr<foundation::NSError> error;
  auto value =
      JSONSerialization::JSONObjectWithData(bytes, foundation::JSONReadingFragmentsAllowed, &error);
  if (!value) {
    if (!error || error->code() != foundation::NSPropertyListReadCorruptError) __builtin_trap();
    return 0;
  }
  auto strict =
      JSONSerialization::JSONObjectWithData(bytes, foundation::JSONReadingOptions{0}, nullptr);
  if (strict.has_value() != (value->is_array() || value->is_object())) __builtin_trap();

  std::string text = value->dump();
  auto again = JSONSerialization::JSONObjectWithData(
      foundation::Data(text.begin(), text.end()), foundation::JSONReadingFragmentsAllowed, nullptr);
  if (!again || *again != *value) __builtin_trap();
  return 0;
}
