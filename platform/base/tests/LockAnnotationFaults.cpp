// Compiled on its own by clang with -Wthread-safety -Werror, never linked
// (CMakeLists.txt, which names the faults in their order): as it stands it
// must compile, and with FAULT set to the number of a fault below it must fail
// with the check's error.

#include <chrono>
#include <condition_variable>

#include "base/Mutex.h"

namespace {

class Account {
 public:
  void deposit(int amount) {
    base::LockGuard<base::Mutex> hold(mutex_);
    balance_ += amount;
    changed_.notify_all();
  }

  void withdraw(int amount) {
    base::LockGuard<base::Mutex> hold(mutex_);
    mutex_.wait(changed_, [&]() KX_REQUIRES(mutex_) { return balance_ >= amount; });
    balance_ -= amount;
  }

  bool withdrawBy(std::chrono::steady_clock::time_point deadline, int amount) {
    base::UniqueLock hold(mutex_);
    if (!mutex_.waitUntil(changed_, deadline,
                          [&]() KX_REQUIRES(mutex_) { return balance_ >= amount; })) {
      return false;
    }
    balance_ -= amount;
    return true;
  }

  bool tryClear() {
    if (!mutex_.tryLock()) return false;
    balance_ = 0;
    mutex_.unlock();
    return true;
  }

  void addLocked(int amount) {
    mutex_.assertHeld();
    balance_ += amount;
  }

#if FAULT == 1  // a guarded member read without its lock
  int balance() const { return balance_; }
#elif FAULT == 2  // a wait without holding the lock it lets go
  void waitForMoney() {
    mutex_.wait(changed_, [&]() KX_REQUIRES(mutex_) { return balance_ > 0; });
  }
#elif FAULT == 3  // a member written whether the try took the lock or not
  void clear() {
    (void)mutex_.tryLock();
    balance_ = 0;
  }
#elif FAULT == 4  // a lock taken in one function and let go in another, unsaid
  void open() { mutex_.lock(); }
#endif

 private:
  mutable base::Mutex mutex_;
  std::condition_variable changed_;
  int balance_ KX_GUARDED_BY(mutex_) = 0;
};

}  // namespace

// Uses each member, so that none is reported unused.
void useAccount() {
  Account account;
  account.deposit(2);
  account.withdraw(1);
  (void)account.withdrawBy(std::chrono::steady_clock::now(), 1);
  (void)account.tryClear();
}
