// Feeds arbitrary bytes to the user-defaults loader as the content of its
// file: loading never crashes, and what was loaded is written back and loads
// again unchanged.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "foundation/UserDefaults.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path folder = [] {
    char name[] = "/tmp/kestrix-fuzz-defaults-XXXXXX";
    if (mkdtemp(name) == nullptr) abort();
    return fs::path(name);
  }();
  // A fresh folder each time: a loader that sets damaged files aside leaves
  // nothing behind for the next input.
  std::error_code ec;
  fs::remove_all(folder, ec);
  fs::create_directory(folder, ec);
  const fs::path file = folder / "UserDefaults.json";
  {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  auto defaults = foundation::NSUserDefaults::createWithFile(file);
  const auto loaded = defaults->persistentDomain();
  (void)defaults->dictionaryRepresentation();
  if (defaults->synchronize()) {
    auto again = foundation::NSUserDefaults::createWithFile(file);
    if (again->persistentDomain() != loaded) __builtin_trap();
  }
  return 0;
}
