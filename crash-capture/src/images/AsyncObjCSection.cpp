#include "AsyncObjCSection.h"

#include <sys/mman.h>

#include <initializer_list>

namespace {

constexpr size_t kClassCacheSlots = 1024;
constexpr uint32_t kRealized = 1u << 31;
constexpr uint32_t kCopiedRO = 1u << 27;
constexpr uint64_t kDataMask64 = 0x7FFFFFFFFFF8ull;
constexpr uint64_t kIsaMask64 = 0xFFFFFFFF8ull;
constexpr uint32_t kMethodListEntrySizeMask = 0xFFFC;
constexpr uint32_t kMethodListRelative = 0x80000000u;
constexpr uint32_t kLegacySingleMethodList = 0x4000;
constexpr uint32_t kLegacyListEnd = 0xFFFFFFFFu;

const char* const kSectionNames[ROCRASH_OBJC_SECTION_COUNT] = {
    "__objc_const",     "__objc_const_ax", "__objc_methlist", "__objc_selrefs",
    "__objc_classlist", "__objc_catlist",  "__objc_data",     "__data"};

size_t wordSize(const rocrash_async_macho* image) { return image->m64 ? 8 : 4; }

// Reads a pointer-sized word from a local pointer that is known to be valid.
uint64_t word(const rocrash_async_macho* image, const void* p) {
  if (image->m64) {
    uint64_t v;
    rocrash_async_memcpy(&v, p, 8);
    return image->byteorder->swap64(v);
  }
  uint32_t v;
  rocrash_async_memcpy(&v, p, 4);
  return image->byteorder->swap32(v);
}

uint32_t word32(const rocrash_async_macho* image, const void* p) {
  uint32_t v;
  rocrash_async_memcpy(&v, p, 4);
  return image->byteorder->swap32(v);
}

// A pointer-sized read from the task.
rocrash_error_t taskWord(const rocrash_async_macho* image, uint64_t address, uint64_t* out) {
  uint8_t buffer[8];
  if (rocrash_async_task_read(image->task, address, 0, buffer, wordSize(image)) !=
      ROCRASH_ERR_NONE) {
    return ROCRASH_ERR_INVALID_DATA;
  }
  *out = word(image, buffer);
  return ROCRASH_ERR_NONE;
}

void unmapSections(rocrash_async_class_cache* cache) {
  for (int i = 0; i < ROCRASH_OBJC_SECTION_COUNT; ++i) {
    if (cache->mapped[i]) rocrash_async_mobject_free(&cache->sections[i]);
    cache->mapped[i] = false;
  }
  cache->lastImage = nullptr;
}

// A local pointer to `length` bytes at `address` inside a mapped section.
void* inSection(rocrash_async_class_cache* cache, int section, uint64_t address, uint64_t length) {
  if (!cache->mapped[section]) return nullptr;
  return rocrash_async_mobject_remap_address(&cache->sections[section], address, 0, length);
}

rocrash_error_t mapSection(rocrash_async_macho* image, rocrash_async_class_cache* cache,
                           const char* segment, int section) {
  rocrash_error_t err = rocrash_async_macho_map_section(image, segment, kSectionNames[section],
                                                        &cache->sections[section]);
  cache->mapped[section] = err == ROCRASH_ERR_NONE;
  return err;
}

// The data sections live in one of three segments, depending on the linker.
rocrash_error_t mapDataSection(rocrash_async_macho* image, rocrash_async_class_cache* cache,
                               int section) {
  rocrash_error_t err = ROCRASH_ERR_NOTFOUND;
  for (const char* segment : {"__DATA", "__DATA_CONST", "__DATA_DIRTY"}) {
    err = mapSection(image, cache, segment, section);
    if (err != ROCRASH_ERR_NOTFOUND) break;
  }
  return err;
}

rocrash_error_t mapSections(rocrash_async_macho* image, rocrash_async_class_cache* cache) {
  if (cache->lastImage == image) return ROCRASH_ERR_NONE;
  unmapSections(cache);
  rocrash_error_t err = ROCRASH_ERR_NONE;
  for (int section : {ROCRASH_OBJC_CONST, ROCRASH_OBJC_CLASSLIST, ROCRASH_OBJC_CATLIST}) {
    err = mapDataSection(image, cache, section);
    if (err != ROCRASH_ERR_NONE) break;
  }
  if (err == ROCRASH_ERR_NONE) err = mapSection(image, cache, "__DATA", ROCRASH_OBJC_DATA);
  if (err != ROCRASH_ERR_NONE) {
    unmapSections(cache);
    return err;
  }
  // These sections are optional: an image without them still has classes to
  // walk, and lookups in a section left unmapped find nothing.
  (void)mapSection(image, cache, "__DATA", ROCRASH_OBJC_CONST_AX);
  (void)mapSection(image, cache, "__TEXT", ROCRASH_OBJC_METHLIST);
  (void)mapSection(image, cache, "__DATA", ROCRASH_OBJC_SELREFS);
  (void)mapSection(image, cache, "__DATA", ROCRASH_DATA);
  cache->lastImage = image;
  return ROCRASH_ERR_NONE;
}

void cacheClass(rocrash_async_class_cache* cache, uint64_t dataPtr, uint64_t roPtr) {
  if (cache->classCacheSize == 0) {
    size_t bytes = kClassCacheSlots * sizeof(uint64_t) * 2;
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return;  // nothing is cached then
    cache->classCacheSize = kClassCacheSlots;
    cache->classCacheKeys = static_cast<uint64_t*>(block);
    cache->classCacheValues = cache->classCacheKeys + kClassCacheSlots;
  }
  size_t slot = (dataPtr / 4) % cache->classCacheSize;
  if (cache->classCacheKeys[slot] != 0) return;  // first come keeps the slot
  cache->classCacheKeys[slot] = dataPtr;
  cache->classCacheValues[slot] = roPtr;
}

// The read-only data of a class, as a copy in `ro` (72 or 40 bytes), and
// its name as a lazily mapped string.
rocrash_error_t readClassRO(rocrash_async_macho* image, rocrash_async_class_cache* cache,
                            const void* classRecord, uint8_t* ro,
                            rocrash_async_macho_string* name) {
  const size_t w = wordSize(image);
  const size_t roSize = image->m64 ? 72 : 40;
  uint64_t data = word(image, static_cast<const uint8_t*>(classRecord) + 4 * w);
  data &= image->m64 ? kDataMask64 : ~uint64_t{7};

  uint64_t roPtr = 0;
  bool cached = false;
  if (cache->classCacheSize != 0) {
    size_t slot = (data / 4) % cache->classCacheSize;
    if (cache->classCacheKeys[slot] == data) {
      roPtr = cache->classCacheValues[slot];
      cached = true;
    }
  }
  if (cached) {
    if (void* local = inSection(cache, ROCRASH_OBJC_CONST, roPtr, roSize)) {
      rocrash_async_memcpy(ro, local, roSize);
    } else if (rocrash_async_task_read(image->task, roPtr, 0, ro, roSize) != ROCRASH_ERR_NONE) {
      return ROCRASH_ERR_INVALID_DATA;
    }
  } else {
    uint8_t rw[16];
    if (rocrash_async_task_read(image->task, data, 0, rw, 8 + w) != ROCRASH_ERR_NONE) {
      return ROCRASH_ERR_INVALID_DATA;
    }
    uint32_t flags = word32(image, rw);
    roPtr = (flags & kRealized) ? word(image, rw + 8) : data;
    if (roPtr & 1) {
      // An extension record; its first word is the read-only pointer.
      if (taskWord(image, roPtr & ~uint64_t{1}, &roPtr) != ROCRASH_ERR_NONE) {
        return ROCRASH_ERR_INVALID_DATA;
      }
    }
    if (!(flags & kCopiedRO) && rocrash_async_macho_contains_address(image, roPtr)) {
      void* local = inSection(cache, ROCRASH_OBJC_CONST, roPtr, roSize);
      if (local == nullptr) return ROCRASH_ERR_INVALID_DATA;
      rocrash_async_memcpy(ro, local, roSize);
    } else if (rocrash_async_task_read(image->task, roPtr, 0, ro, roSize) != ROCRASH_ERR_NONE) {
      return ROCRASH_ERR_INVALID_DATA;
    }
    cacheClass(cache, data, roPtr);
  }
  uint64_t namePtr = word(image, ro + (image->m64 ? 24 : 16));
  return rocrash_async_macho_string_init(name, image, namePtr);
}

uint64_t roBaseMethods(const rocrash_async_macho* image, const uint8_t* ro) {
  return word(image, ro + (image->m64 ? 32 : 20));
}

rocrash_error_t parseMethodList(rocrash_async_macho* image, rocrash_async_class_cache* cache,
                                rocrash_async_macho_string* className, bool isClassMethod,
                                uint64_t listAddress, rocrash_async_class_method_cb callback,
                                void* ctx) {
  int section = -1;
  for (int candidate : {ROCRASH_OBJC_CONST, ROCRASH_OBJC_CONST_AX, ROCRASH_OBJC_METHLIST}) {
    if (inSection(cache, candidate, listAddress, 8) != nullptr) {
      section = candidate;
      break;
    }
  }
  if (section < 0) return ROCRASH_ERR_INVALID_DATA;
  const auto* header = static_cast<const uint8_t*>(inSection(cache, section, listAddress, 8));
  uint32_t entsizeAndFlags = word32(image, header);
  uint32_t count = word32(image, header + 4);
  uint64_t entsize = entsizeAndFlags & kMethodListEntrySizeMask;
  bool relative = (entsizeAndFlags & kMethodListRelative) != 0;
  if (count == 0) return ROCRASH_ERR_NONE;
  const size_t w = wordSize(image);
  uint64_t needed = relative ? 12 : 3 * w;
  if (entsize < needed) return ROCRASH_ERR_INVALID_DATA;
  const auto* entries =
      static_cast<const uint8_t*>(inSection(cache, section, listAddress + 8, count * entsize));
  if (entries == nullptr) return ROCRASH_ERR_INVALID_DATA;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = entries + i * entsize;
    uint64_t entryAddress = listAddress + 8 + i * entsize;
    uint64_t nameAddress;
    uint64_t imp;
    if (relative) {
      auto nameOffset = static_cast<int32_t>(word32(image, entry));
      auto impOffset = static_cast<int32_t>(word32(image, entry + 8));
      nameAddress = entryAddress + static_cast<uint64_t>(static_cast<int64_t>(nameOffset));
      imp = entryAddress + 8 + static_cast<uint64_t>(static_cast<int64_t>(impOffset));
    } else {
      nameAddress = word(image, entry);
      imp = word(image, entry + 2 * w);
    }
    if (const void* selref = inSection(cache, ROCRASH_OBJC_SELREFS, nameAddress, w)) {
      nameAddress = word(image, selref);
    }
    rocrash_async_macho_string methodName;
    // Setting up a string only records where it is; reading it may fail later.
    (void)rocrash_async_macho_string_init(&methodName, image, nameAddress);
    callback(isClassMethod, className, &methodName, imp, ctx);
    rocrash_async_macho_string_free(&methodName);
  }
  return ROCRASH_ERR_NONE;
}

