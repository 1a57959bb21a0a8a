#pragma once

#include <string>
#include <vector>

#include "ZozIduvur/DUZEAbstractLog.h"

// The log that names the services started by one start call.
class DUZEStartServiceLog : public DUZEAbstractLog {
  DUZE_CLASS_NAME("DUZEStartServiceLog")
  DUZE_PROPERTY(std::optional<std::vector<std::string>>, services, Services)

 public:
  static constexpr std::string_view kType = "startService";
  // Sets the type "startService".
  DUZEStartServiceLog();
  static std::shared_ptr<DUZEStartServiceLog> create() {
    return std::make_shared<DUZEStartServiceLog>();
  }

  // Adds "services" when set.
  nlohmann::ordered_json serializeToDictionary() const override;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};
