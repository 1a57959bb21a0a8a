#include "RvCocoa/NSTextFieldReactive.h"

#include "RvCocoa/MessageObservation.h"
#include "RvStreams/Deferred.h"
#include "RvStreams/StartWith.h"
#include "RvStreams/Take.h"
#include "objc/ClassBuilder.h"
#include "objc/Message.h"

namespace rv {

using appkit::NSNotification;
using appkit::NSTextField;

namespace {

using TextFieldProxyType = DelegateProxyType<RvTextFieldDelegateProxy>;

objc::SEL controlTextDidChangeSelector() {
  static const objc::SEL s = objc::sel_registerName("controlTextDidChange:");
  return s;
}

}  // namespace

struct RvTextFieldDelegateProxyMethods {
  static void controlTextDidChange(RvTextFieldDelegateProxy* self, objc::SEL cmd,
                                   objc::id argument) {
    objc::Ref<NSNotification> notification =
        castOrFatalError<objc::Ref<NSNotification>>(objc::Ref<objc::Object>(argument));
    objc::Ref<NSTextField> textField =
        castOrFatalError<objc::Ref<NSTextField>>(notification->object());
    self->textSubject_->onNext(std::optional<std::string>(textField->stringValue()));
    // The application's delegate still hears of every change, after the
    // subscribers did.
    objc::Ref<objc::Object> forward = self->_forwardToDelegate();
    static const objc::SEL responds = objc::sel_registerName("respondsToSelector:");
    if (forward && objc::send<objc::BOOL(objc::SEL)>(forward.get(), responds, cmd)) {
      objc::send<void(objc::id)>(forward.get(), cmd, notification.get());
    }
  }
};

objc::Class RvTextFieldDelegateProxy::classObject() {
  static const objc::Class cls =
      objc::ClassBuilder<RvTextFieldDelegateProxy>("RvCocoa.RvTextFieldDelegateProxy",
                                                   DelegateProxy::classObject())
          .method("controlTextDidChange:", &RvTextFieldDelegateProxyMethods::controlTextDidChange)
          .protocol(NSTextFieldDelegate::protocol())
          .build();
  return cls;
}

objc::Ref<RvTextFieldDelegateProxy> RvTextFieldDelegateProxy::create(
    const objc::Ref<NSTextField>& textField) {
  objc::Ref<RvTextFieldDelegateProxy> proxy = objc::alloc<RvTextFieldDelegateProxy>();
  proxy->textField_ = textField;
  proxy->textSubject_ = PublishSubject<std::optional<std::string>>::create();
  initializeProxy(*proxy, textField);
  return proxy;
}

void RvTextFieldDelegateProxy::controlTextDidChange(NSNotification* notification) {
  objc::send<void(objc::id)>(this, controlTextDidChangeSelector(), notification);
}

void RvTextFieldDelegateProxy::registerKnownImplementations() {
  TextFieldProxyType::addProxyMaker<NSTextField>(
      [](const objc::Ref<NSTextField>& textField) { return create(textField); });
}

std::optional<RvTextFieldDelegateProxy::Delegate> RvTextFieldDelegateProxy::currentDelegate(
    NSTextField& textField) {
  return castOptionalOrFatalError<Delegate>(textField.delegate());
}

void RvTextFieldDelegateProxy::setCurrentDelegate(std::optional<Delegate> delegate,
                                                  NSTextField& textField) {
  textField.setDelegate(delegate ? delegate->get() : nullptr);
}

namespace cocoa_detail {

objc::Ref<RvTextFieldDelegateProxy> textFieldDelegate(const objc::Ref<NSTextField>& field) {
  return TextFieldProxyType::proxy(field);
}

ControlProperty<std::optional<std::string>> textFieldText(const objc::Ref<NSTextField>& field) {
  using Text = std::optional<std::string>;
  objc::Ref<RvTextFieldDelegateProxy> proxy = TextFieldProxyType::proxy(field);
  Ref<Observable<Text>> values = rv::deferred([proxy, weak = objc::Weak<NSTextField>(field)] {
                                   objc::Ref<NSTextField> field = weak.load();
                                   Text current = field ? Text(field->stringValue()) : std::nullopt;
                                   return proxy->textSubject() | rv::startWith(std::move(current));
                                 }) |
                                 rv::takeUntil(deallocated(field.get()));
  Binder<Text> sink(field, MainScheduler::create(),
                    [](NSTextField& field, Text text) { field.setStringValue(text.value_or("")); });
  return ControlProperty<Text>(values, std::move(sink));
}

}  // namespace cocoa_detail

}  // namespace rv
