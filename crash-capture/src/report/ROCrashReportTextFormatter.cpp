#include "crash-capture/ROCrashReportTextFormatter.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "crash-capture/ROCrashCpuNames.h"
#include "log/ROCrashLog.h"

namespace {

constexpr const char* kMissing = "???";

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  va_end(args);
  return out;
}

const char* orMissing(const std::optional<std::string>& s) { return s ? s->c_str() : kMissing; }

std::string lastPathComponent(const std::string& path) {
  auto end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? path : "/";
  auto start = path.find_last_of('/', end);
  return path.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1) + 1);
}

// Left-aligns `text` in `width` columns, counting characters rather than
// UTF-8 bytes.
std::string padRight(const std::string& text, size_t width) {
  size_t characters = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++characters;
  }
  std::string out = text;
  if (characters < width) out.append(width - characters, ' ');
  return out;
}

std::string uuidString(const ROCrashReport::UUID& uuid) {
  std::string out;
  for (size_t i = 0; i < uuid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out += format("%02X", uuid[i]);
  }
  return out;
}

std::string dateDescription(dispatch::Date date) {
  time_t seconds = static_cast<time_t>(std::floor(date.timeIntervalSince1970()));
  struct tm utc;
  if (gmtime_r(&seconds, &utc) == nullptr) return kMissing;
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &utc);
  return buffer;
}

std::string operatingSystemName(ROCrashReportOperatingSystem os) {
  switch (os) {
    case ROCrashReportOperatingSystemMacOSX:
      return "Mac OS X";
    case ROCrashReportOperatingSystemiPhoneOS:
      return "iPhone OS";
    case ROCrashReportOperatingSystemiPhoneSimulator:
      return "Mac OS X";
    case ROCrashReportOperatingSystemAppleTVOS:
      return "Apple tvOS";
    default:
      return format("Unknown (%d)", static_cast<int>(os));
  }
}

bool knownOperatingSystem(ROCrashReportOperatingSystem os) {
  return os == ROCrashReportOperatingSystemMacOSX || os == ROCrashReportOperatingSystemiPhoneOS ||
         os == ROCrashReportOperatingSystemiPhoneSimulator ||
         os == ROCrashReportOperatingSystemAppleTVOS;
}

// The code type a log names, and whether it prints addresses 64 bits wide.
struct CodeType {
  std::string name;
  bool lp64 = true;
};

// The code type of a named Mach CPU type; false for any other.
bool namedCodeType(const ROCrashReportProcessorInfo* processor, CodeType* codeType) {
  if (processor == nullptr || processor->typeEncoding() != ROCrashReportProcessorTypeEncodingMach) {
    return false;
  }
  const char* name = ROCrashCpuCodeTypeName(processor->type());
  if (name == nullptr) return false;
  *codeType = {name, ROCrashCpuIs64Bit(processor->type())};
  return true;
}

// The first image with a named Mach CPU type decides; else the processor
// the report was written on.
CodeType reportCodeType(const ROCrashReport& report) {
  CodeType codeType;
  for (const auto& image : report.images()) {
    if (namedCodeType(image->codeType().get(), &codeType)) return codeType;
  }
  const auto& system = report.systemInfo();
  const auto* processor = system ? system->processorInfo().get() : nullptr;
  if (namedCodeType(processor, &codeType)) return codeType;
  if (processor == nullptr || processor->typeEncoding() != ROCrashReportProcessorTypeEncodingMach) {
    return {"Unknown", true};
  }
  return {format("Unknown (%llu)", static_cast<unsigned long long>(processor->type())), true};
}

std::string imageArchitectureName(const ROCrashReportProcessorInfo* codeType) {
  if (codeType == nullptr || codeType->typeEncoding() != ROCrashReportProcessorTypeEncodingMach) {
    return kMissing;
  }
  const char* name = ROCrashCpuArchitectureName(codeType->type(), codeType->subtype());
  return name != nullptr ? name : kMissing;
}

void appendFrames(std::string& text, const ROCrashReportStackFrames& frames,
                  const ROCrashReport& report, bool lp64) {
  int64_t index = 0;
  for (const auto& frame : frames) {
    text += ROCrashReportTextFormatter::formatStackFrame(*frame, index++, report, lp64);
    text += "\n";
  }
}

