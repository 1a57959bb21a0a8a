#pragma once

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "system/Threads.h"

namespace systemtests {

// A thread that reports its id and then blocks on a condition until told to
// finish (optionally with the parking signal blocked).
class Worker {
 public:
  explicit Worker(bool blockParking = false) {
    thread_ = std::thread([this, blockParking] {
      if (blockParking) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, sys::thread_parking_signal());
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
      }
      int dummy = 0;
      stackAddress_ = reinterpret_cast<uint64_t>(&dummy);
      std::unique_lock<std::mutex> lock(mutex_);
      tid_ = sys::mach_thread_self();
      cv_.notify_all();
      cv_.wait(lock, [this] { return done_; });
    });
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return tid_ != 0; });
  }
  ~Worker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  sys::thread_t tid() const { return tid_; }
  uint64_t stackAddress() const { return stackAddress_; }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  sys::thread_t tid_ = 0;
  bool done_ = false;
  uint64_t stackAddress_ = 0;
  std::thread thread_;
};

}  // namespace systemtests
