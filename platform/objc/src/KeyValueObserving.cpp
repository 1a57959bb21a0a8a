#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "KeyValueInternal.h"
#include "objc/NSException.h"
#include "objc/NSInvocation.h"
#include "objc/NSKeyValueObserving.h"
#include "objc/NSNull.h"
#include "objc/NSNumber.h"
#include "objc/NSString.h"

namespace objc {

namespace {

SEL selector(const std::string& name) { return sel_registerName(name.c_str()); }

std::string capitalized(const std::string& key) {
  std::string out = key;
  if (!out.empty() && out[0] >= 'a' && out[0] <= 'z')
    out[0] = static_cast<char>(out[0] - 'a' + 'A');
  return out;
}

std::string setterName(const std::string& key) { return "set" + capitalized(key) + ":"; }

// "<Class 0x...>", as the key-value messages name their receiver.
std::string receiverText(id object) {
  char pointer[32];
  std::snprintf(pointer, sizeof pointer, "%p", static_cast<void*>(object));
  static const SEL classSel = sel_registerName("class");
  return std::string("<") + class_getName(send<Class()>(object, classSel)) + " " + pointer + ">";
}

// "[<Class 0x...> method]: ", how a key-value message names the call it
// refuses. Appended piece by piece: g++ 12 at -O3 takes `"[" + std::string`
// for an overlapping copy and warns.
std::string callText(id object, std::string_view method) {
  std::string text = "[";
  text += receiverText(object);
  text += ' ';
  text += method;
  text += "]: ";
  return text;
}

const char* withoutQualifiers(const char* type) {
  while (*type != '\0' && std::strchr("rnNoORVA", *type) != nullptr) ++type;
  return type;
}

// The object that stands for a plain value of encoding `type` at `bytes`.
Ref<Object> box(const void* bytes, const char* type) {
  const char* base = withoutQualifiers(type);
  auto read = [bytes](auto value) {
    std::memcpy(&value, bytes, sizeof value);
    return value;
  };
  switch (*base) {
    case '@':
    case '#':
      return Ref<Object>(read(static_cast<id>(nullptr)));
    case 'c':
      return NSNumber::numberWithChar(read(char{}));
    case 'C':
      return NSNumber::numberWithUnsignedChar(read(static_cast<unsigned char>(0)));
    case 's':
      return NSNumber::numberWithShort(read(short{}));
    case 'S':
      return NSNumber::numberWithUnsignedShort(read(static_cast<unsigned short>(0)));
    case 'i':
    case 'l':
      return NSNumber::numberWithInt(read(int{}));
    case 'I':
    case 'L':
      return NSNumber::numberWithUnsignedInt(read(0u));
    case 'q':
      return NSNumber::numberWithLongLong(read(0LL));
    case 'Q':
      return NSNumber::numberWithUnsignedLongLong(read(0ULL));
    case 'f':
      return NSNumber::numberWithFloat(read(0.0f));
    case 'd':
      return NSNumber::numberWithDouble(read(0.0));
    case 'B':
      return NSNumber::numberWithBool(read(false));
    default:
      return NSValue::valueWithBytes(bytes, base);
  }
}

// Writes `value` as an argument of encoding `type` into `out`; false when
// the value cannot stand for that type.
bool unbox(id value, const char* type, std::vector<std::byte>& out) {
  const char* base = withoutQualifiers(type);
  auto write = [&out](auto v) {
    out.resize(sizeof v);
    std::memcpy(out.data(), &v, sizeof v);
    return true;
  };
  if (*base == '@' || *base == '#') return write(value);
  auto* number = dynamic_cast<NSNumber*>(value);
  switch (*base) {
    case 'c':
      return number != nullptr && write(number->charValue());
    case 'C':
      return number != nullptr && write(number->unsignedCharValue());
    case 's':
      return number != nullptr && write(number->shortValue());
    case 'S':
      return number != nullptr && write(number->unsignedShortValue());
    case 'i':
    case 'l':
      return number != nullptr && write(number->intValue());
    case 'I':
    case 'L':
      return number != nullptr && write(number->unsignedIntValue());
    case 'q':
      return number != nullptr && write(number->longLongValue());
    case 'Q':
      return number != nullptr && write(number->unsignedLongLongValue());
    case 'f':
      return number != nullptr && write(number->floatValue());
    case 'd':
      return number != nullptr && write(number->doubleValue());
    case 'B':
      return number != nullptr && write(static_cast<bool>(number->boolValue()));
    default: {
      auto* boxed = dynamic_cast<NSValue*>(value);
      if (boxed == nullptr || std::strcmp(boxed->objCType(), base) != 0) return false;
      out.resize(boxed->size());
      boxed->getValue(out.data());
      return true;
    }
  }
}

// The signature of `sel` on `object` when it answers the message.
Ref<NSMethodSignature> signatureFor(id object, SEL sel) {
  static const SEL responds = sel_registerName("respondsToSelector:");
  static const SEL signature = sel_registerName("methodSignatureForSelector:");
  if (!send<BOOL(SEL)>(object, responds, sel)) return nullptr;
  return send<Ref<NSMethodSignature>(SEL)>(object, signature, sel);
}

// MARK: Observation state

struct Registration {
  Weak<Object> observer;
  const Object* identity;
  std::string keyPath;
  NSUInteger options;
  void* context;
};

struct ObservationInfo {
  std::vector<Registration> registrations;
};

struct KeyValueState {
  base::Mutex lock;  // guards every ObservationInfo too
  std::unordered_map<Class, Class> notifyingByClass KX_GUARDED_BY(lock);
  std::unordered_set<Class> notifyingClasses KX_GUARDED_BY(lock);
};

KeyValueState& kvoState() {
  static KeyValueState* state = new KeyValueState;
  return *state;
}

// The notifying subclass of `actual` (or `actual` when it is one).
Class notifyingClassFor(KeyValueState& state, Class actual) KX_REQUIRES(state.lock) {
  if (state.notifyingClasses.count(actual) != 0) return actual;
  auto it = state.notifyingByClass.find(actual);
  if (it != state.notifyingByClass.end()) return it->second;
  const std::string name = std::string("NSKVONotifying_") + class_getName(actual);
  Class notifying = objc_allocateClassPair(actual, name.c_str(), 0);
  if (notifying == nullptr) {
    NSException::raise(NSInternalInconsistencyException,
                       "Cannot create the key-value notifying class " + name);
  }
  class_addMethod(notifying, sel_registerName("class"),
                  imp_implementationWithBlock<Class()>([notifying](id self) {
                    // What the original class reports, so an earlier
                    // disguise is kept; the root's answer (the actual class,
                    // this one) becomes the original class.
                    Class reported = sendSuper<Class()>({self, class_getSuperclass(notifying)},
                                                        sel_registerName("class"));
                    return reported == notifying ? class_getSuperclass(notifying) : reported;
                  }),
                  methodEncoding<Class()>());
  class_addMethod(notifying, sel_registerName("_isKVOA"),
                  imp_implementationWithBlock<BOOL()>([](id) { return YES; }),
                  methodEncoding<BOOL()>());
  objc_registerClassPair(notifying);
  state.notifyingByClass.emplace(actual, notifying);
  state.notifyingClasses.insert(notifying);
  return notifying;
}

// Overrides the setter of `key` on a notifying class; lock held.
void overrideSetter(Class notifying, const std::string& key) {
  const SEL setter = selector(setterName(key));
  Method inherited = class_getInstanceMethod(notifying, setter);
  if (inherited == nullptr) return;
  for (Method own : class_copyMethodList(notifying)) {
    if (method_getName(own) == setter) return;
  }
  IMP imp = imp_implementationWithBlock([notifying, key](id self, SEL cmd, Frame& frame) {
    static const SEL will = sel_registerName("willChangeValueForKey:");
    static const SEL did = sel_registerName("didChangeValueForKey:");
    Ref<NSString> name = NSString::stringWithString(key);
    send<void(NSString*)>(self, will, name);
    objc_msgSendSuper({self, class_getSuperclass(notifying)}, cmd, frame);
    send<void(NSString*)>(self, did, name);
  });
  class_addMethod(notifying, setter, imp, method_getTypeEncoding(inherited));
}

Ref<NSDictionary> makeChange(NSUInteger options, const Ref<Object>& value) {
  std::vector<NSDictionary::Entry> entries;
  entries.emplace_back(NSString::stringWithString(NSKeyValueChangeKindKey),
                       NSNumber::numberWithUnsignedLong(NSKeyValueChangeSetting));
  if ((options & NSKeyValueObservingOptionNew) != 0) {
    entries.emplace_back(NSString::stringWithString(NSKeyValueChangeNewKey),
                         value ? value : Ref<Object>(NSNull::null()));
  }
  return NSDictionary::dictionaryWithEntries(std::move(entries));
}

void notify(id observer, const std::string& keyPath, id object, NSDictionary* change,
            void* context) {
  static const SEL observe = sel_registerName("observeValueForKeyPath:ofObject:change:context:");
  send<void(NSString*, id, NSDictionary*, void*)>(
      observer, observe, NSString::stringWithString(keyPath), object, change, context);
}

std::string text(NSString* string) { return string == nullptr ? std::string() : string->string(); }

}  // namespace

// MARK: NSObject's key-value messages

struct KeyValueMethods {
  static Ref<Object> valueForKey(Object* self, SEL, NSString* key) {
    const std::string name = text(key);
    for (const std::string& getter : {name, "is" + capitalized(name)}) {
      if (getter.empty()) continue;
      const SEL sel = selector(getter);
      Ref<NSMethodSignature> signature = signatureFor(self, sel);
      if (!signature || signature->numberOfArguments() != 2 ||
          signature->returnKind() == ReturnKind::none) {
        continue;
      }
      Ref<NSInvocation> invocation = NSInvocation::invocationWithMethodSignature(signature.get());
      invocation->setSelector(sel);
      invocation->invokeWithTarget(self);
      std::vector<std::byte> result(std::max<size_t>(signature->methodReturnLength(), sizeof(id)));
      invocation->getReturnValue(result.data());
      return box(result.data(), signature->methodReturnType());
    }
    static const SEL undefined = sel_registerName("valueForUndefinedKey:");
    return send<Ref<Object>(NSString*)>(self, undefined, key);
  }