// The process, the application, the code type and the system.
void appendHeader(std::string& text, const ROCrashReport& report, const CodeType& codeType) {
  const auto& system = report.systemInfo();
  const auto& process = report.processInfo();
  text += format("Incident Identifier: %s\n",
                 report.uuidRef() ? uuidString(*report.uuidRef()).c_str() : kMissing);
  text += format("Hardware Model:      %s\n",
                 report.hasMachineInfo() ? orMissing(report.machineInfo()->modelName()) : kMissing);
  std::string processName = kMissing, processId = kMissing, processPath = kMissing;
  std::string parentName = kMissing, parentId = kMissing;
  if (process) {
    processName = orMissing(process->processName());
    processId = format("%llu", static_cast<unsigned long long>(process->processID()));
    processPath = orMissing(process->processPath());
    parentName = orMissing(process->parentProcessName());
    parentId = format("%llu", static_cast<unsigned long long>(process->parentProcessID()));
  }
  text += format("Process:         %s [%s]\n", processName.c_str(), processId.c_str());
  text += format("Path:            %s\n", processPath.c_str());
  const auto& app = report.applicationInfo();
  text += format("Identifier:      %s\n", app->applicationIdentifier().c_str());
  // The writer stores an absent marketing version as an empty string.
  const auto& marketing = app->applicationMarketingVersion();
  if (marketing && !marketing->empty()) {
    text +=
        format("Version:         %s (%s)\n", marketing->c_str(), app->applicationVersion().c_str());
  } else {
    text += format("Version:         %s\n", app->applicationVersion().c_str());
  }
  text += format("Code Type:       %s\n", codeType.name.c_str());
  text += format("Parent Process:  %s [%s]\n", parentName.c_str(), parentId.c_str());
  text += "\n";
  text += format("Date/Time:       %s\n",
                 system->timestamp() ? dateDescription(*system->timestamp()).c_str() : kMissing);
  text += format(
      "OS Version:      %s %s (%s)\n", operatingSystemName(system->operatingSystem()).c_str(),
      system->operatingSystemVersion().c_str(), orMissing(system->operatingSystemBuild()));
  text += "Report Version:  104\n";
  text += "\n";
}

// The signal and the thread it stopped.
void appendSignal(std::string& text, const ROCrashReport& report) {
  const auto& signal = report.signalInfo();
  text += format("Exception Type:  %s\n", signal->name().c_str());
  text += format("Exception Codes: %s at 0x%llx\n", signal->code().c_str(),
                 static_cast<unsigned long long>(signal->address()));
  for (const auto& thread : report.threads()) {
    if (thread->crashed()) {
      text += format("Crashed Thread:  %lld\n", static_cast<long long>(thread->threadNumber()));
      break;
    }
  }
  text += "\n";
}

// The uncaught exception, when the report holds one.
void appendException(std::string& text, const ROCrashReport& report, bool lp64) {
  if (!report.hasExceptionInfo()) return;
  const auto& exception = report.exceptionInfo();
  text += "Application Specific Information:\n";
  text += format("*** Terminating app due to uncaught exception '%s', reason: '%s'\n",
                 exception->exceptionName().c_str(), exception->exceptionReason().c_str());
  text += "\n";
  if (exception->stackFrames() && !exception->stackFrames()->empty()) {
    text += "Last Exception Backtrace:\n";
    appendFrames(text, *exception->stackFrames(), report, lp64);
    text += "\n";
  }
}

// Every thread's backtrace; answers the crashed thread (the last one marked
// so), or null.
std::shared_ptr<ROCrashReportThreadInfo> appendThreads(std::string& text,
                                                       const ROCrashReport& report, bool lp64) {
  std::shared_ptr<ROCrashReportThreadInfo> crashed;
  for (const auto& thread : report.threads()) {
    long long number = static_cast<long long>(thread->threadNumber());
    if (thread->crashed()) {
      text += format("Thread %lld Crashed:\n", number);
      crashed = thread;
    } else {
      text += format("Thread %lld:\n", number);
    }
    appendFrames(text, thread->stackFrames(), report, lp64);
    text += "\n";
  }
  return crashed;
}

// The crashed thread's registers, four to a line.
void appendRegisters(std::string& text, const ROCrashReport& report,
                     const ROCrashReportThreadInfo& crashed, const CodeType& codeType) {
  text += format("Thread %lld crashed with %s Thread State:\n",
                 static_cast<long long>(crashed.threadNumber()), codeType.name.c_str());
  const auto* processor = report.systemInfo()->processorInfo().get();
  bool arm = processor != nullptr &&
             processor->typeEncoding() == ROCrashReportProcessorTypeEncodingMach &&
             (processor->type() & ROCrashCpuSubtypeMask) == ROCrashCpuTypeARM;
  size_t column = 0;
  for (const auto& reg : crashed.registers()) {
    std::string name = reg->registerName();
    if (arm && name == "r12") name = "ip";
    auto value = static_cast<unsigned long long>(reg->registerValue());
    text += codeType.lp64 ? format("%6s: 0x%016llx ", name.c_str(), value)
                          : format("%6s: 0x%08llx ", name.c_str(), value);
    if (++column == 4) {
      text += "\n";
      column = 0;
    }
  }
  if (column != 0) text += "\n";
  text += "\n";
}

