#include "RvCocoa/NSTextViewReactive.h"

#include "RvCocoa/MessageObservation.h"
#include "RvStreams/Deferred.h"
#include "RvStreams/StartWith.h"
#include "RvStreams/Take.h"
#include "objc/ClassBuilder.h"
#include "objc/Message.h"

namespace rv {

using appkit::NSNotification;
using appkit::NSTextView;

namespace {

using TextViewProxyType = DelegateProxyType<RvTextViewDelegateProxy>;

objc::SEL textDidChangeSelector() {
  static const objc::SEL s = objc::sel_registerName("textDidChange:");
  return s;
}

}  // namespace

struct RvTextViewDelegateProxyMethods {
  static void textDidChange(RvTextViewDelegateProxy* self, objc::SEL cmd, objc::id argument) {
    objc::Ref<NSNotification> notification =
        castOrFatalError<objc::Ref<NSNotification>>(objc::Ref<objc::Object>(argument));
    objc::Ref<NSTextView> textView =
        castOrFatalError<objc::Ref<NSTextView>>(notification->object());
    self->textSubject_->onNext(textView->string());
    // The application's delegate still hears of every change, after the
    // subscribers did.
    objc::Ref<objc::Object> forward = self->_forwardToDelegate();
    static const objc::SEL responds = objc::sel_registerName("respondsToSelector:");
    if (forward && objc::send<objc::BOOL(objc::SEL)>(forward.get(), responds, cmd)) {
      objc::send<void(objc::id)>(forward.get(), cmd, notification.get());
    }
  }
};

objc::Class RvTextViewDelegateProxy::classObject() {
  static const objc::Class cls =
      objc::ClassBuilder<RvTextViewDelegateProxy>("RvCocoa.RvTextViewDelegateProxy",
                                                  DelegateProxy::classObject())
          .method("textDidChange:", &RvTextViewDelegateProxyMethods::textDidChange)
          .protocol(NSTextViewDelegate::protocol())
          .build();
  return cls;
}

objc::Ref<RvTextViewDelegateProxy> RvTextViewDelegateProxy::create(
    const objc::Ref<NSTextView>& textView) {
  objc::Ref<RvTextViewDelegateProxy> proxy = objc::alloc<RvTextViewDelegateProxy>();
  proxy->textView_ = textView;
  proxy->textSubject_ = PublishSubject<std::string>::create();
  initializeProxy(*proxy, textView);
  return proxy;
}

void RvTextViewDelegateProxy::textDidChange(NSNotification* notification) {
  objc::send<void(objc::id)>(this, textDidChangeSelector(), notification);
}

void RvTextViewDelegateProxy::registerKnownImplementations() {
  TextViewProxyType::addProxyMaker<NSTextView>(
      [](const objc::Ref<NSTextView>& textView) { return create(textView); });
}

std::optional<RvTextViewDelegateProxy::Delegate> RvTextViewDelegateProxy::currentDelegate(
    NSTextView& textView) {
  return castOptionalOrFatalError<Delegate>(textView.delegate());
}

void RvTextViewDelegateProxy::setCurrentDelegate(std::optional<Delegate> delegate,
                                                 NSTextView& textView) {
  textView.setDelegate(delegate ? delegate->get() : nullptr);
}

namespace cocoa_detail {

objc::Ref<RvTextViewDelegateProxy> textViewDelegate(const objc::Ref<NSTextView>& view) {
  return TextViewProxyType::proxy(view);
}

ControlProperty<std::string> textViewString(const objc::Ref<NSTextView>& view) {
  objc::Ref<RvTextViewDelegateProxy> proxy = TextViewProxyType::proxy(view);
  Ref<Observable<std::string>> values =
      rv::deferred([proxy, weak = objc::Weak<NSTextView>(view)] {
        objc::Ref<NSTextView> view = weak.load();
        return proxy->textSubject() | rv::startWith(view ? view->string() : std::string());
      }) |
      rv::takeUntil(deallocated(view.get()));
  Binder<std::string> sink(view, MainScheduler::create(),
                           [](NSTextView& view, std::string string) { view.setString(string); });
  return ControlProperty<std::string>(values, std::move(sink));
}

}  // namespace cocoa_detail

}  // namespace rv
