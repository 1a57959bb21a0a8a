#pragma once

// Shared helpers of the reactive library's tests.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "RvStreams/Disposable.h"
#include "RvStreams/Lock.h"

namespace rv::test {

// The error type tests throw and forward.
struct TestError : std::exception {
  explicit TestError(std::string text = "test error") : text(std::move(text)) {}
  const char* what() const noexcept override { return text.c_str(); }
  std::string text;
};

inline Error makeError(const std::string& text = "test error") {
  return std::make_exception_ptr(TestError(text));
}

// Death tests run in the threadsafe style: the child re-executes the test
// binary, which is safe with the threads the library starts.
class DeathTestBase : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Counts its disposals and records them in a shared log under its name.
class CountingDisposable final : public Cancelable {
 public:
  explicit CountingDisposable(std::string name = "", std::vector<std::string>* log = nullptr)
      : name_(std::move(name)), log_(log) {}
  static Ref<CountingDisposable> create(std::string name = "",
                                        std::vector<std::string>* log = nullptr) {
    return std::make_shared<CountingDisposable>(std::move(name), log);
  }
  void dispose() noexcept override {
    if (log_ != nullptr) {
      LockGuard guard(logLock());
      log_->push_back(name_);
    }
    count_.fetch_add(1);
  }
  bool isDisposed() const noexcept override { return count_.load() > 0; }
  int count() const { return count_.load(); }

  static RecursiveLock& logLock() {
    static RecursiveLock lock;
    return lock;
  }

 private:
  std::string name_;
  std::vector<std::string>* log_;
  std::atomic<int> count_{0};
};

}  // namespace rv::test
