#include "objc/NSException.h"

#include <execinfo.h>

#include <thread>

#include "objc/NSArray.h"
#include "objc/NSAssertionHandler.h"
#include "objc/NSDictionary.h"
#include "objc/NSLog.h"
#include "objc/NSNumber.h"
#include "objc/NSString.h"

namespace objc {

// MARK: NSException

struct NSExceptionMethods {
  static Ref<NSString> name(NSException* self, SEL) {
    return NSString::stringWithString(self->name_);
  }
  static Ref<NSString> reason(NSException* self, SEL) {
    return NSString::stringWithString(self->reason_);
  }
  static Ref<NSDictionary> userInfo(NSException* self, SEL) { return self->userInfo_; }
  static Ref<NSArray> callStackReturnAddresses(NSException* self, SEL) {
    std::vector<Ref<Object>> numbers;
    for (uintptr_t address : self->returnAddresses_) {
      numbers.push_back(NSNumber::numberWithUnsignedLong(address));
    }
    return NSArray::arrayWithObjects(std::move(numbers));
  }
  static Ref<NSString> description(NSException* self, SEL) {
    return NSString::stringWithString(self->reason_);
  }
};

Class NSException::classObject() {
  using M = NSExceptionMethods;
  static const Class cls = ClassBuilder<NSException>("NSException", NSObject::classObject())
                               .method("name", &M::name)
                               .method("reason", &M::reason)
                               .method("userInfo", &M::userInfo)
                               .method("callStackReturnAddresses", &M::callStackReturnAddresses)
                               .method("description", &M::description)
                               .build();
  return cls;
}

Ref<NSException> NSException::exceptionWithName(std::string name, std::string reason,
                                                Ref<NSDictionary> userInfo) {
  Ref<NSException> exception = dynamicCast<NSException>(class_createInstance(classObject()));
  exception->name_ = std::move(name);
  exception->reason_ = std::move(reason);
  exception->userInfo_ = std::move(userInfo);
  return exception;
}

void NSException::raise(std::string name, std::string reason, Ref<NSDictionary> userInfo) {
  exceptionWithName(std::move(name), std::move(reason), std::move(userInfo))->raise();
}

void NSException::raise() {
  if (returnAddresses_.empty()) {
    void* frames[128];
    const int count = backtrace(frames, 128);
    for (int i = 0; i < count; ++i)
      returnAddresses_.push_back(reinterpret_cast<uintptr_t>(frames[i]));
  }
  throw Ref<NSException>(this);
}

std::string NSException::name() {
  static const SEL sel = sel_registerName("name");
  Ref<NSString> text = send<Ref<NSString>()>(this, sel);
  return text ? text->string() : std::string();
}

std::string NSException::reason() {
  static const SEL sel = sel_registerName("reason");
  Ref<NSString> text = send<Ref<NSString>()>(this, sel);
  return text ? text->string() : std::string();
}

Ref<NSDictionary> NSException::userInfo() {
  static const SEL sel = sel_registerName("userInfo");
  return send<Ref<NSDictionary>()>(this, sel);
}

std::vector<uintptr_t> NSException::callStackReturnAddresses() {
  static const SEL sel = sel_registerName("callStackReturnAddresses");
  Ref<NSArray> array = send<Ref<NSArray>()>(this, sel);
  std::vector<uintptr_t> addresses;
  if (!array) return addresses;
  for (const auto& element : array->objects()) {
    if (auto* number = dynamic_cast<NSNumber*>(element.get())) {
      addresses.push_back(number->unsignedLongValue());
    }
  }
  return addresses;
}

// MARK: NSAssertionHandler

struct NSAssertionHandlerMethods {
  static void handleFailureInMethod(NSAssertionHandler*, SEL, SEL selector, Object* object,
                                    NSString* fileName, NSInteger line, NSString* description) {
    Class cls = object_getClass(object);
    const bool isClass = class_isMetaClass(cls);
    NSLog(std::string("*** Assertion failure in ") + (isClass ? "+[" : "-[") + class_getName(cls) +
          " " + sel_getName(selector) + "], " + (fileName ? fileName->string() : std::string()) +
          ":" + std::to_string(line));
    NSException::raise(NSInternalInconsistencyException,
                       description ? description->string() : std::string());
  }
  static void handleFailureInFunction(NSAssertionHandler*, SEL, NSString* functionName,
                                      NSString* fileName, NSInteger line, NSString* description) {
    NSLog(std::string("*** Assertion failure in ") +
          (functionName ? functionName->string() : std::string()) + "(), " +
          (fileName ? fileName->string() : std::string()) + ":" + std::to_string(line));
    NSException::raise(NSInternalInconsistencyException,
                       description ? description->string() : std::string());
  }
};

Class NSAssertionHandler::classObject() {
  using M = NSAssertionHandlerMethods;
  static const Class cls =
      ClassBuilder<NSAssertionHandler>("NSAssertionHandler", NSObject::classObject())
          .method("handleFailureInMethod:object:file:lineNumber:description:",
                  &M::handleFailureInMethod)
          .method("handleFailureInFunction:file:lineNumber:description:",
                  &M::handleFailureInFunction)
          .build();
  return cls;
}

Ref<NSAssertionHandler> NSAssertionHandler::currentHandler() {
  thread_local Ref<NSAssertionHandler> handler = make<NSAssertionHandler>();
  return handler;
}

void NSAssertionHandler::handleFailureInMethod(SEL selector, id object, const std::string& fileName,
                                               NSInteger line, const std::string& description) {
  static const SEL sel =
      sel_registerName("handleFailureInMethod:object:file:lineNumber:description:");
  send<void(SEL, id, NSString*, NSInteger, NSString*)>(this, sel, selector, object,
                                                       NSString::stringWithString(fileName), line,
                                                       NSString::stringWithString(description));
}

void NSAssertionHandler::handleFailureInFunction(const std::string& functionName,
                                                 const std::string& fileName, NSInteger line,
                                                 const std::string& description) {
  static const SEL sel = sel_registerName("handleFailureInFunction:file:lineNumber:description:");
  send<void(NSString*, NSString*, NSInteger, NSString*)>(
      this, sel, NSString::stringWithString(functionName), NSString::stringWithString(fileName),
      line, NSString::stringWithString(description));
}

}  // namespace objc
