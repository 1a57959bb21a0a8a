#include "MemoryPressure.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>

#include "base/ProcFiles.h"

namespace dispatch::detail {
namespace {

constexpr base::ProcPath kPsiPath = base::ProcPath(base::kProcSystem).file("pressure/memory");
constexpr base::ProcPath kMemInfoPath = base::ProcPath(base::kProcSystem).file("meminfo");
// Wake when tasks stall on memory for 150 ms within a 2 s window (the
// smallest window the kernel grants unprivileged processes).
constexpr const char* kPsiTrigger = "some 150000 2000000";
constexpr int kPollMillis = 1000;

std::string_view lineStartingWith(std::string_view text, std::string_view prefix) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (line.substr(0, prefix.size()) == prefix) return line;
    at = end + 1;
  }
  return {};
}

// The number after "avg10=" in a PSI line.
std::optional<double> avg10Of(std::string_view line) {
  const std::size_t at = line.find("avg10=");
  if (at == std::string_view::npos) return std::nullopt;
  // std::from_chars for double is in libstdc++ 11+.
  const char* begin = line.data() + at + 6;
  const char* end = line.data() + line.size();
  double value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr == begin || value < 0) return std::nullopt;
  return value;
}

// The number of kB in a meminfo line such as "MemTotal:  24682404 kB".
std::optional<uint64_t> kbOf(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::size_t at = colon + 1;
  while (at < line.size() && line[at] == ' ') ++at;
  uint64_t value = 0;
  const auto [ptr, ec] = std::from_chars(line.data() + at, line.data() + line.size(), value);
  if (ec != std::errc() || ptr == line.data() + at) return std::nullopt;
  return value;
}

// The text of the file at `path` in `text` (whose room is `room`), cut
// there: both files give what is read of them in their first lines.
std::optional<std::string_view> readFile(const base::ProcPath& path, char* text, size_t room) {
  const ssize_t length = base::proc_read(path.c_str(), text, room);
  if (length < 0) return std::nullopt;
  return std::string_view(text, static_cast<size_t>(length));
}

}  // namespace

std::optional<PsiAverages> parsePsi(std::string_view text) {
  const std::optional<double> some = avg10Of(lineStartingWith(text, "some "));
  const std::optional<double> full = avg10Of(lineStartingWith(text, "full "));
  if (!some || !full) return std::nullopt;
  return PsiAverages{*some, *full};
}

std::optional<MemInfo> parseMemInfo(std::string_view text) {
  const std::optional<uint64_t> total = kbOf(lineStartingWith(text, "MemTotal:"));
  const std::optional<uint64_t> available = kbOf(lineStartingWith(text, "MemAvailable:"));
  if (!total || !available || *total == 0) return std::nullopt;
  return MemInfo{*total, *available};
}

MemoryPressureEvent levelFromPsi(const PsiAverages& averages) {
  if (averages.fullAvg10 >= 10.0) return MemoryPressureEvent::critical;
  if (averages.someAvg10 >= 10.0) return MemoryPressureEvent::warning;
  return MemoryPressureEvent::normal;
}

MemoryPressureEvent levelFromMemInfo(const MemInfo& info) {
  // Compare available * 100 with total * percent without overflow for any
  // realistic size (kB counts stay far below 2^57).
  const uint64_t available = info.availableKb > info.totalKb ? info.totalKb : info.availableKb;
  if (available * 100 < info.totalKb * 5) return MemoryPressureEvent::critical;
  if (available * 100 < info.totalKb * 10) return MemoryPressureEvent::warning;
  return MemoryPressureEvent::normal;
}

MemoryPressureMonitor& MemoryPressureMonitor::shared() {
  // Never destroyed: its thread may outlive static destruction.
  static auto* const monitor = new MemoryPressureMonitor();
  return *monitor;
}

void MemoryPressureMonitor::add(DispatchSourceMemoryPressure& source) {
  base::LockGuard lock(mutex_);
  for (const auto& entry : sources_) {
    if (entry.first == &source) return;
  }
  sources_.emplace_back(&source, source.weak_from_this());
  if (!threadRunning_) {
    threadRunning_ = true;
    std::thread([this] { threadMain(); }).detach();
  }
}

void MemoryPressureMonitor::remove(DispatchSourceMemoryPressure& source) {
  base::LockGuard lock(mutex_);
  for (auto it = sources_.begin(); it != sources_.end(); ++it) {
    if (it->first == &source) {
      sources_.erase(it);
      break;
    }
  }
  if (sources_.empty()) changed_.notify_all();
}

void MemoryPressureMonitor::deliver(MemoryPressureEvent event) {
  std::vector<std::shared_ptr<DispatchSource>> targets;
  {
    base::LockGuard lock(mutex_);
    for (const auto& entry : sources_) {
      if (auto source = entry.second.lock()) targets.push_back(std::move(source));
    }
  }
  for (auto& source : targets) {
    static_cast<DispatchSourceMemoryPressure&>(*source).notify(event);
  }
}

MemoryPressureEvent MemoryPressureMonitor::readLevel() {
  char text[4096];
  if (auto psi = readFile(kPsiPath, text, sizeof text)) {
    if (auto averages = parsePsi(*psi)) return levelFromPsi(*averages);
  }
  if (auto meminfo = readFile(kMemInfoPath, text, sizeof text)) {
    if (auto info = parseMemInfo(*meminfo)) return levelFromMemInfo(*info);
  }
  return MemoryPressureEvent::normal;
}

void MemoryPressureMonitor::threadMain() {
  pthread_setname_np(pthread_self(), "dispatch-memory");
  int trigger = ::open(kPsiPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (trigger >= 0 && ::write(trigger, kPsiTrigger, std::strlen(kPsiTrigger) + 1) < 0) {
    ::close(trigger);
    trigger = -1;
  }
  MemoryPressureEvent level = MemoryPressureEvent::normal;
  for (;;) {
    {
      base::LockGuard lock(mutex_);
      if (sources_.empty()) break;
      if (trigger < 0) {
        if (mutex_.waitUntil(
                changed_, std::chrono::steady_clock::now() + std::chrono::milliseconds(kPollMillis),
                [this]() KX_REQUIRES(mutex_) { return sources_.empty(); })) {
          break;
        }
      }
    }
    if (trigger >= 0) {
      pollfd watch{trigger, POLLPRI, 0};
      const int ready = ::poll(&watch, 1, kPollMillis);
      if ((ready < 0 && errno != EINTR) || (ready > 0 && (watch.revents & (POLLERR | POLLNVAL)))) {
        // The trigger broke: read the averages on a timer instead.
        ::close(trigger);
        trigger = -1;
      }
    }
    const MemoryPressureEvent now = readLevel();
    if (now != level) {
      level = now;
      deliver(level);
    }
  }
  if (trigger >= 0) ::close(trigger);
  base::LockGuard lock(mutex_);
  threadRunning_ = false;
  // A source added after the loop saw none left needs a thread again.
  if (!sources_.empty()) {
    threadRunning_ = true;
    std::thread([this] { threadMain(); }).detach();
  }
}

}  // namespace dispatch::detail
