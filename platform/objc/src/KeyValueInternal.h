#pragma once

#include "objc/ClassBuilder.h"
#include "objc/NSObject.h"

namespace objc::detail {

// Adds NSObject's key-value coding and observing messages.
void addKeyValueMethods(ClassBuilder<NSObject>& builder);

}  // namespace objc::detail
