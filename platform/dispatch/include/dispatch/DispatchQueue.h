#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/Mutex.h"
#include "base/ThreadSafety.h"
#include "dispatch/QoS.h"
#include "dispatch/Time.h"

namespace dispatch {

// A unit of work handed to a queue.
using Block = std::function<void()>;

// True on the registered main thread: the process's initial thread (the one
// whose thread id equals the process id, which runs `main()` or the test
// runner). Cheap after the first call on a thread; any thread may ask.
bool isMainThread() noexcept;

class DispatchQueue;

namespace detail {
uint64_t nextSpecificKeyId() noexcept;
class MainLoopAccess;

// A block on its way to run, with the queue it belongs to (the calling
// thread's current queue while it runs; null for internal drain work).
struct Job {
  Block block;
  std::shared_ptr<DispatchQueue> owner;
};
}  // namespace detail

// A key for values attached to queues with `DispatchQueue::setSpecific`. Every
// key made is distinct; a copy names the same key. Values are of type T.
template <class T>
class DispatchSpecificKey {
 public:
  DispatchSpecificKey() : id_(detail::nextSpecificKeyId()) {}
  uint64_t id() const { return id_; }

 private:
  uint64_t id_;
};

// A queue of blocks. Serial queues run their blocks one at a time in the order
// they were submitted (also when they target a concurrent queue); concurrent
// queues start them in order but run them in parallel. Every queue other than
// the roots (the main queue and the global queues) runs its blocks on a target
// queue, by default the global queue of its quality of service. Blocks of
// global queues run on one worker pool that grows when its workers block.
//
// All member functions may be called from any thread. A block must not throw:
// an exception escaping a block submitted with `async` ends the process through
// `std::terminate` (so a terminate handler sees the exception).
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
  struct PrivateTag {};

 public:
  enum class Attributes { serial, concurrent };

  // Creates a queue labelled `label` with `qos`. A null `target` means the
  // global queue of `qos` (of `defaultQoS` when unspecified). The target is
  // fixed for the queue's life; the queue keeps it alive.
  static std::shared_ptr<DispatchQueue> create(std::string label,
                                               DispatchQoS qos = DispatchQoS::unspecified(),
                                               Attributes attributes = Attributes::serial,
                                               std::shared_ptr<DispatchQueue> target = nullptr);

  // The serial queue drained only by the main loop (`MainLoop`) on the main
  // thread. Lives for the whole process.
  static const std::shared_ptr<DispatchQueue>& main();

  // The concurrent root queue of a quality-of-service class (`unspecified`
  // gives the `defaultQoS` queue). Lives for the whole process.
  static const std::shared_ptr<DispatchQueue>& global(QoSClass qosClass = QoSClass::defaultQoS);

  // Submits `block` and returns at once; the block never runs on the caller's
  // stack. A null block stops the process with a fatal error.
  void async(Block block);

  // Submits `block` at `deadline` (the monotonic clock). A deadline already
  // past submits it as soon as possible; `DispatchTime::distantFuture()` never
  // submits it (the block is released at once). A null block stops the
  // process with a fatal error.
  void asyncAfter(DispatchTime deadline, Block block);

  // Runs `work` as a block of this queue and returns its result: on a serial
  // queue it waits until every block submitted before it has run and no other
  // block runs meanwhile. The work runs on the caller's thread, except for a
  // queue whose target chain ends at the main queue: then it runs on the main
  // thread when the main loop reaches it, while the caller waits. An exception
  // thrown by `work` is rethrown to the caller after the queue is released.
  // Calling it for a queue that the calling thread is already running on (or
  // that targets one it is running on), or for a queue of the main queue's
  // chain from the main thread, would deadlock: that stops the process with a
  // fatal error instead. A null `Block` stops the process too.
  template <class F>
  auto sync(F&& work) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_same_v<std::decay_t<F>, Block>) {
      if (!work) nullBlock("sync");
    }
    if constexpr (std::is_void_v<R>) {
      syncInvoke(&invokeVoid<std::remove_reference_t<F>>, &work);
    } else {
      std::optional<R> result;
      auto fill = [&] { result.emplace(work()); };
      syncInvoke(&invokeVoid<decltype(fill)>, &fill);
      return std::move(*result);
    }
  }

  // Attaches `value` to this queue under `key`, replacing any earlier value;
  // `std::nullopt` removes it.
  template <class T>
  void setSpecific(const DispatchSpecificKey<T>& key,
                   std::type_identity_t<std::optional<T>> value) {
    std::shared_ptr<const void> stored;
    if (value) stored = std::make_shared<const T>(std::move(*value));
    setSpecificValue(key.id(), std::move(stored));
  }

  // The value under `key` of the queue the calling thread is running a block
  // of, else of that queue's target, and so on up the chain. On the main thread
  // outside any block the main queue counts as the current queue; any other
  // thread outside a block has no current queue and gets `std::nullopt`.
  template <class T>
  static std::optional<T> getSpecific(const DispatchSpecificKey<T>& key) {
    std::shared_ptr<const void> stored = currentSpecificValue(key.id());
    if (!stored) return std::nullopt;
    return *static_cast<const T*>(stored.get());
  }

  const std::string& label() const { return label_; }
  DispatchQoS qos() const { return qos_; }
  bool isConcurrent() const { return kind_ == Kind::concurrent || kind_ == Kind::globalRoot; }
  // The queue this one runs its blocks on; null for the main and global queues.
  const std::shared_ptr<DispatchQueue>& target() const { return target_; }

  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  enum class Kind { serial, concurrent, globalRoot, mainRoot };
  // Public only for std::make_shared; use `create`.
  DispatchQueue(PrivateTag, Kind kind, std::string label, DispatchQoS qos,
                std::shared_ptr<DispatchQueue> target);

 private:
  friend class detail::MainLoopAccess;
  struct SyncHandoff;
  struct Item {
    detail::Job job;
    std::shared_ptr<SyncHandoff> handoff;  // a waiting `sync` caller instead of a job
  };

  template <class F>
  static void invokeVoid(void* context) {
    (*static_cast<F*>(context))();
  }
  [[noreturn]] static void nullBlock(const char* operation);

  void enqueue(detail::Job job);
  void scheduleDrain();
  void drain();
  void acquireForSync();
  void releaseAfterSync();
  void syncInvoke(void (*fn)(void*), void* context);
  bool heldByCallingThread() const;
  void setSpecificValue(uint64_t id, std::shared_ptr<const void> value);
  static std::shared_ptr<const void> currentSpecificValue(uint64_t id);

  const Kind kind_;
  const std::string label_;
  const DispatchQoS qos_;
  const std::shared_ptr<DispatchQueue> target_;

  // Serial and main queues: pending items and whether a drain (or a sync
  // caller) owns the queue.
  base::Mutex mutex_;
  std::deque<Item> items_ KX_GUARDED_BY(mutex_);
  bool owned_ KX_GUARDED_BY(mutex_) = false;

  mutable base::Mutex specificsMutex_;
  std::vector<std::pair<uint64_t, std::shared_ptr<const void>>> specifics_
      KX_GUARDED_BY(specificsMutex_);
};

}  // namespace dispatch
