#pragma once

#include <cstdint>
#include <string_view>

// The telemetry client's one error domain.
inline constexpr std::string_view kDUZEErrorDomain = "ZozIduvurErrorDomain";

enum DUZEErrorCode : int64_t {
  // The ingestion answered with a status that is neither success nor worth
  // retrying; the user info holds the status under kDUZEHttpStatusCodeKey.
  DUZEErrorCodeHttpStatus = 1,
  // The request never got an answer (transport error or cancellation).
  DUZEErrorCodeConnection = 2,
};

// User-info key of the HTTP status of a DUZEErrorCodeHttpStatus error.
inline constexpr std::string_view kDUZEHttpStatusCodeKey = "StatusCode";
