#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ZozIduvur/DUZELogWithProperties.h"
#include "ZozIduvurCrashes/DUZEExceptionModel.h"

// An error the application reports while it keeps running.
class DUZEHandledErrorLog : public DUZELogWithProperties {
  DUZE_CLASS_NAME("DUZEHandledErrorLog")
  // "id" in JSON and archives.
  DUZE_PROPERTY(std::optional<std::string>, errorId, ErrorId)
  DUZE_PROPERTY(std::shared_ptr<DUZEExceptionModel>, exception, Exception)

 public:
  static constexpr std::string_view kType = "handledError";

  DUZEHandledErrorLog() { setType(std::string(kType)); }
  static std::shared_ptr<DUZEHandledErrorLog> create() {
    return std::make_shared<DUZEHandledErrorLog>();
  }

  nlohmann::ordered_json serializeToDictionary() const override;
  // The base log's check, then errorId and the presence of an exception
  // (which is not checked in turn).
  bool isValid() const override;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};
