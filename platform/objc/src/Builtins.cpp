#include <mutex>

#include "RuntimeInternal.h"
#include "objc/Block.h"
#include "objc/NSArray.h"
#include "objc/NSAssertionHandler.h"
#include "objc/NSDictionary.h"
#include "objc/NSException.h"
#include "objc/NSInvocation.h"
#include "objc/NSKeyValueObserving.h"
#include "objc/NSMethodSignature.h"
#include "objc/NSNull.h"
#include "objc/NSNumber.h"
#include "objc/NSString.h"
#include "objc/NSValue.h"

namespace objc::detail {

void frameOutOfRange(uint32_t offset, uint32_t size, uint32_t frameSize) {
  NSException::raise(NSInvalidArgumentException,
                     "frame of " + std::to_string(frameSize) + " bytes has no " +
                         std::to_string(size) + " bytes at offset " + std::to_string(offset) +
                         ": the message was sent with another signature");
}

void defineBuiltinClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    NSObject::classObject();
    protocolClass();
    NSString::classObject();
    NSValue::classObject();
    NSNumber::classObject();
    NSNull::classObject();
    NSArray::classObject();
    NSDictionary::classObject();
    NSException::classObject();
    NSAssertionHandler::classObject();
    NSMethodSignature::classObject();
    NSInvocation::classObject();
    BlockObject::classObject();
    NSKeyValueObservation::classObject();
  });
}

}  // namespace objc::detail
