// Defines the classes and the protocol of the layer when the program starts,
// so that they can be found by name from the first moment.

#include "webkit/WKNavigationDelegate.h"
#include "webkit/WKWebView.h"

namespace {

objc::Class defineAll() {
  webkit::WKNavigationDelegateProtocol();
  webkit::WKNavigation::classObject();
  return webkit::WKWebView::classObject();
}

const objc::LoadRegistrar registrar(&defineAll);

}  // namespace

// Named by the library's link option, so that the linker takes this file out
// of the archive into every program that links the library.
extern "C" void kestrix_webkit_load() {}
