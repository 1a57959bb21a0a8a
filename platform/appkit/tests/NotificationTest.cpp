#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Support.h"
#include "appkit/NSErrorObject.h"
#include "appkit/NSNotification.h"
#include "appkit/NotificationObject.h"
#include "foundation/NotificationCenter.h"
#include "objc/NSString.h"

namespace {

using appkit::NSErrorObject;
using appkit::NSNotification;
using foundation::NotificationCenter;
using objc::Ref;

TEST(Notification, HoldsNameObjectAndUserInfo) {
  auto object = appkittest::plainObject();
  auto info = objc::NSDictionary::dictionary();
  auto notification = NSNotification::notificationWithName("Name", object.get(), info.get());
  EXPECT_EQ(notification->name(), "Name");
  EXPECT_EQ(notification->object(), object);
  EXPECT_EQ(notification->userInfo(), info);
  EXPECT_EQ(NSNotification::notificationWithName("N", nullptr)->object(), nullptr);
}

TEST(NotificationObject, OneHandlePerObjectPointingAtIt) {
  auto object = appkittest::plainObject();
  auto handle = appkit::notificationObject(object.get());
  EXPECT_EQ(handle.get(), static_cast<void*>(object.get()));
  EXPECT_EQ(appkit::notificationObject(object.get()), handle);
  EXPECT_EQ(appkit::objectFromNotificationObject(handle), object);
  EXPECT_EQ(appkit::notificationObject(nullptr), nullptr);
  EXPECT_EQ(appkit::objectFromNotificationObject(nullptr), nullptr);
  EXPECT_EQ(appkit::objectFromNotificationObject(std::make_shared<int>(1)), nullptr);
}

TEST(NotificationObject, HandleEndsWithTheObject) {
  NotificationCenter center;
  auto object = appkittest::plainObject();
  int calls = 0;
  auto token = center.addObserverForName("N", appkit::notificationObject(object.get()), nullptr,
                                         [&](const foundation::NSNotification&) { ++calls; });
  auto kept = appkit::notificationObject(object.get());
  std::weak_ptr<void> weak = kept;
  center.postNotificationName("N", kept);
  EXPECT_EQ(calls, 1);
  object = nullptr;
  // A copy kept past the object no longer gives the object back...
  EXPECT_EQ(appkit::objectFromNotificationObject(kept), nullptr);
  kept.reset();
  // ...and once the last copy is gone the registration matches nothing.
  EXPECT_TRUE(weak.expired());
  auto next = appkittest::plainObject();
  center.postNotificationName("N", appkit::notificationObject(next.get()));
  EXPECT_EQ(calls, 1);
  center.removeObserver(token);
}

TEST(NotificationObjectStress, ThreadsAskingAtOnceGetOneHandle) {
  for (int round = 0; round < 20; ++round) {
    auto object = appkittest::plainObject();
    std::vector<std::shared_ptr<void>> handles(4);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&, i] { handles[i] = appkit::notificationObject(object.get()); });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& handle : handles) EXPECT_EQ(handle, handles[0]);
  }
}

TEST(ErrorObject, WrapsTheErrorValue) {
  auto error = foundation::NSError::create("TestDomain", -7, std::string("It failed."));
  auto object = NSErrorObject::errorWithError(error);
  ASSERT_TRUE(object);
  EXPECT_EQ(object->error(), error);
  EXPECT_EQ(object->domain(), "TestDomain");
  EXPECT_EQ(object->code(), -7);
  EXPECT_EQ(object->localizedDescription(), "It failed.");
  EXPECT_EQ(object->description(), error->description());
  EXPECT_STREQ(objc::object_getClassName(object.get()), "NSError");
  EXPECT_EQ(NSErrorObject::errorWithError(nullptr), nullptr);
}

}  // namespace
