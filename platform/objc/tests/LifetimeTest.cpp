#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "baseTest/Handoff.h"
#include "objc/NSObject.h"
#include "objcTest/Classes.h"

namespace objc {
namespace {

using test::makeSubclass;
using test::sel;

// A class whose `dealloc` runs `onDealloc(self)` and then the root's.
Class makeTrackedClass(std::function<void(id)> onDealloc) {
  Class cls = makeSubclass(NSObject::classObject(), "Tracked");
  class_addMethod(cls, sel("dealloc"),
                  imp_implementationWithBlock<void()>([cls, onDealloc](id self) {
                    onDealloc(self);
                    sendSuper<void()>({self, class_getSuperclass(cls)}, sel("dealloc"));
                  }),
                  "v16@0:8");
  return cls;
}

TEST(Dealloc, RunsFirstThenAssociationsAreReleasedWithWeakReferencesAlreadyNil) {
  std::vector<std::string> events;
  Weak<Object> ownerWeak;
  Class ownerClass = makeTrackedClass([&](id) {
    events.push_back(ownerWeak.load() ? "dealloc, weak alive" : "dealloc, weak nil");
  });
  Class valueClass = makeTrackedClass([&](id) {
    events.push_back(ownerWeak.load() ? "association, weak alive" : "association, weak nil");
  });
  {
    Ref<Object> owner = class_createInstance(ownerClass);
    ownerWeak = owner;
    Ref<Object> value = class_createInstance(valueClass);
    static char key;
    objc_setAssociatedObject(owner.get(), &key, value.get(), OBJC_ASSOCIATION_RETAIN_NONATOMIC);
    value = nullptr;
    EXPECT_TRUE(events.empty()) << "the owner keeps its association alive";
    EXPECT_TRUE(ownerWeak.load());
  }
  EXPECT_EQ(events, (std::vector<std::string>{"dealloc, weak nil", "association, weak nil"}));
  EXPECT_FALSE(ownerWeak.load());
}

TEST(Dealloc, RetainAndReleaseDuringDeallocationChangeNothing) {
  int deallocs = 0;
  Class cls = makeTrackedClass([&](id self) {
    ++deallocs;
    Ref<Object> again(self);  // retain + release while deallocating
    Ref<Object> copy = again;
    Weak<Object> late(self);
    EXPECT_FALSE(late.load()) << "no weak reference forms to a deallocating object";
  });
  class_createInstance(cls);
  EXPECT_EQ(deallocs, 1);
}

TEST(Dealloc, IsSentThroughTheRuntimeSoAReplacedImplementationRuns) {
  std::vector<std::string> events;
  Class cls = makeTrackedClass([&](id) { events.push_back("class dealloc"); });
  Method method = class_getInstanceMethod(cls, sel("dealloc"));
  IMP original = method_getImplementation(method);
  method_setImplementation(method, imp_implementationWithBlock<void()>([&, original](id self) {
                             events.push_back("replacement");
                             callImplementation<void()>(original, self, sel("dealloc"));
                           }));
  class_createInstance(cls);
  EXPECT_EQ(events, (std::vector<std::string>{"replacement", "class dealloc"}));
}

TEST(Associations, PoliciesRetainCopyOrAssign) {
  static char retainKey, copyKey, assignKey;
  int valueDeallocs = 0;
  Class valueClass = makeTrackedClass([&](id) { ++valueDeallocs; });
  // `copy` of a value makes a new object of the same class.
  class_addMethod(valueClass, sel("copyWithZone:"),
                  imp_implementationWithBlock<Ref<Object>(void*)>(
                      [valueClass](id, void*) { return class_createInstance(valueClass); }),
                  methodEncoding<Ref<Object>(void*)>());
  Ref<NSObject> owner = make<NSObject>();

  Ref<Object> retained = class_createInstance(valueClass);
  objc_setAssociatedObject(owner.get(), &retainKey, retained.get(), OBJC_ASSOCIATION_RETAIN);
  Ref<Object> original = class_createInstance(valueClass);
  objc_setAssociatedObject(owner.get(), &copyKey, original.get(), OBJC_ASSOCIATION_COPY_NONATOMIC);
  Ref<Object> assigned = class_createInstance(valueClass);
  objc_setAssociatedObject(owner.get(), &assignKey, assigned.get(), OBJC_ASSOCIATION_ASSIGN);

  EXPECT_EQ(objc_getAssociatedObject(owner.get(), &retainKey), retained);
  Ref<Object> copied = objc_getAssociatedObject(owner.get(), &copyKey);
  ASSERT_TRUE(copied);
  EXPECT_NE(copied, original);
  EXPECT_EQ(objc_getAssociatedObject(owner.get(), &assignKey), assigned);
  copied = nullptr;

  retained = nullptr;
  original = nullptr;
  EXPECT_EQ(valueDeallocs, 1) << "only the copied-from original is gone";
  objc_setAssociatedObject(owner.get(), &assignKey, nullptr, OBJC_ASSOCIATION_ASSIGN);
  assigned = nullptr;
  EXPECT_EQ(valueDeallocs, 2) << "assign held no reference";
  owner = nullptr;
  EXPECT_EQ(valueDeallocs, 4) << "the retained value and the copy die with the owner";
}

TEST(Associations, ReplacingOrRemovingReleasesTheOldValue) {
  static char key;
  int deallocs = 0;
  Class valueClass = makeTrackedClass([&](id) { ++deallocs; });
  Ref<NSObject> owner = make<NSObject>();
  objc_setAssociatedObject(owner.get(), &key, class_createInstance(valueClass).get(),
                           OBJC_ASSOCIATION_RETAIN_NONATOMIC);
  EXPECT_EQ(deallocs, 0);
  objc_setAssociatedObject(owner.get(), &key, class_createInstance(valueClass).get(),
                           OBJC_ASSOCIATION_RETAIN_NONATOMIC);
  EXPECT_EQ(deallocs, 1);
  objc_setAssociatedObject(owner.get(), &key, nullptr, OBJC_ASSOCIATION_RETAIN_NONATOMIC);
  EXPECT_EQ(deallocs, 2);
  EXPECT_FALSE(objc_getAssociatedObject(owner.get(), &key));
  objc_setAssociatedObject(owner.get(), &key, class_createInstance(valueClass).get(),
                           OBJC_ASSOCIATION_RETAIN_NONATOMIC);
  objc_removeAssociatedObjects(owner.get());
  EXPECT_EQ(deallocs, 3);
}

TEST(Associations, ValuesAssociatedWhileOthersAreReleasedAreReleasedToo) {
  static char first, second;
  std::vector<std::string> events;
  Ref<NSObject> owner = make<NSObject>();
  Class lateClass = makeTrackedClass([&](id) { events.push_back("late value"); });
  id rawOwner = owner.get();
  Class firstClass = makeTrackedClass([&, rawOwner](id) {
    events.push_back("first value");
    // Code run by a released association attaches something new to the
    // dying owner; it must not outlive the owner.
    objc_setAssociatedObject(rawOwner, &second, class_createInstance(lateClass).get(),
                             OBJC_ASSOCIATION_RETAIN);
  });
  objc_setAssociatedObject(owner.get(), &first, class_createInstance(firstClass).get(),
                           OBJC_ASSOCIATION_RETAIN);
  owner = nullptr;
  EXPECT_EQ(events, (std::vector<std::string>{"first value", "late value"}));
}

TEST(Weak, LoadsWhileAliveAndNilAfterwards) {
  Weak<NSObject> weak;
  EXPECT_FALSE(weak.load());
  Ref<NSObject> object = make<NSObject>();
  weak = object;
  Weak<NSObject> copy = weak;
  EXPECT_EQ(weak.load(), object);
  object = nullptr;
  EXPECT_FALSE(weak.load());
  EXPECT_FALSE(copy.load());
}

TEST(Monitor, IsRecursiveOnOneThreadAndOnlyItsOwnerMayExit) {
  Ref<NSObject> object = make<NSObject>();
  EXPECT_EQ(objc_sync_exit(object.get()), OBJC_SYNC_NOT_OWNING_THREAD_ERROR);
  EXPECT_EQ(objc_sync_enter(object.get()), OBJC_SYNC_SUCCESS);
  EXPECT_EQ(objc_sync_enter(object.get()), OBJC_SYNC_SUCCESS);
  int fromOtherThread = 0;
  std::thread([&] { fromOtherThread = objc_sync_exit(object.get()); }).join();
  EXPECT_EQ(fromOtherThread, OBJC_SYNC_NOT_OWNING_THREAD_ERROR);
  EXPECT_EQ(objc_sync_exit(object.get()), OBJC_SYNC_SUCCESS);
  EXPECT_EQ(objc_sync_exit(object.get()), OBJC_SYNC_SUCCESS);
  EXPECT_EQ(objc_sync_exit(object.get()), OBJC_SYNC_NOT_OWNING_THREAD_ERROR);
  EXPECT_EQ(objc_sync_enter(nullptr), OBJC_SYNC_SUCCESS);
  EXPECT_EQ(objc_sync_exit(nullptr), OBJC_SYNC_SUCCESS);
}

// MARK: Concurrency

TEST(MonitorStress, ExcludesOtherThreadsAcrossNestedEntries) {
  Ref<NSObject> object = make<NSObject>();
  long counter = 0;  // guarded by the object's monitor only
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        Synchronized outer(object.get());
        Synchronized inner(object.get());
        ++counter;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 8000);
}

TEST(MonitorStress, UnrelatedObjectsNeverShareAMonitor) {
  Ref<NSObject> held = make<NSObject>();
  std::vector<Ref<NSObject>> others;
  for (int i = 0; i < 512; ++i) others.push_back(make<NSObject>());

  std::mutex mutex;
  std::condition_variable changed;
  bool holding = false;
  bool release = false;
  bool othersDone = false;
  std::thread holder([&] {
    Synchronized guard(held.get());
    std::unique_lock lock(mutex);
    holding = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return holding; });
  }
  std::thread visitor([&] {
    for (auto& other : others) Synchronized guard(other.get());
    std::lock_guard lock(mutex);
    othersDone = true;
    changed.notify_all();
  });
  bool doneWhileHeld;
  {
    std::unique_lock lock(mutex);
    doneWhileHeld = changed.wait_for(lock, std::chrono::seconds(10), [&] { return othersDone; });
    release = true;
    changed.notify_all();
  }
  holder.join();
  visitor.join();
  EXPECT_TRUE(doneWhileHeld) << "entering other objects' monitors waited for an unrelated one";
}