// A class record (five words) from the image's class data sections.
const void* findClassRecord(const rocrash_async_macho* image, rocrash_async_class_cache* cache,
                            uint64_t address) {
  uint64_t size = 5 * wordSize(image);
  if (const void* p = inSection(cache, ROCRASH_OBJC_DATA, address, size)) return p;
  return inSection(cache, ROCRASH_DATA, address, size);
}

rocrash_error_t parseClassMethods(rocrash_async_macho* image, rocrash_async_class_cache* cache,
                                  const void* classRecord, bool isClassMethod,
                                  rocrash_async_class_method_cb callback, void* ctx) {
  uint8_t ro[72];
  rocrash_async_macho_string name;
  rocrash_error_t err = readClassRO(image, cache, classRecord, ro, &name);
  if (err != ROCRASH_ERR_NONE) return err;
  uint64_t methods = roBaseMethods(image, ro);
  if (methods != 0) {
    err = parseMethodList(image, cache, &name, isClassMethod, methods, callback, ctx);
  }
  rocrash_async_macho_string_free(&name);
  return err;
}

// The old runtime of 32-bit images: modules with symbol tables of classes.
rocrash_error_t legacyParseMethodLists(rocrash_async_macho* image,
                                       rocrash_async_macho_string* className, bool isClassMethod,
                                       uint32_t info, uint32_t methodLists,
                                       rocrash_async_class_method_cb callback, void* ctx) {
  auto parseList = [&](uint32_t list) -> rocrash_error_t {
    uint32_t header[2];
    if (rocrash_async_task_read(image->task, list, 0, header, sizeof header) != ROCRASH_ERR_NONE) {
      return ROCRASH_ERR_INVALID_DATA;
    }
    uint32_t count = image->byteorder->swap32(header[1]);
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t method[3];
      if (rocrash_async_task_read(image->task, list + 8 + uint64_t{i} * 12, 0, method,
                                  sizeof method) != ROCRASH_ERR_NONE) {
        return ROCRASH_ERR_INVALID_DATA;
      }
      rocrash_async_macho_string methodName;
      // Setting up a string only records where it is; reading it may fail later.
      (void)rocrash_async_macho_string_init(&methodName, image,
                                            image->byteorder->swap32(method[0]));
      callback(isClassMethod, className, &methodName, image->byteorder->swap32(method[2]), ctx);
      rocrash_async_macho_string_free(&methodName);
    }
    return ROCRASH_ERR_NONE;
  };
  if (methodLists == 0) return ROCRASH_ERR_NONE;
  if (info & kLegacySingleMethodList) return parseList(methodLists);
  for (uint64_t at = methodLists;; at += 4) {
    uint32_t list;
    if (rocrash_async_task_read_uint32(image->task, image->byteorder, at, 0, &list) !=
        ROCRASH_ERR_NONE) {
      return ROCRASH_ERR_INVALID_DATA;
    }
    if (list == 0 || list == kLegacyListEnd) return ROCRASH_ERR_NONE;
    rocrash_error_t err = parseList(list);
    if (err != ROCRASH_ERR_NONE) return err;
  }
}

