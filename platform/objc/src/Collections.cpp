#include <algorithm>

#include "objc/Block.h"
#include "objc/NSArray.h"
#include "objc/NSDictionary.h"
#include "objc/NSException.h"
#include "objc/NSNull.h"
#include "objc/NSString.h"

namespace objc {

namespace {

// Immutable objects answer `copy` with themselves.
Ref<Object> copyItself(Object* self, SEL, void*) { return Ref<Object>(self); }

std::string indent(const std::string& text) {
  std::string out = "    ";
  for (char c : text) {
    out += c;
    if (c == '\n') out += "    ";
  }
  return out;
}

}  // namespace

// MARK: NSNull

namespace {
Ref<NSString> nullDescription(Object*, SEL) { return NSString::stringWithString("<null>"); }
}  // namespace

Class NSNull::classObject() {
  static const Class cls = ClassBuilder<NSNull>("NSNull", NSObject::classObject())
                               .method("description", &nullDescription)
                               .method("copyWithZone:", &copyItself)
                               .build();
  return cls;
}

Ref<NSNull> NSNull::null() {
  static NSNull* const instance = [] {
    Ref<NSNull> made = dynamicCast<NSNull>(class_createInstance(classObject()));
    detail::makeImmortal(made.get());
    return made.detach();
  }();
  return Ref<NSNull>(instance);
}

// MARK: NSArray

struct NSArrayMethods {
  static Ref<NSString> description(NSArray* self, SEL) {
    std::string text = "(";
    for (size_t i = 0; i < self->objects_.size(); ++i) {
      text += i == 0 ? "\n" : ",\n";
      text += indent(describe(self->objects_[i].get()));
    }
    return NSString::stringWithString(text + "\n)");
  }
  static BOOL isEqual(NSArray* self, SEL, Object* other) {
    auto* array = dynamic_cast<NSArray*>(other);
    if (array == nullptr || array->objects_.size() != self->objects_.size()) return NO;
    static const SEL isEqualSel = sel_registerName("isEqual:");
    for (size_t i = 0; i < self->objects_.size(); ++i) {
      if (!send<BOOL(id)>(self->objects_[i], isEqualSel, array->objects_[i])) return NO;
    }
    return YES;
  }
  static NSUInteger hash(NSArray* self, SEL) { return self->objects_.size(); }
  static NSUInteger count(NSArray* self, SEL) { return self->count(); }
  static Ref<Object> objectAtIndex(NSArray* self, SEL, NSUInteger index) {
    return self->objectAtIndex(index);
  }
};

Class NSArray::classObject() {
  using M = NSArrayMethods;
  static const Class cls = ClassBuilder<NSArray>("NSArray", NSObject::classObject())
                               .method("description", &M::description)
                               .method("isEqual:", &M::isEqual)
                               .method("hash", &M::hash)
                               .method("count", &M::count)
                               .method("objectAtIndex:", &M::objectAtIndex)
                               .method("copyWithZone:", &copyItself)
                               .build();
  return cls;
}

Ref<NSArray> NSArray::arrayWithObjects(std::vector<Ref<Object>> objects) {
  for (size_t i = 0; i < objects.size(); ++i) {
    if (!objects[i]) {
      NSException::raise(NSInvalidArgumentException,
                         "*** -[NSArray initWithObjects:count:]: attempt to insert nil object from "
                         "objects[" +
                             std::to_string(i) + "]");
    }
  }
  Ref<NSArray> array = dynamicCast<NSArray>(class_createInstance(classObject()));
  array->objects_ = std::move(objects);
  return array;
}

Ref<Object> NSArray::objectAtIndex(NSUInteger index) const {
  if (index >= objects_.size()) {
    NSException::raise(
        NSRangeException,
        "*** -[NSArray objectAtIndex:]: index " + std::to_string(index) + " beyond bounds" +
            (objects_.empty() ? std::string(" for empty array")
                              : " [0 .. " + std::to_string(objects_.size() - 1) + "]"));
  }
  return objects_[index];
}

// MARK: NSDictionary

struct NSDictionaryMethods {
  static Ref<NSString> description(NSDictionary* self, SEL) {
    std::string text = "{";
    for (const auto& [key, value] : self->entries_) {
      text += '\n';
      text += indent(describe(key.get()) + " = " + describe(value.get()) + ";");
    }
    return NSString::stringWithString(text + "\n}");
  }
  static BOOL isEqual(NSDictionary* self, SEL, Object* other) {
    auto* dictionary = dynamic_cast<NSDictionary*>(other);
    if (dictionary == nullptr || dictionary->entries_.size() != self->entries_.size()) return NO;
    static const SEL isEqualSel = sel_registerName("isEqual:");
    for (const auto& [key, value] : self->entries_) {
      Ref<Object> theirs = dictionary->objectForKey(key.get());
      if (!theirs || !send<BOOL(id)>(value, isEqualSel, theirs)) return NO;
    }
    return YES;
  }
  static NSUInteger hash(NSDictionary* self, SEL) { return self->entries_.size(); }
  static NSUInteger count(NSDictionary* self, SEL) { return self->count(); }
  static Ref<Object> objectForKey(NSDictionary* self, SEL, Object* key) {
    return self->objectForKey(key);
  }
};

Class NSDictionary::classObject() {
  using M = NSDictionaryMethods;
  static const Class cls = ClassBuilder<NSDictionary>("NSDictionary", NSObject::classObject())
                               .method("description", &M::description)
                               .method("isEqual:", &M::isEqual)
                               .method("hash", &M::hash)
                               .method("count", &M::count)
                               .method("objectForKey:", &M::objectForKey)
                               .method("copyWithZone:", &copyItself)
                               .build();
  return cls;
}

namespace {
bool keysEqual(id a, id b) {
  if (a == b) return true;
  static const SEL hashSel = sel_registerName("hash");
  static const SEL isEqualSel = sel_registerName("isEqual:");
  return send<NSUInteger()>(a, hashSel) == send<NSUInteger()>(b, hashSel) &&
         send<BOOL(id)>(a, isEqualSel, b);
}
}  // namespace

Ref<NSDictionary> NSDictionary::dictionaryWithEntries(std::vector<Entry> entries) {
  std::vector<Entry> unique;
  for (auto& entry : entries) {
    if (!entry.first || !entry.second) {
      NSException::raise(NSInvalidArgumentException,
                         "*** -[NSDictionary initWithObjects:forKeys:count:]: attempt to insert "
                         "nil object");
    }
    auto it = std::find_if(unique.begin(), unique.end(), [&](const Entry& e) {
      return keysEqual(e.first.get(), entry.first.get());
    });
    if (it != unique.end()) {
      it->second = std::move(entry.second);
    } else {
      unique.push_back(std::move(entry));
    }
  }
  Ref<NSDictionary> dictionary = dynamicCast<NSDictionary>(class_createInstance(classObject()));
  dictionary->entries_ = std::move(unique);
  return dictionary;
}

Ref<Object> NSDictionary::objectForKey(id key) const {
  if (key == nullptr) return nullptr;
  for (const auto& [k, value] : entries_) {
    if (keysEqual(k.get(), key)) return value;
  }
  return nullptr;
}

std::vector<Ref<Object>> NSDictionary::allKeys() const {
  std::vector<Ref<Object>> keys;
  for (const auto& entry : entries_) keys.push_back(entry.first);
  return keys;
}

// MARK: Blocks

Class BlockObject::classObject() {
  static const Class cls = ClassBuilder<BlockObject>("NSBlock", NSObject::classObject())
                               .method("copyWithZone:", &copyItself)
                               .build();
  return cls;
}

}  // namespace objc
