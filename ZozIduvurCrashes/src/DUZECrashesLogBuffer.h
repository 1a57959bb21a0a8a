#pragma once

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The crash-time log buffer: copies of the logs that the telemetry core has
// prepared but not stored yet, kept in their final byte form so that the
// crash callback only opens, writes and closes files.

inline constexpr size_t kDUZECrashesLogBufferSize = 60;
inline constexpr std::string_view kDUZECrashesLogBufferFileExtension = "zorodozidlogbuffer";
inline constexpr std::string_view kDUZECrashesTargetTokenFileExtension = "targettoken";

// One slot of the buffer. A slot is free while `buffer` is empty.
struct LogBufferSlot {
  // Absolute path of the slot's buffer file.
  std::string bufferPath;
  // The log as a keyed archive.
  std::string buffer;
  // Absolute path of the slot's target-token file.
  std::string targetTokenPath;
  // The log's target token, encrypted (possibly empty).
  std::string targetToken;
  // The channel unit's internal id of the log.
  std::string internalId;
  // Seconds since 1970 when the log was stored in the slot; 0 when cleared.
  double timestamp = 0;
  // The process that changed the slot last (its `base::process_token`), 0
  // before the buffer is set up. Only that process writes the slot's files
  // at a crash: a child forked without exec holds copies of its parent's
  // slots, whose logs the parent stores and sends itself, and whose files
  // may hold what the parent's own crash wrote.
  uint32_t owner = 0;
  // Odd while the slot is being changed. The crash callback reads slots
  // without a lock, possibly while another thread is stopped in the middle
  // of a change: it skips a slot that is being changed and empties a file
  // whose slot changed while it was written, rather than leave torn bytes.
  std::atomic<uint32_t> generation{0};
};

// The process's slots; changed only under the crash service's instance lock.
// Never destroyed: a crash in a global destructor or an exit handler that
// runs after this library's statics are gone still writes them.
extern LogBufferSlot (&logBufferSlots)[kDUZECrashesLogBufferSize];
// Set once the crash callback has run in this process.
extern std::atomic<bool> logBufferWrittenAtCrash;

// The crash engine's crash-time callback: writes every slot this process
// changed last to its buffer file (an empty file for a free slot) and each
// non-empty target token to its token file. Async-signal-safe: open, write,
// ftruncate and close only.
void crashes_log_buffer_crash_callback(siginfo_t* info, void* uap, void* context);
