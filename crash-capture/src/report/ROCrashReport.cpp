#include "crash-capture/ROCrashReport.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "ReportExtraction.h"
#include "writer/ROCrashAnnotationRules.h"

namespace rocrash::detail {
namespace {

constexpr size_t kHeaderSize = 8;
constexpr char kMagic[] = "rocrash";
constexpr uint8_t kVersion = 1;
constexpr size_t kMaxMachExceptionCodes = 255;
constexpr uint64_t kCpuTypeArm64 = 0x0100000C;
constexpr uint64_t kCpuSubtypeArm64e = 2;
constexpr uint64_t kPointerMask36 = 0xFFFFFFFFFull;
// The report's annotations: written last, and the one field a report is
// read without when it cannot be read with.
constexpr uint64_t kAnnotationsField = 11;

template <class T>
std::shared_ptr<T> fail(std::shared_ptr<foundation::NSError>* error, const char* message) {
  ROCrashPopulateError(error, ROReradUzerirudErrorInvalidCrashReport, message);
  return nullptr;
}

std::optional<std::string> optionalString(const char* s) {
  if (s == nullptr) return std::nullopt;
  return std::string(s);
}

// Reads a varint at `*at` (before `end`), moving past it; false when it does
// not end in ten bytes or before `end`.
bool readVarint(const uint8_t*& at, const uint8_t* end, uint64_t* value) {
  *value = 0;
  for (unsigned shift = 0; shift < 70 && at < end; shift += 7) {
    const uint8_t byte = *at++;
    *value |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

// One field of a message: its number, its wire type, and the bytes of its
// value (a length-delimited one's without the length).
struct Field {
  uint64_t number = 0;
  uint64_t type = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
  std::string_view text() const { return {reinterpret_cast<const char*>(data), size}; }
};

// Reads the field at `at` (before `end`), moving past it; false when it
// cannot be read whole (its number is set once its key is read).
bool readField(const uint8_t*& at, const uint8_t* end, Field* field) {
  uint64_t key = 0, length = 0;
  if (!readVarint(at, end, &key)) return false;
  field->number = key >> 3;
  field->type = key & 7;
  switch (field->type) {
    case 0:
      field->data = at;
      if (!readVarint(at, end, &length)) return false;
      field->size = static_cast<size_t>(at - field->data);
      return true;
    case 1:
      length = 8;
      break;
    case 2:
      if (!readVarint(at, end, &length)) return false;
      break;
    case 5:
      length = 4;
      break;
    default:
      return false;
  }
  if (length > static_cast<uint64_t>(end - at)) return false;
  field->data = at;
  field->size = static_cast<size_t>(length);
  at += length;
  return true;
}

// The message's top-level fields but its annotations, whatever they hold:
// none when another field cannot be told apart. Annotations that run past the
// end (a report cut short in them) are left out as well.
std::optional<std::vector<uint8_t>> withoutAnnotations(const uint8_t* at, const uint8_t* end) {
  std::vector<uint8_t> kept;
  while (at < end) {
    const uint8_t* start = at;
    Field field;
    if (!readField(at, end, &field)) {
      if (field.number == kAnnotationsField) break;
      return std::nullopt;
    }
    if (field.number != kAnnotationsField) kept.insert(kept.end(), start, at);
  }
  return kept;
}

// The annotations of a message whose fields all unpacked: each entry whose
// name and value the table would take, of a name given twice the first. An
// entry with other text (a zero byte, not UTF-8, too long) was damaged after
// it was written: it is left out, and the report reads as one without it.
std::map<std::string, std::string> annotationsIn(const uint8_t* at, const uint8_t* end) {
  std::map<std::string, std::string> annotations;
  Field field, entry, part;
  while (readField(at, end, &field)) {
    if (field.number != kAnnotationsField || field.type != 2) continue;
    for (const uint8_t* in = field.data, *last = in + field.size; readField(in, last, &entry);) {
      if (entry.number != 1 || entry.type != 2) continue;
      std::optional<std::string_view> name, value;
      for (const uint8_t *p = entry.data, *stop = p + entry.size; readField(p, stop, &part);) {
        if (part.type == 2 && part.number == 1) name = part.text();
        if (part.type == 2 && part.number == 2) value = part.text();
      }
      if (name && value && annotations::isName(*name) && annotations::isValue(*value)) {
        annotations.emplace(*name, *value);
      }
    }
  }
  return annotations;
}

}  // namespace

void UnpackedReportFree::operator()(Rocrash__CrashReport* message) const {
  rocrash__crash_report__free_unpacked(message, nullptr);
}

UnpackedReport decodeCrashData(const std::vector<uint8_t>& data,
                               std::shared_ptr<foundation::NSError>* error) {
  if (data.size() < kHeaderSize + 1) {
    fail<void>(error, "Could not decode truncated crash log");
    return nullptr;
  }
  if (std::memcmp(data.data(), kMagic, 7) != 0) {
    fail<void>(error, "Could not decode invalid crash log header");
    return nullptr;
  }
  if (data[7] != kVersion) {
    char message[96];
    std::snprintf(message, sizeof message, "Could not decode unsupported crash report version: %d",
                  data[7]);
    fail<void>(error, message);
    return nullptr;
  }
  const uint8_t* body = data.data() + kHeaderSize;
  UnpackedReport report(rocrash__crash_report__unpack(nullptr, data.size() - kHeaderSize, body));
  // Damaged annotations (those of the host are its own text) cost the report
  // them only: it is read as one written without them.
  if (!report) {
    if (auto rest = withoutAnnotations(body, data.data() + data.size())) {
      report.reset(rocrash__crash_report__unpack(nullptr, rest->size(), rest->data()));
    }
  }
  if (!report) fail<void>(error, "An unknown error occured decoding the crash report");
  return report;
}

bool ReportExtractor::machineMasksInstructionPointers(
    const Rocrash__CrashReport__MachineInfo* machine) {
  return machine != nullptr && machine->processor != nullptr &&
         machine->processor->type == kCpuTypeArm64 &&
         machine->processor->subtype == kCpuSubtypeArm64e;
}

std::shared_ptr<ROCrashReportSystemInfo> ReportExtractor::extractSystemInfo(
    const Rocrash__CrashReport__SystemInfo* systemInfo,
    std::shared_ptr<ROCrashReportProcessorInfo> processorInfo,
    std::shared_ptr<foundation::NSError>* error) const {
  if (systemInfo == nullptr) {
    return fail<ROCrashReportSystemInfo>(error,
                                         "Crash report is missing System Information section");
  }
  if (systemInfo->os_version == nullptr) {
    return fail<ROCrashReportSystemInfo>(
        error, "Crash report is missing System Information OS version field");
  }
  auto os = systemInfo->has_operating_system
                ? static_cast<ROCrashReportOperatingSystem>(systemInfo->operating_system)
                : ROCrashReportOperatingSystemUnknown;
  std::optional<dispatch::Date> timestamp;
  if (systemInfo->timestamp != 0) {
    timestamp = dispatch::Date::fromUnixTime(static_cast<double>(systemInfo->timestamp));
  }
  if (!processorInfo) {
    processorInfo = synthesizeProcessorInfoFromArchitecture(systemInfo->architecture, error);
    if (!processorInfo) return nullptr;
  }
  return std::make_shared<ROCrashReportSystemInfo>(
      os, systemInfo->os_version, optionalString(systemInfo->os_build),
      static_cast<ROCrashReportArchitecture>(systemInfo->architecture), std::move(processorInfo),
      timestamp);
}

std::shared_ptr<ROCrashReportProcessorInfo>
ReportExtractor::synthesizeProcessorInfoFromArchitecture(
    uint32_t architecture, std::shared_ptr<foundation::NSError>* error) const {
  static constexpr uint64_t kPairs[][2] = {
      {7, 3},           // X86_32
      {0x01000007, 3},  // X86_64
      {12, 6},          // ARMV6
      {18, 0},          // PPC
      {0x01000012, 0},  // PPC64
      {12, 9},          // ARMV7
  };
  if (architecture >= sizeof kPairs / sizeof kPairs[0]) {
    return fail<ROCrashReportProcessorInfo>(error, "Crash report has an unknown architecture");
  }
  return std::make_shared<ROCrashReportProcessorInfo>(
      ROCrashReportProcessorTypeEncodingMach, kPairs[architecture][0], kPairs[architecture][1]);
}

std::shared_ptr<ROCrashReportProcessorInfo> ReportExtractor::extractProcessorInfo(
    const Rocrash__CrashReport__Processor* processor,
    std::shared_ptr<foundation::NSError>* error) const {
  if (processor == nullptr) {
    return fail<ROCrashReportProcessorInfo>(error,
                                            "Crash report is missing processor info section");
  }
  auto encoding = processor->has_encoding
                      ? static_cast<ROCrashReportProcessorTypeEncoding>(processor->encoding)
                      : ROCrashReportProcessorTypeEncodingUnknown;
  return std::make_shared<ROCrashReportProcessorInfo>(encoding, processor->type,
                                                      processor->subtype);
}

std::shared_ptr<ROCrashReportMachineInfo> ReportExtractor::extractMachineInfo(
    const Rocrash__CrashReport__MachineInfo* machineInfo,
    std::shared_ptr<foundation::NSError>* error) const {
  if (machineInfo == nullptr) {
    return fail<ROCrashReportMachineInfo>(error,
                                          "Crash report is missing Machine Information section");
  }
  std::shared_ptr<ROCrashReportProcessorInfo> processor;
  if (machineInfo->processor != nullptr) {
    processor = extractProcessorInfo(machineInfo->processor, error);
    if (!processor) return nullptr;
  }
  return std::make_shared<ROCrashReportMachineInfo>(
      optionalString(machineInfo->model), std::move(processor), machineInfo->processor_count,
      machineInfo->logical_processor_count);
}

std::shared_ptr<ROCrashReportApplicationInfo> ReportExtractor::extractApplicationInfo(
    const Rocrash__CrashReport__ApplicationInfo* applicationInfo,
    std::shared_ptr<foundation::NSError>* error) const {
  if (applicationInfo == nullptr) {
    return fail<ROCrashReportApplicationInfo>(
        error, "Crash report is missing Application Information section");
  }
  if (applicationInfo->identifier == nullptr) {
    return fail<ROCrashReportApplicationInfo>(
        error, "Crash report is missing Application Information app identifier field");
  }
  if (applicationInfo->version == nullptr) {
    return fail<ROCrashReportApplicationInfo>(
        error, "Crash report is missing Application Information app version field");
  }
  return std::make_shared<ROCrashReportApplicationInfo>(
      applicationInfo->identifier, applicationInfo->version,
      optionalString(applicationInfo->marketing_version));
}

std::shared_ptr<ROCrashReportProcessInfo> ReportExtractor::extractProcessInfo(
    const Rocrash__CrashReport__ProcessInfo* processInfo,
    std::shared_ptr<foundation::NSError>* error) const {
  if (processInfo == nullptr) {
    return fail<ROCrashReportProcessInfo>(error,
                                          "Crash report is missing Process Information section");
  }
  std::optional<dispatch::Date> start;
  if (processInfo->has_start_time) {
    start = dispatch::Date::fromUnixTime(static_cast<double>(processInfo->start_time));
  }
  ROCrashReportProcessInfo::Identity identity;
  identity.bootId = optionalString(processInfo->boot_id);
  if (processInfo->has_start_ticks) identity.startTicks = processInfo->start_ticks;
  if (processInfo->has_forked_from_process_id) {
    identity.forkedFromProcessID = processInfo->forked_from_process_id;
  }
  if (processInfo->has_forked_from_start_ticks) {
    identity.forkedFromStartTicks = processInfo->forked_from_start_ticks;
  }
  return std::make_shared<ROCrashReportProcessInfo>(
      optionalString(processInfo->process_name), processInfo->process_id,
      optionalString(processInfo->process_path), start,
      optionalString(processInfo->parent_process_name), processInfo->parent_process_id,
      processInfo->native != 0, std::move(identity));
}

std::shared_ptr<ROCrashReportSymbolInfo> ReportExtractor::extractSymbolInfo(
    const Rocrash__CrashReport__Symbol* symbol, std::shared_ptr<foundation::NSError>* error) const {
  if (symbol == nullptr || symbol->name == nullptr) {
    return fail<ROCrashReportSymbolInfo>(error, "Crash report is missing symbol information");
  }
  return std::make_shared<ROCrashReportSymbolInfo>(
      symbol->name, symbol->start_address, symbol->has_end_address ? symbol->end_address : 0);
}

std::shared_ptr<ROCrashReportStackFrameInfo> ReportExtractor::extractStackFrameInfo(
    const Rocrash__CrashReport__Thread__StackFrame* frame,
    std::shared_ptr<foundation::NSError>* error) const {
  if (frame == nullptr) {
    return fail<ROCrashReportStackFrameInfo>(error,
                                             "Crash report is missing stack frame information");
  }
  std::shared_ptr<ROCrashReportSymbolInfo> symbol;
  if (frame->symbol != nullptr) {
    symbol = extractSymbolInfo(frame->symbol, error);
    if (!symbol) return nullptr;
  }
  uint64_t pc = maskInstructionPointers_ ? frame->pc & kPointerMask36 : frame->pc;
  return std::make_shared<ROCrashReportStackFrameInfo>(pc, std::move(symbol));
}

bool ReportExtractor::extractFrames(size_t count,
                                    Rocrash__CrashReport__Thread__StackFrame* const* frames,
                                    ROCrashReportStackFrames* out,
                                    std::shared_ptr<foundation::NSError>* error) const {
  out->reserve(count);
  for (size_t i = 0; i < count; ++i) {
    auto frame = extractStackFrameInfo(frames[i], error);
    if (!frame) return false;
    out->push_back(std::move(frame));
  }
  return true;
}

std::shared_ptr<ROCrashReportThreadInfo> ReportExtractor::extractThreadInfo(
    const Rocrash__CrashReport__Thread* thread, std::shared_ptr<foundation::NSError>* error) const {
  if (thread == nullptr) {
    return fail<ROCrashReportThreadInfo>(error, "Crash report is missing thread state information");
  }
  ROCrashReportStackFrames frames;
  if (!extractFrames(thread->n_frames, thread->frames, &frames, error)) return nullptr;
  std::vector<std::shared_ptr<ROCrashReportRegisterInfo>> registers;
  registers.reserve(thread->n_registers);
  for (size_t i = 0; i < thread->n_registers; ++i) {
    const auto* reg = thread->registers[i];
    if (reg == nullptr || reg->name == nullptr) {
      return fail<ROCrashReportThreadInfo>(error, "Missing register name in register value");
    }
    registers.push_back(std::make_shared<ROCrashReportRegisterInfo>(reg->name, reg->value));
  }
  return std::make_shared<ROCrashReportThreadInfo>(thread->thread_number, std::move(frames),
                                                   thread->crashed != 0, std::move(registers));
}

std::shared_ptr<ROCrashReportBinaryImageInfo> ReportExtractor::extractImageInfo(
    const Rocrash__CrashReport__BinaryImage* image,
    std::shared_ptr<foundation::NSError>* error) const {
  if (image == nullptr || image->name == nullptr) {
    return fail<ROCrashReportBinaryImageInfo>(error, "Missing image name in image record");
  }
  std::shared_ptr<ROCrashReportProcessorInfo> codeType;
  if (image->code_type != nullptr) {
    codeType = extractProcessorInfo(image->code_type, error);
    if (!codeType) return nullptr;
  }
  std::optional<std::vector<uint8_t>> uuid;
  if (image->has_uuid && image->uuid.len != 0) {
    uuid.emplace(image->uuid.data, image->uuid.data + image->uuid.len);
  }
  return std::make_shared<ROCrashReportBinaryImageInfo>(std::move(codeType), image->base_address,
                                                        image->size, image->name, std::move(uuid));
}

std::shared_ptr<ROCrashReportExceptionInfo> ReportExtractor::extractExceptionInfo(
    const Rocrash__CrashReport__Exception* exception,
    std::shared_ptr<foundation::NSError>* error) const {
  if (exception == nullptr) {
    return fail<ROCrashReportExceptionInfo>(
        error, "Crash report is missing Exception Information section");
  }
  if (exception->name == nullptr) {
    return fail<ROCrashReportExceptionInfo>(error, "Crash report is missing exception name field");
  }
  if (exception->reason == nullptr) {
    return fail<ROCrashReportExceptionInfo>(error,
                                            "Crash report is missing exception reason field");
  }
  if (exception->n_frames == 0) {
    return std::make_shared<ROCrashReportExceptionInfo>(exception->name, exception->reason);
  }
  ROCrashReportStackFrames frames;
  if (!extractFrames(exception->n_frames, exception->frames, &frames, error)) return nullptr;
  return std::make_shared<ROCrashReportExceptionInfo>(exception->name, exception->reason,
                                                      std::move(frames));
}

std::shared_ptr<ROCrashReportSignalInfo> ReportExtractor::extractSignalInfo(
    const Rocrash__CrashReport__Signal* signal, std::shared_ptr<foundation::NSError>* error) const {
  if (signal == nullptr) {
    return fail<ROCrashReportSignalInfo>(error,
                                         "Crash report is missing Signal Information section");
  }
  if (signal->name == nullptr) {
    return fail<ROCrashReportSignalInfo>(error, "Crash report is missing signal name field");
  }
  if (signal->code == nullptr) {
    return fail<ROCrashReportSignalInfo>(error, "Crash report is missing signal code field");
  }
  return std::make_shared<ROCrashReportSignalInfo>(signal->name, signal->code, signal->address);
}

std::shared_ptr<ROCrashReportMachExceptionInfo> ReportExtractor::extractMachExceptionInfo(
    const Rocrash__CrashReport__Signal__MachException* machException,
    std::shared_ptr<foundation::NSError>* error) const {
  if (machException == nullptr) {
    return fail<ROCrashReportMachExceptionInfo>(
        error, "Crash report is missing Mach Exception Information section");
  }
  if (machException->n_codes > kMaxMachExceptionCodes) {
    return fail<ROCrashReportMachExceptionInfo>(
        error, "Crash report includes too many Mach Exception codes");
  }
  return std::make_shared<ROCrashReportMachExceptionInfo>(
      machException->type,
      std::vector<uint64_t>(machException->codes, machException->codes + machException->n_codes));
}

}  // namespace rocrash::detail

namespace {

std::string hexString(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xF]);
  }
  return out;
}

}  // namespace

