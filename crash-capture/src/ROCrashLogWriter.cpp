#include "crash-capture/ROCrashLogWriter.h"

#include <errno.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "crash-capture/AsyncFrameCursor.h"
#include "crash-capture/AsyncObjCSection.h"
#include "crash-capture/AsyncSignalInfo.h"
#include "crash-capture/ROCrashProcessInfo.h"
#include "crash-capture/detail/Assert.h"
#include "foundation/UUID.h"
#include "objc/NSException.h"
#include "system/SystemFacts.h"

namespace {

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
};

constexpr uint32_t kOperatingSystemMacOSX = 0;
constexpr uint32_t kArchitectureUnknown = 6;
constexpr uint32_t kTypeEncodingMach = 1;
constexpr uint32_t kMaxFrames = ROCRASH_LOG_WRITER_MAX_FRAMES;
// A thread list for writers whose room could not be reserved.
constexpr uint32_t kFallbackThreads = 64;

// ---- Set-up helpers (ordinary threads) ----

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
      int saved = errno;
      free(buffer);
      errno = saved;
      if (saved == ENOMEM) continue;
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

// ---- Encoding (async-signal-safe) ----

size_t encodeVarint(uint64_t value, uint8_t* out) {
  size_t n = 0;
  while (value >= 0x80) {
    out[n++] = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  out[n++] = static_cast<uint8_t>(value);
  return n;
}

size_t textLength(const char* text) {
  size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

size_t emit(rocrash_async_file* file, const void* data, size_t length) {
  if (file != nullptr && length > 0) rocrash_async_file_write(file, data, length);
  return length;
}

size_t emitVarint(rocrash_async_file* file, uint64_t value) {
  uint8_t buffer[10];
  return emit(file, buffer, encodeVarint(value, buffer));
}

size_t emitLittleEndian(rocrash_async_file* file, uint64_t value, size_t width) {
  uint8_t buffer[8];
  for (size_t i = 0; i < width; ++i) buffer[i] = static_cast<uint8_t>(value >> (8 * i));
  return emit(file, buffer, width);
}

// Writes `text` (null counts as empty) as a string field.
size_t packText(rocrash_async_file* file, uint32_t field, const char* text) {
  return rocrash_writer_pack(file, field, ROCRASH_PROTOBUF_TYPE_STRING, text ? text : "");
}

size_t packUint64(rocrash_async_file* file, uint32_t field, uint64_t value) {
  return rocrash_writer_pack(file, field, ROCRASH_PROTOBUF_TYPE_UINT64, &value);
}

size_t packUint32(rocrash_async_file* file, uint32_t field, uint32_t value) {
  return rocrash_writer_pack(file, field, ROCRASH_PROTOBUF_TYPE_UINT32, &value);
}

size_t packBool(rocrash_async_file* file, uint32_t field, bool value) {
  return rocrash_writer_pack(file, field, ROCRASH_PROTOBUF_TYPE_BOOL, &value);
}

size_t packEnum(rocrash_async_file* file, uint32_t field, uint32_t value) {
  return rocrash_writer_pack(file, field, ROCRASH_PROTOBUF_TYPE_ENUM, &value);
}

size_t packMessageHeader(rocrash_async_file* file, uint32_t field, size_t length) {
  uint32_t length32 = static_cast<uint32_t>(length);
  return rocrash_writer_pack(file, field, ROCRASH_PROTOBUF_TYPE_MESSAGE, &length32);
}

// "#<n>" in `buffer` (16 bytes hold any 32-bit number).
const char* formatNumber(int32_t n, char buffer[16]) {
  char digits[12];
  size_t count = 0;
  uint32_t magnitude = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  size_t pos = 0;
  buffer[pos++] = '#';
  if (n < 0) buffer[pos++] = '-';
  while (count > 0) buffer[pos++] = digits[--count];
  buffer[pos] = '\0';
  return buffer;
}

// ---- Sections ----

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

size_t writeProcessor(rocrash_async_file* file, uint64_t type, uint64_t subtype) {
  size_t rv = packEnum(file, kProcessorEncoding, kTypeEncodingMach);
  rv += packUint64(file, kProcessorType, type);
  rv += packUint64(file, kProcessorSubtype, subtype);
  return rv;
}

size_t writeReportInfo(rocrash_async_file* file, const rocrash_log_writer* writer) {
  size_t rv = packBool(file, kReportInfoUserRequested, writer->report_info.user_requested);
  rocrash_protobuf_bytes uuid = {sizeof writer->report_info.uuid_bytes,
                                 writer->report_info.uuid_bytes};
  rv += rocrash_writer_pack(file, kReportInfoUUID, ROCRASH_PROTOBUF_TYPE_BYTES, &uuid);
  return rv;
}

size_t writeSystemInfo(rocrash_async_file* file, const rocrash_log_writer* writer,
                       int64_t timestamp) {
  size_t rv = packEnum(file, kSystemInfoOS, kOperatingSystemMacOSX);
  rv += packText(file, kSystemInfoOSVersion, writer->system_info.version.str);
  rv += packText(file, kSystemInfoOSBuild, writer->system_info.build.str);
  rv += packEnum(file, kSystemInfoArchitecture, kArchitectureUnknown);
  rv += rocrash_writer_pack(file, kSystemInfoTimestamp, ROCRASH_PROTOBUF_TYPE_INT64, &timestamp);
  return rv;
}

size_t writeMachineInfo(rocrash_async_file* file, const rocrash_log_writer* writer) {
  const auto& m = writer->machine_info;
  size_t rv = 0;
  if (m.model.str != nullptr) rv += packText(file, kMachineInfoModel, m.model.str);
  size_t processorSize = writeProcessor(nullptr, m.cpu_type, m.cpu_subtype);
  rv += packMessageHeader(file, kMachineInfoProcessor, processorSize);
  rv += writeProcessor(file, m.cpu_type, m.cpu_subtype);
  rv += packUint32(file, kMachineInfoProcessorCount, m.processor_count);
  rv += packUint32(file, kMachineInfoLogicalProcessorCount, m.logical_processor_count);
  return rv;
}

size_t writeApplicationInfo(rocrash_async_file* file, const rocrash_log_writer* writer) {
  const auto& a = writer->application_info;
  size_t rv = packText(file, kApplicationInfoIdentifier, a.app_identifier.str);
  rv += packText(file, kApplicationInfoVersion, a.app_version.str);
  rv += packText(file, kApplicationInfoMarketingVersion, a.app_marketing_version.str);
  return rv;
}

size_t writeProcessInfo(rocrash_async_file* file, const rocrash_log_writer* writer) {
  const auto& p = writer->process_info;
  const auto& forked = writer->forked_process;
  if (forked.process_id != 0) {
    size_t rv = packText(file, kProcessInfoName, forked.process_name);
    rv += packUint32(file, kProcessInfoID, forked.process_id);
    rv += packText(file, kProcessInfoPath, p.process_path.str);
    rv += packText(file, kProcessInfoParentName, forked.parent_process_name);
    rv += packUint32(file, kProcessInfoParentID, forked.parent_process_id);
    rv += packBool(file, kProcessInfoNative, p.native);
    rv += packUint64(file, kProcessInfoStartTime, forked.start_time);
    return rv;
  }
  size_t rv = packText(file, kProcessInfoName, p.process_name.str);
  rv += packUint32(file, kProcessInfoID, p.process_id);
  rv += packText(file, kProcessInfoPath, p.process_path.str);
  rv += packText(file, kProcessInfoParentName, p.parent_process_name.str);
  rv += packUint32(file, kProcessInfoParentID, p.parent_process_id);
  rv += packBool(file, kProcessInfoNative, p.native);
  rv += packUint64(file, kProcessInfoStartTime, p.start_time);
  return rv;
}

// The symbol a frame is named by: the closest one at or below its lookup
// address, found once and then measured and written from this copy.
struct FrameSymbol {
  bool found = false;
  rocrash_vm_address_t address = 0;
  char name[ROCRASH_ASYNC_SYMBOL_NAME_SIZE];
};

void keepSymbol(rocrash_vm_address_t address, const char* name, void* ctx) {
  auto* symbol = static_cast<FrameSymbol*>(ctx);
  size_t i = 0;
  for (; name[i] != '\0' && i < sizeof symbol->name - 1; ++i) symbol->name[i] = name[i];
  symbol->name[i] = '\0';
  symbol->address = address;
  symbol->found = true;
}

bool namesFrames(const WriteContext& ctx) {
  return ctx.writer->symbol_strategy != ROCRASH_ASYNC_SYMBOL_STRATEGY_NONE &&
         ctx.image_list != nullptr;
}

// Names the code at `lookup` when symbolication is on and an image holds it.
void findFrameSymbol(const WriteContext& ctx, uint64_t lookup, FrameSymbol* symbol) {
  if (!namesFrames(ctx)) return;
  const uint32_t strategy = ctx.writer->symbol_strategy;
  ImageListWalk walk(ctx.image_list);
  rocrash_async_macho* image = rocrash_async_image_containing_address(ctx.image_list, lookup);
  if (image == nullptr) return;
  if (rocrash_async_find_symbol(image, strategy, ctx.cache, lookup, keepSymbol, symbol) !=
      ROCRASH_ERR_NONE) {
    symbol->found = false;
  }
}

size_t writeSymbol(rocrash_async_file* file, const FrameSymbol& symbol) {
  size_t rv = packText(file, kSymbolName, symbol.name);
  rv += packUint64(file, kSymbolStartAddress, symbol.address);
  return rv;
}

// One stack frame: its pc and, when one was found, its symbol.
size_t writeFrame(rocrash_async_file* file, uint64_t pc, const FrameSymbol& symbol) {
  size_t rv = packUint64(file, kFramePC, pc);
  if (!symbol.found) return rv;
  rv += packMessageHeader(file, kFrameSymbol, writeSymbol(nullptr, symbol));
  rv += writeSymbol(file, symbol);
  return rv;
}

// A frame field: the raw `pc`, named from `lookup` (the address its code is
// looked up by; see rocrash_async_frame_cursor_get_lookup_address).
size_t writeFrameMessage(rocrash_async_file* file, const WriteContext& ctx, uint32_t field,
                         uint64_t pc, uint64_t lookup) {
  FrameSymbol symbol;
  findFrameSymbol(ctx, lookup, &symbol);
  size_t rv = packMessageHeader(file, field, writeFrame(nullptr, pc, symbol));
  rv += writeFrame(file, pc, symbol);
  return rv;
}

size_t writeRegister(rocrash_async_file* file, const char* name, uint64_t value) {
  size_t rv = packText(file, kRegisterName, name);
  rv += packUint64(file, kRegisterValue, value);
  return rv;
}

// One thread: number, crashed flag, the crashed thread's registers, and up to
// `maxFrames` frames. `state` is null when the thread's registers could not be
// read. When `depthSizes` is given, the size of the frame at each depth is
// added to its entry.
size_t writeThread(rocrash_async_file* file, const WriteContext& ctx, uint32_t number, bool crashed,
                   const rocrash_async_thread_state* state, uint32_t maxFrames,
                   uint64_t* depthSizes = nullptr) {
  size_t rv = packUint32(file, kThreadNumber, number);
  rv += packBool(file, kThreadCrashed, crashed);
  if (state == nullptr) return rv;

  rocrash_async_frame_cursor cursor;
  if (rocrash_async_frame_cursor_init(&cursor, ctx.task, state, ctx.image_list) != FRAME_ERR_NONE) {
    return rv;
  }
  if (rocrash_async_frame_cursor_next(&cursor) == FRAME_ERR_NONE) {
    for (uint32_t index = 0; index < maxFrames; ++index) {
      if (index == 0 && crashed) {
        size_t count = rocrash_async_frame_cursor_get_regcount(&cursor);
        for (rocrash_regnum_t r = 0; r < count; ++r) {
          uint64_t value = 0;
          if (rocrash_async_frame_cursor_get_reg(&cursor, r, &value) != FRAME_ERR_NONE) value = 0;
          const char* name = rocrash_async_frame_cursor_get_regname(&cursor, r);
          size_t size = writeRegister(nullptr, name, value);
          rv += packMessageHeader(file, kThreadRegisters, size);
          rv += writeRegister(file, name, value);
        }
      }
      uint64_t pc;
      if (rocrash_async_frame_cursor_get_reg(&cursor, ROCRASH_REG_IP, &pc) != FRAME_ERR_NONE) {
        break;
      }
      const uint64_t lookup =
          namesFrames(ctx) ? rocrash_async_frame_cursor_get_lookup_address(&cursor) : pc;
      size_t frame = writeFrameMessage(file, ctx, kThreadFrames, pc, lookup);
      if (depthSizes != nullptr) depthSizes[index] += frame;
      rv += frame;
      if (rocrash_async_frame_cursor_next(&cursor) != FRAME_ERR_NONE) break;
    }
  }
  rocrash_async_frame_cursor_free(&cursor);
  return rv;
}

size_t writeImage(rocrash_async_file* file, rocrash_async_macho* image) {
  size_t rv = packUint64(file, kImageSize, image->text_size);
  rv += packUint64(file, kImageBaseAddress, image->header_addr);
  rv += packText(file, kImageName, image->name);
  uint8_t uuid[16];
  if (rocrash_async_macho_uuid(image, uuid)) {
    rocrash_protobuf_bytes bytes = {sizeof uuid, uuid};
    rv += rocrash_writer_pack(file, kImageUUID, ROCRASH_PROTOBUF_TYPE_BYTES, &bytes);
  }
  uint64_t type = rocrash_async_macho_cpu_type(image);
  uint64_t subtype = rocrash_async_macho_cpu_subtype(image);
  rv += packMessageHeader(file, kImageCodeType, writeProcessor(nullptr, type, subtype));
  rv += writeProcessor(file, type, subtype);
  return rv;
}

size_t writeException(rocrash_async_file* file, const WriteContext& ctx) {
  const auto& e = ctx.writer->uncaught_exception;
  size_t rv = packText(file, kExceptionName, e.name);
  rv += packText(file, kExceptionReason, e.reason);
  // Every recorded address is a return address: its call is the byte before.
  for (uint64_t i = 0; i < e.callstack_count && i < kMaxFrames; ++i) {
    const uint64_t pc = e.callstack[i];
    rv += writeFrameMessage(file, ctx, kExceptionFrames, pc, pc == 0 ? 0 : pc - 1);
  }
  return rv;
}

size_t writeMachException(rocrash_async_file* file, const rocrash_log_mach_exception_info* mach) {
  size_t rv = packUint64(file, kMachExceptionType, mach->type);
  for (uint32_t i = 0; i < mach->code_count; ++i) {
    rv += packUint64(file, kMachExceptionCodes, mach->codes[i]);
  }
  return rv;
}

size_t writeSignal(rocrash_async_file* file, const rocrash_log_crash_info* info) {
  const rocrash_async_siginfo* si = info->siginfo;
  char nameBuffer[16];
  char codeBuffer[16];
  const char* name = rocrash_async_signal_name(si->signo);
  if (name == nullptr) name = formatNumber(si->signo, nameBuffer);
  const char* code = rocrash_async_signal_code_name(si->signo, si->code);
  if (code == nullptr) code = formatNumber(si->code, codeBuffer);
  size_t rv = packText(file, kSignalName, name);
  rv += packText(file, kSignalCode, code);
  rv += packUint64(file, kSignalAddress, si->address);
  if (info->mach_exception != nullptr) {
    size_t size = writeMachException(nullptr, info->mach_exception);
    rv += packMessageHeader(file, kSignalMachException, size);
    rv += writeMachException(file, info->mach_exception);
  }
  return rv;
}

}  // namespace

size_t rocrash_writer_pack(rocrash_async_file* file, uint32_t field_id, uint32_t type,
                           const void* value) noexcept {
  uint32_t wireType;
  switch (type) {
    case ROCRASH_PROTOBUF_TYPE_SFIXED64:
    case ROCRASH_PROTOBUF_TYPE_FIXED64:
    case ROCRASH_PROTOBUF_TYPE_DOUBLE:
      wireType = 1;
      break;
    case ROCRASH_PROTOBUF_TYPE_SFIXED32:
    case ROCRASH_PROTOBUF_TYPE_FIXED32:
    case ROCRASH_PROTOBUF_TYPE_FLOAT:
      wireType = 5;
      break;
    case ROCRASH_PROTOBUF_TYPE_STRING:
    case ROCRASH_PROTOBUF_TYPE_BYTES:
    case ROCRASH_PROTOBUF_TYPE_MESSAGE:
      wireType = 2;
      break;
    default:
      // A type past the table would write a field no reader can skip.
      if (type > ROCRASH_PROTOBUF_TYPE_MESSAGE)
        dispatch::fatalError("unknown protocol-buffer field type");
      wireType = 0;
      break;
  }
  size_t rv = emitVarint(file, (static_cast<uint64_t>(field_id) << 3) | wireType);

  switch (type) {
    case ROCRASH_PROTOBUF_TYPE_INT32: {
      // A negative value is sign-extended to 64 bits: ten bytes.
      int64_t v = *static_cast<const int32_t*>(value);
      return rv + emitVarint(file, static_cast<uint64_t>(v));
    }
    case ROCRASH_PROTOBUF_TYPE_SINT32: {
      int32_t v = *static_cast<const int32_t*>(value);
      uint32_t zigzag = (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31);
      return rv + emitVarint(file, zigzag);
    }
    case ROCRASH_PROTOBUF_TYPE_SINT64: {
      int64_t v = *static_cast<const int64_t*>(value);
      uint64_t zigzag = (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
      return rv + emitVarint(file, zigzag);
    }
    case ROCRASH_PROTOBUF_TYPE_UINT32:
    case ROCRASH_PROTOBUF_TYPE_ENUM:
      return rv + emitVarint(file, *static_cast<const uint32_t*>(value));
    case ROCRASH_PROTOBUF_TYPE_INT64:
    case ROCRASH_PROTOBUF_TYPE_UINT64:
      return rv + emitVarint(file, *static_cast<const uint64_t*>(value));
    case ROCRASH_PROTOBUF_TYPE_SFIXED32:
    case ROCRASH_PROTOBUF_TYPE_FIXED32:
    case ROCRASH_PROTOBUF_TYPE_FLOAT:
      return rv + emitLittleEndian(file, *static_cast<const uint32_t*>(value), 4);
    case ROCRASH_PROTOBUF_TYPE_SFIXED64:
    case ROCRASH_PROTOBUF_TYPE_FIXED64:
    case ROCRASH_PROTOBUF_TYPE_DOUBLE:
      return rv + emitLittleEndian(file, *static_cast<const uint64_t*>(value), 8);
    case ROCRASH_PROTOBUF_TYPE_BOOL:
      return rv + emit(file, value, 1);
    case ROCRASH_PROTOBUF_TYPE_STRING: {
      const char* text = static_cast<const char*>(value);
      size_t length = textLength(text);
      rv += emitVarint(file, length);
      return rv + emit(file, text, length);
    }
    case ROCRASH_PROTOBUF_TYPE_BYTES: {
      const auto* bytes = static_cast<const rocrash_protobuf_bytes*>(value);
      rv += emitVarint(file, bytes->len);
      return rv + emit(file, bytes->data, bytes->len);
    }
    default:  // message: the length only; the caller writes the content
      return rv + emitVarint(file, *static_cast<const uint32_t*>(value));
  }
}

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
  auto process = ROCrashProcessInfo::currentProcessInfo();
  if (!process) return ROCRASH_ERR_INVAL;
  auto& p = writer->process_info;
  p.process_id = static_cast<uint32_t>(process->processID());
  if (process->processName()) p.process_name = copyText(*process->processName());
  p.start_time = static_cast<uint64_t>(process->startTime().seconds);
  if (auto path = sys::systemFacts()->executablePath()) p.process_path = copyText(*path);
  p.parent_process_id = static_cast<uint32_t>(process->parentProcessID());
  auto parent = ROCrashProcessInfo::initWithProcessID(process->parentProcessID());
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

  writer->system_info.build = ownedText(sysctlText("kern.osversion"));
  if (auto version = sys::systemFacts()->operatingSystemVersion()) {
    std::string text = std::to_string((*version)[0]) + "." + std::to_string((*version)[1]);
    if ((*version)[2] >= 1) text += "." + std::to_string((*version)[2]);
    writer->system_info.version = copyText(text);
  }
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
  // task name.
  const auto pid = static_cast<uint32_t>(syscall(SYS_getpid));
  auto& forked = writer->forked_process;
  if (pid == forked.set_up_in) return false;
  if (forked.process_id == pid) return true;
  const uint32_t setUpIn = forked.set_up_in;
  rocrash_async_memset(&forked, 0, sizeof forked);
  forked.set_up_in = setUpIn;
  sys::ProcessRecord record;
  if (sys::process_record_now(static_cast<pid_t>(pid), &record)) {
    copyCommandName(record, forked.process_name);
    forked.parent_process_id = static_cast<uint32_t>(record.parentPid);
    forked.start_time = static_cast<uint64_t>(record.startSeconds);
  } else {
    forked.parent_process_id = static_cast<uint32_t>(syscall(SYS_getppid));
  }
  sys::ProcessRecord parent;
  if (sys::process_record_now(static_cast<pid_t>(forked.parent_process_id), &parent)) {
    copyCommandName(parent, forked.parent_process_name);
  }
  freshUUID(writer->report_info.uuid_bytes);
  forked.process_id = pid;
  return true;
}

namespace {

// The file's first bytes: the format's name and version.
constexpr char kMagic[] = {'r', 'o', 'c', 'r', 'a', 's', 'h', 1};

// The register state a thread is written from: `current` for the caller,
// else its saved state; null when there is none.
const rocrash_async_thread_state* stateOf(sys::thread_t thread, sys::thread_t self,
                                          const rocrash_async_thread_state* current,
                                          rocrash_async_thread_state* saved) {
  if (thread == self) return current;
  return rocrash_async_thread_state_mach_thread_init(saved, thread) == ROCRASH_ERR_NONE ? saved
                                                                                        : nullptr;
}

// Lists the task's threads into `threads` (room for `capacity`), making sure
// that `crashed` and, when it is written, `self` are among them: with more
// threads than room, they take the places of the last ones listed.
uint32_t listThreads(sys::task_t task, sys::thread_t* threads, uint32_t capacity,
                     sys::thread_t crashed, sys::thread_t self, bool withSelf) {
  uint32_t count = 0;
  if (sys::task_threads(task, threads, capacity, &count) != sys::KERN_SUCCESS) count = 0;
  const sys::thread_t needed[] = {crashed, withSelf ? self : 0};
  uint32_t keep = count;  // entries from this index on hold needed threads
  for (sys::thread_t thread : needed) {
    if (thread <= 0) continue;
    bool listed = false;
    for (uint32_t i = 0; i < count; ++i) listed = listed || threads[i] == thread;
    if (listed) continue;
    if (count < capacity) {
      threads[count++] = thread;
    } else if (keep > 0) {
      threads[--keep] = thread;
    }
  }
  return count;
}

// Where a write lists the task's threads: the room reserved at set-up, or,
// when that could not be had, room on the stack for fewer threads.
struct ThreadRoom {
  explicit ThreadRoom(rocrash_log_writer* writer) noexcept {
    const auto& storage = writer->thread_storage;
    if (storage.threads == nullptr) return;
    threads = storage.threads;
    suspended = storage.suspended;
    sizes = storage.sizes;
    depthSizes = storage.depth_sizes;
    capacity = storage.capacity;
  }
  ThreadRoom(const ThreadRoom&) = delete;
  ThreadRoom& operator=(const ThreadRoom&) = delete;

  sys::thread_t fallbackThreads[kFallbackThreads];
  bool fallbackSuspended[kFallbackThreads];
  uint32_t fallbackSizes[kFallbackThreads];
  uint64_t fallbackDepthSizes[kMaxFrames];
  sys::thread_t* threads = fallbackThreads;
  bool* suspended = fallbackSuspended;
  uint32_t* sizes = fallbackSizes;  // each thread's section content, by index in `threads`
  uint64_t* depthSizes = fallbackDepthSizes;  // kMaxFrames entries
  uint32_t capacity = kFallbackThreads;
};

// Every thread of the list but the caller stopped for as long as the guard
// lives, so that their stacks hold still; it lets go of those it stopped.
class ThreadsStopped {
 public:
  ThreadsStopped(const sys::thread_t* threads, uint32_t count, bool* suspended) noexcept
      : threads_(threads), count_(count), suspended_(suspended) {
    sys::thread_suspend_all(threads_, count_, suspended_);
  }
  ~ThreadsStopped() {
    for (uint32_t i = 0; i < count_; ++i) {
      if (suspended_[i]) sys::thread_resume(threads_[i]);
    }
  }
  ThreadsStopped(const ThreadsStopped&) = delete;
  ThreadsStopped& operator=(const ThreadsStopped&) = delete;

 private:
  const sys::thread_t* threads_;
  uint32_t count_;
  bool* suspended_;
};

// The class cache of one write, freed with the guard.
class WriteClassCache {
 public:
  WriteClassCache() noexcept { rocrash_async_class_cache_init(&cache_); }
  ~WriteClassCache() { rocrash_async_class_cache_free(&cache_); }
  WriteClassCache(const WriteClassCache&) = delete;
  WriteClassCache& operator=(const WriteClassCache&) = delete;
  rocrash_async_class_cache* get() noexcept { return &cache_; }

 private:
  rocrash_async_class_cache cache_;
};

// One write of a report: what its sections are written from, and what the
// measuring and fitting passes settle for the writing one.
struct Report {
  WriteContext ctx;
  const rocrash_log_crash_info* crashInfo;
  const rocrash_async_thread_state* currentState;  // the caller's; null: the caller is left out
  sys::thread_t crashed;
  sys::thread_t self;
  const sys::thread_t* threads;
  uint32_t threadCount;
  uint32_t* sizes;
  uint64_t* depthSizes;
  int64_t timestamp;
  bool measuring = false;             // the other threads' frames are added up by depth meanwhile
  uint32_t otherFrames = kMaxFrames;  // frames of each thread but the crashed one
  bool withCustomData;
};

// One top-level field of a report; for the repeated sections, which thread
// (its index in the list and its number in the report) or which image.
struct Item {
  uint32_t thread = 0;
  uint32_t number = 0;
  rocrash_async_macho* image = nullptr;
};

size_t threadContent(rocrash_async_file* file, const Report& r, const Item& item) {
  rocrash_async_thread_state saved;
  const sys::thread_t thread = r.threads[item.thread];
  const auto* state = stateOf(thread, r.self, r.currentState, &saved);
  const bool crashed = thread == r.crashed;
  return writeThread(file, r.ctx, item.number, crashed, state, crashed ? kMaxFrames : r.otherFrames,
                     r.measuring && !crashed ? r.depthSizes : nullptr);
}

size_t customDataField(rocrash_async_file* file, const Report& r, const Item&) {
  rocrash_protobuf_bytes data = {r.ctx.writer->custom_data.len, r.ctx.writer->custom_data.data};
  return rocrash_writer_pack(file, kReportCustomData, ROCRASH_PROTOBUF_TYPE_BYTES, &data);
}

// A top-level section of the report.
struct Section {
  enum Repeat : uint8_t { kOnce, kEachThread, kEachImage };

  uint32_t field;
  Repeat repeat;
  // Whether the report has it; null: always.
  bool (*present)(const Report&);
  // Writes the content of one item (to a null file: only sizes it) and
  // returns its size: a message's content, or with `whole` the whole field.
  size_t (*content)(rocrash_async_file*, const Report&, const Item&);
  bool whole = false;
};

// The report's sections in the order they are written. Measuring, fitting
// and writing all go through this one table (`forEachItem`), so that they see
// the same fields in the same order.
constexpr Section kSections[] = {
    {kReportReportInfo, Section::kOnce, nullptr,
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeReportInfo(file, r.ctx.writer);
     }},
    {kReportSystemInfo, Section::kOnce, nullptr,
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeSystemInfo(file, r.ctx.writer, r.timestamp);
     }},
    {kReportMachineInfo, Section::kOnce, nullptr,
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeMachineInfo(file, r.ctx.writer);
     }},
    {kReportApplicationInfo, Section::kOnce, nullptr,
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeApplicationInfo(file, r.ctx.writer);
     }},
    {kReportProcessInfo, Section::kOnce, nullptr,
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeProcessInfo(file, r.ctx.writer);
     }},
    {kReportThreads, Section::kEachThread, nullptr, threadContent},
    {kReportBinaryImages, Section::kEachImage,
     [](const Report& r) { return r.ctx.image_list != nullptr; },
     [](rocrash_async_file* file, const Report&, const Item& item) {
       return writeImage(file, item.image);
     }},
    {kReportException, Section::kOnce,
     [](const Report& r) { return r.ctx.writer->uncaught_exception.has_exception; },
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeException(file, r.ctx);
     }},
    {kReportSignal, Section::kOnce, nullptr,
     [](rocrash_async_file* file, const Report& r, const Item&) {
       return writeSignal(file, r.crashInfo);
     }},
    // Bytes, not a message: packed whole.
    {kReportCustomData, Section::kOnce, [](const Report& r) { return r.withCustomData; },
     customDataField, /*whole=*/true},
};

