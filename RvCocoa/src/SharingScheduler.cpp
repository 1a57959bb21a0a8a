#include "RvCocoa/SharingScheduler.h"

#include "RvStreams/MainScheduler.h"
#include "base/Mutex.h"

namespace rv {
namespace {

// The factory is swapped as a whole under a mutex and called outside it, so
// a reader keeps the factory (and what it captured) alive for the whole call
// even when a mock ends meanwhile.
struct FactorySlot {
  base::Mutex mutex;
  Ref<const SharingScheduler::Factory> factory KX_GUARDED_BY(mutex) =
      std::make_shared<const SharingScheduler::Factory>([] {
        return Ref<SchedulerType>(MainScheduler::create());
      });
};

FactorySlot& slot() {
  // Never destroyed: shared sequences may be built while the process exits.
  static FactorySlot* shared = new FactorySlot();
  return *shared;
}

Ref<const SharingScheduler::Factory> current() {
  FactorySlot& s = slot();
  base::LockGuard guard(s.mutex);
  return s.factory;
}

}  // namespace

Ref<SchedulerType> SharingScheduler::make() {
  Ref<const Factory> factory = current();
  return (*factory)();
}

SharingScheduler::Factory SharingScheduler::factory() { return *current(); }

Ref<const SharingScheduler::Factory> SharingScheduler::replace(Factory factory) {
  return replace(std::make_shared<const Factory>(std::move(factory)));
}

Ref<const SharingScheduler::Factory> SharingScheduler::replace(Ref<const Factory> factory) {
  FactorySlot& s = slot();
  Ref<const Factory> previous;
  {
    base::LockGuard guard(s.mutex);
    previous = std::exchange(s.factory, std::move(factory));
  }
  // `previous` (and what it captured) is released by the caller, outside the
  // lock.
  return previous;
}

}  // namespace rv
