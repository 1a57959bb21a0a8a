#include "ZozIduvur/DUZESessionHistoryInfo.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>

#include "DUZEHistory.h"
#include "foundation/KeyedArchive.h"
#include "system/SystemFacts.h"

namespace {

const dispatch::Date gLibraryStart = dispatch::Date::now();

// When this process started, on the wall clock as it reads now: the kernel's
// time of the start, in ticks since boot, taken back from the current time;
// failing that, when this library's code first ran.
dispatch::Date readProcessStart() {
  // Field 22 of /proc/self/stat: clock ticks from boot to the start, on the
  // clock that counts suspended time too. A fork is a start of its own.
  std::ifstream file("/proc/self/stat");
  std::string stat;
  std::getline(file, stat);
  const size_t name = stat.rfind(')');
  const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  timespec boot{};
  timespec wall{};
  if (name == std::string::npos || ticksPerSecond <= 0 ||
      ::clock_gettime(CLOCK_BOOTTIME, &boot) != 0 || ::clock_gettime(CLOCK_REALTIME, &wall) != 0) {
    return gLibraryStart;
  }
  std::istringstream fields(stat.substr(name + 1));
  std::string field;
  unsigned long long startTicks = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 22) {
      startTicks = std::stoull(field);
      break;
    }
  }
  if (startTicks == 0) return gLibraryStart;
  const double sinceBoot = static_cast<double>(boot.tv_sec) + boot.tv_nsec / 1e9;
  const double running = sinceBoot - static_cast<double>(startTicks) / ticksPerSecond;
  const double now = static_cast<double>(wall.tv_sec) + wall.tv_nsec / 1e9;
  return std::min(dispatch::Date::fromUnixTime(now - running), gLibraryStart);
}

std::optional<DUZEProcessIdentity> readIdentity(pid_t pid) {
  // Read as the crash engine reads its own process at set-up, so that an
  // entry and a report of one process name it alike.
  const auto facts = sys::systemFacts();
  const auto record = facts->process(pid);
  if (!record || record->startSeconds <= 0) return std::nullopt;
  DUZEProcessIdentity identity{record->pid, record->startSeconds};
  if (auto boot = facts->bootId(); boot && record->startTicks > 0) {
    identity.bootId = std::move(boot);
    identity.startTicks = static_cast<int64_t>(record->startTicks);
  }
  return identity;
}

// What this process is, taken once: the wall clock and the boot time it
// gives may step later, and each entry of one process must name it alike.
struct ThisProcess {
  pid_t pid = 0;
  std::optional<DUZEProcessIdentity> identity;
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
  auto* taken = new ThisProcess{pid, readIdentity(pid), readProcessStart(), known};
  if (gThisProcess.compare_exchange_strong(known, taken, std::memory_order_acq_rel)) return *taken;
  // Another thread of this process took it first.
  delete taken;
  return *known;
}

}  // namespace

dispatch::Date duze::processStartTime() { return thisProcess().started; }

std::optional<DUZEProcessIdentity> DUZEProcessIdentity::current() { return thisProcess().identity; }

bool DUZEProcessIdentity::sameAs(const DUZEProcessIdentity& other) const {
  return isKnown() && other.isKnown() && processId == other.processId && bootId == other.bootId &&
         startTicks == other.startTicks;
}

bool DUZEHistoryInfo::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEHistoryInfo*>(&other);
  return o && o->className() == className() && timestamp_ == o->timestamp_ &&
         recordedBy_ == o->recordedBy_;
}

void DUZEHistoryInfo::encodeWithCoder(foundation::NSCoder& coder) const {
  coder.encodeObject(foundation::Value(timestamp_), "timestamp");
  if (recordedBy_) {
    // The id and start second are what older versions read.
    coder.encodeInt64(recordedBy_->processId, "processId");
    coder.encodeInt64(recordedBy_->startSeconds, "processStart");
    if (recordedBy_->isKnown()) {
      coder.encodeObject(recordedBy_->bootId, "bootId");
      coder.encodeObject(recordedBy_->startTicks, "processStartTicks");
    }
  }
}

bool DUZEHistoryInfo::initWithCoder(foundation::NSCoder& coder) {
  auto timestamp = coder.decodeDateForKey("timestamp");
  if (!timestamp) return false;  // an entry without its time cannot be placed
  timestamp_ = *timestamp;
  const auto processId = coder.decodeNumberForKey("processId");
  const auto start = coder.decodeNumberForKey("processStart");
  if (processId && start) {
    recordedBy_ = DUZEProcessIdentity{*processId, *start};
    auto boot = coder.decodeStringForKey("bootId");
    const auto ticks = coder.decodeNumberForKey("processStartTicks");
    if (boot && ticks) {
      recordedBy_->bootId = std::move(boot);
      recordedBy_->startTicks = *ticks;
    }
  }
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
