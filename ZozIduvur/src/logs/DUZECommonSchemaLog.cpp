#include "ZozIduvur/DUZECommonSchemaLog.h"

#include "ZozIduvur/DUZEUtility.h"
#include "foundation/KeyedArchive.h"

namespace {

using ojson = nlohmann::ordered_json;

std::optional<std::string> stringAt(const ojson& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

template <class T>
bool sameParts(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return *a == *b;
}

}  // namespace

// Extensions ----------------------------------------------------------------

ojson DUZEAppExtension::serializeToDictionary() const {
  ojson out = ojson::object();
  duze::putIfPresent(out, "ver", ver_);
  duze::putIfPresent(out, "name", name_);
  duze::putIfPresent(out, "locale", locale_);
  return out;
}

std::shared_ptr<DUZEAppExtension> DUZEAppExtension::fromDictionary(const ojson& j) {
  auto out = std::make_shared<DUZEAppExtension>();
  out->ver_ = stringAt(j, "ver");
  out->name_ = stringAt(j, "name");
  out->locale_ = stringAt(j, "locale");
  return out;
}

ojson DUZEUserExtension::serializeToDictionary() const {
  ojson out = ojson::object();
  duze::putIfPresent(out, "localId", localId_);
  return out;
}

std::shared_ptr<DUZEUserExtension> DUZEUserExtension::fromDictionary(const ojson& j) {
  auto out = std::make_shared<DUZEUserExtension>();
  out->localId_ = stringAt(j, "localId");
  return out;
}

ojson DUZEDeviceExtension::serializeToDictionary() const {
  ojson out = ojson::object();
  duze::putIfPresent(out, "localId", localId_);
  return out;
}

std::shared_ptr<DUZEDeviceExtension> DUZEDeviceExtension::fromDictionary(const ojson& j) {
  auto out = std::make_shared<DUZEDeviceExtension>();
  out->localId_ = stringAt(j, "localId");
  return out;
}

ojson DUZEProtocolExtension::serializeToDictionary() const {
  ojson out = ojson::object();
  if (ticketKeys_) out["ticketKeys"] = *ticketKeys_;
  return out;
}

std::shared_ptr<DUZEProtocolExtension> DUZEProtocolExtension::fromDictionary(const ojson& j) {
  auto out = std::make_shared<DUZEProtocolExtension>();
  auto it = j.find("ticketKeys");
  if (it != j.end() && it->is_array()) {
    std::vector<std::string> keys;
    for (const auto& key : *it)
      if (key.is_string()) keys.push_back(key.get<std::string>());
    out->ticketKeys_ = std::move(keys);
  }
  return out;
}

ojson DUZEMetadataExtension::serializeToDictionary() const {
  return metadata_.is_null() ? ojson::object() : metadata_;
}

ojson DUZECSExtensions::serializeToDictionary() const {
  ojson out = ojson::object();
  if (metadataExt_) out["metadata"] = metadataExt_->serializeToDictionary();
  if (protocolExt_) out["protocol"] = protocolExt_->serializeToDictionary();
  if (userExt_) out["user"] = userExt_->serializeToDictionary();
  if (deviceExt_) out["device"] = deviceExt_->serializeToDictionary();
  if (appExt_) out["app"] = appExt_->serializeToDictionary();
  return out;
}

std::shared_ptr<DUZECSExtensions> DUZECSExtensions::fromDictionary(const ojson& j) {
  auto out = std::make_shared<DUZECSExtensions>();
  if (auto it = j.find("metadata"); it != j.end() && it->is_object()) {
    auto metadata = std::make_shared<DUZEMetadataExtension>();
    metadata->setMetadata(*it);
    out->metadataExt_ = std::move(metadata);
  }
  if (auto it = j.find("protocol"); it != j.end() && it->is_object())
    out->protocolExt_ = DUZEProtocolExtension::fromDictionary(*it);
  if (auto it = j.find("user"); it != j.end() && it->is_object())
    out->userExt_ = DUZEUserExtension::fromDictionary(*it);
  if (auto it = j.find("device"); it != j.end() && it->is_object())
    out->deviceExt_ = DUZEDeviceExtension::fromDictionary(*it);
  if (auto it = j.find("app"); it != j.end() && it->is_object())
    out->appExt_ = DUZEAppExtension::fromDictionary(*it);
  return out;
}

bool DUZECSExtensions::isEqual(const DUZECSExtensions& other) const {
  return sameParts(protocolExt_, other.protocolExt_) && sameParts(userExt_, other.userExt_) &&
         sameParts(deviceExt_, other.deviceExt_) && sameParts(appExt_, other.appExt_) &&
         sameParts(metadataExt_, other.metadataExt_);
}

ojson DUZECSData::serializeToDictionary() const {
  ojson out = ojson::object();
  if (!properties_.is_object()) return out;
  for (const char* first : {"baseType", "baseData"}) {
    if (auto it = properties_.find(first); it != properties_.end()) out[first] = *it;
  }
  for (const auto& [key, value] : properties_.items()) {
    if (key == "baseType" || key == "baseData") continue;
    out[key] = value;
  }
  return out;
}

// DUZECommonSchemaLog ----------------------------------------------------------

ojson DUZECommonSchemaLog::serializeToDictionary() const {
  ojson out = ojson::object();
  duze::putIfPresent(out, "ver", ver_);
  duze::putIfPresent(out, "name", name_);
  if (timestamp()) out["time"] = DUZEUtility::dateToISO8601(*timestamp());
  duze::putIfPresent(out, "popSample", popSample_);
  duze::putIfPresent(out, "iKey", iKey_);
  duze::putIfPresent(out, "flags", flags_);
  duze::putIfPresent(out, "cV", cV_);
  if (ext_) out["ext"] = ext_->serializeToDictionary();
  if (data_) out["data"] = data_->serializeToDictionary();
  return out;
}

bool DUZECommonSchemaLog::isValid() const {
  if (!ver_) {
    logInvalidField("ver");
    return false;
  }
  if (!name_ || name_->empty()) {
    logInvalidField("name");
    return false;
  }
  if (!timestamp()) {
    logInvalidField("time");
    return false;
  }
  if (!iKey_) {
    logInvalidField("iKey");
    return false;
  }
  return true;
}

bool DUZECommonSchemaLog::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZECommonSchemaLog*>(&other);
  if (!o || !DUZEAbstractLog::isEqual(other)) return false;
  if (!(ver_ == o->ver_ && name_ == o->name_ && popSample_ == o->popSample_ && iKey_ == o->iKey_ &&
        flags_ == o->flags_ && cV_ == o->cV_)) {
    return false;
  }
  if (bool(ext_) != bool(o->ext_) || (ext_ && !ext_->isEqual(*o->ext_))) return false;
  return sameParts(data_, o->data_);
}

