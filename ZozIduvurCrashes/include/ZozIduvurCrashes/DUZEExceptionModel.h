#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZozIduvur/DUZESerializableObject.h"
#include "ZozIduvurCrashes/DUZEStackFrame.h"
#include "foundation/NSError.h"
#include "foundation/Value.h"

namespace objc {
class NSObject;
}

using DUZEStackFrames = std::vector<std::shared_ptr<DUZEStackFrame>>;

// An exception or error as the crash service reports it: a type, a message,
// the text of its call stack and the frames parsed from that text.
class DUZEExceptionModel : public foundation::NSCoding, public DUZESerializableObject {
  DUZE_CLASS_NAME("DUZEExceptionModel")
  DUZE_PROPERTY(std::optional<std::string>, type, Type)
  DUZE_PROPERTY(std::optional<std::string>, message, Message)
  DUZE_PROPERTY(std::optional<std::string>, stackTrace, StackTrace)
  DUZE_PROPERTY(std::optional<DUZEStackFrames>, frames, Frames)

 public:
  static std::shared_ptr<DUZEExceptionModel> create() {
    return std::make_shared<DUZEExceptionModel>();
  }
  // type = the error's domain (when not empty); message = the text form of
  // its user info (only when it has entries); stackTrace and frames from the
  // calling thread's call-stack symbols.
  static std::shared_ptr<DUZEExceptionModel> createWithError(const foundation::NSError& error);
  // Reads "name" (type) and "reason" (message) when the object answers them;
  // with "callStackSymbols" its symbols give stackTrace and frames, otherwise
  // stackTrace stays absent and frames come from the calling thread's stack.
  // A null object gives an empty model with the calling thread's frames.
  static std::shared_ptr<DUZEExceptionModel> createWithException(objc::NSObject* exception);
  // type and message as given; stackTrace and frames from `stackTrace`, or
  // from the calling thread's symbols when it is absent.
  static std::shared_ptr<DUZEExceptionModel> createWithType(
      std::optional<std::string> type, std::optional<std::string> message,
      const std::optional<std::vector<std::string>>& stackTrace);

  // One frame per call-stack line that splits (at any of " -[]+?.,", empty
  // parts dropped) into at least six parts: fileName = part 1, address =
  // part 2, className = part 3, methodName = part 4.
  static DUZEStackFrames loadStackTrace(const std::vector<std::string>& symbols);

  // "type", "message", "stackTrace", "frames", each only when present.
  nlohmann::ordered_json serializeToDictionary() const override;
  // type, then at least one frame; logs the invalid-field message otherwise.
  virtual bool isValid() const;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};

// An exception model of a wrapper SDK: the SDK's name and the inner
// exceptions. Valid exactly when its base is.
class DUZEWrapperExceptionModel : public DUZEExceptionModel {
  DUZE_CLASS_NAME("DUZEWrapperExceptionModel")
  DUZE_PROPERTY(std::optional<std::string>, wrapperSdkName, WrapperSdkName)
  DUZE_PROPERTY(std::optional<std::vector<std::shared_ptr<DUZEExceptionModel>>>, innerExceptions,
                InnerExceptions)

 public:
  static std::shared_ptr<DUZEWrapperExceptionModel> create() {
    return std::make_shared<DUZEWrapperExceptionModel>();
  }

  nlohmann::ordered_json serializeToDictionary() const override;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};
