#pragma once

#include <cstdint>
#include <string>

// The crash child's image situations: libraries opened after enabling (from
// the program, from another library, with RTLD_DEEPBIND) or closed again; a
// module the C library opens by itself; a library whose constructor crashes;
// a library's or the program's own file deleted or replaced on disk after
// loading, before the reporter lists the image; unwind search tables damaged
// in memory after listing. When `mode` is one of them, enables the reporter
// with the handler `type` ("signals" or "mach") and symbol-table
// symbolication, reporting under `folder`, and crashes; the return value is
// the exit status when it does not. -1 when `mode` is another one.
int crash_child_images(const char* mode, const char* type, const char* folder);

// Adds a "key value" line to the markers (CrashChild.cpp).
void crash_child_mark(const std::string& key, uint64_t value);
