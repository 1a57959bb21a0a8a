#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "images/AsyncImageList.h"
#include "safe/AsyncFile.h"
#include "safe/AsyncMachException.h"
#include "safe/AsyncReadCache.h"
#include "unwind/AsyncThreadState.h"
#include "walk/AsyncFrameCache.h"

namespace objc {
class NSException;
}

// The crash log writer turns the state of the running process into one crash
// report file. Set-up (`rocrash_log_writer_init`) gathers, on an ordinary
// thread, everything that needs memory, object messages or system queries;
// writing (`rocrash_log_writer_write`) runs inside a signal handler or the
// exception server thread of a crashed process and uses only async-signal-safe
// operations on what set-up prepared. Each nested message is sized by a dry
// run of the same code with a null file, so the report is produced in one
// forward pass without any buffer.

// A text value: byte length (without the terminating zero) and a heap copy;
// {0, null} when absent.
struct rocrash_log_writer_text {
  uint64_t len;
  char* str;
};

struct rocrash_log_writer {
  uint32_t symbol_strategy;  // ROCRASH_ASYNC_SYMBOL_STRATEGY_* bits; 0 = none

  struct {
    bool user_requested;
    uint8_t uuid_bytes[16];
  } report_info;

  struct {
    rocrash_log_writer_text version;
    rocrash_log_writer_text build;
  } system_info;

  struct {
    rocrash_log_writer_text model;
    uint64_t cpu_type;
    uint64_t cpu_subtype;
    uint32_t processor_count;
    uint32_t logical_processor_count;
  } machine_info;

  struct {
    rocrash_log_writer_text app_identifier;
    rocrash_log_writer_text app_version;
    rocrash_log_writer_text app_marketing_version;
  } application_info;

  struct {
    rocrash_log_writer_text process_name;
    uint32_t process_id;
    rocrash_log_writer_text process_path;
    uint64_t start_time;
    rocrash_log_writer_text parent_process_name;
    uint32_t parent_process_id;
    bool native;
    // This boot's id (null when unknown) and the start in clock ticks since
    // boot (0 when unknown).
    rocrash_log_writer_text boot_id;
    uint64_t start_ticks;
  } process_info;

  // The process a write runs in when it is not the one set-up was made in (a
  // child forked after set-up): its facts, read at crash time into this fixed
  // room by `rocrash_log_writer_adopt_process`. `process_id` is 0 while the
  // set-up facts stand; the executable path is the set-up one. `set_up_in` is
  // the process set-up ran in, and `set_up_token` its token (see
  // base/ProcessToken.h; a child may have its id); `adopted_token` the token
  // of the process adopted.
  struct {
    uint32_t set_up_in;
    uint32_t set_up_token;
    uint32_t adopted_token;
    uint32_t process_id;
    uint32_t parent_process_id;
    uint64_t start_time;
    uint64_t start_ticks;
    char process_name[17];
    char parent_process_name[17];
  } forked_process;

  struct {
    bool has_exception;
    char* name;
    char* reason;
    uint64_t callstack_count;
    uint64_t* callstack;
  } uncaught_exception;

  struct {
    uint64_t len;
    void* data;
  } custom_data;

  // Room for a write's thread list, reserved at set-up so that writing
  // allocates nothing: up to `capacity` threads with, for each, whether it
  // was suspended and the size of its message; the bytes the frames at each
  // depth take over all threads but the crashed one; and the caches of what
  // the write reads and finds in the call-frame information (null when they
  // could not be made: the write then asks afresh each time).
  struct {
    uint32_t capacity;
    sys::thread_t* threads;
    bool* suspended;
    uint32_t* sizes;
    uint64_t* depth_sizes;  // ROCRASH_LOG_WRITER_MAX_FRAMES entries
    rocrash_async_read_cache* read_cache;
    rocrash_async_frame_cache* frame_cache;
  } thread_storage;
};

// Frames written per thread at most, and threads listed per report at most.
inline constexpr uint32_t ROCRASH_LOG_WRITER_MAX_FRAMES = 512;
inline constexpr uint32_t ROCRASH_LOG_WRITER_MAX_THREADS = sys::kThreadCapacity;

// The Mach exception a crash arrived as.
struct rocrash_log_mach_exception_info {
  uint64_t type;
  const uint64_t* codes;
  uint32_t code_count;
};

// What the crash was: its signal, and its Mach exception or null.
struct rocrash_log_crash_info {
  const rocrash_async_siginfo* siginfo;
  const rocrash_log_mach_exception_info* mach_exception;
};

