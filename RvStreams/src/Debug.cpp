#include "RvStreams/Debug.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "base/Mutex.h"

namespace rv::detail {

namespace {

constexpr std::size_t kTrimLimit = 40;
constexpr std::size_t kTrimKeep = 20;

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The byte offsets at which each code point of `text` starts.
std::vector<std::size_t> codePointStarts(const std::string& text) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!isContinuationByte(text[i])) starts.push_back(i);
  }
  return starts;
}

std::string timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto sinceEpoch =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  const int millis = static_cast<int>(((sinceEpoch % 1000) + 1000) % 1000);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  char text[40];
  std::snprintf(text, sizeof text, "%s.%03d", date, millis);
  return text;
}

}  // namespace

std::string debugIdentifier(const char* file, int line, const char* function) {
  const std::string path(file);
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name + ":" + std::to_string(line) + " (" + function + ")";
}

std::string debugEventText(const std::string& text, bool trim) {
  if (!trim) return text;
  const std::vector<std::size_t> starts = codePointStarts(text);
  if (starts.size() <= kTrimLimit) return text;
  const std::size_t headEnd = starts[kTrimKeep];
  const std::size_t tailStart = starts[starts.size() - kTrimKeep];
  return text.substr(0, headEnd) + "..." + text.substr(tailStart);
}

void printDebugLine(const std::string& identifier, const std::string& content) {
  static base::Mutex mutex;
  const std::string line = timestamp() + ": " + identifier + " -> " + content + "\n";
  base::LockGuard guard(mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace rv::detail
