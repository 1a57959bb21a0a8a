#include <errno.h>

#include <cstdlib>
#include <cstring>

#include "ROCrashLogWriter.h"
#include "ROCrashProcessInfo.h"
#include "base/ProcessToken.h"
#include "foundation/UUID.h"
#include "objc/NSException.h"
#include "safe/Assert.h"
#include "system/SignalSafe.h"
#include "system/SystemFacts.h"

// Set-up of a writer, on ordinary threads: the facts a report holds, copied
// to the heap, and the room a write needs, reserved.

namespace {

constexpr uint32_t kMaxFrames = ROCRASH_LOG_WRITER_MAX_FRAMES;

rocrash_log_writer_text copyText(const std::string& text) {
  char* copy = static_cast<char*>(malloc(text.size() + 1));
  if (copy == nullptr) return {0, nullptr};
  memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return {text.size(), copy};
}

void freeText(rocrash_log_writer_text* text) {
  free(text->str);
  *text = {0, nullptr};
}

// A text system-control value: ask for the size, allocate it, fetch; when the
// value grew in between, ask again. Null (errno kept) on any other failure.
char* sysctlText(const char* name) {
  for (;;) {
    size_t size = 0;
    if (sys::sysctlbyname(name, nullptr, &size, nullptr, 0) != 0) return nullptr;
    char* buffer = static_cast<char*>(malloc(size + 1));
    if (buffer == nullptr) return nullptr;
    if (sys::sysctlbyname(name, buffer, &size, nullptr, 0) != 0) {
      const bool grew = errno == ENOMEM;
      {
        sys::ErrnoGuard errnoGuard;
        free(buffer);
      }
      if (grew) continue;
      return nullptr;
    }
    buffer[size] = '\0';
    return buffer;
  }
}

bool sysctlInt32(const char* name, int32_t* value) {
  size_t size = sizeof *value;
  return sys::sysctlbyname(name, value, &size, nullptr, 0) == 0;
}

void freeThreadStorage(rocrash_log_writer* writer) {
  auto& storage = writer->thread_storage;
  free(storage.threads);
  free(storage.suspended);
  free(storage.sizes);
  free(storage.depth_sizes);
  rocrash_async_read_cache_destroy(storage.read_cache);
  rocrash_async_frame_cache_destroy(storage.frame_cache);
  storage = {};
}

rocrash_log_writer_text ownedText(char* text) {
  if (text == nullptr) return {0, nullptr};
  return {strlen(text), text};
}

}  // namespace

