#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "RvCocoa/NSTextFieldReactive.h"
#include "RvCocoa/NSTextViewReactive.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"
#include "dispatch/MainLoop.h"
#include "objc/ClassBuilder.h"
#include "objc/Message.h"
#include "objcTest/Classes.h"

namespace rv {
namespace {

using appkit::NSNotification;
using appkit::NSTextField;
using appkit::NSTextView;
using test::RecordingObserver;
using Text = std::optional<std::string>;

using objc::test::sel;

// The application's delegate of text controls: logs the text it sees in
// `controlTextDidChange:` and `textDidChange:`.
class AppTextDelegate final : public objc::NSObject {
 public:
  static objc::Class classObject() {
    static const objc::Class cls =
        objc::ClassBuilder<AppTextDelegate>("RvTestAppTextDelegate", objc::NSObject::classObject())
            .method<void(NSNotification*)>(
                "controlTextDidChange:",
                [](AppTextDelegate* self, objc::SEL, NSNotification* notification) {
                  auto field = objc::dynamicCast<NSTextField>(notification->object());
                  self->log->push_back("delegate " + field->stringValue());
                })
            .method<void(NSNotification*)>(
                "textDidChange:",
                [](AppTextDelegate* self, objc::SEL, NSNotification* notification) {
                  auto view = objc::dynamicCast<NSTextView>(notification->object());
                  self->log->push_back("delegate " + view->string());
                })
            .protocol(NSTextFieldDelegate::protocol())
            .protocol(NSTextViewDelegate::protocol())
            .build();
    return cls;
  }
  static objc::Ref<AppTextDelegate> create(std::vector<std::string>* log) {
    objc::Ref<AppTextDelegate> delegate = objc::make<AppTextDelegate>();
    delegate->log = log;
    return delegate;
  }

  std::vector<std::string>* log = nullptr;

 private:
  friend struct objc::detail::InstanceAccess;
  AppTextDelegate() = default;
};

// A delegate that implements no text-change method.
class SilentTextDelegate final : public objc::NSObject {
 public:
  static objc::Class classObject() {
    static const objc::Class cls = objc::ClassBuilder<SilentTextDelegate>(
                                       "RvTestSilentTextDelegate", objc::NSObject::classObject())
                                       .protocol(NSTextFieldDelegate::protocol())
                                       .build();
    return cls;
  }

