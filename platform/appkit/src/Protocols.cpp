#include "appkit/Protocols.h"

#include "appkit/NSNotification.h"
#include "objc/Encoding.h"

namespace appkit {

namespace {

objc::Protocol* makeProtocol(const char* name, objc::Protocol* adopted,
                             std::initializer_list<const char*> notificationMethods) {
  objc::Protocol* protocol = objc::objc_allocateProtocol(name);
  if (protocol == nullptr) return objc::objc_getProtocol(name);
  if (adopted != nullptr) objc::protocol_addProtocol(protocol, adopted);
  for (const char* method : notificationMethods) {
    objc::protocol_addMethodDescription(protocol, objc::sel_registerName(method),
                                        objc::methodEncoding<void(NSNotification*)>(), objc::NO,
                                        objc::YES);
  }
  objc::objc_registerProtocol(protocol);
  return protocol;
}

}  // namespace

objc::Protocol* NSControlTextEditingDelegateProtocol() {
  static objc::Protocol* const protocol =
      makeProtocol("NSControlTextEditingDelegate", nullptr, {"controlTextDidChange:"});
  return protocol;
}

objc::Protocol* NSTextFieldDelegateProtocol() {
  static objc::Protocol* const protocol =
      makeProtocol("NSTextFieldDelegate", NSControlTextEditingDelegateProtocol(), {});
  return protocol;
}

objc::Protocol* NSTextDelegateProtocol() {
  static objc::Protocol* const protocol =
      makeProtocol("NSTextDelegate", nullptr, {"textDidChange:"});
  return protocol;
}

objc::Protocol* NSTextViewDelegateProtocol() {
  static objc::Protocol* const protocol =
      makeProtocol("NSTextViewDelegate", NSTextDelegateProtocol(), {});
  return protocol;
}

}  // namespace appkit
