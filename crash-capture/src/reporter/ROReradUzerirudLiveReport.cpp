#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "ROReradUzerirudCrashTime.h"
#include "ROReradUzerirudGate.h"
#include "crash-capture/ROReradUzerirud.h"
#include "crash-capture/ROReradUzerirudError.h"
#include "log/ROCrashLog.h"
#include "safe/AsyncFile.h"
#include "system/ImageEvents.h"
#include "system/Threads.h"

// Live reports: a report of the running process on request, written by the
// crash-time writer into a temporary file and read back.

using namespace rocrash::reporter;

namespace {

std::string temporaryFolder() {
  const char* tmp = getenv("TMPDIR");
  return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

std::shared_ptr<foundation::NSError> posixError(int errorNumber) {
  return foundation::NSError::create(std::string(foundation::NSPOSIXErrorDomain), errorNumber);
}

struct LiveWrite {
  rocrash_log_writer* writer;
  rocrash_async_file* file;
  const rocrash_log_crash_info* info;
};

rocrash_error_t writeLive(rocrash_async_thread_state* state, void* context) {
  auto* live = static_cast<LiveWrite*>(context);
  return rocrash_log_writer_write(live->writer, rocrash_async_mach_thread_self(), &gImageList,
                                  live->file, live->info, state);
}

}  // namespace

std::optional<std::vector<uint8_t>> ROReradUzerirud::liveReport(
    sys::thread_t thread, objc::NSException* exception, uint64_t returnAddress,
    std::shared_ptr<foundation::NSError>* error) {
  std::string pathTemplate = temporaryFolder() + "/live_crash_report.XXXXXX";
  int fd = mkstemp(pathTemplate.data());
  if (fd < 0) {
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem,
                         "Failed to create temporary path", posixError(errno));
    return std::nullopt;
  }
  sys::sync_loaded_images();
  sys::thread_parking_prepare();
  beginLiveReport();
  rocrash_log_writer writer;
  rocrash_error_t started = rocrash_log_writer_init(
      &writer, applicationIdentifier_, applicationVersion_, applicationMarketingVersion_,
      mapToAsyncSymbolicationStrategy(config_->symbolicationStrategy()), true);
  if (started != ROCRASH_ERR_NONE) {
    // A report without its process record is no report of this process.
    endLiveReport();
    rocrash_log_writer_free(&writer);
    close(fd);
    unlink(pathTemplate.c_str());
    ROCrashPopulateError(error, ROReradUzerirudErrorUnknown,
                         std::string("Failed to initialize the crash log writer: ") +
                             rocrash_async_strerror(started));
    return std::nullopt;
  }
  // Fitted to the file-size limit, a live report is whole and never raises
  // the limit's signal, which would end the program; with no room at all,
  // nothing is written.
  rocrash_async_file file;
  const uint64_t limit = reportLimit();
  rocrash_async_file_init(&file, fd, limit);
  if (limit == 0) file.refused = true;
  if (customData_) rocrash_log_writer_set_custom_data(&writer, &*customData_);
  if (exception != nullptr) rocrash_log_writer_set_exception(&writer, exception);

  rocrash_async_siginfo si = {SIGTRAP, TRAP_TRACE, returnAddress};
  rocrash_log_crash_info info = {&si, nullptr};
  rocrash_error_t result;
  if (thread == rocrash_async_mach_thread_self()) {
    LiveWrite live = {&writer, &file, &info};
    result = rocrash_async_thread_state_current(writeLive, &live);
  } else {
    result = rocrash_log_writer_write(&writer, thread, &gImageList, &file, &info, nullptr);
  }
  // Closing a writer only ends its use: it reports nothing.
  (void)rocrash_log_writer_close(&writer);
  const bool whole = rocrash_async_file_flush(&file) && !file.refused;
  rocrash_async_file_close(&file);
  endLiveReport();

  std::optional<std::vector<uint8_t>> data;
  if (result == ROCRASH_ERR_NONE && !whole) result = ROCRASH_ERR_OUTPUT;
  if (result != ROCRASH_ERR_NONE) {
    ROCrashLog(std::string("[ROReradUzerirud] Write failed with error ") +
               rocrash_async_strerror(result));
    ROCrashPopulateError(error, ROReradUzerirudErrorUnknown,
                         "Failed to write the crash report to disk");
  } else {
    std::ifstream in(pathTemplate, std::ios::binary);
    if (!in) {
      ROCrashPopulateError(error, ROReradUzerirudErrorUnknown,
                           "Unable to open live crash report for reading");
    } else {
      data = std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>());
    }
  }
  rocrash_log_writer_free(&writer);
  if (unlink(pathTemplate.c_str()) != 0) {
    ROCrashLog(std::string("[ROReradUzerirud] Failure occured deleting live crash report: ") +
               strerror(errno));
  }
  return data;
}

__attribute__((noinline)) std::optional<std::vector<uint8_t>>
ROReradUzerirud::generateLiveReportWithThread(sys::thread_t thread, objc::NSException* exception,
                                              std::shared_ptr<foundation::NSError>* error) {
  auto result =
      liveReport(thread, exception, reinterpret_cast<uint64_t>(__builtin_return_address(0)), error);
  asm volatile("" ::: "memory");
  return result;
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::generateLiveReportWithThread(
    sys::thread_t thread, std::shared_ptr<foundation::NSError>* error) {
  return generateLiveReportWithThread(thread, nullptr, error);
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::generateLiveReportWithThread(
    sys::thread_t thread) {
  return generateLiveReportWithThread(thread, nullptr, nullptr);
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::generateLiveReportWithException(
    objc::NSException* exception, std::shared_ptr<foundation::NSError>* error) {
  return generateLiveReportWithThread(rocrash_async_mach_thread_self(), exception, error);
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::generateLiveReportAndReturnError(
    std::shared_ptr<foundation::NSError>* error) {
  return generateLiveReportWithThread(rocrash_async_mach_thread_self(), nullptr, error);
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::generateLiveReport() {
  return generateLiveReportWithThread(rocrash_async_mach_thread_self(), nullptr, nullptr);
}
