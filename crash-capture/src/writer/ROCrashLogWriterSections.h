#pragma once

#include <cstddef>
#include <cstdint>

#include "ROCrashAnnotations.h"
#include "ROCrashLogWriter.h"
#include "images/AsyncObjCSection.h"

// The content of each section of a report, written from what set-up gathered
// and from the stopped threads' stacks. Each function writes to `file` (to a
// null file: only measures) and returns the bytes it took. Async-signal-safe.
namespace rocrash::writer {

// Field numbers of the report schema.
enum : uint32_t {
  kReportSystemInfo = 1,
  kReportApplicationInfo = 2,
  kReportThreads = 3,
  kReportBinaryImages = 4,
  kReportException = 5,
  kReportSignal = 6,
  kReportProcessInfo = 7,
  kReportMachineInfo = 8,
  kReportReportInfo = 9,
  kReportCustomData = 10,
  kReportAnnotations = 11,

  kSystemInfoOS = 1,
  kSystemInfoOSVersion = 2,
  kSystemInfoArchitecture = 3,
  kSystemInfoTimestamp = 4,
  kSystemInfoOSBuild = 5,

  kApplicationInfoIdentifier = 1,
  kApplicationInfoVersion = 2,
  kApplicationInfoMarketingVersion = 3,

  kProcessorEncoding = 1,
  kProcessorType = 2,
  kProcessorSubtype = 3,

  kMachineInfoModel = 1,
  kMachineInfoProcessor = 2,
  kMachineInfoProcessorCount = 3,
  kMachineInfoLogicalProcessorCount = 4,

  kProcessInfoName = 1,
  kProcessInfoID = 2,
  kProcessInfoPath = 3,
  kProcessInfoParentName = 4,
  kProcessInfoParentID = 5,
  kProcessInfoNative = 6,
  kProcessInfoStartTime = 7,
  kProcessInfoBootID = 8,
  kProcessInfoStartTicks = 9,
  kProcessInfoForkedFromID = 10,
  kProcessInfoForkedFromStartTicks = 11,

  kSymbolName = 1,
  kSymbolStartAddress = 2,

  kFramePC = 3,
  kFrameSymbol = 6,

  kRegisterName = 1,
  kRegisterValue = 2,

  kThreadNumber = 1,
  kThreadFrames = 2,
  kThreadCrashed = 3,
  kThreadRegisters = 4,

  kImageBaseAddress = 1,
  kImageSize = 2,
  kImageName = 3,
  kImageUUID = 4,
  kImageCodeType = 5,

  kExceptionName = 1,
  kExceptionReason = 2,
  kExceptionFrames = 3,

  kSignalName = 1,
  kSignalCode = 2,
  kSignalAddress = 3,
  kSignalMachException = 4,

  kMachExceptionType = 1,
  kMachExceptionCodes = 2,

  kReportInfoUserRequested = 1,
  kReportInfoUUID = 2,

  kAnnotationsEntry = 1,
  kAnnotationEntryName = 1,
  kAnnotationEntryValue = 2,
};

constexpr uint32_t kOperatingSystemMacOSX = 0;
constexpr uint32_t kArchitectureUnknown = 6;
constexpr uint32_t kTypeEncodingMach = 1;
constexpr uint32_t kMaxFrames = ROCRASH_LOG_WRITER_MAX_FRAMES;

// A walk of the image list: marked as being read while the guard lives.
class ImageListWalk {
 public:
  explicit ImageListWalk(rocrash_async_image_list* list) noexcept : list_(list) {
    if (list_ != nullptr) rocrash_async_image_list_set_reading(list_, true);
  }
  ~ImageListWalk() {
    if (list_ != nullptr) rocrash_async_image_list_set_reading(list_, false);
  }
  ImageListWalk(const ImageListWalk&) = delete;
  ImageListWalk& operator=(const ImageListWalk&) = delete;

 private:
  rocrash_async_image_list* list_;
};

// Everything a write shares between its sections.
struct WriteContext {
  rocrash_log_writer* writer;
  rocrash_async_image_list* image_list;
  rocrash_async_class_cache* cache;
  sys::task_t task;
};

size_t writeReportInfo(rocrash_async_file* file, const rocrash_log_writer* writer);
size_t writeSystemInfo(rocrash_async_file* file, const rocrash_log_writer* writer,
                       int64_t timestamp);
size_t writeMachineInfo(rocrash_async_file* file, const rocrash_log_writer* writer);
size_t writeApplicationInfo(rocrash_async_file* file, const rocrash_log_writer* writer);
size_t writeProcessInfo(rocrash_async_file* file, const rocrash_log_writer* writer);

// One thread: number, crashed flag, the crashed thread's registers, and up to
// `maxFrames` frames. `state` is null when the thread's registers could not be
// read. When `depthSizes` is given, the size of the frame at each depth is
// added to its entry.
size_t writeThread(rocrash_async_file* file, const WriteContext& ctx, uint32_t number, bool crashed,
                   const rocrash_async_thread_state* state, uint32_t maxFrames,
                   uint64_t* depthSizes = nullptr);

size_t writeImage(rocrash_async_file* file, rocrash_async_macho* image);
size_t writeException(rocrash_async_file* file, const WriteContext& ctx);
size_t writeSignal(rocrash_async_file* file, const rocrash_log_crash_info* info);
// Every annotation of `annotations` that has a value, in table order.
size_t writeAnnotations(rocrash_async_file* file,
                        const rocrash::annotations::Snapshot& annotations);

}  // namespace rocrash::writer
