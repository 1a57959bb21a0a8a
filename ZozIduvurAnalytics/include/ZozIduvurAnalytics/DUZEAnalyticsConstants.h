#pragma once

#include <cstdint>
#include <string_view>

// The analytics service's log tag.
inline constexpr std::string_view kDUZEAnalyticsLogTag = "ZozIduvurAnalytics";

// The service's name and the group id of its main channel unit.
inline constexpr std::string_view kDUZEAnalyticsServiceName = "Analytics";
inline constexpr std::string_view kDUZEAnalyticsGroupId = "Analytics";
// Joined to the group id ("%@_%@") to name the unit of critical logs.
inline constexpr std::string_view kDUZEAnalyticsCriticalGroupSuffix = "critical";

// Limits of what is tracked, in UTF-16 code units where they are lengths.
inline constexpr size_t kDUZEMaxEventNameLength = 256;
inline constexpr size_t kDUZEMaxPropertiesPerEvent = 20;
inline constexpr size_t kDUZEMaxPropertyKeyLength = 125;
inline constexpr size_t kDUZEMaxPropertyValueLength = 125;

// The range of the transmission interval, in seconds.
inline constexpr uint64_t kDUZEMinTransmissionInterval = 6;
inline constexpr uint64_t kDUZEMaxTransmissionInterval = 86400;  // one day
