// Defines the classes and protocols of the layer when the program starts, so
// that they can be found by name (`objc_getClass`, `objc_getProtocol`) from
// the first moment, also by code that never names them in C++.

#include "appkit/NSApplication.h"
#include "appkit/NSButton.h"
#include "appkit/NSErrorObject.h"
#include "appkit/NSEvent.h"
#include "appkit/NSNotification.h"
#include "appkit/NSSlider.h"
#include "appkit/NSTextField.h"
#include "appkit/NSTextView.h"
#include "appkit/NSViewController.h"
#include "appkit/Protocols.h"

namespace {

objc::Class defineAll() {
  appkit::NSTextFieldDelegateProtocol();
  appkit::NSTextViewDelegateProtocol();
  appkit::NSNotification::classObject();
  appkit::NSErrorObject::classObject();
  appkit::NSEvent::classObject();
  appkit::NSApplication::classObject();
  appkit::NSViewController::classObject();
  appkit::NSButton::classObject();
  appkit::NSSlider::classObject();
  appkit::NSTextField::classObject();
  return appkit::NSTextView::classObject();
}

const objc::LoadRegistrar registrar(&defineAll);

}  // namespace

// Named by the library's link option, so that the linker takes this file out
// of the archive into every program that links the library.
extern "C" void kestrix_appkit_load() {}
