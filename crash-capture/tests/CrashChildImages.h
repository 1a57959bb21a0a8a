#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "crash-capture/ROReradUzerirud.h"

// The crash child's image situations: libraries opened after enabling (from
// the program, from another library, with RTLD_DEEPBIND) or closed again; a
// module the C library opens by itself; a library whose constructor crashes;
// a library's or the program's own file deleted or replaced on disk after
// loading, before the reporter lists the image; unwind search tables damaged
// in memory after listing; a fault in a library of the last of many loader
// namespaces. When `mode` is one of them, enables the reporter
// with the handler `type` ("signals" or "mach") and symbol-table
// symbolication, reporting under `folder`, and crashes; the return value is
// the exit status when it does not. -1 when `mode` is another one.
int crash_child_images(const char* mode, const char* type, const char* folder);

// The reporter of a child situation that enables it itself: the handler
// `type` ("signals" or "mach"), symbol-table symbolication, reports under
// `folder`.
std::shared_ptr<ROReradUzerirud> crash_child_reporter(const char* type, const char* folder);

// Adds a "key value" line to the markers (CrashChild.cpp).
void crash_child_mark(const std::string& key, uint64_t value);
