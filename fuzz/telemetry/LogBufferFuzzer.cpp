// Feeds arbitrary bytes to what the crash service reads back from the
// crash-time log buffer at the next launch: a buffer file (a log as a keyed
// archive, with every class the service allows) and its encrypted target
// token. A log read back serialises, and survives a second archive round
// trip unchanged.
//
// Input: the token file's length (2 bytes), its bytes, then the buffer
// file's bytes.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "DUZECrashesUtil.h"
#include "ZozIduvur/DUZEAbstractLog.h"
#include "ZozIduvur/DUZEEncrypter.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"
#include "foundation/Paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::shared_ptr<DUZEEncrypter> encrypter = [] {
    // The encryption key lives in the data folder: a folder of our own, with
    // the fixed key (bytes 0 to 31) the seed corpus's tokens were made with.
    char name[] = "/tmp/kestrix-fuzz-logbuffer-XXXXXX";
    if (mkdtemp(name) == nullptr) abort();
    setenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str(), name, 1);
    const std::filesystem::path folder = DUZEUtility::dataFolder();
    std::filesystem::create_directories(folder);
    std::ofstream key(folder / std::string(DUZEEncrypter::kKeyFileName), std::ios::binary);
    for (char byte = 0; byte < 32; ++byte) key.put(byte);
    key.close();
    DUZELogger::setLogHandler(nullptr);
    DUZECrashesArchiverUtil::addAllowedCrashesModuleClasses();
    DUZECrashesArchiverUtil::addMigrationClasses();
    return DUZEEncrypter::create();
  }();
  size_t tokenSize = size >= 2 ? (data[0] | (size_t{data[1]} << 8)) : 0;
  if (size >= 2) {
    data += 2;
    size -= 2;
  }
  if (tokenSize > size) tokenSize = size;
  std::string token(reinterpret_cast<const char*>(data), tokenSize);
  foundation::Data buffer(data + tokenSize, data + size);

  auto log = DUZEUtility::unarchiveObject<DUZEAbstractLog>(buffer);
  if (!log) return 0;
  if (auto decrypted = encrypter->decryptString(token)) log->addTransmissionTargetToken(*decrypted);
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
