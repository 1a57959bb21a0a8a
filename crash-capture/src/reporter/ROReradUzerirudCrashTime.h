#pragma once

#include <signal.h>

#include "crash-capture/ROReradUzerirud.h"
#include "handler/ROCrashSignalHandler.h"
#include "images/AsyncImageList.h"
#include "safe/AsyncMachException.h"
#include "system/ReservedDescriptors.h"
#include "writer/ROCrashLogWriter.h"

// What the reporter shares between enabling, crash time and live reports:
// the record the crash-time callbacks read, the process's image list, and
// the crash-time entry points.
namespace rocrash::reporter {

inline constexpr int kFatalSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

// Everything the crash-time callbacks read, filled before any handler can
// run and read without locks.
struct CrashStorage {
  rocrash_log_writer writer;
  char* reportPath = nullptr;
  char* dataFolder = nullptr;
  char* queueFolder = nullptr;
  // The report's file, made at enabling without a name (O_TMPFILE) in the
  // data folder: a process that has used up its descriptors still has it. It
  // gets its name once the report in it is whole. -1 where the file system
  // cannot make such files; the file is then made at crash time. It is
  // written only while the number still names that file, unnamed and empty:
  // a program that closed it and got the number back for a file of its own
  // (on the same inode, even) keeps that file as it was.
  int reportFile = -1;
  sys::descriptor_identity reportFileIdentity;
  // For a process that enabled as root, and so may give up its user and
  // group afterwards (a daemon): a file with a hidden name in the data
  // folder, made then and kept open and locked, into which its crash goes
  // when the folder no longer lets it make or name a file (see
  // `prepareReportFile`). -1 otherwise.
  int preparedFile = -1;
  sys::descriptor_identity preparedFileIdentity;
  rocrash_mach_exception_port_set previousPorts{};
  void* callbackContext = nullptr;
  void (*handleSignal)(siginfo_t*, void*, void*) = nullptr;
};
extern CrashStorage gStorage;

// The process's image list, set up with the first reporter.
extern rocrash_async_image_list gImageList;

// The most bytes a report may take: the engine's limit, or the file-size
// limit when that is lower (a report cut off by it could not be read). 0
// when nothing may be written.
uint64_t reportLimit();

// Writes the report into a file without a name (or a temporary one) and names
// it only once it is whole: a writer that is killed, or that faults, leaves
// no cut report and replaces none. The report is fitted to the file-size
// limit, and the limit's signal stays blocked on this thread for good: the
// crash's own signal, not that one, ends the process.
rocrash_error_t writeCrashReport(rocrash_log_writer* writer, sys::thread_t crashedThread,
                                 const rocrash_log_crash_info* info,
                                 const rocrash_async_thread_state* current, bool sharedMemory);

// Removes from `dataFolder` the hidden temporary files of report writers that
// ended before naming them (killed midway), never one a writer that lives
// is writing. A prepared file (see `prepareReportFile`) whose report was
// written whole gets its name instead: the pending report's, or a queued
// one's in `queueFolder` when a pending report is there; the enabling claims
// it first, so that no other names it too. Not async-signal-safe.
void removeEndedWritersFiles(const char* dataFolder, const char* reportPath,
                             const char* queueFolder);

// Makes the prepared file for a process that enabled as root (see
// `CrashStorage::preparedFile`) in `dataFolder`, and sets it in the record;
// nothing for another process, or when it cannot be made. Its name goes
// when the process ends without a crash (and may still change the folder).
// Not async-signal-safe.
void prepareReportFile(const char* dataFolder);

// Removes the prepared file's name, if this process made it and no crash
// took it, and closes it while its number still names it (a number the
// program took for a file of its own is left alone). Only while no crash-time
// callback may read the record. Not async-signal-safe.
void closePreparedFile();

// The signal handlers' callback: writes the crash's report.
bool signalCallback(int signo, siginfo_t* info, void* uap, void*,
                    rocrash_signal_handler_callback_next_context*);

// The exception server's callback: forwards the exception or writes its report.
sys::kern_return_t machCallback(sys::task_t task, sys::thread_t thread, sys::exception_type_t type,
                                const uint64_t* codes, uint32_t codeCount, void*);

}  // namespace rocrash::reporter
