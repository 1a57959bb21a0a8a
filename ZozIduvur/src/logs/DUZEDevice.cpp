#include "ZozIduvur/DUZEDevice.h"

#include "ZozIduvur/DUZELogger.h"
#include "foundation/KeyedArchive.h"

namespace {
constexpr const char* kInvalidField = "%@: \"%@\" is not valid.";
}

// DUZEWrapperSdk ---------------------------------------------------------

nlohmann::ordered_json DUZEWrapperSdk::serializeToDictionary() const {
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  duze::putIfPresent(out, "wrapperSdkVersion", wrapperSdkVersion_);
  duze::putIfPresent(out, "wrapperSdkName", wrapperSdkName_);
  duze::putIfPresent(out, "wrapperRuntimeVersion", wrapperRuntimeVersion_);
  duze::putIfPresent(out, "liveUpdateReleaseLabel", liveUpdateReleaseLabel_);
  duze::putIfPresent(out, "liveUpdateDeploymentKey", liveUpdateDeploymentKey_);
  duze::putIfPresent(out, "liveUpdatePackageHash", liveUpdatePackageHash_);
  return out;
}

bool DUZEWrapperSdk::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEWrapperSdk*>(&other);
  return o && wrapperSdkVersion_ == o->wrapperSdkVersion_ &&
         wrapperSdkName_ == o->wrapperSdkName_ &&
         wrapperRuntimeVersion_ == o->wrapperRuntimeVersion_ &&
         liveUpdateReleaseLabel_ == o->liveUpdateReleaseLabel_ &&
         liveUpdateDeploymentKey_ == o->liveUpdateDeploymentKey_ &&
         liveUpdatePackageHash_ == o->liveUpdatePackageHash_;
}

void DUZEWrapperSdk::encodeWithCoder(foundation::NSCoder& coder) const {
  coder.encodeObject(wrapperSdkVersion_, "wrapperSdkVersion");
  coder.encodeObject(wrapperSdkName_, "wrapperSdkName");
  coder.encodeObject(wrapperRuntimeVersion_, "wrapperRuntimeVersion");
  coder.encodeObject(liveUpdateReleaseLabel_, "liveUpdateReleaseLabel");
  coder.encodeObject(liveUpdateDeploymentKey_, "liveUpdateDeploymentKey");
  coder.encodeObject(liveUpdatePackageHash_, "liveUpdatePackageHash");
}

bool DUZEWrapperSdk::initWithCoder(foundation::NSCoder& coder) {
  wrapperSdkVersion_ = coder.decodeStringForKey("wrapperSdkVersion");
  wrapperSdkName_ = coder.decodeStringForKey("wrapperSdkName");
  wrapperRuntimeVersion_ = coder.decodeStringForKey("wrapperRuntimeVersion");
  liveUpdateReleaseLabel_ = coder.decodeStringForKey("liveUpdateReleaseLabel");
  liveUpdateDeploymentKey_ = coder.decodeStringForKey("liveUpdateDeploymentKey");
  liveUpdatePackageHash_ = coder.decodeStringForKey("liveUpdatePackageHash");
  return true;
}

// DUZEDevice ---------------------------------------------------------------

nlohmann::ordered_json DUZEDevice::serializeToDictionary() const {
  nlohmann::ordered_json out = DUZEWrapperSdk::serializeToDictionary();
  duze::putIfPresent(out, "sdkName", sdkName_);
  duze::putIfPresent(out, "sdkVersion", sdkVersion_);
  duze::putIfPresent(out, "model", model_);
  duze::putIfPresent(out, "oemName", oemName_);
  duze::putIfPresent(out, "osName", osName_);
  duze::putIfPresent(out, "osVersion", osVersion_);
  duze::putIfPresent(out, "osBuild", osBuild_);
  duze::putIfPresent(out, "osApiLevel", osApiLevel_);
  duze::putIfPresent(out, "locale", locale_);
  duze::putIfPresent(out, "timeZoneOffset", timeZoneOffset_);
  duze::putIfPresent(out, "screenSize", screenSize_);
  duze::putIfPresent(out, "appVersion", appVersion_);
  duze::putIfPresent(out, "appBuild", appBuild_);
  duze::putIfPresent(out, "appNamespace", appNamespace_);
  duze::putIfPresent(out, "carrierName", carrierName_);
  duze::putIfPresent(out, "carrierCountry", carrierCountry_);
  return out;
}

