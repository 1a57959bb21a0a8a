#include "RvStreams/CurrentThreadScheduler.h"

#include <memory>

namespace rv {
namespace {

// Per-thread state: whether a trampoline runs, and its queue once something
// was scheduled into it.
thread_local bool scheduleInProgress = false;
thread_local std::unique_ptr<Queue<Ref<ScheduledItemType>>> itemQueue;

}  // namespace

const Ref<CurrentThreadScheduler>& CurrentThreadScheduler::instance() {
  static const Ref<CurrentThreadScheduler>* scheduler =
      new Ref<CurrentThreadScheduler>(std::make_shared<CurrentThreadScheduler>());
  return *scheduler;
}

bool CurrentThreadScheduler::isScheduleRequired() noexcept { return !scheduleInProgress; }

bool CurrentThreadScheduler::hasQueue() noexcept { return itemQueue != nullptr; }

CurrentThreadScheduler::ActiveScope::ActiveScope() noexcept { scheduleInProgress = true; }

CurrentThreadScheduler::ActiveScope::~ActiveScope() {
  scheduleInProgress = false;
  // Items left behind by an abnormal end are dropped with the queue.
  std::unique_ptr<Queue<Ref<ScheduledItemType>>> queue = std::move(itemQueue);
}

void CurrentThreadScheduler::drain() noexcept {
  if (!itemQueue) return;
  while (auto item = itemQueue->dequeue()) {
    if (!(*item)->isDisposed()) (*item)->invoke();
  }
}

Ref<Disposable> CurrentThreadScheduler::scheduleAction(ScheduledAction action) {
  if (isScheduleRequired()) {
    return runOrJoin([&] { return action(); });
  }
  if (!itemQueue) itemQueue = std::make_unique<Queue<Ref<ScheduledItemType>>>(1);
  auto item = std::make_shared<ScheduledItem>(std::move(action));
  itemQueue->enqueue(item);
  return item;
}

}  // namespace rv
