#include "ROCrashLogWriterSections.h"

#include "AsyncSignalInfo.h"
#include "ROCrashLogWriterEncoding.h"
#include "system/SignalSafe.h"
#include "walk/AsyncFrameCursor.h"

namespace rocrash::writer {
namespace {

// "#<n>" in `buffer` (16 bytes hold any 32-bit number).
const char* formatNumber(int32_t n, char buffer[16]) {
  size_t pos = 0;
  buffer[pos++] = '#';
  if (n < 0) buffer[pos++] = '-';
  const uint32_t magnitude = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
  pos += sys::format_decimal(magnitude, buffer + pos);
  buffer[pos] = '\0';
  return buffer;
}

size_t writeProcessor(rocrash_async_file* file, uint64_t type, uint64_t subtype) {
  size_t rv = packEnum(file, kProcessorEncoding, kTypeEncodingMach);
  rv += packUint64(file, kProcessorType, type);
  rv += packUint64(file, kProcessorSubtype, subtype);
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
  rocrash_async_macho* image = rocrash::async::image_containing_address(ctx.image_list, lookup);
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
  return rv + packMessage(file, kFrameSymbol,
                          [&](rocrash_async_file* out) { return writeSymbol(out, symbol); });
}

// A frame field: the raw `pc`, named from `lookup` (the address its code is
// looked up by; see rocrash_async_frame_cursor_get_lookup_address).
size_t writeFrameMessage(rocrash_async_file* file, const WriteContext& ctx, uint32_t field,
                         uint64_t pc, uint64_t lookup) {
  FrameSymbol symbol;
  findFrameSymbol(ctx, lookup, &symbol);
  return packMessage(file, field,
                     [&](rocrash_async_file* out) { return writeFrame(out, pc, symbol); });
}

size_t writeRegister(rocrash_async_file* file, const char* name, uint64_t value) {
  size_t rv = packText(file, kRegisterName, name);
  rv += packUint64(file, kRegisterValue, value);
  return rv;
}

size_t writeMachException(rocrash_async_file* file, const rocrash_log_mach_exception_info* mach) {
  size_t rv = packUint64(file, kMachExceptionType, mach->type);
  for (uint32_t i = 0; i < mach->code_count; ++i) {
    rv += packUint64(file, kMachExceptionCodes, mach->codes[i]);
  }
  return rv;
}

}  // namespace

size_t writeReportInfo(rocrash_async_file* file, const rocrash_log_writer* writer) {
  size_t rv = packBool(file, kReportInfoUserRequested, writer->report_info.user_requested);
  rocrash_protobuf_bytes uuid = {sizeof writer->report_info.uuid_bytes,
                                 writer->report_info.uuid_bytes};
  rv += packField(file, kReportInfoUUID, ROCRASH_PROTOBUF_TYPE_BYTES, &uuid);
  return rv;
}

size_t writeSystemInfo(rocrash_async_file* file, const rocrash_log_writer* writer,
                       int64_t timestamp) {
  size_t rv = packEnum(file, kSystemInfoOS, kOperatingSystemMacOSX);
  rv += packText(file, kSystemInfoOSVersion, writer->system_info.version.str);
  rv += packText(file, kSystemInfoOSBuild, writer->system_info.build.str);
  rv += packEnum(file, kSystemInfoArchitecture, kArchitectureUnknown);
  rv += packField(file, kSystemInfoTimestamp, ROCRASH_PROTOBUF_TYPE_INT64, &timestamp);
  return rv;
}

size_t writeMachineInfo(rocrash_async_file* file, const rocrash_log_writer* writer) {
  const auto& m = writer->machine_info;
  size_t rv = 0;
  if (m.model.str != nullptr) rv += packText(file, kMachineInfoModel, m.model.str);
  rv += packMessage(file, kMachineInfoProcessor, [&](rocrash_async_file* out) {
    return writeProcessor(out, m.cpu_type, m.cpu_subtype);
  });
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

// The boot id and the start in ticks, each when known.
size_t writeProcessIdentity(rocrash_async_file* file, const char* bootId, uint64_t startTicks) {
  size_t rv = 0;
  if (bootId != nullptr) rv += packText(file, kProcessInfoBootID, bootId);
  if (startTicks != 0) rv += packUint64(file, kProcessInfoStartTicks, startTicks);
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
    rv += writeProcessIdentity(file, p.boot_id.str, forked.start_ticks);
    // The set-up process, whose session the child carries on.
    if (p.start_ticks != 0) {
      rv += packUint32(file, kProcessInfoForkedFromID, p.process_id);
      rv += packUint64(file, kProcessInfoForkedFromStartTicks, p.start_ticks);
    }
    return rv;
  }
  size_t rv = packText(file, kProcessInfoName, p.process_name.str);
  rv += packUint32(file, kProcessInfoID, p.process_id);
  rv += packText(file, kProcessInfoPath, p.process_path.str);
  rv += packText(file, kProcessInfoParentName, p.parent_process_name.str);
  rv += packUint32(file, kProcessInfoParentID, p.parent_process_id);
  rv += packBool(file, kProcessInfoNative, p.native);
  rv += packUint64(file, kProcessInfoStartTime, p.start_time);
  rv += writeProcessIdentity(file, p.boot_id.str, p.start_ticks);
  return rv;
}

size_t writeThread(rocrash_async_file* file, const WriteContext& ctx, uint32_t number, bool crashed,
                   const rocrash_async_thread_state* state, uint32_t maxFrames,
                   uint64_t* depthSizes) {
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
          rv += packMessage(file, kThreadRegisters, [&](rocrash_async_file* out) {
            return writeRegister(out, name, value);
          });
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
    rv += packField(file, kImageUUID, ROCRASH_PROTOBUF_TYPE_BYTES, &bytes);
  }
  uint64_t type = rocrash_async_macho_cpu_type(image);
  uint64_t subtype = rocrash_async_macho_cpu_subtype(image);
  rv += packMessage(file, kImageCodeType,
                    [&](rocrash_async_file* out) { return writeProcessor(out, type, subtype); });
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
    rv += packMessage(file, kSignalMachException, [&](rocrash_async_file* out) {
      return writeMachException(out, info->mach_exception);
    });
  }
  return rv;
}

size_t writeAnnotations(rocrash_async_file* file,
                        const rocrash::annotations::Snapshot& annotations) {
  size_t rv = 0;
  for (size_t i = 0; i < rocrash::annotations::kCapacity; ++i) {
    const rocrash::annotations::Value* value = annotations.value(i);
    if (value == nullptr) continue;
    const char* name = annotations.name(i);
    rv += packMessage(file, kAnnotationsEntry, [&](rocrash_async_file* out) {
      return packText(out, kAnnotationEntryName, name) +
             packText(out, kAnnotationEntryValue, value->text());
    });
  }
  return rv;
}

}  // namespace rocrash::writer