// Gathers the facts of this host, machine, process and application, makes
// a fresh report UUID and reserves the room a write needs. ROCRASH_ERR_INVAL when the process
// snapshot of this process cannot be made (nothing else is gathered then); any other missing fact
// leaves its field empty or 0. Ordinary threads only.
rocrash_error_t rocrash_log_writer_init(rocrash_log_writer* writer,
                                        const std::string& app_identifier,
                                        const std::string& app_version,
                                        const std::optional<std::string>& app_marketing_version,
                                        uint32_t symbol_strategy, bool user_requested);

// Records an uncaught exception: its name, its reason (empty when it has
// none) and its recorded return addresses. Once per writer: a second call
// stops the process.
void rocrash_log_writer_set_exception(rocrash_log_writer* writer, objc::NSException* exception);

// Replaces the copy of the custom data; null clears it.
void rocrash_log_writer_set_custom_data(rocrash_log_writer* writer,
                                        const std::vector<uint8_t>* data);

// Makes the writer describe the calling process when it is not the one
// set-up was made in (a child forked since): its id, name, parent and start
// time are read now, and the report gets a UUID of its own. True when the
// caller is such a child. Idempotent; async-signal-safe; uses one file
// descriptor for a moment. `rocrash_log_writer_write` calls it too: a caller
// short of descriptors calls it before it opens the report file.
bool rocrash_log_writer_adopt_process(rocrash_log_writer* writer) noexcept;

// Writes a complete report to `file`: every thread of the task (the others
// are suspended for the time of the write), the images of `image_list`, the
// recorded exception, the signal, the custom data and the annotations as they
// stand (ROCrashAnnotations.h). `crashed_thread` is
// marked crashed and always written, whatever the number of threads. The
// calling thread is written from `current_state` when it is given and left
// out otherwise. The report names the calling process, a forked child's own
// (see `rocrash_log_writer_adopt_process`). When the file has an output limit and the whole report
// would pass it, the threads other than the crashed one are written with fewer frames, as many as
// fit for all of them (and, were that not enough, the custom data is left out), so the report stays
// whole. Async-signal-safe; allocates nothing. Single write failures are recorded by the file; the
// caller's flush and close report them.
rocrash_error_t rocrash_log_writer_write(rocrash_log_writer* writer, sys::thread_t crashed_thread,
                                         rocrash_async_image_list* image_list,
                                         rocrash_async_file* file,
                                         const rocrash_log_crash_info* crash_info,
                                         const rocrash_async_thread_state* current_state) noexcept;

// Nothing to finish: ROCRASH_ERR_NONE.
rocrash_error_t rocrash_log_writer_close(rocrash_log_writer* writer) noexcept;

// Releases every heap copy.
void rocrash_log_writer_free(rocrash_log_writer* writer);

// Protocol-buffer field types, numbered as the protocol-buffer runtime does.
enum rocrash_protobuf_type : uint32_t {
  ROCRASH_PROTOBUF_TYPE_INT32 = 0,
  ROCRASH_PROTOBUF_TYPE_SINT32 = 1,
  ROCRASH_PROTOBUF_TYPE_SFIXED32 = 2,
  ROCRASH_PROTOBUF_TYPE_INT64 = 3,
  ROCRASH_PROTOBUF_TYPE_SINT64 = 4,
  ROCRASH_PROTOBUF_TYPE_SFIXED64 = 5,
  ROCRASH_PROTOBUF_TYPE_UINT32 = 6,
  ROCRASH_PROTOBUF_TYPE_FIXED32 = 7,
  ROCRASH_PROTOBUF_TYPE_UINT64 = 8,
  ROCRASH_PROTOBUF_TYPE_FIXED64 = 9,
  ROCRASH_PROTOBUF_TYPE_FLOAT = 10,
  ROCRASH_PROTOBUF_TYPE_DOUBLE = 11,
  ROCRASH_PROTOBUF_TYPE_BOOL = 12,
  ROCRASH_PROTOBUF_TYPE_ENUM = 13,
  ROCRASH_PROTOBUF_TYPE_STRING = 14,
  ROCRASH_PROTOBUF_TYPE_BYTES = 15,
  ROCRASH_PROTOBUF_TYPE_MESSAGE = 16,
};

// The value of a bytes field.
struct rocrash_protobuf_bytes {
  size_t len;
  const void* data;
};

#ifdef KX_TEST_SEAMS
// Encodes one field (tag and value) and returns its size in bytes; writes it
// only when `file` is given. `value` points at the scalar itself; for a
// string at a zero-terminated text; for bytes at a rocrash_protobuf_bytes;
// for a message at the uint32_t length of its content, which the caller
// writes right after. A type above 16 stops the process.
size_t rocrash_writer_pack(rocrash_async_file* file, uint32_t field_id, uint32_t type,
                           const void* value) noexcept;
#endif
