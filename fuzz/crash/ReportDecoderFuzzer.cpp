// Feeds arbitrary bytes to the report decoder and, when they decode, to the
// text formatter. Bytes without the file header get one, so the fuzzer
// spends its time in the message body.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROCrashReportTextFormatter.h"
#include "log/ROCrashLog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    ROCrashSetLogSinkForTesting([](const std::string&) {});
    return true;
  }();
  (void)quiet;
  std::vector<uint8_t> bytes(data, data + size);
  if (size > 0 && (data[0] & 1)) {
    static const uint8_t kHeader[] = {'r', 'o', 'c', 'r', 'a', 's', 'h', 1};
    bytes.assign(kHeader, kHeader + sizeof kHeader);
    bytes.insert(bytes.end(), data + 1, data + size);
  }
  std::shared_ptr<foundation::NSError> error;
  auto report = ROCrashReport::create(bytes, &error);
  if (report) {
    (void)ROCrashReportTextFormatter::stringValueForCrashReport(*report,
                                                                ROCrashReportTextFormatiOS);
  }
  return 0;
}
