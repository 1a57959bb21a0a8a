// Feeds arbitrary bytes to the conversion of a crash report into the crash
// log that is sent: bytes that decode as a report become a log and a
// summary; the log serialises and survives an archive round trip. Bytes
// without the report file's header get one, so the fuzzer spends its time
// in the report's fields.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "DUZECrashesUtil.h"
#include "DUZEErrorLogFormatter.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"
#include "log/ROCrashLog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    ROCrashSetLogSinkForTesting([](const std::string&) {});
    DUZELogger::setLogHandler(nullptr);
    DUZECrashesArchiverUtil::addAllowedCrashesModuleClasses();
    return true;
  }();
  (void)ready;
  std::vector<uint8_t> bytes(data, data + size);
  if (size > 0 && (data[0] & 1)) {
    static const uint8_t kHeader[] = {'r', 'o', 'c', 'r', 'a', 's', 'h', 1};
    bytes.assign(kHeader, kHeader + sizeof kHeader);
    bytes.insert(bytes.end(), data + 1, data + size);
  }
  std::shared_ptr<foundation::NSError> error;
  auto report = ROCrashReport::create(bytes, &error);
  if (!report) return 0;
  auto log = DUZEErrorLogFormatter::errorLogFromCrashReport(*report);
  if (!log) __builtin_trap();
  (void)log->serializeToDictionary().dump(-1, ' ', false,
                                          nlohmann::ordered_json::error_handler_t::replace);
  (void)log->isValid();
  (void)DUZEErrorLogFormatter::errorReportFromLog(*log);
  auto archived = DUZEUtility::archiveKeyedData(foundation::Value(log));
  if (!archived || !DUZEUtility::unarchiveObject<DUZEAbstractLog>(*archived)) __builtin_trap();
  return 0;
}
