#include "appkit/NSTextView.h"

#include "Selectors.h"
#include "TextNotification.h"
#include "appkit/Protocols.h"
#include "objc/NSString.h"

namespace appkit {

using objc::BOOL;
using objc::Ref;
using objc::SEL;

struct NSTextViewMethods {
  static Ref<objc::NSString> string(NSTextView* self, SEL) {
    return objc::NSString::stringWithString(self->string_);
  }
  static void setString(NSTextView* self, SEL, objc::NSString* string) {
    self->string_ = string ? string->string() : std::string();
  }
  static Ref<objc::Object> delegate(NSTextView* self, SEL) { return self->delegate_.load(); }
  static void setDelegate(NSTextView* self, SEL, objc::id delegate) { self->delegate_ = delegate; }
  static BOOL isEditable(NSTextView* self, SEL) { return self->editable_; }
  static void setEditable(NSTextView* self, SEL, BOOL editable) { self->editable_ = editable; }

  static void insertText(NSTextView* self, SEL, objc::Object* text) {
    auto* string = dynamic_cast<objc::NSString*>(text);
    if (string == nullptr || string->string().empty() || !self->isEditable()) return;
    Ref<NSTextView> keep(self);
    self->setString(self->string() + string->string());
    static const SEL didChange = detail::sel("textDidChange:");
    Ref<objc::Object> delegate = self->delegate();
    detail::notifyTextChange(self, delegate.get(), didChange, NSTextDidChangeNotification);
  }
};

objc::Class NSTextView::classObject() {
  using M = NSTextViewMethods;
  static const objc::Class cls = objc::ClassBuilder<NSTextView>("NSTextView", NSView::classObject())
                                     .method("string", &M::string)
                                     .method("setString:", &M::setString)
                                     .method("delegate", &M::delegate)
                                     .method("setDelegate:", &M::setDelegate)
                                     .method("isEditable", &M::isEditable)
                                     .method("setEditable:", &M::setEditable)
                                     .method("insertText:", &M::insertText)
                                     .property("string", "T@\"NSString\",C,N")
                                     .property("delegate", "T@\"<NSTextViewDelegate>\",W,N")
                                     .property("editable", "TB,N,GisEditable")
                                     .build();
  return cls;
}

std::string NSTextView::string() {
  static const SEL s = detail::sel("string");
  Ref<objc::NSString> text = objc::send<Ref<objc::NSString>()>(this, s);
  return text ? text->string() : std::string();
}

void NSTextView::setString(std::string_view string) {
  static const SEL s = detail::sel("setString:");
  objc::send<void(objc::NSString*)>(this, s, objc::NSString::stringWithString(string));
}

Ref<objc::Object> NSTextView::delegate() {
  static const SEL s = detail::sel("delegate");
  return objc::send<Ref<objc::Object>()>(this, s);
}

void NSTextView::setDelegate(objc::id delegate) {
  static const SEL s = detail::sel("setDelegate:");
  objc::send<void(objc::id)>(this, s, delegate);
}

BOOL NSTextView::isEditable() {
  static const SEL s = detail::sel("isEditable");
  return objc::send<BOOL()>(this, s);
}

void NSTextView::setEditable(BOOL editable) {
  static const SEL s = detail::sel("setEditable:");
  objc::send<void(BOOL)>(this, s, editable);
}

void NSTextView::insertText(std::string_view text) {
  static const SEL s = detail::sel("insertText:");
  objc::send<void(objc::Object*)>(this, s, objc::NSString::stringWithString(text));
}

}  // namespace appkit
