#include "appkit/NSViewController.h"

#include "Selectors.h"

namespace appkit {

struct NSViewControllerMethods {
  static void viewWillAppear(NSViewController*, objc::SEL) {}
};

objc::Class NSViewController::classObject() {
  static const objc::Class cls =
      objc::ClassBuilder<NSViewController>("NSViewController", objc::NSObject::classObject())
          .method("viewWillAppear", &NSViewControllerMethods::viewWillAppear)
          .build();
  return cls;
}

void NSViewController::viewWillAppear() {
  static const objc::SEL s = detail::sel("viewWillAppear");
  objc::send<void()>(this, s);
}

}  // namespace appkit
