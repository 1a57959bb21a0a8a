#pragma once

// A model for the key-path tests: a node with a strong `child`, a weak
// `weakChild` and an object-valued `title`, all declared properties, plus a
// getter `undeclared` that key-value coding reaches but that is no property.

#include <functional>
#include <mutex>
#include <string>

#include "InterceptionSupport.h"
#include "objc/NSString.h"

namespace rv::itest {

class Node : public objc::NSObject {
 public:
  static Class classObject() {
    static const Class cls =
        objc::ClassBuilder<Node>("RvTestKeyPathNode", objc::NSObject::classObject())
            .method<Ref<objc::Object>()>("child",
                                         [](Node* self, SEL) { return self->get(self->child_); })
            .method<void(id)>("setChild:",
                              [](Node* self, SEL, id child) {
                                // The previous child may be released here,
                                // inside the setter.
                                self->set(self->child_, child);
                              })
            .method<Ref<objc::Object>()>("weakChild",
                                         [](Node* self, SEL) {
                                           std::lock_guard<std::mutex> guard(self->mutex_);
                                           return self->weakChild_.load();
                                         })
            .method<void(id)>("setWeakChild:",
                              [](Node* self, SEL, id child) {
                                std::lock_guard<std::mutex> guard(self->mutex_);
                                self->weakChild_ = child;
                              })
            .method<Ref<objc::Object>()>("title",
                                         [](Node* self, SEL) { return self->get(self->title_); })
            .method<void(id)>("setTitle:",
                              [](Node* self, SEL, id title) { self->set(self->title_, title); })
            .method<Ref<objc::Object>()>("undeclared", [](Node*, SEL) { return nullptr; })
            .method<void()>("dealloc",
                            [](Node* self, SEL cmd) {
                              if (self->onDealloc) self->onDealloc(self);
                              objc::sendSuper<void()>({self, objc::NSObject::classObject()}, cmd);
                            })
            .property("child", "T@\"RvTestKeyPathNode\",&,N,V_child")
            .property("weakChild", "T@\"RvTestKeyPathNode\",W,N,V_weakChild")
            .property("title", "T@,&,N,V_title")
            .build();
    return cls;
  }
  static Ref<Node> create(const char* title = nullptr) {
    Ref<Node> node = objc::make<Node>();
    if (title != nullptr) node->setTitle(objc::NSString::stringWithString(title).get());
    return node;
  }

  void setChild(id child) { objc::send<void(id)>(this, sel("setChild:"), child); }
  void setWeakChild(id child) { objc::send<void(id)>(this, sel("setWeakChild:"), child); }
  void setTitle(id title) { objc::send<void(id)>(this, sel("setTitle:"), title); }
  void setTitle(const char* title) { setTitle(objc::NSString::stringWithString(title).get()); }

  // Runs at the start of `dealloc`, while the node is still whole.
  std::function<void(Node*)> onDealloc;

 private:
  friend struct objc::detail::InstanceAccess;
  Node() = default;

  // Atomic accessors: tests change properties from several threads.
  Ref<objc::Object> get(const Ref<objc::Object>& field) {
    std::lock_guard<std::mutex> guard(mutex_);
    return field;
  }
  void set(Ref<objc::Object>& field, id value) {
    Ref<objc::Object> previous(value);  // released after the lock
    std::lock_guard<std::mutex> guard(mutex_);
    field.swap(previous);
  }

  std::mutex mutex_;
  Ref<objc::Object> child_;
  objc::Weak<objc::Object> weakChild_;
  Ref<objc::Object> title_;
};

}  // namespace rv::itest