// Calls `visit(section, item)` for every top-level field the report holds,
// in file order: the threads numbered in the order they are written (the
// caller only with a current state), the images while the list is marked as
// being read.
template <class Visit>
void forEachItem(const Report& r, Visit&& visit) {
  for (const Section& section : kSections) {
    if (section.present != nullptr && !section.present(r)) continue;
    switch (section.repeat) {
      case Section::kOnce:
        visit(section, Item{});
        break;
      case Section::kEachThread: {
        uint32_t number = 0;
        for (uint32_t i = 0; i < r.threadCount; ++i) {
          if (r.threads[i] == r.self && r.currentState == nullptr) continue;
          visit(section, Item{i, number++, nullptr});
        }
        break;
      }
      case Section::kEachImage: {
        ImageListWalk walk(r.ctx.image_list);
        for (rocrash_async_macho* image = rocrash_async_image_list_next(r.ctx.image_list, nullptr);
             image != nullptr; image = rocrash_async_image_list_next(r.ctx.image_list, image)) {
          visit(section, Item{0, 0, image});
        }
        break;
      }
    }
  }
}

// The bytes a field with `content` bytes of content takes.
size_t fieldSize(const Section& section, size_t content) {
  if (section.whole) return content;
  return packMessageHeader(nullptr, section.field, content) + content;
}

