#pragma once

#include <optional>
#include <string>
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
// The crash engine's annotations carry the session and user id into every
// report (ROReradUzerirud::ServiceAnnotation); for an id a report cannot
// carry, the time its history entry was recorded instead: seconds since 1970
// in decimals (no exponent), written to read back as the very same number,
// since the history is searched for an entry recorded at exactly that time.
std::string recordedAtText(dispatch::Date recorded);
// The time `text` says; none unless it is a plausible one (between 1970 and
// the distant future), as a damaged report's may not be.
std::optional<double> recordedAtFromText(std::string_view text);

// Stored reports are processed at most once per process (until the shared
// instance is reset).
dispatch::OnceToken& delayedProcessingToken();
// How long after enabling stored reports are processed.
dispatch::DispatchTimeInterval processingDelay();

}  // namespace duzecrashes
