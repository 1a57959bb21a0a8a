#pragma once

// A made-up platform object with a delegate, its delegate protocol, and a
// delegate proxy for it, for the delegate proxy tests.
//
// Protocol "RvTestPanelDelegate":
//   optional void  panel:didChange:   (two objects)
//   optional void  panelDidFinish:
//   optional BOOL  panelShouldChange:
//   required void  panelRequired:
//
// `Panel` keeps its delegate weakly and, like some platform objects, caches
// which optional void methods the delegate implements when it is set: it
// only calls those.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "InterceptionSupport.h"
#include "RvCocoa/DelegateProxy.h"
#include "RvCocoa/DelegateProxyType.h"
#include "RvCocoa/ProtocolRef.h"
#include "objc/NSString.h"

namespace rv::itest {

struct PanelDelegate {
  static objc::Protocol* protocol() {
    static objc::Protocol* const protocol = [] {
      objc::Protocol* p = objc::objc_allocateProtocol("RvTestPanelDelegate");
      objc::protocol_addMethodDescription(p, sel("panel:didChange:"), "v32@0:8@16@24", objc::NO,
                                          objc::YES);
      objc::protocol_addMethodDescription(p, sel("panelDidFinish:"), "v24@0:8@16", objc::NO,
                                          objc::YES);
      objc::protocol_addMethodDescription(p, sel("panelShouldChange:"), "B24@0:8@16", objc::NO,
                                          objc::YES);
      objc::protocol_addMethodDescription(p, sel("panelRequired:"), "v24@0:8@16", objc::YES,
                                          objc::YES);
      objc::objc_registerProtocol(p);
      return p;
    }();
    return protocol;
  }
};

using PanelDelegateRef = ProtocolRef<PanelDelegate>;

class Panel : public objc::NSObject {
 public:
  static Class classObject() {
    static const Class cls =
        objc::ClassBuilder<Panel>("RvTestPanel", objc::NSObject::classObject())
            .method<Ref<objc::Object>()>("delegate",
                                         [](Panel* self, SEL) { return self->loadDelegate(); })
            .method<void(id)>("setDelegate:",
                              [](Panel* self, SEL, id delegate) {
                                static const SEL responds = sel("respondsToSelector:");
                                {
                                  std::lock_guard<std::mutex> guard(self->mutex_);
                                  self->delegate_ = delegate;
                                }
                                self->delegateSets.push_back(delegate);
                                self->callsDidChange_ = objc::send<BOOL(SEL)>(
                                    delegate, responds, sel("panel:didChange:"));
                                self->callsDidFinish_ = objc::send<BOOL(SEL)>(
                                    delegate, responds, sel("panelDidFinish:"));
                              })
            .build();
    return cls;
  }
  static Ref<Panel> create() { return objc::make<Panel>(); }

  Ref<objc::Object> delegate() { return objc::send<Ref<objc::Object>()>(this, sel("delegate")); }
  void setDelegate(id delegate) { objc::send<void(id)>(this, sel("setDelegate:"), delegate); }

  // What the panel does when its content changes: tells its delegate, if
  // that implemented the method when it was set.
  // Any thread.
  void change(id from, id to) {
    if (callsDidChange_) {
      objc::send<void(id, id)>(loadDelegate(), sel("panel:didChange:"), from, to);
    }
  }
  void finish() {
    if (callsDidFinish_) objc::send<void(id)>(loadDelegate(), sel("panelDidFinish:"), this);
  }
  BOOL shouldChange() {
    return objc::send<BOOL(id)>(loadDelegate(), sel("panelShouldChange:"), this);
  }

  // Every object `setDelegate:` received, in order (null for nil). Main
  // thread only.
  std::vector<id> delegateSets;

 protected:
  Panel() = default;

 private:
  friend struct objc::detail::InstanceAccess;

  Ref<objc::Object> loadDelegate() {
    std::lock_guard<std::mutex> guard(mutex_);
    return delegate_.load();
  }

  std::mutex mutex_;
  objc::Weak<objc::Object> delegate_;
  std::atomic<bool> callsDidChange_{false};
  std::atomic<bool> callsDidFinish_{false};
};

// A delegate of the application: implements panel:didChange: (logging
// "delegate") and panelShouldChange: (answering `answer`).
class AppDelegate : public objc::NSObject {
 public:
  static Class classObject() {
    static const Class cls =
        objc::ClassBuilder<AppDelegate>("RvTestAppDelegate", objc::NSObject::classObject())
            .method<void(id, id)>("panel:didChange:",
                                  [](AppDelegate* self, SEL, id, id) {
                                    if (self->log) self->log->push_back("delegate");
                                  })
            .method<BOOL(id)>("panelShouldChange:",
                              [](AppDelegate* self, SEL, id) { return self->answer; })
            .protocol(PanelDelegate::protocol())
            .build();
    return cls;
  }
  static Ref<AppDelegate> create(std::vector<std::string>* log = nullptr) {
    Ref<AppDelegate> delegate = objc::make<AppDelegate>();
    delegate->log = log;
    return delegate;
  }

  std::vector<std::string>* log = nullptr;
  BOOL answer = objc::YES;

 private:
  friend struct objc::detail::InstanceAccess;
  AppDelegate() = default;
};

// A panel of a kind that gets proxies of its own make closure.
class WidePanel : public Panel {
 public:
  static Class classObject() {
    static const Class cls =
        objc::ClassBuilder<WidePanel>("RvTestWidePanel", Panel::classObject()).build();
    return cls;
  }

 private:
  friend struct objc::detail::InstanceAccess;
  WidePanel() = default;
};

// The proxy of panels.
class PanelDelegateProxy : public DelegateProxy<Panel, PanelDelegateRef> {
 public:
  static Class classObject() {
    static const Class cls = objc::ClassBuilder<PanelDelegateProxy>("RvTestPanelDelegateProxy",
                                                                    DelegateProxy::classObject())
                                 .protocol(PanelDelegate::protocol())
                                 .build();
    return cls;
  }
  static Ref<PanelDelegateProxy> create(const Ref<Panel>& panel) {
    return DelegateProxy::create<PanelDelegateProxy>(panel);
  }

  // DelegateProxyType:
  static void registerKnownImplementations() {
    ++registrations;
    DelegateProxyType<PanelDelegateProxy>::addProxyMaker<Panel>(
        [](const Ref<Panel>& panel) { return create(panel); });
    DelegateProxyType<PanelDelegateProxy>::addProxyMaker<WidePanel>(
        [](const Ref<WidePanel>& panel) {
          Ref<PanelDelegateProxy> proxy = create(panel);
          proxy->madeForWidePanel = true;
          return proxy;
        });
  }
  static std::optional<PanelDelegateRef> currentDelegate(Panel& panel) {
    return castOptionalOrFatalError<PanelDelegateRef>(panel.delegate());
  }
  static void setCurrentDelegate(std::optional<PanelDelegateRef> delegate, Panel& panel) {
    panel.setDelegate(delegate ? delegate->get() : nullptr);
  }

  static inline int registrations = 0;
  bool madeForWidePanel = false;

 protected:
  PanelDelegateProxy() = default;

 private:
  friend struct objc::detail::InstanceAccess;
};

}  // namespace rv::itest