// Sizes every field, each thread with all its frames, and keeps each thread's
// size (walking a stack is the dear part) and the other threads' frames'
// sizes by depth. Returns the size of the whole report.
uint64_t measure(Report& r) {
  rocrash_async_memset(r.depthSizes, 0, kMaxFrames * sizeof *r.depthSizes);
  r.measuring = true;
  uint64_t total = sizeof kMagic;
  forEachItem(r, [&](const Section& section, const Item& item) {
    size_t content = section.content(nullptr, r, item);
    if (section.repeat == Section::kEachThread) {
      content = r.sizes[item.thread] = static_cast<uint32_t>(content);
    }
    total += fieldSize(section, content);
  });
  r.measuring = false;
  return total;
}

// A report that would pass the file's limit would be cut off, and a cut
// report cannot be read: the other threads give up their deepest frames
// (down to the same number each) until it fits, and the custom data goes
// when even that is not enough. A thread's length prefix can only shrink
// with its content, so the estimate never falls short.
void fit(Report& r, uint64_t total, uint64_t room) {
  if (total <= room) return;
  uint64_t withoutOthers = total;
  for (uint32_t depth = 0; depth < kMaxFrames; ++depth) withoutOthers -= r.depthSizes[depth];
  if (withoutOthers > room && r.withCustomData) {
    total -= customDataField(nullptr, r, Item{});
    r.withCustomData = false;
  }
  uint32_t frames = kMaxFrames;
  for (uint64_t size = total; frames > 0 && size > room;) size -= r.depthSizes[--frames];
  r.otherFrames = frames;
  forEachItem(r, [&](const Section& section, const Item& item) {
    if (section.repeat != Section::kEachThread || r.threads[item.thread] == r.crashed) return;
    r.sizes[item.thread] = static_cast<uint32_t>(section.content(nullptr, r, item));
  });
}