rocrash_error_t legacyParseClass(rocrash_async_macho* image, uint32_t classAddress,
                                 rocrash_async_macho_string* name, bool isClassMethod,
                                 uint32_t* isa, rocrash_async_class_method_cb callback, void* ctx) {
  uint32_t cls[10];
  if (rocrash_async_task_read(image->task, classAddress, 0, cls, sizeof cls) != ROCRASH_ERR_NONE) {
    return ROCRASH_ERR_INVALID_DATA;
  }
  auto field = [&](int i) { return image->byteorder->swap32(cls[i]); };
  *isa = field(0);
  // Setting up a string only records where it is; reading it may fail later.
  if (!isClassMethod) (void)rocrash_async_macho_string_init(name, image, field(2));
  return legacyParseMethodLists(image, name, isClassMethod, field(4), field(7), callback, ctx);
}

rocrash_error_t legacyParse(rocrash_async_macho* image, rocrash_async_class_method_cb callback,
                            void* ctx) {
  rocrash_async_mobject modules;
  rocrash_error_t err = rocrash_async_macho_map_section(image, "__OBJC", "__module_info", &modules);
  if (err != ROCRASH_ERR_NONE) return err;
  uint64_t count = modules.length / 16;
  for (uint64_t m = 0; m < count && err == ROCRASH_ERR_NONE; ++m) {
    uint32_t symtab;
    err = rocrash_async_mobject_read_uint32(&modules, image->byteorder, modules.task_address,
                                            static_cast<int64_t>(m * 16 + 12), &symtab);
    if (err != ROCRASH_ERR_NONE || symtab == 0) continue;
    uint16_t classCount;
    if (rocrash_async_task_read_uint16(image->task, image->byteorder, symtab, 8, &classCount) !=
        ROCRASH_ERR_NONE) {
      err = ROCRASH_ERR_INVALID_DATA;
      break;
    }
    for (uint16_t c = 0; c < classCount && err == ROCRASH_ERR_NONE; ++c) {
      uint32_t classAddress;
      if (rocrash_async_task_read_uint32(image->task, image->byteorder, symtab, 12 + int64_t{c} * 4,
                                         &classAddress) != ROCRASH_ERR_NONE) {
        err = ROCRASH_ERR_INVALID_DATA;
        break;
      }
      rocrash_async_macho_string name;
      uint32_t isa = 0;
      err = legacyParseClass(image, classAddress, &name, false, &isa, callback, ctx);
      if (err == ROCRASH_ERR_NONE) {
        uint32_t metaIsa;
        err = legacyParseClass(image, isa, &name, true, &metaIsa, callback, ctx);
      }
      rocrash_async_macho_string_free(&name);
    }
  }
  rocrash_async_mobject_free(&modules);
  return err;
}

