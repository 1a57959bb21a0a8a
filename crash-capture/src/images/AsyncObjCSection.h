#pragma once

#include <cstddef>
#include <cstdint>

#include "AsyncMachO.h"

// Names code addresses from an image's object-runtime class metadata (which
// survives stripping) and combines that with the symbol table. Crash-time
// code: one cache per report write, on the writer's stack, reused for every
// frame; the only allocation is one page-allocated class table.

// Symbolication strategy bits.
inline constexpr uint32_t ROCRASH_ASYNC_SYMBOL_STRATEGY_NONE = 0;
inline constexpr uint32_t ROCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE = 1u << 0;
inline constexpr uint32_t ROCRASH_ASYNC_SYMBOL_STRATEGY_OBJC = 1u << 1;

enum rocrash_async_class_cache_section {
  ROCRASH_OBJC_CONST = 0,
  ROCRASH_OBJC_CONST_AX,
  ROCRASH_OBJC_METHLIST,
  ROCRASH_OBJC_SELREFS,
  ROCRASH_OBJC_CLASSLIST,
  ROCRASH_OBJC_CATLIST,
  ROCRASH_OBJC_DATA,
  ROCRASH_DATA,
  ROCRASH_OBJC_SECTION_COUNT,
};

struct rocrash_async_class_cache {
  bool gotObjC2Info;               // an image was read as new-runtime metadata
  rocrash_async_macho* lastImage;  // whose sections are mapped now
  bool mapped[ROCRASH_OBJC_SECTION_COUNT];
  rocrash_async_mobject sections[ROCRASH_OBJC_SECTION_COUNT];
  // Class data pointer -> task address of its read-only data; 1024 slots once
  // allocated, else 0. Keys and values share one page-allocated block.
  size_t classCacheSize;
  uint64_t* classCacheKeys;
  uint64_t* classCacheValues;
};

void rocrash_async_class_cache_init(rocrash_async_class_cache* cache) noexcept;
void rocrash_async_class_cache_free(rocrash_async_class_cache* cache) noexcept;

using rocrash_async_class_method_cb = void (*)(bool isClassMethod,
                                               rocrash_async_macho_string* className,
                                               rocrash_async_macho_string* methodName,
                                               rocrash_vm_address_t imp, void* ctx);

// Reports every method of the image's classes and categories.
// ROCRASH_ERR_ACCESS without a cache; ROCRASH_ERR_INVALID_DATA for metadata
// that cannot be read; ROCRASH_ERR_NOTFOUND when the image has no such
// metadata; other errors of the mapping layer.
rocrash_error_t rocrash_async_class_metadata_parse(rocrash_async_macho* image,
                                                   rocrash_async_class_cache* cache,
                                                   rocrash_async_class_method_cb callback,
                                                   void* ctx) noexcept;

// Calls `callback` once, for the method with the highest implementation
// address at or below `pc`; ROCRASH_ERR_NOTFOUND when there is none.
rocrash_error_t rocrash_async_class_find_method(rocrash_async_macho* image,
                                                rocrash_async_class_cache* cache,
                                                rocrash_vm_address_t pc,
                                                rocrash_async_class_method_cb callback,
                                                void* ctx) noexcept;

// Room for a found symbol's name with its terminating zero; longer names are
// cut to fit.
inline constexpr size_t ROCRASH_ASYNC_SYMBOL_NAME_SIZE = 256;

using rocrash_async_found_symbol_cb = void (*)(rocrash_vm_address_t address, const char* name,
                                               void* ctx);

// Names `pc` from the sources `strategy` asks for and calls `callback` once
// with the start address and name of the closest one (on equal addresses the
// class-metadata name, "-[Class selector]" or "+[Class selector]", wins).
// ROCRASH_ERR_NOTFOUND when every requested source failed.
rocrash_error_t rocrash_async_find_symbol(rocrash_async_macho* image, uint32_t strategy,
                                          rocrash_async_class_cache* cache, rocrash_vm_address_t pc,
                                          rocrash_async_found_symbol_cb callback,
                                          void* ctx) noexcept;
