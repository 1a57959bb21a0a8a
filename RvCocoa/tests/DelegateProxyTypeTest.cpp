#include <gtest/gtest.h>

#include <thread>

#include "DelegateSupport.h"
#include "RvCocoa/DelegateProxyType.h"
#include "RvStreamsTest/Recording.h"

namespace rv::itest {
namespace {

using PanelProxyType = DelegateProxyType<PanelDelegateProxy>;
using rv::test::RecordingObserver;

// A parent with typed delegate and data-source properties: a proxy of its
// data source needs no accessors of its own.
struct SheetDelegate {
  static objc::Protocol* protocol() {
    static objc::Protocol* const protocol = [] {
      objc::Protocol* p = objc::objc_allocateProtocol("RvTestSheetDelegate");
      objc::protocol_addMethodDescription(p, sel("sheetDidClose:"), "v24@0:8@16", objc::NO,
                                          objc::YES);
      objc::objc_registerProtocol(p);
      return p;
    }();
    return protocol;
  }
};

struct SheetDataSource {
  static objc::Protocol* protocol() {
    static objc::Protocol* const protocol = [] {
      objc::Protocol* p = objc::objc_allocateProtocol("RvTestSheetDataSource");
      objc::protocol_addMethodDescription(p, sel("sheetNeedsRows:"), "v24@0:8@16", objc::NO,
                                          objc::YES);
      objc::objc_registerProtocol(p);
      return p;
    }();
    return protocol;
  }
};

class Sheet final : public objc::NSObject {
 public:
  using Delegate = ProtocolRef<SheetDelegate>;
  using DataSource = ProtocolRef<SheetDataSource>;

  static Class classObject() {
    static const Class cls =
        objc::ClassBuilder<Sheet>("RvTestSheet", objc::NSObject::classObject()).build();
    return cls;
  }

  std::optional<Delegate> delegate() { return Delegate::fromObject(delegate_.load().get()); }
  void setDelegate(std::optional<Delegate> delegate) {
    delegate_ = delegate ? delegate->get() : nullptr;
  }
  std::optional<DataSource> dataSource() {
    return DataSource::fromObject(dataSource_.load().get());
  }
  void setDataSource(std::optional<DataSource> dataSource) {
    dataSource_ = dataSource ? dataSource->get() : nullptr;
  }

 private:
  friend struct objc::detail::InstanceAccess;
  Sheet() = default;
  objc::Weak<objc::Object> delegate_;
  objc::Weak<objc::Object> dataSource_;
};

class SheetDataSourceProxy final : public DelegateProxy<Sheet, Sheet::DataSource> {
 public:
  static Class classObject() {
    static const Class cls = objc::ClassBuilder<SheetDataSourceProxy>("RvTestSheetDataSourceProxy",
                                                                      DelegateProxy::classObject())
                                 .protocol(SheetDataSource::protocol())
                                 .build();
    return cls;
  }
  static void registerKnownImplementations() {
    DelegateProxyType<SheetDataSourceProxy>::addProxyMaker<Sheet>(
        [](const Ref<Sheet>& sheet) { return DelegateProxy::create<SheetDataSourceProxy>(sheet); });
  }

 private:
  friend struct objc::detail::InstanceAccess;
  SheetDataSourceProxy() = default;
};

// A second proxy type of the panel's delegate type.
class OtherPanelProxy final : public DelegateProxy<Panel, PanelDelegateRef> {
 public:
  static Class classObject() {
    static const Class cls =
        objc::ClassBuilder<OtherPanelProxy>("RvTestOtherPanelProxy", DelegateProxy::classObject())
            .protocol(PanelDelegate::protocol())
            .build();
    return cls;
  }
  static void registerKnownImplementations() {}
  static std::optional<PanelDelegateRef> currentDelegate(Panel& panel) {
    return PanelDelegateProxy::currentDelegate(panel);
  }
  static void setCurrentDelegate(std::optional<PanelDelegateRef> delegate, Panel& panel) {
    PanelDelegateProxy::setCurrentDelegate(std::move(delegate), panel);
  }