  static void setValue(Object* self, SEL, Object* value, NSString* key) {
    const std::string name = text(key);
    const SEL sel = selector(setterName(name));
    Ref<NSMethodSignature> signature = name.empty() ? nullptr : signatureFor(self, sel);
    if (!signature || signature->numberOfArguments() != 3) {
      static const SEL undefined = sel_registerName("setValue:forUndefinedKey:");
      send<void(id, NSString*)>(self, undefined, value, key);
      return;
    }
    const char* type = signature->getArgumentTypeAtIndex(2);
    if (value == nullptr && *withoutQualifiers(type) != '@' && *withoutQualifiers(type) != '#') {
      static const SEL setNil = sel_registerName("setNilValueForKey:");
      send<void(NSString*)>(self, setNil, key);
      return;
    }
    std::vector<std::byte> argument;
    if (!unbox(value, type, argument) || argument.size() < signature->argumentSize(2)) {
      NSException::raise(NSInvalidArgumentException,
                         callText(self, "setValue:forKey:") + "value " + describe(value) +
                             " does not fit the type " + type + " of the key " + name + ".");
    }
    Ref<NSInvocation> invocation = NSInvocation::invocationWithMethodSignature(signature.get());
    invocation->setSelector(sel);
    invocation->setArgument(argument.data(), 2);
    invocation->invokeWithTarget(self);
  }

