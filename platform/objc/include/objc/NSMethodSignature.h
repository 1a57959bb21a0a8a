#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "objc/Frame.h"
#include "objc/NSObject.h"

namespace objc {

// Reads one type from an encoding and stores its size and alignment (either
// pointer may be null); returns the position after the type and its offset
// digits. Raises NSInvalidArgumentException for a malformed type.
const char* NSGetSizeAndAlignment(const char* typePtr, NSUInteger* sizep, NSUInteger* alignp);

// A parsed method type encoding: the return type and the argument types
// (qualifiers such as "r" kept, "@\"Name\"" and block signatures reduced to
// "@" and "@?"), with the frame layout the runtime's frames use: the receiver
// at 0, and each argument advancing by max(size, 4).
class NSMethodSignature : public NSObject {
 public:
  static Class classObject();

  // Null for a null or malformed encoding (unknown type letters, unclosed
  // structures, arrays or names, nothing at all).
  static Ref<NSMethodSignature> signatureWithObjCTypes(const char* types);

  NSUInteger numberOfArguments() const { return arguments_.size(); }
  // Raises NSInvalidArgumentException past the last argument.
  const char* getArgumentTypeAtIndex(NSUInteger index) const;
  NSUInteger frameLength() const { return frameLength_; }
  const char* methodReturnType() const { return return_.type.c_str(); }
  NSUInteger methodReturnLength() const { return return_.size; }

  // The encoding as it was given.
  const char* typeEncoding() const { return types_.c_str(); }
  uint32_t argumentOffset(NSUInteger index) const;
  uint32_t argumentSize(NSUInteger index) const;
  ReturnKind returnKind() const { return returnKind_; }

 protected:
  NSMethodSignature() = default;

 private:
  friend struct detail::InstanceAccess;
  struct Slot {
    std::string type;
    uint32_t size = 0;
    uint32_t offset = 0;
  };
  std::string types_;
  Slot return_;
  std::vector<Slot> arguments_;
  uint32_t frameLength_ = 0;
  ReturnKind returnKind_ = ReturnKind::none;
};

}  // namespace objc
