// The test seams exist only in builds with tests.
#ifdef KX_TEST_SEAMS
#include <vector>

#include "RuntimeInternal.h"
#include "objc/TestSeams.h"

namespace objc {
namespace detail {

std::atomic<int> gArmedHooks{0};

namespace {

enum class HookKind { setClass, setImplementation };

struct Hook {
  HookKind kind;
  const void* subject;
  std::function<void()> action;
};

struct Hooks {
  base::Mutex lock;
  std::vector<Hook> pending KX_GUARDED_BY(lock);
};

Hooks& hooks() {
  static Hooks* h = new Hooks;
  return *h;
}

void arm(HookKind kind, const void* subject, std::function<void()> action) {
  base::LockGuard guard(hooks().lock);
  hooks().pending.push_back({kind, subject, std::move(action)});
  gArmedHooks.store(static_cast<int>(hooks().pending.size()), std::memory_order_release);
}

void run(HookKind kind, const void* subject) {
  std::vector<std::function<void()>> due;
  {
    base::LockGuard guard(hooks().lock);
    auto& pending = hooks().pending;
    for (auto it = pending.begin(); it != pending.end();) {
      if (it->kind == kind && it->subject == subject) {
        due.push_back(std::move(it->action));
        it = pending.erase(it);
      } else {
        ++it;
      }
    }
    gArmedHooks.store(static_cast<int>(pending.size()), std::memory_order_release);
  }
  for (auto& action : due) action();
}

}  // namespace

void runSetClassHooks(id object) { run(HookKind::setClass, object); }
void runSetImplementationHooks(Method method) { run(HookKind::setImplementation, method); }

}  // namespace detail

namespace testing {

void onNextSetClass(id object, std::function<void()> hook) {
  detail::arm(detail::HookKind::setClass, object, std::move(hook));
}

void onNextSetImplementation(Method method, std::function<void()> hook) {
  detail::arm(detail::HookKind::setImplementation, method, std::move(hook));
}

void setCFTypeID(Class cls, CFTypeID typeID) {
  if (cls != nullptr) detail::Access::data(cls).typeID.store(typeID);
}

}  // namespace testing
}  // namespace objc
#endif