void DUZECommonSchemaLog::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEAbstractLog::encodeWithCoder(coder);
  coder.encodeObject(ver_, "ver");
  coder.encodeObject(name_, "name");
  coder.encodeObject(popSample_, "popSample");
  coder.encodeObject(iKey_, "iKey");
  coder.encodeObject(flags_, "flags");
  coder.encodeObject(cV_, "cV");
  // The extensions and the data are JSON trees; they are archived in their
  // JSON text form.
  if (ext_)
    coder.encodeObject(foundation::Value(ext_->serializeToDictionary().dump(
                           -1, ' ', false, ojson::error_handler_t::replace)),
                       "ext");
  if (data_)
    coder.encodeObject(foundation::Value(data_->properties().dump(-1, ' ', false,
                                                                  ojson::error_handler_t::replace)),
                       "data");
}

bool DUZECommonSchemaLog::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZEAbstractLog::initWithCoder(coder)) return false;
  ver_ = coder.decodeStringForKey("ver");
  name_ = coder.decodeStringForKey("name");
  popSample_ = coder.decodeDoubleNumberForKey("popSample");
  iKey_ = coder.decodeStringForKey("iKey");
  flags_ = coder.decodeNumberForKey("flags");
  cV_ = coder.decodeStringForKey("cV");
  if (auto text = coder.decodeStringForKey("ext")) {
    ojson j = ojson::parse(*text, nullptr, false);
    if (!j.is_object()) return false;
    ext_ = DUZECSExtensions::fromDictionary(j);
  }
  if (auto text = coder.decodeStringForKey("data")) {
    ojson j = ojson::parse(*text, nullptr, false);
    if (!j.is_object()) return false;
    data_ = std::make_shared<DUZECSData>();
    data_->setProperties(std::move(j));
  }
  return true;
}
