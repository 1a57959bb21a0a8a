#pragma once

// Runs a test in both fence modes a process runs in, each instantiation named
// after its mode: `asymmetric` (plain announcements, locks biased after a few
// holds) and `symmetric` (sequentially consistent announcements, locks never
// biased).
//
//   class MyStress : public concurrency::testing::BothWays {};
//   TEST_P(MyStress, Something) { ... }
//   CONCURRENCY_INSTANTIATE_BOTH_WAYS(MyStress);

#include <gtest/gtest.h>

#include <string>

#include "concurrency/AsymmetricFence.h"
#include "concurrency/BiasedRecursiveLock.h"
#include "concurrency/TestSeams.h"

namespace concurrency::testing {

class BothWays : public ::testing::TestWithParam<FenceMode> {
 protected:
  void SetUp() override {
    if (!setFenceModeForTesting(GetParam())) GTEST_SKIP() << "no process-wide barrier here";
    // Few holds bias a lock, so that races meet the bias and its revocation
    // often; in the symmetric mode locks are never biased.
    setBiasThresholdForTesting(GetParam() == FenceMode::asymmetric ? 2 : 0);
  }
  void TearDown() override { restoreDefaults(); }

 public:
  // The process's own choices: asymmetric fences where the barrier works,
  // locks biased after 64 holds.
  static void restoreDefaults() {
    if (!setFenceModeForTesting(FenceMode::asymmetric))
      setFenceModeForTesting(FenceMode::symmetric);
    setBiasThresholdForTesting(64);
  }
};

inline std::string fenceModeName(const ::testing::TestParamInfo<FenceMode>& info) {
  switch (info.param) {
    case FenceMode::asymmetric:
      return "asymmetric";
    case FenceMode::symmetric:
      return "symmetric";
    case FenceMode::buffered:
      return "buffered";
  }
  return "unknown";
}

}  // namespace concurrency::testing

#define CONCURRENCY_INSTANTIATE_BOTH_WAYS(suite)                                   \
  INSTANTIATE_TEST_SUITE_P(Both, suite,                                            \
                           ::testing::Values(::concurrency::FenceMode::asymmetric, \
                                             ::concurrency::FenceMode::symmetric), \
                           ::concurrency::testing::fenceModeName)
