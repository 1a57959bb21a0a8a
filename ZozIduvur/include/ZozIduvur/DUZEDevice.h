#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ZozIduvur/DUZESerializableObject.h"
#include "foundation/Value.h"

// The wrapper SDK a host may run the client under. Every field is optional.
class DUZEWrapperSdk : public foundation::NSCoding, public DUZESerializableObject {
  DUZE_CLASS_NAME("DUZEWrapperSdk")
  DUZE_PROPERTY(std::optional<std::string>, wrapperSdkVersion, WrapperSdkVersion)
  DUZE_PROPERTY(std::optional<std::string>, wrapperSdkName, WrapperSdkName)
  DUZE_PROPERTY(std::optional<std::string>, wrapperRuntimeVersion, WrapperRuntimeVersion)
  DUZE_PROPERTY(std::optional<std::string>, liveUpdateReleaseLabel, LiveUpdateReleaseLabel)
  DUZE_PROPERTY(std::optional<std::string>, liveUpdateDeploymentKey, LiveUpdateDeploymentKey)
  DUZE_PROPERTY(std::optional<std::string>, liveUpdatePackageHash, LiveUpdatePackageHash)

 public:
  // `new`: an empty record.
  static std::shared_ptr<DUZEWrapperSdk> create() { return std::make_shared<DUZEWrapperSdk>(); }

  nlohmann::ordered_json serializeToDictionary() const override;
  virtual bool isValid() const { return true; }
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};

// The device and SDK description attached to every log.
class DUZEDevice : public DUZEWrapperSdk {
  DUZE_CLASS_NAME("DUZEDevice")
  DUZE_PROPERTY(std::optional<std::string>, sdkName, SdkName)
  DUZE_PROPERTY(std::optional<std::string>, sdkVersion, SdkVersion)
  DUZE_PROPERTY(std::optional<std::string>, model, Model)
  DUZE_PROPERTY(std::optional<std::string>, oemName, OemName)
  DUZE_PROPERTY(std::optional<std::string>, osName, OsName)
  DUZE_PROPERTY(std::optional<std::string>, osVersion, OsVersion)
  DUZE_PROPERTY(std::optional<std::string>, osBuild, OsBuild)
  DUZE_PROPERTY(std::optional<int64_t>, osApiLevel, OsApiLevel)
  DUZE_PROPERTY(std::optional<std::string>, locale, Locale)
  DUZE_PROPERTY(std::optional<int64_t>, timeZoneOffset, TimeZoneOffset)  // minutes east of UTC
  DUZE_PROPERTY(std::optional<std::string>, screenSize, ScreenSize)
  DUZE_PROPERTY(std::optional<std::string>, appVersion, AppVersion)
  DUZE_PROPERTY(std::optional<std::string>, appBuild, AppBuild)
  DUZE_PROPERTY(std::optional<std::string>, appNamespace, AppNamespace)
  DUZE_PROPERTY(std::optional<std::string>, carrierName, CarrierName)
  DUZE_PROPERTY(std::optional<std::string>, carrierCountry, CarrierCountry)

 public:
  // `new`: an empty record.
  static std::shared_ptr<DUZEDevice> create() { return std::make_shared<DUZEDevice>(); }

  nlohmann::ordered_json serializeToDictionary() const override;
  // YES when the SDK name and version, the OS name and version, the locale,
  // the time-zone offset and the application version and build are present;
  // otherwise logs the invalid-field message for the first missing one.
  bool isValid() const override;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};