// Writes the report as measured and fitted.
void write(const Report& r, rocrash_async_file* file) {
  rocrash_async_file_write(file, kMagic, sizeof kMagic);
  forEachItem(r, [&](const Section& section, const Item& item) {
    if (!section.whole) {
      const size_t size = section.repeat == Section::kEachThread
                              ? r.sizes[item.thread]
                              : section.content(nullptr, r, item);
      packMessageHeader(file, section.field, size);
    }
    section.content(file, r, item);
  });
}

}  // namespace

rocrash_error_t rocrash_log_writer_write(rocrash_log_writer* writer, sys::thread_t crashed_thread,
                                         rocrash_async_image_list* image_list,
                                         rocrash_async_file* file,
                                         const rocrash_log_crash_info* crash_info,
                                         const rocrash_async_thread_state* current_state) noexcept {
  const sys::task_t task = sys::mach_task_self();
  const sys::thread_t self = rocrash_async_mach_thread_self();
  rocrash_log_writer_adopt_process(writer);
  // The images a write finds stay listed (their records valid) until it
  // ends, though its walks come and go.
  ImageListWalk imagesHeld(image_list);

  ThreadRoom room(writer);
  const uint32_t threadCount = listThreads(task, room.threads, room.capacity, crashed_thread, self,
                                           current_state != nullptr);
  // Declared in this order, the guards end the caches before the threads go.
  ThreadsStopped stopped(room.threads, threadCount, room.suspended);
  rocrash::async::ReadCacheScope readCache(writer->thread_storage.read_cache, task);
  rocrash::async::FrameCacheScope frameCache(writer->thread_storage.frame_cache);
  WriteClassCache classCache;

  struct timespec now;
  Report report = {
      .ctx = {writer, image_list, classCache.get(), task},
      .crashInfo = crash_info,
      .currentState = current_state,
      .crashed = crashed_thread,
      .self = self,
      .threads = room.threads,
      .threadCount = threadCount,
      .sizes = room.sizes,
      .depthSizes = room.depthSizes,
      .timestamp = clock_gettime(CLOCK_REALTIME, &now) == 0 ? now.tv_sec : 0,
      .withCustomData = writer->custom_data.data != nullptr,
  };
  const uint64_t total = measure(report);
  fit(report, total, file->limit_bytes == 0 ? UINT64_MAX : file->limit_bytes - file->total_bytes);
  write(report, file);
  return ROCRASH_ERR_NONE;
}

rocrash_error_t rocrash_log_writer_close(rocrash_log_writer*) noexcept { return ROCRASH_ERR_NONE; }

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
