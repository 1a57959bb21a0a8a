#pragma once

// Arguments of an invocation as objects, and the type tests the interception
// runtime and the delegate proxies share.

#include "objc/NSArray.h"
#include "objc/NSInvocation.h"
#include "objc/NSMethodSignature.h"
#include "objc/Runtime.h"

namespace rv {

// Argument `index` of `invocation` as an object, by its type encoding (one
// leading "r" is ignored, except in "r*"): objects, classes and blocks as
// themselves (nil stays nil); numbers as NSNumber of their own kind; "r*" as
// a string of its UTF-8 bytes (nil for a null pointer); anything else as an
// NSValue of the argument's bytes. An argument type of size 0 fails the
// assertion "Invalid parameter not satisfying: size > 0".
objc::Ref<objc::Object> RV_extract_argument_at_index(objc::NSInvocation* invocation,
                                                     objc::NSUInteger index);
// Arguments 2 to n-1 (the receiver and the selector skipped), NSNull for nil.
objc::Ref<objc::NSArray> RV_extract_arguments(objc::NSInvocation* invocation);

// Whether a method returning `returnType` (a whole return type encoding,
// compared exactly) can be intercepted: "v", "@", "#", "@?", "c", "s", "i",
// "q", "C", "S", "I", "Q", "f", "d", "B", "r*". NO for null.
objc::BOOL RV_method_has_supported_return_type(const char* returnType);
// YES when the signature's return type is "v".
objc::BOOL RV_is_method_signature_void(objc::NSMethodSignature* signature);
// YES when the description's type encoding starts with 'v'.
objc::BOOL RV_is_method_with_description_void(objc::objc_method_description description);

}  // namespace rv
