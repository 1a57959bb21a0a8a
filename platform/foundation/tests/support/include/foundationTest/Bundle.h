#pragma once

#include <optional>

#include "foundation/Bundle.h"

namespace foundationtest {

// Empties the bundle's information dictionary and forgets the executable path
// the host set, as at start-up.
inline void resetInfoDictionary(foundation::NSBundle& bundle) {
  for (const auto& entry : bundle.infoDictionary()) {
    bundle.setObjectForInfoDictionaryKey(foundation::Value(), entry.first);
  }
  bundle.setExecutablePath(std::nullopt);
}

}  // namespace foundationtest
