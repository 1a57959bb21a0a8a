#pragma once

#include <string_view>

#include "dispatch/OnceToken.h"
#include "dispatch/Time.h"

// Names and process-wide state shared by the crash service's sources.
namespace duzecrashes {

// The marker that exists in the crash folder while a pending report is
// being taken over.
inline constexpr std::string_view kAnalyzerFileName = "ZORodozid.analyzer";
// User-defaults keys (the wrapper adds its prefix).
inline constexpr std::string_view kUserConfirmationKey = "CrashesUserConfirmation";
inline constexpr std::string_view kMemoryWarningKey = "AppDidReceiveMemoryWarning";
// The crash engine's annotations that carry the session and user id into
// every report; for an id a report cannot carry, the time it was set, as
// seconds since 1970, instead (the history has it).
inline constexpr const char* kSessionIdAnnotation = "sessionId";
inline constexpr const char* kUserIdAnnotation = "userId";
inline constexpr const char* kSessionIdSetAtAnnotation = "sessionIdSetAt";
inline constexpr const char* kUserIdSetAtAnnotation = "userIdSetAt";

// Stored reports are processed at most once per process (until the shared
// instance is reset).
dispatch::OnceToken& delayedProcessingToken();
// How long after enabling stored reports are processed.
dispatch::DispatchTimeInterval processingDelay();

}  // namespace duzecrashes
