#pragma once

#include <memory>
#include <mutex>

// The process-wide instance of a class: made on first use, dropped by
// `reset` so that tests (and a restart of the client) get a fresh one.
template <class T>
class DUZESharedInstance {
 public:
  std::shared_ptr<T> get() {
    std::lock_guard lock(mutex_);
    if (!instance_) instance_ = std::make_shared<T>();
    return instance_;
  }
  void reset() {
    std::shared_ptr<T> old;
    {
      std::lock_guard lock(mutex_);
      old = std::move(instance_);
    }
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<T> instance_;
};