rocrash_error_t parseNewRuntime(rocrash_async_macho* image, rocrash_async_class_cache* cache,
                                rocrash_async_class_method_cb callback, void* ctx) {
  rocrash_error_t err = mapSections(image, cache);
  if (err != ROCRASH_ERR_NONE) return err;
  const size_t w = wordSize(image);

  const rocrash_async_mobject& classlist = cache->sections[ROCRASH_OBJC_CLASSLIST];
  for (uint64_t i = 0; i < classlist.length / w; ++i) {
    const void* entry = rocrash_async_mobject_remap_address(&classlist, classlist.task_address,
                                                            static_cast<int64_t>(i * w), w);
    if (entry == nullptr) return ROCRASH_ERR_INVALID_DATA;
    const void* cls = findClassRecord(image, cache, word(image, entry));
    if (cls == nullptr) return ROCRASH_ERR_INVALID_DATA;
    err = parseClassMethods(image, cache, cls, false, callback, ctx);
    if (err == ROCRASH_ERR_NOTFOUND) continue;
    if (err != ROCRASH_ERR_NONE) return err;
    uint64_t isa = word(image, cls);
    if (image->m64) {
      if (isa & 1) isa &= kIsaMask64;
    } else {
      isa &= ~uint64_t{7};
    }
    const void* meta = findClassRecord(image, cache, isa);
    if (meta == nullptr) return ROCRASH_ERR_INVALID_DATA;
    err = parseClassMethods(image, cache, meta, true, callback, ctx);
    if (err != ROCRASH_ERR_NONE && err != ROCRASH_ERR_NOTFOUND) return err;
  }

  const rocrash_async_mobject& catlist = cache->sections[ROCRASH_OBJC_CATLIST];
  const uint64_t categorySize = 6 * w;
  for (uint64_t i = 0; i < catlist.length / w; ++i) {
    const void* entry = rocrash_async_mobject_remap_address(&catlist, catlist.task_address,
                                                            static_cast<int64_t>(i * w), w);
    if (entry == nullptr) return ROCRASH_ERR_INVALID_DATA;
    const auto* category = static_cast<const uint8_t*>(
        inSection(cache, ROCRASH_OBJC_CONST, word(image, entry), categorySize));
    if (category == nullptr) return ROCRASH_ERR_INVALID_DATA;
    uint64_t classAddress = word(image, category + w);
    uint8_t classCopy[40];
    const void* cls = inSection(cache, ROCRASH_OBJC_DATA, classAddress, 5 * w);
    if (cls == nullptr) {
      if (rocrash_async_task_read(image->task, classAddress, 0, classCopy, 5 * w) !=
          ROCRASH_ERR_NONE) {
        return ROCRASH_ERR_INVALID_DATA;
      }
      cls = classCopy;
    }
    uint8_t ro[72];
    rocrash_async_macho_string className;
    err = readClassRO(image, cache, cls, ro, &className);
    if (err == ROCRASH_ERR_NONE) {
      uint64_t instanceMethods = word(image, category + 2 * w);
      uint64_t classMethods = word(image, category + 3 * w);
      if (instanceMethods != 0) {
        err = parseMethodList(image, cache, &className, false, instanceMethods, callback, ctx);
      }
      if (err == ROCRASH_ERR_NONE && classMethods != 0) {
        err = parseMethodList(image, cache, &className, true, classMethods, callback, ctx);
      }
      rocrash_async_macho_string_free(&className);
    }
    if (err == ROCRASH_ERR_NOTFOUND) continue;
    if (err != ROCRASH_ERR_NONE) return err;
  }
  cache->gotObjC2Info = true;
  return ROCRASH_ERR_NONE;
}

}  // namespace

