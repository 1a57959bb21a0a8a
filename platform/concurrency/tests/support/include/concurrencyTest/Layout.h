#pragma once

// What a program's own translation units, built without the test seams, see
// of the public types: it must match what the library and the tests see.

#include <cstddef>

#include "concurrency/AsymmetricFence.h"
#include "concurrency/BiasedRecursiveLock.h"
#include "concurrency/HazardSlots.h"

namespace concurrency::testing {

struct Layout {
  std::size_t sizes[7];
  std::size_t alignments[7];
  int fenceModes[3];
  bool operator==(const Layout&) const = default;
};

namespace {
// As the including translation unit sees it.
[[maybe_unused]] Layout layoutHere() {
  return {{sizeof(detail::HazardRecord), sizeof(detail::HazardThread), sizeof(HazardScope),
           sizeof(ProtectedPointer), sizeof(ProtectedPointer::Replaced), sizeof(DeferredRetire),
           sizeof(BiasedRecursiveLock)},
          {alignof(detail::HazardRecord), alignof(detail::HazardThread), alignof(HazardScope),
           alignof(ProtectedPointer), alignof(ProtectedPointer::Replaced), alignof(DeferredRetire),
           alignof(BiasedRecursiveLock)},
          {static_cast<int>(FenceMode::asymmetric), static_cast<int>(FenceMode::symmetric),
           static_cast<int>(FenceMode::buffered)}};
}
}  // namespace

// As a translation unit built without the test seams sees it.
Layout layoutWithoutTestSeams();

}  // namespace concurrency::testing
