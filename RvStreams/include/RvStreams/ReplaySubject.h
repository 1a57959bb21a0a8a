#pragma once

// A subject that keeps the last elements it received and replays them to
// every new subscriber, during subscribe and under the lock, before live
// events: a subscriber never misses or duplicates an element at the junction.
// How many it keeps is chosen once, by the factory.

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "RvStreams/Queue.h"
#include "RvStreams/Subject.h"

namespace rv {

template <class T>
class ReplaySubject : public SubjectBase<ReplaySubject<T>, T>, public Disposable {
  friend SubjectBase<ReplaySubject<T>, T>;
  using SubjectBase<ReplaySubject<T>, T>::observers_;

 protected:
  // The buffers of the subclasses are guarded by it too.
  using SubjectBase<ReplaySubject<T>, T>::lock_;

 public:
  // Keeps the last `bufferSize` elements: a one-element buffer for 1, a queue
  // otherwise. A size of 0 or less keeps nothing (the stop event is still
  // replayed).
  static Ref<ReplaySubject> create(int64_t bufferSize);
  // Keeps every element.
  static Ref<ReplaySubject> createUnbound();

  void on(const Event<T>& event) noexcept final {
    const T* element = event.element();
    if (element == nullptr) {
      stop(event);
      return;
    }
    ObserverDelivery<T> delivery;
    {
      LockGuard guard(lock_);
      if (isDisposed_ || stopped_.load()) return;
      addValueToBuffer(*element);
      trim();
      observers_.hold(lock_, delivery);
    }
    delivery.deliver(event);
  }

  // Forgets the observers and the buffered elements; the stop event, if any,
  // is kept but later subscribers get only the disposed error.
  void dispose() noexcept final { this->disposeSubject(); }

  // Read without the lock: advisory.
  bool isStopped() const noexcept { return stopped_.load(); }

 protected:
  ReplaySubject() = default;

  // The buffer, changed only under the lock.
  virtual void addValueToBuffer(const T& element) KX_REQUIRES(lock_) = 0;
  virtual void trim() KX_REQUIRES(lock_) = 0;
  virtual void replayBuffer(ObserverType<T>& observer) KX_REQUIRES(lock_) = 0;
  virtual void disposeBuffer() KX_REQUIRES(lock_) = 0;

 private:
  Ref<Disposable> subscribeLocked(Ref<ObserverType<T>> observer,
                                  concurrency::DeferredRetire& retired) KX_REQUIRES(lock_) {
    if (isDisposed_) {
      observer->on(Event<T>::error(detail::disposedError(*this)));
      return Disposables::create();
    }
    replayBuffer(*observer);
    if (stoppedEvent_) {
      observer->on(*stoppedEvent_);
      return Disposables::create();
    }
    return this->insertObserver(std::move(observer), retired);
  }

  bool unsubscribeRefused() const noexcept KX_REQUIRES(lock_) { return isDisposed_; }

  void forgetLocked() noexcept KX_REQUIRES(lock_) {
    isDisposed_ = true;
    disposeBuffer();
  }

  // Records the stop event and delivers it to the observers of that moment,
  // which the subject then forgets.
  [[gnu::noinline]] void stop(const Event<T>& event) noexcept {
    concurrency::DeferredRetire retired;
    ObserverDelivery<T> delivery;
    {
      LockGuard guard(lock_);
      if (isDisposed_ || stopped_.load()) return;
      stoppedEvent_ = event;
      stopped_.store(true);
      trim();
      observers_.takeAll(lock_, delivery, retired);
    }
    delivery.deliver(event);
  }

  bool isDisposed_ KX_GUARDED_BY(lock_) = false;
  std::atomic<bool> stopped_{false};
  std::optional<Event<T>> stoppedEvent_ KX_GUARDED_BY(lock_);
};

namespace detail {

template <class T>
class ReplayOne final : public ReplaySubject<T> {
 protected:
  void addValueToBuffer(const T& element) override KX_REQUIRES(this->lock_) { value_ = element; }
  void trim() override KX_REQUIRES(this->lock_) {}
  void replayBuffer(ObserverType<T>& observer) override KX_REQUIRES(this->lock_) {
    if (value_) observer.on(Event<T>::next(*value_));
  }
  void disposeBuffer() override KX_REQUIRES(this->lock_) { value_.reset(); }

 private:
  std::optional<T> value_ KX_GUARDED_BY(this->lock_);
};

// Keeps elements in arrival order: at most `bufferSize` of them, or all of
// them when unbounded.
template <class T>
class ReplayMany final : public ReplaySubject<T> {
 public:
  explicit ReplayMany(std::optional<int64_t> bufferSize)
      : bufferSize_(bufferSize), queue_(queueCapacity(bufferSize)) {}

 protected:
  void addValueToBuffer(const T& element) override KX_REQUIRES(this->lock_) {
    queue_.enqueue(element);
  }
  // Stops when the queue is empty, so a negative size keeps nothing instead
  // of looping.
  void trim() override KX_REQUIRES(this->lock_) {
    if (!bufferSize_) return;
    while (!queue_.isEmpty() && queue_.count() > *bufferSize_) queue_.dequeue();
  }
  void replayBuffer(ObserverType<T>& observer) override KX_REQUIRES(this->lock_) {
    // A copy: the observer may push into this subject while it is replayed to.
    const Queue<T> buffered = queue_;
    for (const T& element : buffered) observer.on(Event<T>::next(element));
  }
  void disposeBuffer() override KX_REQUIRES(this->lock_) { queue_ = Queue<T>(0); }

 private:
  // One more than the size, never negative.
  static int64_t queueCapacity(std::optional<int64_t> bufferSize) {
    const int64_t size = bufferSize.value_or(0);
    if (size == std::numeric_limits<int64_t>::max()) fatalError("Arithmetic overflow");
    return size + 1 < 0 ? 0 : size + 1;
  }

  std::optional<int64_t> bufferSize_;
  Queue<T> queue_ KX_GUARDED_BY(this->lock_);
};

}  // namespace detail

template <class T>
Ref<ReplaySubject<T>> ReplaySubject<T>::create(int64_t bufferSize) {
  if (bufferSize == 1) return std::make_shared<detail::ReplayOne<T>>();
  return std::make_shared<detail::ReplayMany<T>>(bufferSize);
}

template <class T>
Ref<ReplaySubject<T>> ReplaySubject<T>::createUnbound() {
  return std::make_shared<detail::ReplayMany<T>>(std::nullopt);
}

}  // namespace rv
