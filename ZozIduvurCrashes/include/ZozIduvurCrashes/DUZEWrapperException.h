#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "ZozIduvurCrashes/DUZEExceptionModel.h"
#include "foundation/Data.h"

// What a wrapper SDK saves on disk when it crashes: its exception model, its
// own bytes about the exception and the crashing process's id. A disk record
// only: no validity check, no value equality.
class DUZEWrapperException : public foundation::NSCoding, public DUZESerializableObject {
  DUZE_CLASS_NAME("DUZEWrapperException")
  DUZE_PROPERTY(std::shared_ptr<DUZEExceptionModel>, modelException, ModelException)
  DUZE_PROPERTY(std::optional<foundation::Data>, exceptionData, ExceptionData)
  DUZE_PROPERTY(std::optional<int64_t>, processId, ProcessId)

 public:
  static std::shared_ptr<DUZEWrapperException> create() {
    return std::make_shared<DUZEWrapperException>();
  }

  // "modelException" (the model's dictionary), "exceptionData" (the bytes),
  // "processId", each only when present.
  nlohmann::ordered_json serializeToDictionary() const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};