// The images, ascending by base; a repeated base is listed once.
void appendBinaryImages(std::string& text, const ROCrashReport& report, bool lp64) {
  const auto& process = report.processInfo();
  text += "Binary Images:\n";
  auto images = report.images();
  std::stable_sort(images.begin(), images.end(), [](const auto& a, const auto& b) {
    return a->imageBaseAddress() < b->imageBaseAddress();
  });
  uint64_t lastBase = 0;
  for (const auto& image : images) {
    uint64_t base = image->imageBaseAddress();
    if (base == lastBase) continue;
    lastBase = base;
    uint64_t end = base + std::max<uint64_t>(image->imageSize(), 1) - 1;
    bool isMain =
        process && process->processPath() && *process->processPath() == image->imageName();
    std::string arch = imageArchitectureName(image->codeType().get());
    std::string uuid = image->hasImageUUID() ? image->imageUUID() : kMissing;
    const char* fmt =
        lp64 ? "%#18llx - %#18llx %s%s %s  <%s> %s\n" : "%#10llx - %#10llx %s%s %s  <%s> %s\n";
    text += format(fmt, static_cast<unsigned long long>(base), static_cast<unsigned long long>(end),
                   isMain ? "+" : " ", lastPathComponent(image->imageName()).c_str(), arch.c_str(),
                   uuid.c_str(), image->imageName().c_str());
  }
}

}  // namespace

std::vector<uint8_t> ROCrashReportTextFormatter::formatReport(
    const ROCrashReport& report, std::shared_ptr<foundation::NSError>*) {
  std::string text = stringValueForCrashReport(report, textFormat_);
  std::vector<uint8_t> out;
  out.reserve(text.size());
  if (stringEncoding_ != ROCrashReportStringEncodingASCII) {
    out.assign(text.begin(), text.end());
    return out;
  }
  // Lossy: each non-ASCII character becomes one "?".
  for (unsigned char c : text) {
    if (c < 0x80) {
      out.push_back(c);
    } else if ((c & 0xC0) != 0x80) {
      out.push_back('?');
    }
  }
  return out;
}

std::string ROCrashReportTextFormatter::stringValueForCrashReport(const ROCrashReport& report,
                                                                  ROCrashReportTextFormat) {
  const CodeType codeType = reportCodeType(report);
  std::string text;
  appendHeader(text, report, codeType);
  appendSignal(text, report);
  appendException(text, report, codeType.lp64);
  if (auto crashed = appendThreads(text, report, codeType.lp64)) {
    appendRegisters(text, report, *crashed, codeType);
  }
  appendBinaryImages(text, report, codeType.lp64);
  return text;
}

std::string ROCrashReportTextFormatter::formatStackFrame(
    const ROCrashReportStackFrameInfo& frameInfo, int64_t frameIndex, const ROCrashReport& report,
    bool lp64) {
  uint64_t pc = frameInfo.instructionPointer();
  auto image = report.imageForAddress(pc);
  std::string imageName = image ? lastPathComponent(image->imageName()) : kMissing;
  std::string location;
  if (const auto& symbol = frameInfo.symbolInfo()) {
    std::string name = symbol->symbolName();
    auto os = report.systemInfo()->operatingSystem();
    if (knownOperatingSystem(os)) {
      if (name.size() >= 2 && name[0] == '_') name.erase(0, 1);
    } else {
      ROCrashLog(format("[ROReradUzerirud] Symbol \"%s\" prefix rules are unknown for this OS!",
                        name.c_str()));
    }
    location =
        format("%s + %lld", name.c_str(), static_cast<long long>(pc - symbol->startAddress()));
  } else {
    uint64_t base = 0;
    uint64_t offset = 0;
    if (image) {
      base = image->imageBaseAddress();
      offset = pc - base;
    } else if (pc != 0) {
      ROCrashLog(format("[ROReradUzerirud] Cannot find image for 0x%llx",
                        static_cast<unsigned long long>(pc)));
    }
    location = format("0x%llx + %lld", static_cast<unsigned long long>(base),
                      static_cast<long long>(offset));
  }
  std::string index = format("%-4lld", static_cast<long long>(frameIndex));
  return format("%s%s 0x%0*llx %s", index.c_str(), padRight(imageName, 35).c_str(), lp64 ? 16 : 8,
                static_cast<unsigned long long>(pc), location.c_str());
}
