#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "ZozIduvur/DUZEDevice.h"
#include "ZozIduvur/DUZESessionHistoryInfo.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"
#include "dispatch/Time.h"

// The description of this machine and application, and the history of the
// descriptions of earlier runs (persisted in user defaults), so that a log
// written by an earlier run is matched to the device of that run.
// Thread-safe.
class DUZEDeviceTracker {
 public:
  // The first call describes the host and records the description in the
  // history when it differs from the latest entry.
  static std::shared_ptr<DUZEDeviceTracker> sharedInstance();
  static void resetSharedInstance();

  // The current device.
  std::shared_ptr<DUZEDevice> device();
  // Drops the history of earlier devices; the current one stays recorded.
  void clearDevices();
  // The device current at `timestamp`: the latest history entry recorded at
  // or before it (the first entry when it is before all of them); the
  // current device when no time is given or the history is empty.
  std::shared_ptr<DUZEDevice> deviceForTimestamp(const std::optional<dispatch::Date>& timestamp);

  // A fresh description of the host: the operating system as the platform
  // layer describes it (sys::SystemFactSource::operatingSystem), the DMI
  // product name and vendor, the locale, the time-zone offset and the
  // application's version, build and identifier from the bundle info.
  static std::shared_ptr<DUZEDevice> describeHost();

  DUZEDeviceTracker();

 private:
  void persistLocked() KX_REQUIRES(mutex_);

  base::Mutex mutex_;
  std::shared_ptr<DUZEDevice> device_ KX_GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<DUZEDeviceHistoryInfo>> history_ KX_GUARDED_BY(mutex_);
};
