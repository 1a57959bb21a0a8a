#include "RvStreams/VirtualTimeScheduler.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace rv::detail {

std::string describeDate(Date date) {
  const double unixSeconds = std::floor(date.timeIntervalSince1970());
  if (!std::isfinite(unixSeconds)) return describe(date.timeIntervalSinceReferenceDate());
  const std::time_t seconds = static_cast<std::time_t>(unixSeconds);
  std::tm utc{};
  if (gmtime_r(&seconds, &utc) == nullptr) return describe(date.timeIntervalSinceReferenceDate());
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d +0000", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

}  // namespace rv::detail
