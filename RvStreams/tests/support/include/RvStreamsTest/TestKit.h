#pragma once

// Shared helpers of the reactive library's tests.

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <optional>
#include <string>
#include <thread>
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

// Runs `race(subject, t)` on `threads` threads released together, `rounds`
// times, each round on a fresh subject made by `make` and checked by
// `check(subject)` once every thread is done with it. The threads are made
// once and reused: starting threads, not racing, would otherwise dominate the
// run time (above all under ThreadSanitizer).
template <class Make, class Race, class Check>
void raceRounds(int threads, int rounds, Make make, Race race, Check check) {
  std::optional<decltype(make())> subject;
  std::barrier sync(threads + 1);
  std::vector<std::thread> racers;
  for (int t = 0; t < threads; ++t) {
    racers.emplace_back([&, t] {
      for (int round = 0; round < rounds; ++round) {
        sync.arrive_and_wait();  // the subject is ready: go
        race(*subject, t);
        sync.arrive_and_wait();  // this round is over
      }
    });
  }
  for (int round = 0; round < rounds; ++round) {
    subject.emplace(make());
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    check(*subject);
  }
  for (auto& racer : racers) racer.join();
}

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
