#pragma once

#include <cstdint>

// Symbolic names of signals and signal codes for the report's signal section,
// keyed by this host's constants. Async-signal-safe (static tables).

// "SIGSEGV", ...; null for a number this host does not name.
const char* rocrash_async_signal_name(int signal) noexcept;
// "SEGV_MAPERR", ...; null when the (signal, code) pair has no name.
const char* rocrash_async_signal_code_name(int signal, int code) noexcept;
