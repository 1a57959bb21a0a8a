#include "dispatch/DispatchQueue.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <exception>

#include "Current.h"
#include "MainLoopAccess.h"
#include "TimerService.h"
#include "WorkerPool.h"
#include "base/FatalError.h"

namespace dispatch {
namespace detail {

thread_local DispatchQueue* tCurrentQueue = nullptr;

DispatchQueue* effectiveCurrentQueue() noexcept {
  if (tCurrentQueue != nullptr) return tCurrentQueue;
  if (isMainThread()) return DispatchQueue::main().get();
  return nullptr;
}

uint64_t nextSpecificKeyId() noexcept {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace detail

namespace {

// How many blocks one drain of a serial queue runs before it goes to the back
// of its target again, so that a busy serial queue cannot starve the other
// work of a serial target.
constexpr int kDrainBatch = 128;

}  // namespace

bool isMainThread() noexcept {
  // 0 unknown, 1 main, 2 not main.
  thread_local int state = 0;
  if (state == 0) {
    state = static_cast<pid_t>(syscall(SYS_gettid)) == getpid() ? 1 : 2;
  }
  return state == 1;
}

// A `sync` caller waiting in a serial queue's line for its turn. Shared by
// the caller and the drain that grants it, so that the drain may wake the
// caller after letting go of the lock (the caller then never wakes only to
// wait for it) even if the caller is already gone.
struct DispatchQueue::SyncHandoff {
  base::Mutex mutex;
  std::condition_variable granted;
  bool isGranted KX_GUARDED_BY(mutex) = false;

  void grant() {
    {
      base::LockGuard lock(mutex);
      isGranted = true;
    }
    granted.notify_one();
  }
  void wait() {
    base::UniqueLock lock(mutex);
    while (!isGranted) lock.wait(granted);
  }
};

DispatchQueue::DispatchQueue(PrivateTag, Kind kind, std::string label, DispatchQoS qos,
                             std::shared_ptr<DispatchQueue> target)
    : kind_(kind), label_(std::move(label)), qos_(qos), target_(std::move(target)) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label, DispatchQoS qos,
                                                     Attributes attributes,
                                                     std::shared_ptr<DispatchQueue> target) {
  if (!target) target = global(qos.qosClass);
  const Kind kind = attributes == Attributes::concurrent ? Kind::concurrent : Kind::serial;
  return std::make_shared<DispatchQueue>(PrivateTag{}, kind, std::move(label), qos,
                                         std::move(target));
}

const std::shared_ptr<DispatchQueue>& DispatchQueue::main() {
  static const auto* const queue =
      new std::shared_ptr<DispatchQueue>(std::make_shared<DispatchQueue>(
          PrivateTag{}, Kind::mainRoot, "dispatch.main", DispatchQoS::userInteractive(), nullptr));
  return *queue;
}

const std::shared_ptr<DispatchQueue>& DispatchQueue::global(QoSClass qosClass) {
  using Queues = std::array<std::shared_ptr<DispatchQueue>, 5>;
  static const Queues* const queues = [] {
    auto* made = new Queues();
    const QoSClass classes[] = {QoSClass::background, QoSClass::utility, QoSClass::defaultQoS,
                                QoSClass::userInitiated, QoSClass::userInteractive};
    for (std::size_t i = 0; i < made->size(); ++i) {
      (*made)[i] = std::make_shared<DispatchQueue>(
          PrivateTag{}, Kind::globalRoot, std::string("dispatch.global.") + toString(classes[i]),
          DispatchQoS{classes[i], 0}, nullptr);
    }
    return made;
  }();
  switch (qosClass) {
    case QoSClass::background:
      return (*queues)[0];
    case QoSClass::utility:
      return (*queues)[1];
    case QoSClass::unspecified:
    case QoSClass::defaultQoS:
      break;
    case QoSClass::userInitiated:
      return (*queues)[3];
    case QoSClass::userInteractive:
      return (*queues)[4];
  }
  return (*queues)[2];
}

void DispatchQueue::nullBlock(const char* operation) {
  base::fatalError(std::string("DispatchQueue::") + operation + " called with a null block");
}

void DispatchQueue::async(Block block) {
  if (!block) nullBlock("async");
  enqueue(detail::Job{std::move(block), shared_from_this()});
}

void DispatchQueue::asyncAfter(DispatchTime deadline, Block block) {
  if (!block) nullBlock("asyncAfter");
  detail::TimerService::shared()->submitAt(deadline, shared_from_this(), std::move(block));
}

void DispatchQueue::enqueue(detail::Job job) {
  switch (kind_) {
    case Kind::globalRoot:
      detail::WorkerPool::shared().push(qos_.qosClass, std::move(job));
      return;
    case Kind::concurrent:
      target_->enqueue(std::move(job));
      return;
    case Kind::mainRoot:
      detail::MainLoopAccess::enqueue(*this, std::move(job));
      return;
    case Kind::serial:
      break;
  }
  bool startDrain = false;
  {
    base::LockGuard lock(mutex_);
    items_.push_back(Item{std::move(job), nullptr});
    if (!owned_) {
      owned_ = true;
      startDrain = true;
    }
  }
  if (startDrain) scheduleDrain();
}

void DispatchQueue::scheduleDrain() {
  target_->enqueue(detail::Job{[self = shared_from_this()] { self->drain(); }, nullptr});
}

void DispatchQueue::drain() {
  for (int ran = 0;; ++ran) {
    Item item;
    {
      base::LockGuard lock(mutex_);
      if (items_.empty()) {
        owned_ = false;
        return;
      }
      if (ran == kDrainBatch) break;  // still owned: the drain goes to the back of the target
      item = std::move(items_.front());
      items_.pop_front();
    }
    if (item.handoff != nullptr) {
      // The queue passes, still owned, to the waiting sync caller, which
      // releases it when its work is done. Granted outside the lock, so that
      // the caller never wakes only to wait for it.
      item.handoff->grant();
      return;
    }
    detail::runJob(item.job);
  }
  scheduleDrain();
}

void DispatchQueue::acquireForSync() {
  auto handoff = std::make_shared<SyncHandoff>();
  {
    base::LockGuard lock(mutex_);
    if (!owned_) {
      owned_ = true;
      return;
    }
    items_.push_back(Item{detail::Job{}, handoff});
  }
  detail::BlockingScope blocking;
  handoff->wait();
}

void DispatchQueue::releaseAfterSync() {
  bool startDrain = false;
  {
    base::LockGuard lock(mutex_);
    if (items_.empty()) {
      owned_ = false;
    } else {
      startDrain = true;
    }
  }
  if (startDrain) scheduleDrain();
}

bool DispatchQueue::heldByCallingThread() const {
  for (const DispatchQueue* q = detail::effectiveCurrentQueue(); q != nullptr;
       q = q->target_.get()) {
    if (q == this) return true;
  }
  return false;
}

void DispatchQueue::syncInvoke(void (*fn)(void*), void* context) {
  // The serial queues this queue's blocks are serialised by, innermost first;
  // concurrent levels add no exclusion.
  std::vector<DispatchQueue*> serialChain;
  bool reachesMain = false;
  for (DispatchQueue* q = this; q != nullptr; q = q->target_.get()) {
    if (q->kind_ == Kind::mainRoot) reachesMain = true;
    if (q->kind_ == Kind::serial) serialChain.push_back(q);
  }
  if (reachesMain && isMainThread()) {
    base::fatalError("DispatchQueue::sync on queue \"" + label_ +
                     "\" from the main thread would deadlock: the main queue runs only there");
  }
  for (DispatchQueue* q : serialChain) {
    if (q->heldByCallingThread()) {
      base::fatalError("DispatchQueue::sync on queue \"" + label_ +
                       "\" from a block already running on \"" + q->label_ + "\" would deadlock");
    }
  }

  // Acquire innermost first, release outermost first.
  struct Held {
    std::vector<DispatchQueue*>& chain;
    std::size_t acquired = 0;
    ~Held() {
      while (acquired > 0) chain[--acquired]->releaseAfterSync();
    }
  } held{serialChain};
  for (DispatchQueue* q : serialChain) {
    q->acquireForSync();
    ++held.acquired;
  }

  if (!reachesMain) {
    detail::ScopedCurrentQueue scope(this);
    fn(context);
    return;
  }

  // The main queue is bound to the main thread: the work runs there while the
  // caller waits, holding the serial queues between.
  struct MainHandoff {
    base::Mutex mutex;
    std::condition_variable done;
    bool finished KX_GUARDED_BY(mutex) = false;
    std::exception_ptr error;
  } handoff;
  detail::MainLoopAccess::enqueue(*main(), detail::Job{[&handoff, fn, context, self = this] {
                                                         {
                                                           detail::ScopedCurrentQueue scope(self);
                                                           try {
                                                             fn(context);
                                                           } catch (...) {
                                                             handoff.error =
                                                                 std::current_exception();
                                                           }
                                                         }
                                                         base::LockGuard lock(handoff.mutex);
                                                         handoff.finished = true;
                                                         handoff.done.notify_one();
                                                       },
                                                       nullptr});
  {
    detail::BlockingScope blocking;
    base::UniqueLock lock(handoff.mutex);
    while (!handoff.finished) lock.wait(handoff.done);
  }
  if (handoff.error) std::rethrow_exception(handoff.error);
}

void DispatchQueue::setSpecificValue(uint64_t id, std::shared_ptr<const void> value) {
  std::shared_ptr<const void> replaced;  // dies outside the lock
  base::LockGuard lock(specificsMutex_);
  for (auto it = specifics_.begin(); it != specifics_.end(); ++it) {
    if (it->first == id) {
      replaced = std::move(it->second);
      if (value) {
        it->second = std::move(value);
      } else {
        specifics_.erase(it);
      }
      return;
    }
  }
  if (value) specifics_.emplace_back(id, std::move(value));
}

std::shared_ptr<const void> DispatchQueue::currentSpecificValue(uint64_t id) {
  for (const DispatchQueue* q = detail::effectiveCurrentQueue(); q != nullptr;
       q = q->target_.get()) {
    base::LockGuard lock(q->specificsMutex_);
    for (const auto& [key, value] : q->specifics_) {
      if (key == id) return value;
    }
  }
  return nullptr;
}

const char* toString(QoSClass qosClass) noexcept {
  switch (qosClass) {
    case QoSClass::unspecified:
      return "unspecified";
    case QoSClass::background:
      return "background";
    case QoSClass::utility:
      return "utility";
    case QoSClass::defaultQoS:
      return "default";
    case QoSClass::userInitiated:
      return "userInitiated";
    case QoSClass::userInteractive:
      return "userInteractive";
  }
  return "unspecified";
}

std::string DispatchQoS::description() const {
  return std::string("DispatchQoS(qosClass: ") + toString(qosClass) +
         ", relativePriority: " + std::to_string(relativePriority) + ")";
}

}  // namespace dispatch
