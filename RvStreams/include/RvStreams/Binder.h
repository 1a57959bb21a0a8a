#pragma once

// The observer that drives a property or an action of an object from a
// stream: it holds its target weakly (it never keeps it alive), runs each
// element's binding on a scheduler (by default a new MainScheduler, so on the
// main thread), ignores completion and reports errors instead of passing them
// on. It keeps no state of its own: it may be fed from any thread, and events
// after an error are handled as usual.
//
//   Binder<double> alpha(view, [](View& v, double a) { v.setAlpha(a); });
//   source->subscribe(std::make_shared<Binder<double>>(alpha));

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/ErrorReport.h"
#include "RvStreams/MainScheduler.h"
#include "RvStreams/ObserverType.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Scheduler.h"

namespace rv {

// How an object is held weakly, by the kind of strong reference it comes in.
// `std::shared_ptr` is known here; another kind of object reference (the
// object runtime's) joins with a specialisation giving `Weak`, `weaken` and
// `load` (null once the object is gone).
template <class Strong>
struct WeakReferenceTraits;

template <class T>
struct WeakReferenceTraits<std::shared_ptr<T>> {
  using Weak = std::weak_ptr<T>;
  static Weak weaken(const std::shared_ptr<T>& object) { return object; }
  static std::shared_ptr<T> load(const Weak& weak) { return weak.lock(); }
};

template <class T>
class Binder final : public ObserverType<T> {
 public:
  // Binds on a new MainScheduler: a value received on the main queue while
  // that scheduler has nothing pending is bound at once, inside `on`; others
  // are bound later on the main queue, in the order received. `binding` is
  // called as binding(target&, value); the file and line are those reported
  // with an error.
  template <class Strong, class Binding>
  Binder(const Strong& target, Binding binding, const char* file = __builtin_FILE(),
         int line = __builtin_LINE())
      : Binder(target, MainScheduler::create(), std::move(binding), file, line) {}

  // Binds on `scheduler`.
  template <class Strong, class Binding>
  Binder(const Strong& target, Ref<ImmediateSchedulerType> scheduler, Binding binding,
         const char* file = __builtin_FILE(), int line = __builtin_LINE())
      : binding_(makeBinding(target, std::move(scheduler), std::move(binding), file, line)) {}

  // next: schedules the binding (it cannot be cancelled, and is skipped when
  // the target is gone by then); error: prints "Binding error: " and the
  // error; completed: nothing.
  void on(const Event<T>& event) noexcept override { binding_(event); }

  AnyObserver<T> asObserver() const {
    return AnyObserver<T>([binding = binding_](const Event<T>& event) { binding(event); });
  }

 private:
  using EventHandler = std::function<void(const Event<T>&)>;

  template <class Strong, class Binding>
  static EventHandler makeBinding(const Strong& target, Ref<ImmediateSchedulerType> scheduler,
                                  Binding binding, const char* file, int line) {
    using Traits = WeakReferenceTraits<Strong>;
    // One shared copy of the weak target and the binding logic, so each
    // element costs no copy of them.
    struct Shared {
      typename Traits::Weak target;
      Binding binding;
    };
    auto shared =
        std::make_shared<const Shared>(Shared{Traits::weaken(target), std::move(binding)});
    return [shared, scheduler = std::move(scheduler), file, line](const Event<T>& event) {
      if (const T* element = event.element()) {
        scheduler->schedule(*element, [shared](T value) -> Ref<Disposable> {
          if (auto strong = Traits::load(shared->target))
            shared->binding(*strong, std::move(value));
          return Disposables::create();
        });
      } else if (const Error* error = event.error()) {
        reportBindingError(*error, file, line);
      }
    };
  }

  EventHandler binding_;
};

}  // namespace rv
