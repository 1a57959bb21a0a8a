#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "ROCrashLogWriter.h"
#include "ROCrashProcessInfo.h"
#include "base/ProcessToken.h"
#include "safe/AsyncSafe.h"
#include "system/SystemFacts.h"

// A writer set up in one process and used in a child forked from it: the
// child's own facts, read at crash time.

namespace {

// The command name of `record`, cut to its valid UTF-8 prefix, into `out`
// (17 bytes).
void copyCommandName(const sys::ProcessRecord& record, char* out) {
  const auto* name = reinterpret_cast<const uint8_t*>(record.commandName);
  size_t length = rocrash_utf8_valid_prefix_length(name, sizeof record.commandName);
  rocrash_async_memcpy(out, record.commandName, length);
  out[length] = '\0';
}

// A random (version 4) UUID from the kernel, or, should it have none to give
// without waiting, `uuid` stirred with the process id and the clock: either
// way not the parent's.
void freshUUID(uint8_t uuid[16]) {
  uint8_t bytes[16];
  if (syscall(SYS_getrandom, bytes, sizeof bytes, GRND_NONBLOCK) ==
      static_cast<long>(sizeof bytes)) {
    rocrash_async_memcpy(uuid, bytes, sizeof bytes);
  } else {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t stir[2] = {static_cast<uint64_t>(syscall(SYS_getpid)) * 0x9E3779B97F4A7C15ull,
                        static_cast<uint64_t>(now.tv_nsec) ^ static_cast<uint64_t>(now.tv_sec)};
    for (size_t i = 0; i < 16; ++i) uuid[i] ^= static_cast<uint8_t>(stir[i / 8] >> (8 * (i % 8)));
  }
  uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x40);
  uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);
}

}  // namespace

bool rocrash_log_writer_adopt_process(rocrash_log_writer* writer) noexcept {
  // Asked of the kernel: a child in its parent's memory goes by its parent's
  // task name (and token), and one with its parent's id (in a pid namespace
  // of its own, or an ended ancestor's id given again) by a token of its own;
  // one in its parent's memory with its parent's id too (the first process
  // of a pid namespace, as its parent is of another) by neither, and adopts
  // afresh into its own copy of the writer.
  const auto pid = static_cast<uint32_t>(syscall(SYS_getpid));
  const uint32_t token = base::process_token();
  const bool parentsMemory = base::process_in_parents_memory();
  auto& forked = writer->forked_process;
  if (pid == forked.set_up_in && token == forked.set_up_token && !parentsMemory) return false;
  if (forked.process_id == pid && forked.adopted_token == token && !parentsMemory) return true;
  const uint32_t setUpIn = forked.set_up_in;
  const uint32_t setUpToken = forked.set_up_token;
  rocrash_async_memset(&forked, 0, sizeof forked);
  forked.set_up_in = setUpIn;
  forked.set_up_token = setUpToken;
  sys::ProcessRecord record;
  if (sys::process_record_self_now(&record)) {
    copyCommandName(record, forked.process_name);
    forked.parent_process_id = static_cast<uint32_t>(record.parentPid);
    forked.start_time = static_cast<uint64_t>(record.startSeconds);
    forked.start_ticks = record.startTicks;
  } else {
    // No /proc (a sandbox covered it): the kernel still gives the calling
    // thread's name, which is the process's in a child that forked from it.
    forked.parent_process_id = static_cast<uint32_t>(syscall(SYS_getppid));
    char name[16] = {};
    if (prctl(PR_GET_NAME, name) == 0) {
      rocrash_async_memcpy(record.commandName, name, sizeof record.commandName);
      copyCommandName(record, forked.process_name);
    }
  }
  sys::ProcessRecord parent;
  if (sys::process_record_parent_now(&parent)) {
    copyCommandName(parent, forked.parent_process_name);
  }
  freshUUID(writer->report_info.uuid_bytes);
  forked.process_id = pid;
  forked.adopted_token = token;
  return true;
}
