#include <gtest/gtest.h>

#include "Support.h"
#include "appkit/NSNotification.h"
#include "appkit/NSTextField.h"
#include "appkit/NSTextView.h"
#include "appkit/NotificationObject.h"
#include "appkit/Protocols.h"
#include "foundation/NotificationCenter.h"
#include "objc/NSKeyValueObserving.h"
#include "objc/NSMethodSignature.h"
#include "objc/NSString.h"

namespace {

using appkit::NSNotification;
using appkit::NSTextField;
using appkit::NSTextView;
using appkittest::Recorder;
using appkittest::sel;
using foundation::NotificationCenter;
using objc::Ref;

// Counts the posts of `name` from `object` in the default centre.
struct Posts {
  int count = 0;
  NotificationCenter::ObserverToken token;
  Posts(std::string_view name, objc::id object) {
    token = NotificationCenter::defaultCenter()->addObserverForName(
        std::string(name), appkit::notificationObject(object), nullptr,
        [this](const foundation::NSNotification&) { ++count; });
  }
  ~Posts() { NotificationCenter::defaultCenter()->removeObserver(token); }
};

TEST(TextField, TypingAppendsThenTellsTheDelegateThenPosts) {
  auto field = objc::make<NSTextField>();
  field->setStringValue("abc");
  auto delegate = Recorder::make();
  field->setDelegate(delegate.get());
  EXPECT_EQ(field->delegate(), delegate);

  std::vector<std::string> order;
  delegate->onCall = [&](const Recorder::Call&) {
    order.push_back("delegate " + field->stringValue());
  };
  auto token = NotificationCenter::defaultCenter()->addObserverForName(
      std::string(appkit::NSControlTextDidChangeNotification),
      appkit::notificationObject(field.get()), nullptr, [&](const foundation::NSNotification& n) {
        EXPECT_EQ(appkit::objectFromNotificationObject(n.object), field);
        order.push_back("posted");
      });
  field->typeText("d");
  NotificationCenter::defaultCenter()->removeObserver(token);

  EXPECT_EQ(field->stringValue(), "abcd");
  EXPECT_EQ(order, (std::vector<std::string>{"delegate abcd", "posted"}));
  ASSERT_EQ(delegate->calls.size(), 1u);
  EXPECT_EQ(delegate->calls[0].selector, "controlTextDidChange:");
  auto* notification = dynamic_cast<NSNotification*>(delegate->calls[0].argument.get());
  ASSERT_NE(notification, nullptr);
  EXPECT_EQ(notification->name(), "NSControlTextDidChangeNotification");
  EXPECT_EQ(notification->object(), field);
}

TEST(TextField, ProgramChangesAndRefusedEditsNotifyNobody) {
  auto field = objc::make<NSTextField>();
  auto delegate = Recorder::make();
  field->setDelegate(delegate.get());
  Posts posts(appkit::NSControlTextDidChangeNotification, field.get());
  field->setStringValue("set by the program");
  field->typeText("");
  field->setEditable(objc::NO);
  field->typeText("x");
  field->setEditable(objc::YES);
  field->setEnabled(objc::NO);
  field->typeText("y");
  EXPECT_EQ(field->stringValue(), "set by the program");
  EXPECT_TRUE(delegate->calls.empty());
  EXPECT_EQ(posts.count, 0);
}

TEST(TextField, DelegateIsWeakAndAskedEachTimeWhetherItResponds) {
  auto field = objc::make<NSTextField>();
  Posts posts(appkit::NSControlTextDidChangeNotification, field.get());
  {
    auto gone = Recorder::make();
    field->setDelegate(gone.get());
  }
  EXPECT_EQ(field->delegate(), nullptr);
  field->typeText("a");  // no delegate: still posted

  // A delegate of a class that only later gains the method gets it from then on.
  objc::Class cls = objc::objc_allocateClassPair(objc::NSObject::classObject(),
                                                 appkittest::uniqueName("AKLate").c_str(), 0);
  objc::objc_registerClassPair(cls);
  Ref<objc::Object> late = objc::make<objc::NSObject>(cls);
  field->setDelegate(late.get());
  field->typeText("b");
  static int lateCalls = 0;
  objc::class_addMethod(cls, sel("controlTextDidChange:"),
                        objc::imp_implementationWithBlock<void(NSNotification*)>(
                            [](objc::id, NSNotification*) { ++lateCalls; }),
                        objc::methodEncoding<void(NSNotification*)>());
  field->typeText("c");
  EXPECT_EQ(lateCalls, 1);
  EXPECT_EQ(posts.count, 3);
  EXPECT_EQ(field->stringValue(), "abc");
}

TEST(TextField, OtherFieldsPostsDoNotReachARegistrationForThisOne) {
  auto field = objc::make<NSTextField>();
  auto other = objc::make<NSTextField>();
  Posts posts(appkit::NSControlTextDidChangeNotification, field.get());
  other->typeText("x");
  field->typeText("y");
  EXPECT_EQ(posts.count, 1);
}

TEST(TextView, InsertTextAppendsThenTellsTheDelegateThenPosts) {
  auto view = objc::make<NSTextView>();
  view->setString("hello");
  auto delegate = Recorder::make();
  view->setDelegate(delegate.get());
  Posts posts(appkit::NSTextDidChangeNotification, view.get());
  std::string seenByDelegate;
  delegate->onCall = [&](const Recorder::Call&) { seenByDelegate = view->string(); };
  view->insertText(" world");
  EXPECT_EQ(view->string(), "hello world");
  EXPECT_EQ(seenByDelegate, "hello world");
  ASSERT_EQ(delegate->calls.size(), 1u);
  EXPECT_EQ(delegate->calls[0].selector, "textDidChange:");
  auto* notification = dynamic_cast<NSNotification*>(delegate->calls[0].argument.get());
  ASSERT_NE(notification, nullptr);
  EXPECT_EQ(notification->name(), "NSTextDidChangeNotification");
  EXPECT_EQ(notification->object(), view);
  EXPECT_EQ(posts.count, 1);
}

TEST(TextView, ProgramChangesNonTextAndRefusedInsertsNotifyNobody) {
  auto view = objc::make<NSTextView>();
  auto delegate = Recorder::make();
  view->setDelegate(delegate.get());
  Posts posts(appkit::NSTextDidChangeNotification, view.get());
  view->setString("program");
  objc::send<void(objc::Object*)>(view.get(), sel("insertText:"), delegate.get());
  view->insertText("");
  view->setEditable(objc::NO);
  view->insertText("refused");
  EXPECT_EQ(view->string(), "program");
  EXPECT_TRUE(delegate->calls.empty());
  EXPECT_EQ(posts.count, 0);
}

TEST(TextView, StringIsObservable) {
  auto view = objc::make<NSTextView>();
  std::vector<std::string> seen;
  auto observation = objc::NSKeyValueObservation::observe(
      view.get(), "string", objc::NSKeyValueObservingOptionNew,
      [&](objc::id, objc::NSDictionary* change) {
        seen.push_back(
            objc::describe(objc::changeValue(change, objc::NSKeyValueChangeNewKey).get()));
      });
  view->setString("a");
  view->insertText("b");
  observation->invalidate();
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "ab"}));
}

