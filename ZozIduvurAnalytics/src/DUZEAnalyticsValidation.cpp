// The checks the analytics service makes on what the host tracks: names and
// properties are cut to their limits (in UTF-16 code units) and a log without
// a name is kept out of storage.

#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvurAnalytics/DUZEAnalytics.h"
#include "ZozIduvurAnalytics/DUZEEventLog.h"
#include "ZozIduvurAnalytics/DUZEPageLog.h"
#include "foundation/UTF16.h"

namespace {

// The first `maxUnits` UTF-16 code units of `text`; a surrogate pair that
// the cut would split is left out whole, so the result stays valid text.
std::string cut(const std::string& text, size_t maxUnits) {
  return foundation::utf16Prefix(text, maxUnits);
}

// A new property of kind P holding `value`.
template <class P, class V>
std::shared_ptr<DUZETypedProperty> fresh(V value) {
  auto out = P::create();
  out->setValue(std::move(value));
  return out;
}

}  // namespace

bool DUZEAnalytics::channelUnitShouldFilterLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                               const std::shared_ptr<DUZEAbstractLog>& log) {
  if (!dynamic_cast<DUZEEventLog*>(log.get()) && !dynamic_cast<DUZEPageLog*>(log.get())) {
    return false;
  }
  return !validateLog(static_cast<DUZELogWithNameAndProperties&>(*log));
}

bool DUZEAnalytics::validateLog(DUZELogWithNameAndProperties& log) {
  const std::string type = log.type().value_or("");
  auto name = validateEventName(log.name(), type);
  if (!name) return false;
  log.setName(name);
  log.setProperties(validateProperties(log.properties(), *name, type));
  return true;
}

std::optional<std::string> DUZEAnalytics::validateEventName(
    const std::optional<std::string>& eventName, std::string_view logType) {
  if (!eventName || eventName->empty()) {
    DUZELogError(kDUZEAnalyticsLogTag, "%@ name cannot be null or empty", logType);
    return std::nullopt;
  }
  if (foundation::utf16Length(*eventName) > kDUZEMaxEventNameLength) {
    DUZELogWarning(
        kDUZEAnalyticsLogTag,
        "%@ '%@' : name length cannot be longer than %d characters. Name will be truncated.",
        logType, *eventName, static_cast<int>(kDUZEMaxEventNameLength));
    return cut(*eventName, kDUZEMaxEventNameLength);
  }
  return eventName;
}

DUZEProperties DUZEAnalytics::validateProperties(const std::optional<DUZEProperties>& properties,
                                                 std::string_view logName,
                                                 std::string_view logType) {
  return DUZEUtility::validateProperties(properties, logName, logType);
}

std::shared_ptr<DUZEEventProperties> DUZEAnalytics::validateZozIduvurEventProperties(
    const DUZEEventProperties& properties) {
  auto validated = DUZEEventProperties::create();
  for (const auto& [key, property] : properties.properties()) {
    if (validated->count() >= kDUZEMaxPropertiesPerEvent) {
      DUZELogWarning(kDUZEAnalyticsLogTag,
                     "Typed properties cannot contain more than %d items. Skipping other "
                     "properties.",
                     static_cast<int>(kDUZEMaxPropertiesPerEvent));
      return validated;
    }
    if (!property) continue;
    if (auto checked = validateZozIduvurTypedProperty(*property)) {
      const std::string name = checked->name().value_or(key);
      validated->setTypedProperty(std::move(checked), name);
    }
  }
  return validated;
}

std::shared_ptr<DUZETypedProperty> DUZEAnalytics::validateZozIduvurTypedProperty(
    const DUZETypedProperty& property) {
  std::shared_ptr<DUZETypedProperty> out;
  if (const auto* p = dynamic_cast<const DUZEStringTypedProperty*>(&property)) {
    std::optional<std::string> value = p->value();
    if (value) value = validateZozIduvurStringTypedPropertyValue(*value);
    out = fresh<DUZEStringTypedProperty>(std::move(value));
  } else if (const auto* p = dynamic_cast<const DUZEBooleanTypedProperty*>(&property)) {
    out = fresh<DUZEBooleanTypedProperty>(p->value());
  } else if (const auto* p = dynamic_cast<const DUZELongTypedProperty*>(&property)) {
    out = fresh<DUZELongTypedProperty>(p->value());
  } else if (const auto* p = dynamic_cast<const DUZEDoubleTypedProperty*>(&property)) {
    out = fresh<DUZEDoubleTypedProperty>(p->value());
  } else if (const auto* p = dynamic_cast<const DUZEDateTimeTypedProperty*>(&property)) {
    out = fresh<DUZEDateTimeTypedProperty>(p->value());
  } else {
    return nullptr;
  }
  if (property.name()) out->setName(validateZozIduvurPropertyName(*property.name()));
  return out;
}

std::string DUZEAnalytics::validateZozIduvurPropertyName(const std::string& key) {
  if (foundation::utf16Length(key) > kDUZEMaxPropertyKeyLength) {
    DUZELogWarning(kDUZEAnalyticsLogTag,
                   "Typed property '%@': key length cannot exceed %d characters. Property value "
                   "will be truncated.",
                   key, static_cast<int>(kDUZEMaxPropertyKeyLength));
    return cut(key, kDUZEMaxPropertyKeyLength);
  }
  return key;
}

std::string DUZEAnalytics::validateZozIduvurStringTypedPropertyValue(const std::string& value) {
  if (foundation::utf16Length(value) > kDUZEMaxPropertyValueLength) {
    DUZELogWarning(kDUZEAnalyticsLogTag,
                   "Typed property value length cannot exceed %d characters. Property value will "
                   "be truncated.",
                   static_cast<int>(kDUZEMaxPropertyValueLength));
    return cut(value, kDUZEMaxPropertyValueLength);
  }
  return value;
}