rocrash_error_t rocrash_log_writer_init(rocrash_log_writer* writer,
                                        const std::string& app_identifier,
                                        const std::string& app_version,
                                        const std::optional<std::string>& app_marketing_version,
                                        uint32_t symbol_strategy, bool user_requested) {
  memset(writer, 0, sizeof *writer);
  writer->symbol_strategy = symbol_strategy;
  auto& storage = writer->thread_storage;
  const uint32_t capacity = ROCRASH_LOG_WRITER_MAX_THREADS;
  storage.threads = static_cast<sys::thread_t*>(calloc(capacity, sizeof *storage.threads));
  storage.suspended = static_cast<bool*>(calloc(capacity, sizeof *storage.suspended));
  storage.sizes = static_cast<uint32_t*>(calloc(capacity, sizeof *storage.sizes));
  storage.depth_sizes = static_cast<uint64_t*>(calloc(kMaxFrames, sizeof *storage.depth_sizes));
  if (storage.threads && storage.suspended && storage.sizes && storage.depth_sizes) {
    storage.capacity = capacity;
  } else {
    freeThreadStorage(writer);
  }
  storage.read_cache = rocrash_async_read_cache_create();
  storage.frame_cache = rocrash_async_frame_cache_create();
  writer->report_info.user_requested = user_requested;
  foundation::NSUUID uuid;
  memcpy(writer->report_info.uuid_bytes, uuid.bytes().data(), 16);

  writer->application_info.app_identifier = copyText(app_identifier);
  writer->application_info.app_version = copyText(app_version);
  if (app_marketing_version) {
    writer->application_info.app_marketing_version = copyText(*app_marketing_version);
  }

  sys::process_records_prepare();
  writer->forked_process.set_up_in = static_cast<uint32_t>(sys::mach_task_self());
  writer->forked_process.set_up_token = base::process_token();
  auto process = ROCrashProcessInfo::currentProcessInfo();
  if (!process) return ROCRASH_ERR_INVAL;
  auto& p = writer->process_info;
  p.process_id = static_cast<uint32_t>(process->processID());
  if (process->processName()) p.process_name = copyText(*process->processName());
  p.start_time = static_cast<uint64_t>(process->startTime().seconds);
  p.start_ticks = process->startTicks();
  if (auto boot = sys::systemFacts()->bootId()) p.boot_id = copyText(*boot);
  if (auto path = sys::systemFacts()->executablePath()) p.process_path = copyText(*path);
  p.parent_process_id = static_cast<uint32_t>(process->parentProcessID());
  auto parent = ROCrashProcessInfo::parentProcessInfo();
  if (parent && parent->processName()) p.parent_process_name = copyText(*parent->processName());

  auto& m = writer->machine_info;
  m.model = ownedText(sysctlText("hw.model"));
  int32_t value;
  // The type and subtype are signed 32-bit values, widened with their sign.
  if (sysctlInt32("hw.cputype", &value)) m.cpu_type = static_cast<uint64_t>(int64_t{value});
  if (sysctlInt32("hw.cpusubtype", &value)) m.cpu_subtype = static_cast<uint64_t>(int64_t{value});
  if (sysctlInt32("hw.physicalcpu_max", &value)) m.processor_count = static_cast<uint32_t>(value);
  if (sysctlInt32("hw.logicalcpu_max", &value)) {
    m.logical_processor_count = static_cast<uint32_t>(value);
  }
  p.native = !(sysctlInt32("sysctl.proc_native", &value) && value == 0);

  // The same description the telemetry client puts on every log.
  const sys::OperatingSystem os = sys::systemFacts()->operatingSystem();
  writer->system_info.version = copyText(os.version);
  if (os.build) writer->system_info.build = copyText(*os.build);
  return ROCRASH_ERR_NONE;
}

void rocrash_log_writer_set_exception(rocrash_log_writer* writer, objc::NSException* exception) {
  ROCRASH_ASSERT(writer->uncaught_exception.has_exception == false);
  auto& e = writer->uncaught_exception;
  e.has_exception = true;
  e.name = copyText(exception->name()).str;
  e.reason = copyText(exception->reason()).str;
  std::vector<uintptr_t> addresses = exception->callStackReturnAddresses();
  e.callstack_count = addresses.size();
  if (!addresses.empty()) {
    e.callstack = static_cast<uint64_t*>(malloc(addresses.size() * sizeof(uint64_t)));
    if (e.callstack == nullptr) {
      e.callstack_count = 0;
    } else {
      for (size_t i = 0; i < addresses.size(); ++i) e.callstack[i] = addresses[i];
    }
  }
}

void rocrash_log_writer_set_custom_data(rocrash_log_writer* writer,
                                        const std::vector<uint8_t>* data) {
  free(writer->custom_data.data);
  writer->custom_data = {0, nullptr};
  if (data == nullptr) return;
  // A copy even of empty data, so that "set but empty" stays distinguishable.
  void* copy = malloc(data->empty() ? 1 : data->size());
  if (copy == nullptr) return;
  if (!data->empty()) memcpy(copy, data->data(), data->size());
  writer->custom_data = {data->size(), copy};
}

void rocrash_log_writer_free(rocrash_log_writer* writer) {
  freeText(&writer->system_info.version);
  freeText(&writer->system_info.build);
  freeText(&writer->machine_info.model);
  freeText(&writer->application_info.app_identifier);
  freeText(&writer->application_info.app_version);
  freeText(&writer->application_info.app_marketing_version);
  freeText(&writer->process_info.process_name);
  freeText(&writer->process_info.process_path);
  freeText(&writer->process_info.parent_process_name);
  freeText(&writer->process_info.boot_id);
  if (writer->uncaught_exception.has_exception) {
    free(writer->uncaught_exception.name);
    free(writer->uncaught_exception.reason);
    free(writer->uncaught_exception.callstack);
    writer->uncaught_exception = {};
  }
  free(writer->custom_data.data);
  writer->custom_data = {0, nullptr};
  freeThreadStorage(writer);
}