  static Ref<Object> valueForUndefinedKey(Object* self, SEL, NSString* key) {
    NSException::raise(NSUndefinedKeyException, callText(self, "valueForUndefinedKey:") +
                                                    "this class is not key value coding-compliant "
                                                    "for the key " +
                                                    text(key) + ".");
  }

  static void setValueForUndefinedKey(Object* self, SEL, Object*, NSString* key) {
    NSException::raise(NSUndefinedKeyException, callText(self, "setValue:forUndefinedKey:") +
                                                    "this class is not key value "
                                                    "coding-compliant for the key " +
                                                    text(key) + ".");
  }

  static void setNilValueForKey(Object* self, SEL, NSString* key) {
    NSException::raise(NSInvalidArgumentException,
                       callText(self, "setNilValueForKey") +
                           "could not set nil as the value for the key " + text(key) + ".");
  }

  static void addObserver(Object* self, SEL, Object* observer, NSString* keyPathString,
                          NSUInteger options, void* context) {
    const std::string keyPath = text(keyPathString);
    if (keyPath.empty() || keyPath.find('.') != std::string::npos || observer == nullptr) {
      NSException::raise(NSInvalidArgumentException,
                         callText(self, "addObserver:forKeyPath:options:context:") +
                             "an observer and a key path of one key are required (key path \"" +
                             keyPath + "\")");
    }
    if (class_isMetaClass(object_getClass(self))) {
      NSException::raise(NSInvalidArgumentException,
                         "Key-value observing of class objects is not supported");
    }
    static const SEL classSel = sel_registerName("class");
    static const SEL automatic = sel_registerName("automaticallyNotifiesObserversForKey:");
    const BOOL notifiesAutomatically =
        send<BOOL(NSString*)>(send<Class()>(self, classSel), automatic, keyPathString);
    {
      KeyValueState& state = kvoState();
      base::LockGuard guard(state.lock);
      auto info = std::static_pointer_cast<ObservationInfo>(detail::observationInfo(self));
      if (!info) {
        info = std::make_shared<ObservationInfo>();
        detail::setObservationInfo(self, info);
      }
      info->registrations.push_back({Weak<Object>(observer), observer, keyPath, options, context});
      Class actual = object_getClass(self);
      Class notifying = notifyingClassFor(state, actual);
      if (notifying != actual) object_setClass(self, notifying);
      if (notifiesAutomatically) overrideSetter(notifying, keyPath);
    }
    if ((options & NSKeyValueObservingOptionInitial) != 0) {
      Ref<Object> value;
      if ((options & NSKeyValueObservingOptionNew) != 0)
        value = valueForKey(self, nullptr, keyPathString);
      notify(observer, keyPath, self, makeChange(options, value).get(), context);
    }
  }

