// Feeds an image laid in memory to the class-metadata walker: every class,
// metaclass and category method list it can reach, the names of each method
// as the report writer reads them, and the symbol lookup that combines the
// metadata with the symbol table.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "InputMemory.h"
#include "images/AsyncObjCSection.h"

namespace {

struct Visit {
  size_t methods = 0;
  size_t bytes = 0;
};

void readName(rocrash_async_macho_string* string, Visit* visit) {
  const char* text = nullptr;
  rocrash_vm_size_t length = 0;
  if (rocrash_async_macho_string_get_pointer(string, &text) != ROCRASH_ERR_NONE ||
      rocrash_async_macho_string_get_length(string, &length) != ROCRASH_ERR_NONE) {
    return;
  }
  if (text[length] != '\0') __builtin_trap();
  visit->bytes += length;
}

void method(bool, rocrash_async_macho_string* className, rocrash_async_macho_string* methodName,
            rocrash_vm_address_t, void* ctx) {
  auto* visit = static_cast<Visit*>(ctx);
  // A damaged image can list very many methods; names of the first ones do.
  if (++visit->methods > 512) return;
  readName(className, visit);
  readName(methodName, visit);
}

void symbol(rocrash_vm_address_t, const char* name, void* ctx) {
  size_t length = 0;
  while (name[length] != '\0') ++length;
  static_cast<Visit*>(ctx)->bytes += length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint64_t header = fuzzing::InputMemory::shared().lay(data, size);
  rocrash_async_macho image;
  if (rocrash_async_macho_init(&image, sys::mach_task_self(), "", header) != ROCRASH_ERR_NONE) {
    return 0;
  }
  Visit visit;
  rocrash_async_class_cache cache;
  rocrash_async_class_cache_init(&cache);
  (void)rocrash_async_class_metadata_parse(&image, &cache, method, &visit);
  // A second walk with the same cache uses the cached class data.
  (void)rocrash_async_class_metadata_parse(&image, &cache, method, &visit);
  const uint64_t text = image.text_size;
  for (uint64_t offset : {text / 4, text / 2, text > 0 ? text - 1 : 0}) {
    (void)rocrash_async_find_symbol(
        &image, ROCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE | ROCRASH_ASYNC_SYMBOL_STRATEGY_OBJC,
        &cache, header + offset, symbol, &visit);
  }
  rocrash_async_class_cache_free(&cache);
  rocrash_async_macho_free(&image);
  return 0;
}