void rocrash_async_class_cache_init(rocrash_async_class_cache* cache) noexcept {
  rocrash_async_memset(cache, 0, sizeof *cache);
}

void rocrash_async_class_cache_free(rocrash_async_class_cache* cache) noexcept {
  unmapSections(cache);
  if (cache->classCacheKeys != nullptr) {
    munmap(cache->classCacheKeys, cache->classCacheSize * sizeof(uint64_t) * 2);
  }
  cache->classCacheKeys = nullptr;
  cache->classCacheValues = nullptr;
  cache->classCacheSize = 0;
}

rocrash_error_t rocrash_async_class_metadata_parse(rocrash_async_macho* image,
                                                   rocrash_async_class_cache* cache,
                                                   rocrash_async_class_method_cb callback,
                                                   void* ctx) noexcept {
  if (cache == nullptr) return ROCRASH_ERR_ACCESS;
  if (!cache->gotObjC2Info) {
    rocrash_error_t err = legacyParse(image, callback, ctx);
    if (err != ROCRASH_ERR_NOTFOUND) return err;
  }
  return parseNewRuntime(image, cache, callback, ctx);
}

namespace {

struct FindMethodContext {
  rocrash_vm_address_t pc;
  bool found;
  rocrash_vm_address_t best;
  rocrash_async_class_method_cb callback;
  void* ctx;
  bool called;
};

void findBest(bool, rocrash_async_macho_string*, rocrash_async_macho_string*,
              rocrash_vm_address_t imp, void* ctx) {
  auto* c = static_cast<FindMethodContext*>(ctx);
  if (imp <= c->pc && (!c->found || imp >= c->best)) {
    c->best = imp;
    c->found = true;
  }
}

void reportBest(bool isClassMethod, rocrash_async_macho_string* className,
                rocrash_async_macho_string* methodName, rocrash_vm_address_t imp, void* ctx) {
  auto* c = static_cast<FindMethodContext*>(ctx);
  if (c->called || imp != c->best) return;
  c->called = true;
  c->callback(isClassMethod, className, methodName, imp, c->ctx);
}

}  // namespace