ROCrashReportBinaryImageInfo::ROCrashReportBinaryImageInfo(
    std::shared_ptr<ROCrashReportProcessorInfo> codeType, uint64_t baseAddress, uint64_t size,
    std::string name, std::optional<std::vector<uint8_t>> uuid)
    : codeType_(std::move(codeType)),
      imageBaseAddress_(baseAddress),
      imageSize_(size),
      imageName_(std::move(name)),
      hasImageUUID_(uuid.has_value()),
      imageUUID_(uuid ? hexString(*uuid) : std::string()) {}

void ROCrashReport::MessageDeleter::operator()(Rocrash__CrashReport* message) const {
  rocrash::detail::UnpackedReportFree()(message);
}

ROCrashReport::~ROCrashReport() = default;

std::shared_ptr<ROCrashReport> ROCrashReport::create(const std::vector<uint8_t>& data,
                                                     std::shared_ptr<foundation::NSError>* error) {
  using rocrash::detail::ReportExtractor;
  auto decoded = rocrash::detail::decodeCrashData(data, error);
  if (!decoded) return nullptr;
  std::shared_ptr<ROCrashReport> report(new ROCrashReport());
  report->decoder_.reset(decoded.release());
  const Rocrash__CrashReport* message = report->decoder_.get();
  auto invalid = [&](const char* text) {
    ROCrashPopulateError(error, ROReradUzerirudErrorInvalidCrashReport, text);
    return nullptr;
  };

  if (message->report_info != nullptr && message->report_info->has_uuid) {
    if (message->report_info->uuid.len != sizeof(UUID)) {
      return invalid("Report UUID value is not a standard 16 bytes");
    }
    UUID uuid;
    std::memcpy(uuid.data(), message->report_info->uuid.data, uuid.size());
    report->uuid_ = uuid;
  }

  ReportExtractor extractor(
      ReportExtractor::machineMasksInstructionPointers(message->machine_info));
  if (message->machine_info != nullptr) {
    report->machineInfo_ = extractor.extractMachineInfo(message->machine_info, error);
    if (!report->machineInfo_) return nullptr;
  }
  report->systemInfo_ = extractor.extractSystemInfo(
      message->system_info, report->machineInfo_ ? report->machineInfo_->processorInfo() : nullptr,
      error);
  if (!report->systemInfo_) return nullptr;
  report->applicationInfo_ = extractor.extractApplicationInfo(message->application_info, error);
  if (!report->applicationInfo_) return nullptr;
  if (message->process_info != nullptr) {
    report->processInfo_ = extractor.extractProcessInfo(message->process_info, error);
    if (!report->processInfo_) return nullptr;
  }
  report->signalInfo_ = extractor.extractSignalInfo(message->signal, error);
  if (!report->signalInfo_) return nullptr;
  if (message->signal->mach_exception != nullptr) {
    report->machExceptionInfo_ =
        extractor.extractMachExceptionInfo(message->signal->mach_exception, error);
    if (!report->machExceptionInfo_) return nullptr;
  }
  if (message->n_threads == 0) return invalid("Crash report is missing thread state information");
  for (size_t i = 0; i < message->n_threads; ++i) {
    auto thread = extractor.extractThreadInfo(message->threads[i], error);
    if (!thread) return nullptr;
    report->threads_.push_back(std::move(thread));
  }
  if (message->n_binary_images == 0) {
    return invalid("Crash report is missing binary image information");
  }
  for (size_t i = 0; i < message->n_binary_images; ++i) {
    auto image = extractor.extractImageInfo(message->binary_images[i], error);
    if (!image) return nullptr;
    report->images_.push_back(std::move(image));
  }
  if (message->exception != nullptr) {
    report->exceptionInfo_ = extractor.extractExceptionInfo(message->exception, error);
    if (!report->exceptionInfo_) return nullptr;
  }
  if (message->has_custom_data) {
    report->customData_.emplace(message->custom_data.data,
                                message->custom_data.data + message->custom_data.len);
  }
  // Read from the bytes: unpacked text ends at its first zero byte.
  if (message->annotations != nullptr) {
    report->annotations_ = rocrash::detail::annotationsIn(
        data.data() + rocrash::detail::kHeaderSize, data.data() + data.size());
  }
  return report;
}

std::shared_ptr<ROCrashReportBinaryImageInfo> ROCrashReport::imageForAddress(
    uint64_t address) const {
  for (const auto& image : images_) {
    // Subtracting first keeps an image that ends at the top of the address
    // space findable.
    if (image->imageBaseAddress() <= address &&
        address - image->imageBaseAddress() < image->imageSize()) {
      return image;
    }
  }
  return nullptr;
}