 private:
  friend struct objc::detail::InstanceAccess;
  SilentTextDelegate() = default;
};

class TextReactiveTest : public ::rv::test::MainQueueTest {};

objc::Ref<NSTextField> makeField(const std::string& text) {
  objc::Ref<NSTextField> field = objc::make<NSTextField>();
  field->setStringValue(text);
  return field;
}

// A text view and its proxy keep each other alive: break the pair so the
// view goes with the test.
struct TextViewHolder {
  objc::Ref<NSTextView> view = objc::make<NSTextView>();
  ~TextViewHolder() {
    if (auto proxy = objc::dynamicCast<RvTextViewDelegateProxy>(view->delegate())) {
      proxy->setTextView(nullptr);
    }
  }
};

TEST_F(TextReactiveTest, TextEmitsTheCurrentTextThenEveryTypedChange) {
  objc::Ref<NSTextField> field = makeField("abc");
  auto texts = RecordingObserver<Text>::create();
  auto d = text(rv::rv(field)).subscribe(texts);
  EXPECT_EQ(texts->elements(), std::vector<Text>{Text("abc")});
  field->typeText("d");
  EXPECT_EQ(texts->elements(), (std::vector<Text>{Text("abc"), Text("abcd")}));

  field->setStringValue("set by a program");
  EXPECT_EQ(texts->elements().size(), 2u) << "only the user's edits are reported";
}

TEST_F(TextReactiveTest, TheApplicationsDelegateHearsEveryChangeAfterTheSubscribers) {
  std::vector<std::string> log;
  objc::Ref<AppTextDelegate> app = AppTextDelegate::create(&log);
  objc::Ref<NSTextField> field = makeField("a");
  field->setDelegate(app.get());

  auto d = rv::subscribe(text(rv::rv(field)), {.onNext = [&log](const Text& text) {
                           log.push_back("subscriber " + text.value_or("-"));
                         }});
  EXPECT_NE(field->delegate(), app) << "the proxy stands in for it";
  field->typeText("b");
  field->typeText("c");
  EXPECT_EQ(log, (std::vector<std::string>{"subscriber a", "subscriber ab", "delegate ab",
                                           "subscriber abc", "delegate abc"}));

  // A delegate without the method is not sent it.
  objc::Ref<NSTextField> other = makeField("");
  objc::Ref<SilentTextDelegate> silent = objc::make<SilentTextDelegate>();
  other->setDelegate(silent.get());
  auto texts = RecordingObserver<Text>::create();
  auto e = text(rv::rv(other)).subscribe(texts);
  other->typeText("x");
  EXPECT_EQ(texts->elements(), (std::vector<Text>{Text(""), Text("x")}));
}

TEST_F(TextReactiveTest, WritingTextChangesTheFieldDirectly) {
  objc::Ref<NSTextField> field = makeField("abc");
  ControlProperty<Text> property = text(rv::rv(field));
  auto texts = RecordingObserver<Text>::create();
  auto d = property.subscribe(texts);
  property.onNext(Text("new"));
  EXPECT_EQ(field->stringValue(), "new");
  property.onNext(std::nullopt);
  EXPECT_EQ(field->stringValue(), "") << "an absent text empties the field";
  EXPECT_EQ(texts->elements().size(), 1u) << "written text does not come back as a value";

  TextInput<NSTextField> input = textInput(rv::rv(field));
  EXPECT_EQ(input.base(), field);
  input.text().onNext(Text("through the input"));
  EXPECT_EQ(field->stringValue(), "through the input");
}

TEST_F(TextReactiveTest, OneProxyPerFieldAndTheValuesEndWithTheField) {
  objc::Ref<NSTextField> field = makeField("");
  auto texts = RecordingObserver<Text>::create();
  auto d = text(rv::rv(field)).subscribe(texts);
  auto again = text(rv::rv(field));
  auto proxy = delegate(rv::rv(field));
  EXPECT_EQ(field->delegate(), proxy);
  EXPECT_EQ(objc::dynamicCast<RvTextFieldDelegateProxy>(proxy)->textField(), field);
  EXPECT_EQ(DelegateProxyType<RvTextFieldDelegateProxy>::proxy(field), proxy);
  EXPECT_EQ(objc::class_getName(objc::object_getClass(proxy.get())),
            std::string("RvCocoa.RvTextFieldDelegateProxy"));

  objc::Weak<NSTextField> weak(field);
  objc::Weak<objc::Object> weakProxy(proxy);
  proxy = nullptr;
  field = nullptr;
  EXPECT_FALSE(weak.load()) << "a subscription does not keep the field alive";
  EXPECT_EQ(texts->completedCount(), 1);
  again = text(rv::rv(makeField("")));  // drops the last property of the old field
  EXPECT_FALSE(weakProxy.load());
}

TEST_F(TextReactiveTest, StringOfATextViewGivesEachSubscriberTheCurrentStringThenTheChanges) {
  TextViewHolder holder;
  objc::Ref<NSTextView> view = holder.view;
  view->setString("one");
  std::vector<std::string> log;
  objc::Ref<AppTextDelegate> app = AppTextDelegate::create(&log);
  view->setDelegate(app.get());

  ControlProperty<std::string> property = string(rv::rv(view));
  auto first = RecordingObserver<std::string>::create();
  auto second = RecordingObserver<std::string>::create();
  auto a = property.subscribe(first);
  view->insertText(" two");
  auto b = property.subscribe(second);
  view->insertText(" three");
  EXPECT_EQ(first->elements(), (std::vector<std::string>{"one", "one two", "one two three"}));
  EXPECT_EQ(second->elements(), (std::vector<std::string>{"one two", "one two three"}));
  EXPECT_EQ(log, (std::vector<std::string>{"delegate one two", "delegate one two three"}));

  property.onNext("replaced");
  EXPECT_EQ(view->string(), "replaced");
  EXPECT_EQ(delegate(rv::rv(view)), view->delegate());
  EXPECT_EQ(objc::dynamicCast<RvTextViewDelegateProxy>(view->delegate())->textView(), view)
      << "the proxy holds its view";
}

TEST_F(TextReactiveTest, ATextViewAndItsProxyGoTogetherOnceThePairIsBroken) {
  objc::Ref<NSTextView> view = objc::make<NSTextView>();
  auto strings = RecordingObserver<std::string>::create();
  auto d = string(rv::rv(view)).subscribe(strings);
  d->dispose();
  objc::Weak<NSTextView> weak(view);
  objc::dynamicCast<RvTextViewDelegateProxy>(view->delegate())->setTextView(nullptr);
  view = nullptr;
  EXPECT_FALSE(weak.load());
}

TEST(TextReactiveDeathTest, MisuseStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  objc::Ref<NSTextField> field = makeField("");
  EXPECT_DEATH(std::thread([&] { text(rv::rv(field)); }).join(), "Running on background thread.");
  EXPECT_DEATH(
      (DelegateProxy<NSTextField,
                     ProtocolRef<NSTextFieldDelegate>>::create<RvTextFieldDelegateProxy>(field)),
      "Use of unimplemented initializer 'init\\(parentObject:delegateProxy:\\)' for class "
      "'RvCocoa.RvTextFieldDelegateProxy'");
  EXPECT_DEATH(
      {
        objc::Ref<NSTextView> view = objc::make<NSTextView>();
        (DelegateProxy<NSTextView,
                       ProtocolRef<NSTextViewDelegate>>::create<RvTextViewDelegateProxy>(view));
      },
      "Use of unimplemented initializer .* for class 'RvCocoa.RvTextViewDelegateProxy'");
  EXPECT_DEATH(
      {
        auto proxy = delegate(rv::rv(field));
        objc::Ref<NSNotification> aboutAView = NSNotification::notificationWithName(
            "NSControlTextDidChangeNotification", objc::make<NSTextView>().get());
        objc::send<void(objc::id)>(proxy.get(), sel("controlTextDidChange:"), aboutAView.get());
      },
      "Failure converting from .* to NSTextField");
}

}  // namespace
}  // namespace rv
