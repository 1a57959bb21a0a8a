#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Mutex.h"
#include "dispatch/DispatchSource.h"

namespace dispatch::detail {

// Ten-second averages of /proc/pressure/memory, in percent of wall time.
struct PsiAverages {
  double someAvg10 = 0;  // some task stalled on memory
  double fullAvg10 = 0;  // every task stalled on memory
};
// Parses the "some ..." and "full ..." lines; nullopt when either is missing
// or malformed.
std::optional<PsiAverages> parsePsi(std::string_view text);

struct MemInfo {
  uint64_t totalKb = 0;
  uint64_t availableKb = 0;
};
// Parses "MemTotal:" and "MemAvailable:" of /proc/meminfo; nullopt when either
// is missing or MemTotal is 0.
std::optional<MemInfo> parseMemInfo(std::string_view text);

// The level each reading stands for: critical when every task stalls at
// least 10% of the time (or under 5% of memory is available), warning when
// some task stalls at least 10% of the time (or under 10% is available),
// normal otherwise.
MemoryPressureEvent levelFromPsi(const PsiAverages& averages);
MemoryPressureEvent levelFromMemInfo(const MemInfo& info);

// Watches the system while at least one memory-pressure source is resumed,
// and passes each change of level to the sources whose mask has the new
// level. PSI triggers wake it when the kernel offers them; otherwise it reads
// the PSI averages, or MemAvailable where PSI is absent, once a second.
class MemoryPressureMonitor {
 public:
  static MemoryPressureMonitor& shared();

  void add(DispatchSourceMemoryPressure& source);
  void remove(DispatchSourceMemoryPressure& source);
  void deliver(MemoryPressureEvent event);

 private:
  MemoryPressureMonitor() = default;
  void threadMain();
  MemoryPressureEvent readLevel();

  base::Mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<DispatchSourceMemoryPressure*, std::weak_ptr<DispatchSource>>> sources_
      KX_GUARDED_BY(mutex_);
  bool threadRunning_ KX_GUARDED_BY(mutex_) = false;
};

}  // namespace dispatch::detail
