#include "objc/NSMethodSignature.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "objc/NSException.h"

namespace objc {

namespace {

// Types larger than this are taken for garbage rather than laid out.
constexpr size_t kLargestType = size_t{1} << 24;
constexpr int kDeepestNesting = 64;

struct TypeInfo {
  size_t size = 0;
  size_t alignment = 1;
};

bool isQualifier(char c) { return c != '\0' && std::strchr("rnNoORVA", c) != nullptr; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

const char* parseType(const char* p, TypeInfo& info, int depth);

// Reads a decimal count; null when there is none or it is absurd.
const char* parseCount(const char* p, size_t& count) {
  if (!isDigit(*p)) return nullptr;
  count = 0;
  while (isDigit(*p)) {
    count = count * 10 + static_cast<size_t>(*p - '0');
    if (count > kLargestType) return nullptr;
    ++p;
  }
  return p;
}

size_t alignUp(size_t value, size_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// "{name=fields}" or "(name=fields)"; a name alone describes a type whose
// layout is unknown here (size 0).
const char* parseAggregate(const char* p, TypeInfo& info, int depth) {
  const char close = *p == '{' ? '}' : ')';
  const bool isUnion = close == ')';
  ++p;
  while (*p != '\0' && *p != '=' && *p != close) ++p;
  if (*p == '\0') return nullptr;
  info = TypeInfo{0, 1};
  if (*p == close) return p + 1;
  ++p;  // '='
  size_t offset = 0;
  while (*p != close) {
    if (*p == '\0') return nullptr;
    if (*p == '"') {  // a field name
      const char* end = std::strchr(p + 1, '"');
      if (end == nullptr) return nullptr;
      p = end + 1;
      continue;
    }
    TypeInfo field;
    p = parseType(p, field, depth + 1);
    if (p == nullptr) return nullptr;
    info.alignment = std::max(info.alignment, field.alignment);
    if (isUnion) {
      offset = std::max(offset, field.size);
    } else {
      offset = alignUp(offset, field.alignment) + field.size;
    }
    if (offset > kLargestType) return nullptr;
  }
  info.size = alignUp(offset, info.alignment);
  return p + 1;
}

const char* parseBase(const char* p, TypeInfo& info, int depth) {
  if (depth > kDeepestNesting) return nullptr;
  switch (*p) {
    case 'c':
    case 'C':
    case 'B':
      info = {1, 1};
      return p + 1;
    case 's':
    case 'S':
      info = {2, 2};
      return p + 1;
    case 'i':
    case 'I':
    case 'l':
    case 'L':
    case 'f':
      info = {4, 4};
      return p + 1;
    case 'q':
    case 'Q':
    case 'd':
    case '*':
    case '#':
    case ':':
      info = {8, 8};
      return p + 1;
    case 'D':
    case 't':
    case 'T':
      info = {16, 16};
      return p + 1;
    case 'v':
    case '?':
      info = {0, 1};
      return p + 1;
    case '@': {
      info = {8, 8};
      ++p;
      if (*p == '"') {  // the class name of a typed object
        const char* end = std::strchr(p + 1, '"');
        return end == nullptr ? nullptr : end + 1;
      }
      if (*p == '?') {  // a block, possibly with its signature
        ++p;
        if (*p == '<') {
          int open = 0;
          do {
            if (*p == '\0') return nullptr;
            if (*p == '<') ++open;
            if (*p == '>') --open;
            ++p;
          } while (open > 0);
        }
      }
      return p;
    }
    case '^': {
      TypeInfo pointee;
      const char* end = parseType(p + 1, pointee, depth + 1);
      info = {8, 8};
      return end;
    }
    case '[': {
      size_t count = 0;
      p = parseCount(p + 1, count);
      if (p == nullptr) return nullptr;
      TypeInfo element;
      p = parseType(p, element, depth + 1);
      if (p == nullptr || *p != ']') return nullptr;
      if (element.size != 0 && count > kLargestType / element.size) return nullptr;
      info = {count * element.size, element.alignment};
      return p + 1;
    }
    case '{':
    case '(':
      return parseAggregate(p, info, depth);
    case 'b': {
      // A bit field: as many bytes as its bits need.
      size_t bits = 0;
      p = parseCount(p + 1, bits);
      if (p == nullptr) return nullptr;
      info = {(bits + 7) / 8, 1};
      return p;
    }
    default:
      return nullptr;
  }
}

const char* parseType(const char* p, TypeInfo& info, int depth) {
  if (p == nullptr) return nullptr;
  while (isQualifier(*p)) ++p;
  return parseBase(p, info, depth);
}

const char* skipOffset(const char* p) {
  if (*p == '+' || *p == '-') {
    if (isDigit(p[1])) ++p;
  }
  while (isDigit(*p)) ++p;
  return p;
}

// The type as a signature reports it: qualifiers kept, an object's class
// name and a block's signature dropped.
std::string reportedType(std::string_view text) {
  size_t base = 0;
  while (base < text.size() && isQualifier(text[base])) ++base;
  if (base < text.size() && text[base] == '@') {
    const bool block = base + 1 < text.size() && text[base + 1] == '?';
    return std::string(text.substr(0, base)) + (block ? "@?" : "@");
  }
  return std::string(text);
}

ReturnKind kindOf(std::string_view type) {
  size_t base = 0;
  while (base < type.size() && isQualifier(type[base])) ++base;
  if (base >= type.size()) return ReturnKind::none;
  if (type[base] == '@') return ReturnKind::object;
  if (type[base] == 'v') return ReturnKind::none;
  return ReturnKind::bytes;
}

}  // namespace

const char* NSGetSizeAndAlignment(const char* typePtr, NSUInteger* sizep, NSUInteger* alignp) {
  TypeInfo info;
  const char* end = typePtr == nullptr ? nullptr : parseType(typePtr, info, 0);
  if (end == nullptr) {
    NSException::raise(NSInvalidArgumentException,
                       std::string("NSGetSizeAndAlignment(): unsupported type encoding spec '") +
                           (typePtr == nullptr ? "(null)" : typePtr) + "'");
  }
  if (sizep != nullptr) *sizep = info.size;
  if (alignp != nullptr) *alignp = info.alignment;
  return skipOffset(end);
}

Class NSMethodSignature::classObject() {
  static const Class cls =
      ClassBuilder<NSMethodSignature>("NSMethodSignature", NSObject::classObject()).build();
  return cls;
}

Ref<NSMethodSignature> NSMethodSignature::signatureWithObjCTypes(const char* types) {
  if (types == nullptr || *types == '\0') return nullptr;
  std::vector<Slot> slots;
  const char* p = types;
  while (*p != '\0') {
    TypeInfo info;
    const char* end = parseType(p, info, 0);
    if (end == nullptr) return nullptr;
    slots.push_back({reportedType(std::string_view(p, static_cast<size_t>(end - p))),
                     static_cast<uint32_t>(info.size), 0});
    p = skipOffset(end);
  }
  uint32_t offset = 0;
  for (size_t i = 1; i < slots.size(); ++i) {
    slots[i].offset = offset;
    const uint32_t advance = slots[i].size < 4 ? 4 : slots[i].size;
    if (advance > kLargestType - offset) return nullptr;
    offset += advance;
  }
  Ref<NSMethodSignature> signature =
      dynamicCast<NSMethodSignature>(class_createInstance(classObject()));
  signature->types_ = types;
  signature->return_ = slots.front();
  signature->returnKind_ = kindOf(signature->return_.type);
  signature->arguments_.assign(slots.begin() + 1, slots.end());
  signature->frameLength_ = offset;
  return signature;
}

const char* NSMethodSignature::getArgumentTypeAtIndex(NSUInteger index) const {
  if (index >= arguments_.size()) {
    NSException::raise(NSInvalidArgumentException,
                       "-[NSMethodSignature getArgumentTypeAtIndex:]: index (" +
                           std::to_string(index) + ") out of bounds [0, " +
                           std::to_string(arguments_.size()) + ")");
  }
  return arguments_[index].type.c_str();
}

uint32_t NSMethodSignature::argumentOffset(NSUInteger index) const {
  getArgumentTypeAtIndex(index);
  return arguments_[index].offset;
}

uint32_t NSMethodSignature::argumentSize(NSUInteger index) const {
  getArgumentTypeAtIndex(index);
  return arguments_[index].size;
}

}  // namespace objc