  static void removeObserverWithContext(Object* self, SEL, Object* observer, NSString* keyPath,
                                        void* context) {
    remove(self, observer, text(keyPath), true, context);
  }

  static void removeObserver(Object* self, SEL, Object* observer, NSString* keyPath) {
    remove(self, observer, text(keyPath), false, nullptr);
  }

  static void remove(Object* self, Object* observer, const std::string& keyPath, bool matchContext,
                     void* context) {
    bool removed = false;
    {
      KeyValueState& state = kvoState();
      base::LockGuard guard(state.lock);
      auto info = std::static_pointer_cast<ObservationInfo>(detail::observationInfo(self));
      if (info) {
        auto& list = info->registrations;
        // The most recent matching registration goes first.
        for (auto it = list.rbegin(); it != list.rend(); ++it) {
          if (it->identity == observer && it->keyPath == keyPath &&
              (!matchContext || it->context == context)) {
            list.erase(std::next(it).base());
            removed = true;
            break;
          }
        }
      }
    }
    if (!removed) {
      NSException::raise(NSRangeException, "Cannot remove an observer " + receiverText(observer) +
                                               " for the key path \"" + keyPath + "\" from " +
                                               receiverText(self) +
                                               " because it is not registered as an observer.");
    }
  }

  static void willChangeValueForKey(Object*, SEL, NSString*) {}

  static void didChangeValueForKey(Object* self, SEL, NSString* keyString) {
    const std::string key = text(keyString);
    struct Due {
      Ref<Object> observer;
      NSUInteger options;
      void* context;
    };
    std::vector<Due> due;
    {
      KeyValueState& state = kvoState();
      base::LockGuard guard(state.lock);
      auto info = std::static_pointer_cast<ObservationInfo>(detail::observationInfo(self));
      if (!info) return;
      for (const auto& registration : info->registrations) {
        if (registration.keyPath != key) continue;
        if (Ref<Object> observer = registration.observer.load()) {
          due.push_back({std::move(observer), registration.options, registration.context});
        }
      }
    }
    if (due.empty()) return;
    Ref<Object> value;
    if (std::any_of(due.begin(), due.end(),
                    [](const Due& d) { return (d.options & NSKeyValueObservingOptionNew) != 0; })) {
      value = valueForKey(self, nullptr, keyString);
    }
    for (const Due& d : due) {
      notify(d.observer.get(), key, self, makeChange(d.options, value).get(), d.context);
    }
  }

  static void observeValueForKeyPath(Object* self, SEL, NSString* keyPath, Object*, NSDictionary*,
                                     void*) {
    NSException::raise(NSInternalInconsistencyException,
                       describe(self) +
                           ": An -observeValueForKeyPath:ofObject:change:context: message was "
                           "received but not handled.\nKey path: " +
                           text(keyPath));
  }