 private:
  friend struct objc::detail::InstanceAccess;
  OtherPanelProxy() = default;
};

std::optional<PanelDelegateRef> asDelegate(id object) {
  return PanelDelegateRef::fromObject(object);
}

TEST(DelegateProxyType, TheProxyIsMadeOnceAndInstalledOnce) {
  Ref<Panel> panel = Panel::create();
  Ref<PanelDelegateProxy> proxy = PanelProxyType::proxy(panel);
  EXPECT_EQ(panel->delegate(), proxy);
  EXPECT_EQ(panel->delegateSets, (std::vector<id>{proxy.get()}));
  EXPECT_EQ(PanelProxyType::proxy(panel), proxy);
  EXPECT_EQ(panel->delegateSets.size(), 1u) << "the second call changes nothing";
  EXPECT_EQ(proxy->forwardToDelegate(), std::nullopt);
  EXPECT_EQ(proxy->parentObject(), panel);
}

TEST(DelegateProxyType, ThePreviousDelegateIsForwardedToWithoutBeingKeptAlive) {
  Ref<Panel> panel = Panel::create();
  Ref<AppDelegate> application = AppDelegate::create();
  panel->setDelegate(application.get());
  Ref<PanelDelegateProxy> proxy = PanelProxyType::proxy(panel);
  EXPECT_EQ(panel->delegate(), proxy);
  EXPECT_EQ(proxy->forwardToDelegate(), asDelegate(application.get()));
  application = nullptr;
  EXPECT_EQ(proxy->forwardToDelegate(), std::nullopt) << "not retained by the proxy";
}

TEST(DelegateProxyType, ADelegateSetBehindTheProxysBackIsTakenOverOnTheNextCall) {
  Ref<Panel> panel = Panel::create();
  Ref<PanelDelegateProxy> proxy = PanelProxyType::proxy(panel);
  Ref<AppDelegate> application = AppDelegate::create();
  panel->setDelegate(application.get());
  EXPECT_EQ(PanelProxyType::proxy(panel), proxy);
  EXPECT_EQ(panel->delegate(), proxy);
  EXPECT_EQ(proxy->forwardToDelegate(), asDelegate(application.get()));
}

TEST(DelegateProxyType, TheNearestRegisteredClassMakesTheProxy) {
  Ref<Panel> plain = Panel::create();
  Ref<Panel> wide = objc::make<WidePanel>();
  Class below =
      objc::objc_allocateClassPair(WidePanel::classObject(), uniqueName("Tall").c_str(), 0);
  objc::objc_registerClassPair(below);
  Ref<Panel> tall = objc::make<Panel>(below);
  Class unregistered =
      objc::objc_allocateClassPair(Panel::classObject(), uniqueName("Narrow").c_str(), 0);
  objc::objc_registerClassPair(unregistered);
  Ref<Panel> narrow = objc::make<Panel>(unregistered);

  EXPECT_FALSE(PanelProxyType::proxy(plain)->madeForWidePanel);
  EXPECT_TRUE(PanelProxyType::proxy(wide)->madeForWidePanel);
  EXPECT_TRUE(PanelProxyType::proxy(tall)->madeForWidePanel);
  EXPECT_FALSE(PanelProxyType::proxy(narrow)->madeForWidePanel);
  EXPECT_EQ(PanelDelegateProxy::registrations, 1) << "even though it reached the factory again";
}

TEST(DelegateProxyType, AProxyLivesAsLongAsItsParent) {
  Ref<Panel> panel = Panel::create();
  Ref<PanelDelegateProxy> proxy = PanelProxyType::proxy(panel);
  objc::Weak<PanelDelegateProxy> weak(proxy);
  auto recorder = RecordingObserver<ArgumentArray>::create();
  auto subscription = proxy->sentMessage(sel("panelDidFinish:"))->subscribe(recorder);
  proxy = nullptr;
  EXPECT_TRUE(weak.load()) << "the parent keeps it";
  panel = nullptr;
  EXPECT_FALSE(weak.load());
  EXPECT_EQ(recorder->completedCount(), 1);
}

TEST(DelegateProxyType, DetachingARetainedForwardDelegateReleasesIt) {
  Ref<Panel> panel = Panel::create();
  Ref<AppDelegate> application = AppDelegate::create();
  objc::Weak<AppDelegate> weak(application);
  auto attachment =
      PanelProxyType::attachForwardDelegate(*asDelegate(application.get()), true, panel);
  Ref<PanelDelegateProxy> proxy = PanelProxyType::proxy(panel);
  application = nullptr;
  ASSERT_TRUE(weak.load()) << "retained while attached";
  EXPECT_EQ(proxy->forwardToDelegate(), asDelegate(weak.load().get()));

  attachment->dispose();
  EXPECT_FALSE(weak.load());
  EXPECT_EQ(proxy->forwardToDelegate(), std::nullopt);
  EXPECT_EQ(panel->delegate(), proxy) << "the proxy stays installed";
}

TEST(DelegateProxyType, TypedDelegatePropertiesOfTheParentAreTheDefaultAccessors) {
  Ref<Sheet> sheet = objc::make<Sheet>();
  Class sourceClass = makeTargetClass();
  objc::class_addProtocol(sourceClass, SheetDataSource::protocol());
  Ref<Target> source = makeTarget(sourceClass);
  sheet->setDataSource(Sheet::DataSource::fromObject(source.get()));

  Ref<SheetDataSourceProxy> proxy = DelegateProxyType<SheetDataSourceProxy>::proxy(sheet);
  ASSERT_TRUE(sheet->dataSource().has_value());
  EXPECT_EQ(sheet->dataSource()->object(), proxy) << "the data source, not the delegate";
  EXPECT_EQ(sheet->delegate(), std::nullopt);
  EXPECT_EQ(proxy->forwardToDelegate(), Sheet::DataSource::fromObject(source.get()));
}

TEST(DelegateProxyType, IdentifiersNameTheDelegateType) {
  EXPECT_NE(PanelProxyType::identifier(), nullptr);
  EXPECT_EQ(PanelProxyType::identifier(), DelegateProxyType<OtherPanelProxy>::identifier());
  EXPECT_NE(PanelProxyType::identifier(), DelegateProxyType<SheetDataSourceProxy>::identifier());
  // The panel proxy's factory first: whichever type asks first registers
  // the make closures of the delegate type.
  auto panelFactory = DelegateProxyFactory::sharedFactory<PanelDelegateProxy>();
  EXPECT_EQ(DelegateProxyFactory::sharedFactory<OtherPanelProxy>(), panelFactory)
      << "one factory per delegate type";
}

TEST(DelegateProxyType, AFactoryOfItsOwnStartsEmpty) {
  auto factory = DelegateProxyFactory::create<PanelDelegateProxy>();
  EXPECT_EQ(factory->identifier(), PanelProxyType::identifier());
  EXPECT_EQ(factory->delegateProxyType(), typeid(PanelDelegateProxy));
  factory->extend<PanelDelegateProxy, Panel>(
      [](const Ref<Panel>& panel) { return PanelDelegateProxy::create(panel); });
  Ref<Panel> panel = Panel::create();
  EXPECT_NE(objc::dynamicCast<PanelDelegateProxy>(factory->createProxy(panel.get())), nullptr);
}

TEST(DelegateProxyTypeDeathTest, ASecondMakeClosureForOneClassStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(PanelProxyType::addProxyMaker<WidePanel>(
                   [](const Ref<WidePanel>& panel) { return PanelDelegateProxy::create(panel); }),
               "Fatal error: The factory of WidePanel is duplicated. DelegateProxy is not allowed "
               "of duplicated base object type.");
}

TEST(DelegateProxyTypeDeathTest, AnObjectWithoutAFactoryStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Ref<Target> stranger = makeTarget(makeTargetClass());
  EXPECT_DEATH(PanelProxyType::makeProxy(stranger.get()),
               "Fatal error: DelegateProxy has no factory of <Target_[0-9]+: 0x[0-9a-f]+>. "
               "Implement DelegateProxy subclass for <Target_[0-9]+: 0x[0-9a-f]+> first.");
}

TEST(DelegateProxyTypeDeathTest, ExtendingWithAProxyOfAnotherDelegateTypeStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto factory = DelegateProxyFactory::create<PanelDelegateProxy>();
  EXPECT_DEATH(
      (factory->extend<SheetDataSourceProxy, Sheet>([](const Ref<Sheet>& sheet) {
        return DelegateProxy<Sheet, Sheet::DataSource>::create<SheetDataSourceProxy>(sheet);
      })),
      "Fatal error: : file");
}

TEST(DelegateProxyTypeDeathTest, ACurrentDelegateOfAnotherTypeStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Ref<Panel> panel = Panel::create();
  Ref<Panel> notADelegate = Panel::create();
  panel->setDelegate(notADelegate.get());
  EXPECT_DEATH(PanelProxyType::proxy(panel),
               "Failure converting from <RvTestPanel: 0x[0-9a-f]+> to RvTestPanelDelegate");
}

TEST(DelegateProxyTypeDeathTest, MainThreadOperationsStopElsewhere) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Ref<Panel> panel = Panel::create();
  auto offMain = [](auto action) {
    std::thread thread(action);
    thread.join();
  };
  EXPECT_DEATH(offMain([&] { PanelProxyType::proxy(panel); }), "Running on background thread.");
  EXPECT_DEATH(offMain([] { DelegateProxyFactory::sharedFactory<PanelDelegateProxy>(); }),
               "Running on background thread.");
  auto attachment =
      PanelProxyType::attachForwardDelegate(*asDelegate(AppDelegate::create().get()), false, panel);
  EXPECT_DEATH(offMain([&] { attachment->dispose(); }), "Running on background thread.");
  attachment->dispose();
}

}  // namespace
}  // namespace rv::itest
