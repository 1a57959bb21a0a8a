#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "objc/CGGeometry.h"
#include "objc/NSException.h"
#include "objc/NSKeyValueObserving.h"
#include "objc/NSNull.h"
#include "objc/NSNumber.h"
#include "objc/NSString.h"
#include "objc/NSValue.h"
#include "objcTest/Classes.h"

namespace objc {
namespace {

using test::sel;

// A model with an object, an int, a structure and a BOOL property.
class Person : public NSObject {
 public:
  static Class classObject() {
    static const Class cls = ClassBuilder<Person>("KVPerson", NSObject::classObject())
                                 .method("name", &Person::name)
                                 .method("setName:", &Person::setName)
                                 .method("age", &Person::age)
                                 .method("setAge:", &Person::setAge)
                                 .method("frame", &Person::frame)
                                 .method("setFrame:", &Person::setFrame)
                                 .method("isEnabled", &Person::isEnabled)
                                 .method("setEnabled:", &Person::setEnabled)
                                 .property("name", "T@\"NSString\",C,N")
                                 .property("age", "Ti,N")
                                 .build();
    return cls;
  }

  std::atomic<int> setterCalls{0};

 private:
  friend struct detail::InstanceAccess;
  Ref<NSString> name() {
    std::lock_guard guard(mutex_);
    return name_;
  }
  void setName(NSString* name) {
    ++setterCalls;
    std::lock_guard guard(mutex_);
    name_ = name;
  }
  int age() { return age_; }
  void setAge(int age) {
    ++setterCalls;
    age_ = age;
  }
  CGRect frame() { return frame_; }
  void setFrame(CGRect frame) { frame_ = frame; }
  BOOL isEnabled() { return enabled_; }
  void setEnabled(BOOL enabled) { enabled_ = enabled; }

  std::mutex mutex_;
  Ref<NSString> name_;
  std::atomic<int> age_{0};
  CGRect frame_{};
  BOOL enabled_ = NO;
};

// Records every notification it receives.
class Recorder : public NSObject {
 public:
  static Class classObject() {
    static const Class cls =
        ClassBuilder<Recorder>("KVRecorder", NSObject::classObject())
            .method("observeValueForKeyPath:ofObject:change:context:", &Recorder::observe)
            .build();
    return cls;
  }

  struct Note {
    std::string keyPath;
    id object;
    Ref<NSDictionary> change;
    void* context;
  };
  std::vector<Note> notes;  // read once the notifying threads are done
  std::atomic<int> count{0};

