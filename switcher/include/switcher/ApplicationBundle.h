#pragma once

#include <string_view>

// Who the application is: the identifier and versions its bundle gives the
// telemetry client (the data folder's name, the versions on every log) and
// the crash engine (the versions on every report). The program has no
// bundle of its own, so it describes itself before anything reads them.

// The identifier, which names the data folders (~/.local/share/kestrix, the
// crash engine's folder under ~/.cache): the program's own name, so that
// the data of earlier runs stays where they left it.
inline constexpr std::string_view kApplicationIdentifier = "kestrix";

// Puts the identifier and the project's version (as both the version users
// see and the build) into the main bundle's information. Called once, at the
// start of the program, before the telemetry client and the crash engine
// read them.
void describeMainBundle();
