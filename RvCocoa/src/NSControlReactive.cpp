#include "RvCocoa/NSControlReactive.h"

#include "RvCocoa/ControlTarget.h"
#include "RvCocoa/MessageObservation.h"
#include "RvStreams/Create.h"
#include "RvStreams/Share.h"
#include "RvStreams/Take.h"

namespace rv::cocoa_detail {

using appkit::NSControl;

namespace {

// Association keys: only their addresses matter.
const char controlEventKey = 0;
const char controlPropertyKey = 0;

// A stream of the control's action messages that installs a ControlTarget
// per connection. With `sendOnConnect` a connection first sends one element
// at once, so that a property reads its current value.
Ref<Observable<Unit>> makeActionStream(const objc::Ref<NSControl>& control, bool sendOnConnect,
                                       int64_t replay) {
  objc::Weak<NSControl> weak(control);
  Ref<Observable<Unit>> actions =
      rv::create<Unit>([weak, sendOnConnect](AnyObserver<Unit> observer) -> Ref<Disposable> {
        MainScheduler::ensureRunningOnMainThread();
        objc::Ref<NSControl> control = weak.load();
        if (!control) {
          observer.onCompleted();
          return Disposables::create();
        }
        if (sendOnConnect) observer.onNext(Unit{});
        objc::Ref<ControlTarget> target =
            ControlTarget::create(control, [weak, observer](const objc::Ref<NSControl>&) mutable {
              if (weak.load()) observer.onNext(Unit{});
            });
        return target->asDisposable();
      });
  return actions | rv::takeUntil(deallocated(control.get())) |
         rv::share(replay, SubjectLifetimeScope::whileConnected);
}

}  // namespace

Ref<Observable<Unit>> controlEventStream(const objc::Ref<NSControl>& control) {
  MainScheduler::ensureRunningOnMainThread();
  return lazyInstanceObservable<Ref<Observable<Unit>>>(control.get(), &controlEventKey, [&] {
    return makeActionStream(control, /*sendOnConnect=*/false, /*replay=*/0);
  });
}

Ref<Observable<Unit>> controlPropertyTrigger(const objc::Ref<NSControl>& control) {
  MainScheduler::ensureRunningOnMainThread();
  // Replays the last trigger while connected: a property subscribed later
  // reads its own current value at once.
  return lazyInstanceObservable<Ref<Observable<Unit>>>(control.get(), &controlPropertyKey, [&] {
    return makeActionStream(control, /*sendOnConnect=*/true, /*replay=*/1);
  });
}

}  // namespace rv::cocoa_detail
