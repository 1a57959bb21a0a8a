#pragma once

// Tests that run blocks on the main queue (the test runner's thread is the
// registered main thread) start and end with it empty, so that a block left
// behind by one test never runs inside the next.

#include <gtest/gtest.h>

#include "dispatch/MainLoop.h"

namespace rv::test {

// Runs the main queue's blocks until none is left, including blocks that
// those blocks add.
inline void drainMainQueue() {
  while (dispatch::MainLoop::drainPending() != 0) {
  }
}

class MainQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { drainMainQueue(); }
  void TearDown() override { drainMainQueue(); }
  static void drain() { drainMainQueue(); }
};

}  // namespace rv::test