TEST(Protocols, DescribeTheDelegateMessagesForSignatures) {
  objc::Protocol* field = appkit::NSTextFieldDelegateProtocol();
  EXPECT_EQ(objc::objc_getProtocol("NSTextFieldDelegate"), field);
  EXPECT_TRUE(
      objc::protocol_conformsToProtocol(field, appkit::NSControlTextEditingDelegateProtocol()));
  auto description =
      objc::protocol_getMethodDescription(field, sel("controlTextDidChange:"), objc::NO, objc::YES);
  EXPECT_STREQ(description.types, "v24@0:8@16");
  EXPECT_TRUE(objc::protocol_conformsToProtocol(appkit::NSTextViewDelegateProtocol(),
                                                appkit::NSTextDelegateProtocol()));
  EXPECT_TRUE(objc::protocol_copyMethodDescriptionList(field, objc::YES, objc::YES).empty());

  // An object of a class that adopts the protocol without implementing the
  // method has its signature (what a delegate proxy relies on).
  objc::Class cls = objc::objc_allocateClassPair(objc::NSObject::classObject(),
                                                 appkittest::uniqueName("AKProxyLike").c_str(), 0);
  objc::class_addProtocol(cls, appkit::NSTextViewDelegateProtocol());
  objc::objc_registerClassPair(cls);
  auto object = objc::make<objc::NSObject>(cls);
  auto signature = object->methodSignatureForSelector(sel("textDidChange:"));
  ASSERT_TRUE(signature);
  EXPECT_STREQ(signature->methodReturnType(), "v");
  EXPECT_EQ(signature->numberOfArguments(), 3u);
  EXPECT_FALSE(object->respondsToSelector(sel("textDidChange:")));
}

}  // namespace