  static BOOL automaticallyNotifiesObserversForKey(Class, SEL, NSString*) { return YES; }
};

namespace detail {

void addKeyValueMethods(ClassBuilder<NSObject>& builder) {
  using M = KeyValueMethods;
  builder.method("valueForKey:", &M::valueForKey)
      .method("setValue:forKey:", &M::setValue)
      .method("valueForUndefinedKey:", &M::valueForUndefinedKey)
      .method("setValue:forUndefinedKey:", &M::setValueForUndefinedKey)
      .method("setNilValueForKey:", &M::setNilValueForKey)
      .method("addObserver:forKeyPath:options:context:", &M::addObserver)
      .method("removeObserver:forKeyPath:context:", &M::removeObserverWithContext)
      .method("removeObserver:forKeyPath:", &M::removeObserver)
      .method("willChangeValueForKey:", &M::willChangeValueForKey)
      .method("didChangeValueForKey:", &M::didChangeValueForKey)
      .method("observeValueForKeyPath:ofObject:change:context:", &M::observeValueForKeyPath)
      .classMethod("automaticallyNotifiesObserversForKey:",
                   &M::automaticallyNotifiesObserversForKey);
}

}  // namespace detail

Ref<Object> changeValue(NSDictionary* change, const char* key) {
  if (change == nullptr) return nullptr;
  return change->objectForKey(NSString::stringWithString(key).get());
}

// MARK: NSObject members

Ref<Object> NSObject::valueForKey(const std::string& key) {
  static const SEL sel = sel_registerName("valueForKey:");
  return send<Ref<Object>(NSString*)>(this, sel, NSString::stringWithString(key));
}

void NSObject::setValue(id value, const std::string& key) {
  static const SEL sel = sel_registerName("setValue:forKey:");
  send<void(id, NSString*)>(this, sel, value, NSString::stringWithString(key));
}

void NSObject::addObserver(id observer, const std::string& keyPath, NSUInteger options,
                           void* context) {
  static const SEL sel = sel_registerName("addObserver:forKeyPath:options:context:");
  send<void(id, NSString*, NSUInteger, void*)>(
      this, sel, observer, NSString::stringWithString(keyPath), options, context);
}

void NSObject::removeObserver(id observer, const std::string& keyPath, void* context) {
  static const SEL sel = sel_registerName("removeObserver:forKeyPath:context:");
  send<void(id, NSString*, void*)>(this, sel, observer, NSString::stringWithString(keyPath),
                                   context);
}

void NSObject::removeObserver(id observer, const std::string& keyPath) {
  static const SEL sel = sel_registerName("removeObserver:forKeyPath:");
  send<void(id, NSString*)>(this, sel, observer, NSString::stringWithString(keyPath));
}

void NSObject::willChangeValueForKey(const std::string& key) {
  static const SEL sel = sel_registerName("willChangeValueForKey:");
  send<void(NSString*)>(this, sel, NSString::stringWithString(key));
}

void NSObject::didChangeValueForKey(const std::string& key) {
  static const SEL sel = sel_registerName("didChangeValueForKey:");
  send<void(NSString*)>(this, sel, NSString::stringWithString(key));
}

void NSObject::observeValueForKeyPath(const std::string& keyPath, id object, NSDictionary* change,
                                      void* context) {
  notify(this, keyPath, object, change, context);
}

// MARK: NSKeyValueObservation

struct NSKeyValueObservationMethods {
  static void observe(NSKeyValueObservation* self, SEL, NSString*, Object* object,
                      NSDictionary* change, void*) {
    NSKeyValueObservation::Handler handler;
    {
      base::LockGuard guard(self->mutex_);
      if (!self->valid_) return;
      handler = self->handler_;
    }
    handler(object, change);
  }
  static void dealloc(NSKeyValueObservation* self, SEL) {
    self->invalidate();
    static const SEL deallocSel = sel_registerName("dealloc");
    sendSuper<void()>({self, NSObject::classObject()}, deallocSel);
  }
};

Class NSKeyValueObservation::classObject() {
  using M = NSKeyValueObservationMethods;
  static const Class cls =
      ClassBuilder<NSKeyValueObservation>("NSKeyValueObservation", NSObject::classObject())
          .method("observeValueForKeyPath:ofObject:change:context:", &M::observe)
          .method("dealloc", &M::dealloc)
          .build();
  return cls;
}

Ref<NSKeyValueObservation> NSKeyValueObservation::observe(id object, const std::string& keyPath,
                                                          NSUInteger options, Handler handler) {
  Ref<NSKeyValueObservation> observation = make<NSKeyValueObservation>();
  {
    base::LockGuard guard(observation->mutex_);
    observation->object_ = object;
    observation->keyPath_ = keyPath;
    observation->handler_ = std::move(handler);
    observation->valid_ = true;
  }
  static const SEL sel = sel_registerName("addObserver:forKeyPath:options:context:");
  send<void(id, NSString*, NSUInteger, void*)>(object, sel, observation.get(),
                                               NSString::stringWithString(keyPath), options,
                                               observation.get());
  return observation;
}

void NSKeyValueObservation::invalidate() {
  Ref<Object> object;
  std::string keyPath;
  {
    base::LockGuard guard(mutex_);
    if (!valid_) return;
    valid_ = false;
    object = object_.load();
    keyPath = keyPath_;
  }
  if (!object) return;
  static const SEL sel = sel_registerName("removeObserver:forKeyPath:context:");
  send<void(id, NSString*, void*)>(object, sel, this, NSString::stringWithString(keyPath), this);
}

}  // namespace objc