rocrash_error_t rocrash_async_class_find_method(rocrash_async_macho* image,
                                                rocrash_async_class_cache* cache,
                                                rocrash_vm_address_t pc,
                                                rocrash_async_class_method_cb callback,
                                                void* ctx) noexcept {
  FindMethodContext c = {pc, false, 0, callback, ctx, false};
  rocrash_error_t err = rocrash_async_class_metadata_parse(image, cache, findBest, &c);
  if (err != ROCRASH_ERR_NONE) return err;
  if (!c.found) return ROCRASH_ERR_NOTFOUND;
  return rocrash_async_class_metadata_parse(image, cache, reportBest, &c);
}

namespace {

constexpr size_t kSymbolNameBuffer = ROCRASH_ASYNC_SYMBOL_NAME_SIZE;

struct FindSymbolContext {
  char name[kSymbolNameBuffer];
  bool found;
  rocrash_vm_address_t address;
};

void symtabSymbol(rocrash_vm_address_t address, const char* name, void* ctx) {
  auto* c = static_cast<FindSymbolContext*>(ctx);
  if (c->found && c->address > address) return;
  size_t i = 0;
  for (; name[i] != '\0' && i < kSymbolNameBuffer - 1; ++i) c->name[i] = name[i];
  c->name[i] = '\0';
  c->address = address;
  c->found = true;
}

// Appends `s` to the buffer, keeping room for the terminating zero.
void append(char* buffer, size_t* length, size_t limit, const char* s, size_t count) {
  for (size_t i = 0; i < count && *length < limit; ++i) buffer[(*length)++] = s[i];
}

void classSymbol(bool isClassMethod, rocrash_async_macho_string* className,
                 rocrash_async_macho_string* methodName, rocrash_vm_address_t imp, void* ctx) {
  auto* c = static_cast<FindSymbolContext*>(ctx);
  if (c->found && c->address > imp) return;
  const char* cls = nullptr;
  const char* method = nullptr;
  rocrash_vm_size_t classLength = 0, methodLength = 0;
  if (rocrash_async_macho_string_get_pointer(className, &cls) != ROCRASH_ERR_NONE ||
      rocrash_async_macho_string_get_length(className, &classLength) != ROCRASH_ERR_NONE ||
      rocrash_async_macho_string_get_pointer(methodName, &method) != ROCRASH_ERR_NONE ||
      rocrash_async_macho_string_get_length(methodName, &methodLength) != ROCRASH_ERR_NONE) {
    return;
  }
  const size_t limit = kSymbolNameBuffer - 1;
  size_t length = 0;
  append(c->name, &length, limit, isClassMethod ? "+[" : "-[", 2);
  append(c->name, &length, limit, cls, classLength < 253 ? classLength : 253);
  append(c->name, &length, limit, " ", 1);
  append(c->name, &length, limit, method, methodLength);
  append(c->name, &length, limit, "]", 1);
  c->name[length] = '\0';
  c->address = imp;
  c->found = true;
}

}  // namespace

rocrash_error_t rocrash_async_find_symbol(rocrash_async_macho* image, uint32_t strategy,
                                          rocrash_async_class_cache* cache, rocrash_vm_address_t pc,
                                          rocrash_async_found_symbol_cb callback,
                                          void* ctx) noexcept {
  FindSymbolContext c;
  c.name[0] = '\0';
  c.found = false;
  c.address = 0;
  bool anySucceeded = false;
  if (strategy & ROCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE) {
    anySucceeded |=
        rocrash_async_macho_find_symbol_by_pc(image, pc, symtabSymbol, &c) == ROCRASH_ERR_NONE;
  }
  if (strategy & ROCRASH_ASYNC_SYMBOL_STRATEGY_OBJC) {
    anySucceeded |=
        rocrash_async_class_find_method(image, cache, pc, classSymbol, &c) == ROCRASH_ERR_NONE;
  }
  if (!anySucceeded) return ROCRASH_ERR_NOTFOUND;
  if (!c.found) return ROCRASH_ERR_INTERNAL;
  callback(c.address, c.name, ctx);
  return ROCRASH_ERR_NONE;
}