TEST(LifetimeStress, ConcurrentRetainsAndReleasesDeallocateExactlyOnce) {
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> deallocs{0};
    Class cls = makeTrackedClass([&](id) { deallocs.fetch_add(1); });
    Ref<Object> object = class_createInstance(cls);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([copy = object] {
        for (int i = 0; i < 200; ++i) {
          Ref<Object> again = copy;
          Ref<Object> moved = std::move(again);
        }
      });
    }
    object = nullptr;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(deallocs.load(), 1);
  }
}

TEST(LifetimeStress, WeakLoadsRacingTheLastReleaseNeverSeeAFreedObject) {
  for (int round = 0; round < 200; ++round) {
    Ref<NSObject> object = make<NSObject>();
    Weak<NSObject> weak(object);
    std::atomic<bool> start{false};
    std::thread loader([&] {
      base::testing::awaitChange(start, false);
      bool sawNil = false;
      for (int i = 0; i < 200; ++i) {
        Ref<NSObject> loaded = weak.load();
        if (loaded) {
          EXPECT_FALSE(sawNil) << "a weak reference came back after it was nil";
          EXPECT_EQ(loaded->getClass(), NSObject::classObject());
        } else {
          sawNil = true;
        }
      }
    });
    base::testing::announce(start, true);
    object = nullptr;
    loader.join();
    EXPECT_FALSE(weak.load());
  }
}

TEST(AssociationStress, ConcurrentSetsAndGetsOnOneObject) {
  Ref<NSObject> owner = make<NSObject>();
  static char keys[4];
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        Ref<NSObject> value = make<NSObject>();
        objc_setAssociatedObject(owner.get(), &keys[(t + i) % 4], value.get(),
                                 OBJC_ASSOCIATION_RETAIN);
        Ref<Object> read = objc_getAssociatedObject(owner.get(), &keys[i % 4]);
        if (read) {
          EXPECT_NE(object_getClass(read.get()), nullptr);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (char& key : keys) EXPECT_TRUE(objc_getAssociatedObject(owner.get(), &key));
}

}  // namespace
}  // namespace objc
