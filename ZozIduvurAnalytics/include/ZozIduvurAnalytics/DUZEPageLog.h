#pragma once

#include "ZozIduvurAnalytics/DUZELogWithNameAndProperties.h"

// A page view ("page"): a name and string properties.
class DUZEPageLog : public DUZELogWithNameAndProperties {
  DUZE_CLASS_NAME("DUZEPageLog")

 public:
  static constexpr std::string_view kType = "page";
  DUZEPageLog() { setType(std::string(kType)); }
  static std::shared_ptr<DUZEPageLog> create() { return std::make_shared<DUZEPageLog>(); }

  // A page log whose named-log fields are equal.
  bool isEqual(const foundation::NSCoding& other) const override;
};