bool DUZEDevice::isValid() const {
  const char* missing = nullptr;
  if (!sdkName_) {
    missing = "sdkName";
  } else if (!sdkVersion_) {
    missing = "sdkVersion";
  } else if (!osName_) {
    missing = "osName";
  } else if (!osVersion_) {
    missing = "osVersion";
  } else if (!locale_) {
    missing = "locale";
  } else if (!timeZoneOffset_) {
    missing = "timeZoneOffset";
  } else if (!appVersion_) {
    missing = "appVersion";
  } else if (!appBuild_) {
    missing = "appBuild";
  }
  if (missing) {
    DUZELogVerbose(kDUZELogTag, kInvalidField, className(), missing);
    return false;
  }
  return true;
}

bool DUZEDevice::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEDevice*>(&other);
  return o && DUZEWrapperSdk::isEqual(other) && sdkName_ == o->sdkName_ &&
         sdkVersion_ == o->sdkVersion_ && model_ == o->model_ && oemName_ == o->oemName_ &&
         osName_ == o->osName_ && osVersion_ == o->osVersion_ && osBuild_ == o->osBuild_ &&
         osApiLevel_ == o->osApiLevel_ && locale_ == o->locale_ &&
         timeZoneOffset_ == o->timeZoneOffset_ && screenSize_ == o->screenSize_ &&
         appVersion_ == o->appVersion_ && appBuild_ == o->appBuild_ &&
         appNamespace_ == o->appNamespace_ && carrierName_ == o->carrierName_ &&
         carrierCountry_ == o->carrierCountry_;
}

void DUZEDevice::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEWrapperSdk::encodeWithCoder(coder);
  coder.encodeObject(sdkName_, "sdkName");
  coder.encodeObject(sdkVersion_, "sdkVersion");
  coder.encodeObject(model_, "model");
  coder.encodeObject(oemName_, "oemName");
  coder.encodeObject(osName_, "osName");
  coder.encodeObject(osVersion_, "osVersion");
  coder.encodeObject(osBuild_, "osBuild");
  coder.encodeObject(osApiLevel_, "osApiLevel");
  coder.encodeObject(locale_, "locale");
  coder.encodeObject(timeZoneOffset_, "timeZoneOffset");
  coder.encodeObject(screenSize_, "screenSize");
  coder.encodeObject(appVersion_, "appVersion");
  coder.encodeObject(appBuild_, "appBuild");
  coder.encodeObject(appNamespace_, "appNamespace");
  coder.encodeObject(carrierName_, "carrierName");
  coder.encodeObject(carrierCountry_, "carrierCountry");
}

bool DUZEDevice::initWithCoder(foundation::NSCoder& coder) {
  DUZEWrapperSdk::initWithCoder(coder);
  sdkName_ = coder.decodeStringForKey("sdkName");
  sdkVersion_ = coder.decodeStringForKey("sdkVersion");
  model_ = coder.decodeStringForKey("model");
  oemName_ = coder.decodeStringForKey("oemName");
  osName_ = coder.decodeStringForKey("osName");
  osVersion_ = coder.decodeStringForKey("osVersion");
  osBuild_ = coder.decodeStringForKey("osBuild");
  osApiLevel_ = coder.decodeNumberForKey("osApiLevel");
  locale_ = coder.decodeStringForKey("locale");
  timeZoneOffset_ = coder.decodeNumberForKey("timeZoneOffset");
  screenSize_ = coder.decodeStringForKey("screenSize");
  appVersion_ = coder.decodeStringForKey("appVersion");
  appBuild_ = coder.decodeStringForKey("appBuild");
  appNamespace_ = coder.decodeStringForKey("appNamespace");
  carrierName_ = coder.decodeStringForKey("carrierName");
  carrierCountry_ = coder.decodeStringForKey("carrierCountry");
  return true;
}
