#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ZozIduvur/DUZESerializableObject.h"
#include "foundation/Value.h"

// One frame of a thread's or an exception's stack. Every field is optional;
// a frame has no validity check of its own.
class DUZEStackFrame : public foundation::NSCoding, public DUZESerializableObject {
  DUZE_CLASS_NAME("DUZEStackFrame")
  DUZE_PROPERTY(std::optional<std::string>, address, Address)
  DUZE_PROPERTY(std::optional<std::string>, code, Code)
  // The frame's class ("className" in JSON and archives; `className()` is the
  // archive class name of the frame object itself).
  DUZE_PROPERTY(std::optional<std::string>, frameClassName, FrameClassName)
  DUZE_PROPERTY(std::optional<std::string>, methodName, MethodName)
  DUZE_PROPERTY(std::optional<int64_t>, lineNumber, LineNumber)
  DUZE_PROPERTY(std::optional<std::string>, fileName, FileName)

 public:
  static std::shared_ptr<DUZEStackFrame> create() { return std::make_shared<DUZEStackFrame>(); }

  // "address", "code", "className", "methodName", "lineNumber", "fileName",
  // each only when present.
  nlohmann::ordered_json serializeToDictionary() const override;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};
