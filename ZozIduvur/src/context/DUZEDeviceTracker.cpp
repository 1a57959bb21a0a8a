#include "ZozIduvur/DUZEDeviceTracker.h"

#include <sys/utsname.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "DUZEHistory.h"
#include "DUZESharedInstance.h"
#include "foundation/Bundle.h"
#include "system/SystemFacts.h"

namespace {

constexpr std::string_view kPastDevicesKey = "PastDevices";
constexpr std::string_view kSdkName = "zoziduvur.linux";
constexpr std::string_view kSdkVersion = "1.0.0";
constexpr std::string_view kUnknown = "Unknown";

std::optional<std::string> firstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\r'))
    line.pop_back();
  if (line.empty()) return std::nullopt;
  return line;
}

// "en_US" from the environment's locale ("en_US.UTF-8@euro"); en_US when the
// environment names none or only the C locale.
std::string localeName() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(var);
    if (!value || !*value) continue;
    std::string_view name(value);
    name = name.substr(0, name.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") break;
    return std::string(name);
  }
  return "en_US";
}

int64_t timeZoneOffsetMinutes() {
  time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return static_cast<int64_t>(local.tm_gmtoff / 60);
}

std::optional<std::string> bundleString(std::string_view key) {
  auto value = foundation::NSBundle::mainBundle()->objectForInfoDictionaryKey(key);
  if (value && value->stringValue() && !value->stringValue()->empty()) return *value->stringValue();
  return std::nullopt;
}

}  // namespace

std::shared_ptr<DUZEDeviceTracker> DUZEDeviceTracker::sharedInstance() {
  return DUZESharedInstance<DUZEDeviceTracker>::ofProcess().get();
}
void DUZEDeviceTracker::resetSharedInstance() {
  DUZESharedInstance<DUZEDeviceTracker>::ofProcess().reset();
}

std::shared_ptr<DUZEDevice> DUZEDeviceTracker::describeHost() {
  auto device = DUZEDevice::create();
  struct utsname names {};
  const bool haveNames = uname(&names) == 0;
  device->setSdkName(std::string(kSdkName));
  device->setSdkVersion(std::string(kSdkVersion));
  auto model = firstLine("/sys/class/dmi/id/product_name");
  if (!model && haveNames) model = names.machine;
  device->setModel(model);
  device->setOemName(firstLine("/sys/class/dmi/id/sys_vendor"));
  // The same description the crash engine writes into its reports.
  const sys::OperatingSystem os = sys::systemFacts()->operatingSystem();
  device->setOsName(os.name);
  device->setOsVersion(os.version);
  device->setOsBuild(os.build);
  device->setLocale(localeName());
  device->setTimeZoneOffset(timeZoneOffsetMinutes());
  device->setAppVersion(
      bundleString(foundation::kCFBundleShortVersionStringKey).value_or(std::string(kUnknown)));
  device->setAppBuild(
      bundleString(foundation::kCFBundleVersionKey).value_or(std::string(kUnknown)));
  device->setAppNamespace(foundation::NSBundle::mainBundle()->bundleIdentifier());
  return device;
}

DUZEDeviceTracker::DUZEDeviceTracker()
    : device_(describeHost()), history_(duze::loadHistory<DUZEDeviceHistoryInfo>(kPastDevicesKey)) {
  std::sort(history_.begin(), history_.end(),
            [](const auto& a, const auto& b) { return a->timestamp() < b->timestamp(); });
  // One entry per distinct description: a run that changed nothing adds none.
  if (history_.empty() || !history_.back()->device()->isEqual(*device_)) {
    history_.push_back(DUZEDeviceHistoryInfo::create(dispatch::Date::now(), device_));
    persistLocked();
  }
}

std::shared_ptr<DUZEDevice> DUZEDeviceTracker::device() {
  base::LockGuard lock(mutex_);
  return device_;
}

void DUZEDeviceTracker::clearDevices() {
  base::LockGuard lock(mutex_);
  // The current run's entry stays, so that its logs, read back by a later
  // run, still find this run's device.
  std::shared_ptr<DUZEDeviceHistoryInfo> current;
  for (const auto& entry : history_) {
    if (entry->device()->isEqual(*device_)) current = entry;
  }
  history_.clear();
  history_.push_back(current ? current
                             : DUZEDeviceHistoryInfo::create(dispatch::Date::now(), device_));
  persistLocked();
}

std::shared_ptr<DUZEDevice> DUZEDeviceTracker::deviceForTimestamp(
    const std::optional<dispatch::Date>& timestamp) {
  base::LockGuard lock(mutex_);
  if (!timestamp || history_.empty()) return device_;
  // The insertion point of the time in the history sorted by time; the entry
  // before it is the one valid then.
  auto it =
      std::upper_bound(history_.begin(), history_.end(), *timestamp,
                       [](dispatch::Date t, const auto& entry) { return t < entry->timestamp(); });
  if (it == history_.begin()) return history_.front()->device();
  return (*std::prev(it))->device();
}

void DUZEDeviceTracker::persistLocked() { duze::storeHistory(kPastDevicesKey, history_); }
