#include "RvCocoa/RvCocoaError.h"

#include <cctype>
#include <iostream>

#include "base/Mutex.h"

namespace rv {

namespace cocoa_detail {

std::string unqualifiedName(const std::type_info& type) {
  const std::string name = detail::typeName(type);
  // Drop every "qualifier::" prefix, also inside template arguments.
  std::string out;
  size_t wordStart = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == ':' && i + 1 < name.size() && name[i + 1] == ':') {
      out.resize(wordStart);
      ++i;
      continue;
    }
    out += c;
    const bool partOfName = std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    if (!partOfName) wordStart = out.size();
  }
  return out;
}

}  // namespace cocoa_detail

void RvCocoaError::describeSelf() {
  const auto quoted = [](const std::string& text) { return "`" + text + "`"; };
  switch (kind_) {
    case Kind::invalidOperation:
      text_ = "Invalid operation was attempted on " + quoted(objectDescription_) + ".";
      break;
    case Kind::itemsNotYetBound:
      text_ = "Data source is set, but items are not yet bound to user interface for " +
              quoted(objectDescription_) + ".";
      break;
    case Kind::invalidPropertyName:
      text_ = "Object " + quoted(objectDescription_) + " doesn't have a property named " +
              quoted(propertyName_) + ".";
      break;
    case Kind::invalidObjectOnKeyPath:
      text_ = "Unobservable object " + quoted(objectDescription_) + " was observed as " +
              quoted(propertyName_) + " of " + quoted(describeValue(sourceObject_)) + ".";
      break;
    case Kind::castingError:
      text_ = "Error casting " + quoted(objectDescription_) + " to " + quoted(targetTypeName_);
      break;
    case Kind::unknown:
      text_ = "Unknown error occurred.";
      break;
    case Kind::errorDuringSwizzling:
      text_ = "Error during swizzling.";
      break;
  }
}

std::shared_ptr<foundation::NSError> RvCocoaError::toNSError() const {
  return foundation::NSError::create(std::string(domain), static_cast<int64_t>(kind_));
}

namespace {
// Keeps one line from mixing with another thread's.
base::Mutex& printLock() {
  static auto* lock = new base::Mutex;
  return *lock;
}
}  // namespace

namespace cocoa_detail {

void printLine(const std::string& line) {
  const std::string text = line + "\n";
  base::LockGuard guard(printLock());
  std::cout << text << std::flush;
}

}  // namespace cocoa_detail

void printBindingError(const Error& error) {
  cocoa_detail::printLine("Binding error: " + describe(error));
}

void printBindingError(const Error& error, const char* file, int line) {
  cocoa_detail::printLine(std::string(file) + ":" + std::to_string(line) +
                          ": Binding error: " + describe(error));
}

}  // namespace rv
