#include "RvCocoa/SharingScheduler.h"

#include <mutex>

#include "RvStreams/MainScheduler.h"

namespace rv {
namespace {

// The factory is swapped as a whole under a mutex and called outside it, so
// a reader keeps the factory (and what it captured) alive for the whole call
// even when a mock ends meanwhile.
struct FactorySlot {
  std::mutex mutex;
  Ref<const SharingScheduler::Factory> factory = std::make_shared<const SharingScheduler::Factory>(
      [] { return Ref<SchedulerType>(MainScheduler::create()); });
};

FactorySlot& slot() {
  // Never destroyed: shared sequences may be built while the process exits.
  static FactorySlot* shared = new FactorySlot();
  return *shared;
}

Ref<const SharingScheduler::Factory> current() {
  FactorySlot& s = slot();
  std::lock_guard<std::mutex> guard(s.mutex);
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
    std::lock_guard<std::mutex> guard(s.mutex);
    previous = std::exchange(s.factory, std::move(factory));
  }
  // `previous` (and what it captured) is released by the caller, outside the
  // lock.
  return previous;
}

}  // namespace rv
