// Feeds arbitrary bytes to the decoding of stored logs: it must answer a log
// or nothing, never crash, and a decoded log must survive serialisation and
// a second archive round trip unchanged (compared as bytes, so that a NaN
// field does not count as a change).

#include <cstddef>
#include <cstdint>

#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvur/DUZEDevice.h"
#include "ZozIduvur/DUZELogWithProperties.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEStartServiceLog.h"
#include "ZozIduvur/DUZETypedProperty.h"
#include "ZozIduvur/DUZEUtility.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    DUZELogger::setLogHandler(nullptr);
    DUZEUtility::addAllowedClasses({foundation::ArchivableClass::of<DUZELogWithProperties>(),
                                    foundation::ArchivableClass::of<DUZEStartServiceLog>(),
                                    foundation::ArchivableClass::of<DUZEDevice>(),
                                    foundation::ArchivableClass::of<DUZEStringTypedProperty>(),
                                    foundation::ArchivableClass::of<DUZELongTypedProperty>()});
    return true;
  }();
  (void)ready;
  foundation::Data bytes(data, data + size);
  auto log = DUZEUtility::unarchiveObject<DUZEAbstractLog>(bytes);
  if (!log) return 0;
  (void)log->serializeToDictionary().dump(-1, ' ', false,
                                          nlohmann::ordered_json::error_handler_t::replace);
  (void)log->isValid();
  auto again = DUZEUtility::archiveKeyedData(foundation::Value(log));
  if (again) {
    auto back = DUZEUtility::unarchiveObject<DUZEAbstractLog>(*again);
    if (!back) __builtin_trap();
    auto third = DUZEUtility::archiveKeyedData(foundation::Value(back));
    if (!third || *third != *again) __builtin_trap();
  }
  return 0;
}
