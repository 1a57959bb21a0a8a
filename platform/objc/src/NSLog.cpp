#include "objc/NSLog.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "base/Mutex.h"

namespace objc {

namespace {
base::Mutex& logLock() {
  static base::Mutex* lock = new base::Mutex;
  return *lock;
}
}  // namespace

void NSLog(std::string_view message) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

  std::string line = stamp;
  line += '.';
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, "%03d", static_cast<int>(millis));
  line += fraction;
  line += ' ';
  line += program_invocation_short_name;
  line += '[' + std::to_string(getpid()) + ':' + std::to_string(syscall(SYS_gettid)) + "] ";
  line.append(message);
  line += '\n';

  base::LockGuard guard(logLock());
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace objc
