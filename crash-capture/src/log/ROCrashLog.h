#pragma once

#include <functional>
#include <string>

// The engine's diagnostic lines ("[ROReradUzerirud] ..."), written to standard
// error. Not for crash-time code.
void ROCrashLog(const std::string& line);

#ifdef KX_TEST_SEAMS
// Test seam: routes the lines to `sink` instead (an empty function restores
// standard error).
void ROCrashSetLogSinkForTesting(std::function<void(const std::string&)> sink);
#endif
