#include "ZozIduvur/DUZESessionHistoryInfo.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>

#include "DUZEHistory.h"
#include "base/ProcFiles.h"
#include "base/ProcStat.h"
#include "foundation/KeyedArchive.h"

namespace {

const dispatch::Date gLibraryStart = dispatch::Date::now();

// When this process started, on the wall clock as it reads now: the kernel's
// time of the start, in ticks since boot, taken back from the current time;
// failing that, when this library's code first ran.
dispatch::Date readProcessStart() {
  // The kernel's start, in clock ticks from boot, on the clock that counts
  // suspended time too. A fork is a start of its own.
  base::ProcStat stat;
  const long ticksPerSecond = base::proc_clock_ticks();
  timespec boot{};
  timespec wall{};
  if (!base::proc_stat_read(base::ProcPath(base::kProcSelf).file("stat").c_str(), &stat) ||
      ::clock_gettime(CLOCK_BOOTTIME, &boot) != 0 || ::clock_gettime(CLOCK_REALTIME, &wall) != 0) {
    return gLibraryStart;
  }
  const uint64_t startTicks = stat.startTicks;
  if (startTicks == 0) return gLibraryStart;
  const double sinceBoot = static_cast<double>(boot.tv_sec) + boot.tv_nsec / 1e9;
  const double running = sinceBoot - static_cast<double>(startTicks) / ticksPerSecond;
  const double now = static_cast<double>(wall.tv_sec) + wall.tv_nsec / 1e9;
  return std::min(dispatch::Date::fromUnixTime(now - running), gLibraryStart);
}

// When this process started, taken once: the wall clock may step later, and
// every crash this process sends must be judged against the same start.
struct ThisProcess {
  pid_t pid = 0;
  dispatch::Date started;
  // The parent's, in a forked child: kept reachable, never freed, since
  // another thread may still be reading it.
  const ThisProcess* before = nullptr;
};

// Published without a lock, so that a child forked while another thread
// takes it takes its own all the same.
std::atomic<const ThisProcess*> gThisProcess{nullptr};

const ThisProcess& thisProcess() {
  const pid_t pid = ::getpid();
  const ThisProcess* known = gThisProcess.load(std::memory_order_acquire);
  if (known && known->pid == pid) return *known;
  auto* taken = new ThisProcess{pid, readProcessStart(), known};
  if (gThisProcess.compare_exchange_strong(known, taken, std::memory_order_acq_rel)) return *taken;
  // Another thread of this process took it first.
  delete taken;
  return *known;
}

}  // namespace

dispatch::Date duze::processStartTime() { return thisProcess().started; }

bool DUZEHistoryInfo::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEHistoryInfo*>(&other);
  return o && o->className() == className() && timestamp_ == o->timestamp_;
}

void DUZEHistoryInfo::encodeWithCoder(foundation::NSCoder& coder) const {
  coder.encodeObject(foundation::Value(timestamp_), "timestamp");
}

bool DUZEHistoryInfo::initWithCoder(foundation::NSCoder& coder) {
  auto timestamp = coder.decodeDateForKey("timestamp");
  if (!timestamp) return false;  // an entry without its time cannot be placed
  timestamp_ = *timestamp;
  return true;
}

std::shared_ptr<DUZESessionHistoryInfo> DUZESessionHistoryInfo::create(
    dispatch::Date timestamp, std::optional<std::string> sessionId) {
  auto info = std::make_shared<DUZESessionHistoryInfo>();
  info->setTimestamp(timestamp);
  info->setSessionId(std::move(sessionId));
  return info;
}

bool DUZESessionHistoryInfo::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZESessionHistoryInfo*>(&other);
  return o && DUZEHistoryInfo::isEqual(other) && sessionId_ == o->sessionId_;
}

void DUZESessionHistoryInfo::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEHistoryInfo::encodeWithCoder(coder);
  coder.encodeObject(sessionId_, "sessionId");
}

bool DUZESessionHistoryInfo::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZEHistoryInfo::initWithCoder(coder)) return false;
  sessionId_ = coder.decodeStringForKey("sessionId");
  return true;
}

std::shared_ptr<DUZEUserIdHistoryInfo> DUZEUserIdHistoryInfo::create(
    dispatch::Date timestamp, std::optional<std::string> userId) {
  auto info = std::make_shared<DUZEUserIdHistoryInfo>();
  info->setTimestamp(timestamp);
  info->setUserId(std::move(userId));
  return info;
}

bool DUZEUserIdHistoryInfo::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEUserIdHistoryInfo*>(&other);
  return o && DUZEHistoryInfo::isEqual(other) && userId_ == o->userId_;
}

void DUZEUserIdHistoryInfo::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEHistoryInfo::encodeWithCoder(coder);
  coder.encodeObject(userId_, "userId");
}

bool DUZEUserIdHistoryInfo::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZEHistoryInfo::initWithCoder(coder)) return false;
  userId_ = coder.decodeStringForKey("userId");
  return true;
}

std::shared_ptr<DUZEDeviceHistoryInfo> DUZEDeviceHistoryInfo::create(
    dispatch::Date timestamp, std::shared_ptr<DUZEDevice> device) {
  auto info = std::make_shared<DUZEDeviceHistoryInfo>();
  info->setTimestamp(timestamp);
  info->setDevice(std::move(device));
  return info;
}

bool DUZEDeviceHistoryInfo::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEDeviceHistoryInfo*>(&other);
  return o && DUZEHistoryInfo::isEqual(other) && duze::sameObject(device_, o->device_);
}

void DUZEDeviceHistoryInfo::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEHistoryInfo::encodeWithCoder(coder);
  coder.encodeObject(device_, "device");
}

bool DUZEDeviceHistoryInfo::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZEHistoryInfo::initWithCoder(coder)) return false;
  device_ = coder.decodeObjectOfClass<DUZEDevice>("device");
  return device_ != nullptr;
}
