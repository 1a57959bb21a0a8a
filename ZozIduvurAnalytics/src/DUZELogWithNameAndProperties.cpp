#include "ZozIduvurAnalytics/DUZELogWithNameAndProperties.h"

#include "ZozIduvurAnalytics/DUZEPageLog.h"
#include "ZozIduvurAnalytics/DUZEStartSessionLog.h"
#include "foundation/KeyedArchive.h"

// DUZELogWithNameAndProperties ----------------------------------------------

nlohmann::ordered_json DUZELogWithNameAndProperties::serializeToDictionary() const {
  nlohmann::ordered_json out = DUZELogWithProperties::serializeToDictionary();
  duze::putIfPresent(out, "name", name_);
  return out;
}

bool DUZELogWithNameAndProperties::isValid() const {
  if (!DUZELogWithProperties::isValid()) return false;
  if (!name_) {
    logInvalidField("name");
    return false;
  }
  return true;
}

bool DUZELogWithNameAndProperties::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZELogWithNameAndProperties*>(&other);
  return o && DUZELogWithProperties::isEqual(other) && name_ == o->name_;
}

void DUZELogWithNameAndProperties::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZELogWithProperties::encodeWithCoder(coder);
  coder.encodeObject(name_, "name");
}

bool DUZELogWithNameAndProperties::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZELogWithProperties::initWithCoder(coder)) return false;
  name_ = coder.decodeStringForKey("name");
  return true;
}

// DUZEPageLog ------------------------------------------------------------------

bool DUZEPageLog::isEqual(const foundation::NSCoding& other) const {
  return dynamic_cast<const DUZEPageLog*>(&other) && DUZELogWithNameAndProperties::isEqual(other);
}

// DUZEStartSessionLog --------------------------------------------------------

bool DUZEStartSessionLog::isEqual(const foundation::NSCoding& other) const {
  return dynamic_cast<const DUZEStartSessionLog*>(&other) && DUZEAbstractLog::isEqual(other);
}