 private:
  friend struct detail::InstanceAccess;
  void observe(NSString* keyPath, Object* object, NSDictionary* change, void* context) {
    ++count;
    std::lock_guard guard(mutex_);
    notes.push_back({keyPath->string(), object, Ref<NSDictionary>(change), context});
  }
  std::mutex mutex_;
};

Ref<Object> newValue(const Recorder::Note& note) {
  return changeValue(note.change.get(), NSKeyValueChangeNewKey);
}

TEST(KeyValueCoding, BoxesPlainResultsAndUnboxesArguments) {
  Ref<Person> person = make<Person>();
  person->setValue(NSNumber::numberWithInt(42).get(), "age");
  auto age = dynamicCast<NSNumber>(person->valueForKey("age"));
  ASSERT_TRUE(age);
  EXPECT_EQ(age->intValue(), 42);
  EXPECT_STREQ(age->objCType(), "i");

  const CGRect rect{{1, 2}, {3, 4}};
  person->setValue(NSValue::valueWithValue(rect).get(), "frame");
  auto frame = dynamicCast<NSValue>(person->valueForKey("frame"));
  ASSERT_TRUE(frame);
  EXPECT_STREQ(frame->objCType(), encode<CGRect>());
  CGRect back{};
  frame->getValue(&back, sizeof back);
  EXPECT_EQ(back, rect);

  person->setValue(NSNumber::numberWithBool(YES).get(), "enabled");
  auto enabled = dynamicCast<NSNumber>(person->valueForKey("enabled"));
  ASSERT_TRUE(enabled) << "found through the isKey getter";
  EXPECT_TRUE(enabled->boolValue());

  person->setValue(NSString::stringWithString("Ada").get(), "name");
  EXPECT_EQ(describe(person->valueForKey("name").get()), "Ada");
  person->setValue(nullptr, "name");
  EXPECT_FALSE(person->valueForKey("name"));
}

TEST(KeyValueCoding, RefusesUnknownKeysNilForPlainValuesAndValuesOfTheWrongType) {
  Ref<Person> person = make<Person>();
  auto nameOf = [](auto&& call) -> std::string {
    try {
      call();
    } catch (const Ref<NSException>& exception) {
      return exception->name();
    }
    return "no exception";
  };
  EXPECT_EQ(nameOf([&] { person->valueForKey("height"); }), NSUndefinedKeyException);
  EXPECT_EQ(nameOf([&] { person->setValue(nullptr, "height"); }), NSUndefinedKeyException);
  EXPECT_EQ(nameOf([&] { person->setValue(nullptr, "age"); }), NSInvalidArgumentException);
  EXPECT_EQ(nameOf([&] { person->setValue(NSString::stringWithString("x").get(), "age"); }),
            NSInvalidArgumentException);
  EXPECT_EQ(nameOf([&] { person->setValue(NSValue::valueWithValue(CGPoint{}).get(), "frame"); }),
            NSInvalidArgumentException);
}

TEST(KeyValueObserving, SwitchesOnlyTheObservedObjectIntoTheNotifyingSubclass) {
  Ref<Person> observed = make<Person>();
  Ref<Person> bystander = make<Person>();
  Ref<Recorder> recorder = make<Recorder>();
  int context = 0;
  observed->addObserver(recorder.get(), "age", NSKeyValueObservingOptionNew, &context);

  EXPECT_STREQ(object_getClassName(observed.get()), "NSKVONotifying_KVPerson");
  EXPECT_EQ(class_getSuperclass(object_getClass(observed.get())), Person::classObject());
  EXPECT_EQ(observed->getClass(), Person::classObject()) << "reports its original class";
  EXPECT_TRUE(observed->respondsToSelector(sel("_isKVOA")));
  EXPECT_FALSE(bystander->respondsToSelector(sel("_isKVOA")));

  send<void(int)>(observed, sel("setAge:"), 7);
  send<void(int)>(bystander, sel("setAge:"), 8);
  ASSERT_EQ(recorder->notes.size(), 1u);
  const auto& note = recorder->notes[0];
  EXPECT_EQ(note.keyPath, "age");
  EXPECT_EQ(note.object, observed.get());
  EXPECT_EQ(note.context, &context);
  EXPECT_EQ(dynamicCast<NSNumber>(newValue(note))->intValue(), 7);
  auto kind = dynamicCast<NSNumber>(changeValue(note.change.get(), NSKeyValueChangeKindKey));
  ASSERT_TRUE(kind);
  EXPECT_EQ(kind->unsignedLongValue(), NSKeyValueChangeSetting);
  EXPECT_EQ(observed->setterCalls.load(), 1) << "the real setter ran once";

  // A second object of the class joins the same subclass.
  bystander->addObserver(recorder.get(), "name", 0, nullptr);
  EXPECT_EQ(object_getClass(bystander.get()), object_getClass(observed.get()));
  observed->removeObserver(recorder.get(), "age", &context);
  bystander->removeObserver(recorder.get(), "name");
}

TEST(KeyValueObserving, InitialNotifiesInsideRegistrationAndNewDecidesTheNewValue) {
  Ref<Person> person = make<Person>();
  person->setValue(NSNumber::numberWithInt(3).get(), "age");
  Ref<Recorder> withNew = make<Recorder>();
  Ref<Recorder> withoutNew = make<Recorder>();
  person->addObserver(withNew.get(), "age",
                      NSKeyValueObservingOptionInitial | NSKeyValueObservingOptionNew, nullptr);
  person->addObserver(withoutNew.get(), "age", NSKeyValueObservingOptionInitial, nullptr);
  ASSERT_EQ(withNew->notes.size(), 1u);
  EXPECT_EQ(dynamicCast<NSNumber>(newValue(withNew->notes[0]))->intValue(), 3);
  ASSERT_EQ(withoutNew->notes.size(), 1u);
  EXPECT_FALSE(newValue(withoutNew->notes[0]));

  person->setValue(nullptr, "name");
  Ref<Recorder> names = make<Recorder>();
  person->addObserver(names.get(), "name", NSKeyValueObservingOptionNew, nullptr);
  person->setValue(nullptr, "name");
  ASSERT_EQ(names->notes.size(), 1u);
  EXPECT_EQ(newValue(names->notes[0]), NSNull::null()) << "nil arrives as NSNull";
}

TEST(KeyValueObserving, RemovalStopsNotificationsAndAnUnknownRemovalRaises) {
  Ref<Person> person = make<Person>();
  Ref<Recorder> recorder = make<Recorder>();
  int a = 0;
  int b = 0;
  person->addObserver(recorder.get(), "age", 0, &a);
  person->addObserver(recorder.get(), "age", 0, &b);
  person->removeObserver(recorder.get(), "age", &a);
  send<void(int)>(person, sel("setAge:"), 1);
  ASSERT_EQ(recorder->notes.size(), 1u);
  EXPECT_EQ(recorder->notes[0].context, &b);
  person->removeObserver(recorder.get(), "age", &b);
  send<void(int)>(person, sel("setAge:"), 2);
  EXPECT_EQ(recorder->notes.size(), 1u);
  try {
    person->removeObserver(recorder.get(), "age", &b);
    FAIL() << "expected an exception";
  } catch (const Ref<NSException>& exception) {
    EXPECT_EQ(exception->name(), NSRangeException);
    EXPECT_NE(exception->reason().find("because it is not registered as an observer."),
              std::string::npos);
  }
}

TEST(KeyValueObserving, AGoneObserverIsSkipped) {
  Ref<Person> person = make<Person>();
  Ref<Recorder> recorder = make<Recorder>();
  person->addObserver(recorder.get(), "age", NSKeyValueObservingOptionNew, nullptr);
  recorder = nullptr;
  send<void(int)>(person, sel("setAge:"), 1);
  EXPECT_EQ(person->setterCalls.load(), 1);
}

TEST(KeyValueObserving, ManualNotificationWhenAutomaticIsOff) {
  Class quiet = test::makeSubclass(Person::classObject(), "QuietPerson");
  class_addMethod(object_getClass(quiet), sel("automaticallyNotifiesObserversForKey:"),
                  imp_implementationWithBlock<BOOL(NSString*)>([](id, NSString*) { return NO; }),
                  methodEncoding<BOOL(NSString*)>());
  Ref<Person> person = make<Person>(quiet);
  Ref<Recorder> recorder = make<Recorder>();
  person->addObserver(recorder.get(), "age", 0, nullptr);
  send<void(int)>(person, sel("setAge:"), 1);
  EXPECT_TRUE(recorder->notes.empty());
  person->willChangeValueForKey("age");
  person->didChangeValueForKey("age");
  EXPECT_EQ(recorder->notes.size(), 1u);
}

TEST(KeyValueObserving, RefusesKeyPathsOfMoreThanOneKey) {
  Ref<Person> person = make<Person>();
  Ref<Recorder> recorder = make<Recorder>();
  EXPECT_THROW(person->addObserver(recorder.get(), "name.length", 0, nullptr), Ref<NSException>);
  EXPECT_EQ(object_getClass(person.get()), Person::classObject()) << "nothing changed";
}

TEST(KeyValueObserving, KeepsTheClassAnEarlierSwitchReports) {
  Ref<Person> person = make<Person>();
  Class disguise = test::makeSubclass(Person::classObject(), "Disguise");
  class_addMethod(disguise, sel("class"),
                  imp_implementationWithBlock<Class()>([](id) { return Person::classObject(); }),
                  methodEncoding<Class()>());
  object_setClass(person.get(), disguise);
  Ref<Recorder> recorder = make<Recorder>();
  person->addObserver(recorder.get(), "age", 0, nullptr);
  EXPECT_EQ(class_getSuperclass(object_getClass(person.get())), disguise);
  EXPECT_EQ(person->getClass(), Person::classObject());
  send<void(int)>(person, sel("setAge:"), 1);
  EXPECT_EQ(recorder->notes.size(), 1u);
}

TEST(KeyValueObservation, RunsItsHandlerUntilInvalidatedOrReleased) {
  Ref<Person> person = make<Person>();
  std::vector<int> seen;
  Ref<NSKeyValueObservation> observation = NSKeyValueObservation::observe(
      person.get(), "age", NSKeyValueObservingOptionInitial,
      [&](id object, NSDictionary*) { seen.push_back(send<int()>(object, sel("age"))); });
  EXPECT_EQ(seen, std::vector<int>{0}) << "initial, from inside the registration";
  send<void(int)>(person, sel("setAge:"), 5);
  observation->invalidate();
  observation->invalidate();
  send<void(int)>(person, sel("setAge:"), 6);
  EXPECT_EQ(seen, (std::vector<int>{0, 5}));

  Ref<NSKeyValueObservation> released = NSKeyValueObservation::observe(
      person.get(), "age", 0, [&](id, NSDictionary*) { seen.push_back(-1); });
  released = nullptr;
  send<void(int)>(person, sel("setAge:"), 7);
  EXPECT_EQ(seen.size(), 2u);

  // The observed object may go first.
  Ref<NSKeyValueObservation> outliving =
      NSKeyValueObservation::observe(person.get(), "age", 0, [](id, NSDictionary*) {});
  person = nullptr;
  outliving->invalidate();
}

TEST(KeyValueStress, ConcurrentSettersNotifyOncePerChange) {
  Ref<Person> person = make<Person>();
  Ref<Recorder> recorder = make<Recorder>();
  person->addObserver(recorder.get(), "name", NSKeyValueObservingOptionNew, nullptr);
  std::atomic<int> handled{0};
  Ref<NSKeyValueObservation> observation = NSKeyValueObservation::observe(
      person.get(), "age", 0, [&](id, NSDictionary*) { handled.fetch_add(1); });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Ref<Recorder> transient = make<Recorder>();
      for (int i = 0; i < 200; ++i) {
        send<void(int)>(person, sel("setAge:"), i);
        if (t == 0) {
          person->addObserver(transient.get(), "age", 0, nullptr);
          person->removeObserver(transient.get(), "age");
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(handled.load(), 800);
  EXPECT_EQ(recorder->count.load(), 0) << "no name changes";
  observation->invalidate();
  person->removeObserver(recorder.get(), "name");
}

}  // namespace
}  // namespace objc
