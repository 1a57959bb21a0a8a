#pragma once

// The engine of the operators that subscribe to a sequence of sources one after
// another (catch over sources, retry, retryWhen, concatenation). It keeps a
// stack of source iterators, picks the next source when the current one has
// finished and subscribes to it. Every step runs as a command through an
// AsyncLock, so a source that finishes while it is being subscribed does not
// deepen the call stack: the next step is queued and runs after the current
// one returns.
//
// An `Iterator` is a value with `std::optional<Ref<Observable<T>>> next()`;
// advancing it changes only its own state.

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "RvStreams/AsyncLock.h"
#include "RvStreams/CurrentThreadScheduler.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

enum class TailRecursiveSinkCommand { moveNext, dispose };

template <class T, class Iterator>
class TailRecursiveSink : public Sink<T>,
                          public std::enable_shared_from_this<TailRecursiveSink<T, Iterator>> {
 public:
  // The remaining sources of one sequence, and how many it still holds when
  // that is known.
  struct SequenceGenerator {
    Iterator generator;
    std::optional<int64_t> remaining;
  };

  TailRecursiveSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)) {}

  // Pushes `sources`, schedules the first step and returns the disposable of
  // the current source's subscription (the subscription half of the pair a
  // producer returns).
  Ref<Disposable> run(SequenceGenerator sources) {
    generators_.push_back(std::move(sources));
    schedule(TailRecursiveSinkCommand::moveNext);
    return subscription_;
  }

  // The gate's entry point.
  void invoke(TailRecursiveSinkCommand command) noexcept {
    if (command == TailRecursiveSinkCommand::dispose) {
      disposeCommand();
    } else {
      moveNextCommand();
    }
  }

  // Runs `command` now, or after the command running on the gate, or never
  // once the sink is disposed.
  void schedule(TailRecursiveSinkCommand command) noexcept {
    gate_.invoke(Item(this->shared_from_this(), command));
  }

  // Marks the sink disposed, ends the current source's subscription, then
  // closes the gate, which drops every queued command and refuses new ones.
  void dispose() noexcept override {
    Sink<T>::dispose();
    subscription_->dispose();
    gate_.dispose();
    schedule(TailRecursiveSinkCommand::dispose);
  }

 protected:
  // No source is left: completes. Operators that remember an error end with
  // it instead.
  virtual void done() noexcept { this->forwardStop(Event<T>::completed()); }

  // When `candidate` is itself a sequence of sources of the same operator,
  // returns its sources, so they are drained in place instead of nesting a
  // subscription.
  virtual std::optional<SequenceGenerator> extract(const Ref<Observable<T>>& candidate) = 0;

  // Subscribes the operator's observer to `source`.
  virtual Ref<Disposable> subscribeToNext(const Ref<Observable<T>>& source) = 0;

 private:
  using Item = InvocableScheduledItem<TailRecursiveSink, TailRecursiveSinkCommand>;

  void moveNextCommand() noexcept {
    std::optional<Ref<Observable<T>>> next;
    while (!next && !generators_.empty()) {
      if (this->isDisposed()) return;
      SequenceGenerator top = std::move(generators_.back());
      generators_.pop_back();
      std::optional<Ref<Observable<T>>> candidate = top.generator.next();
      if (!candidate) continue;  // exhausted: not pushed back
      if (!top.remaining) {
        generators_.push_back(std::move(top));
      } else if (*top.remaining - 1 >= 1) {
        // A sequence whose last source was just taken is dropped, so an
        // endless chain of one-source sequences keeps the stack flat.
        generators_.push_back({std::move(top.generator), *top.remaining - 1});
      }
      if (std::optional<SequenceGenerator> nested = extract(*candidate)) {
        generators_.push_back(std::move(*nested));
      } else {
        next = std::move(candidate);
      }
    }
    if (!next) {
      done();
      return;
    }
    auto disposable = SingleAssignmentDisposable::create();
    subscription_->setDisposable(disposable);  // ends the previous source's subscription
    disposable->setDisposable(subscribeToNext(*next));
  }

  // Releases the stack. Queued behind a dispose that already closed the gate,
  // it never runs there; the stack then goes with the sink.
  void disposeCommand() noexcept { std::vector<SequenceGenerator>().swap(generators_); }

  // Touched only inside commands, which the gate serialises.
  std::vector<SequenceGenerator> generators_;
  Ref<SerialDisposable> subscription_ = SerialDisposable::create();
  AsyncLock<Item> gate_;
};

namespace detail {

// A sequence of sources held in a shared array; each iterator walks it from
// the start.
template <class T>
class ObservableArray {
 public:
  explicit ObservableArray(std::vector<Ref<Observable<T>>> sources)
      : sources_(std::make_shared<const std::vector<Ref<Observable<T>>>>(std::move(sources))) {}

  class Iterator {
   public:
    explicit Iterator(std::shared_ptr<const std::vector<Ref<Observable<T>>>> sources)
        : sources_(std::move(sources)) {}
    std::optional<Ref<Observable<T>>> next() {
      if (index_ >= sources_->size()) return std::nullopt;
      return (*sources_)[index_++];
    }

   private:
    std::shared_ptr<const std::vector<Ref<Observable<T>>>> sources_;
    std::size_t index_ = 0;
  };

  Iterator makeIterator() const { return Iterator(sources_); }
  std::size_t count() const noexcept { return sources_->size(); }

 private:
  std::shared_ptr<const std::vector<Ref<Observable<T>>>> sources_;
};

// One source repeated `count` times, without storing the copies.
template <class T>
class RepeatedObservable {
 public:
  RepeatedObservable(Ref<Observable<T>> source, int64_t count)
      : source_(std::move(source)), count_(count) {}

  class Iterator {
   public:
    Iterator(Ref<Observable<T>> source, int64_t left) : source_(std::move(source)), left_(left) {}
    std::optional<Ref<Observable<T>>> next() {
      if (left_ <= 0) return std::nullopt;
      --left_;
      return source_;
    }

   private:
    Ref<Observable<T>> source_;
    int64_t left_;
  };

  Iterator makeIterator() const { return Iterator(source_, count_); }

 private:
  Ref<Observable<T>> source_;
  int64_t count_;
};

}  // namespace detail
}  // namespace rv
