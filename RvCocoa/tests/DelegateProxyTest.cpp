#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "DelegateSupport.h"
#include "RvStreams/Observers.h"
#include "RvStreamsTest/Recording.h"
#include "baseTest/Handoff.h"
#include "objc/NSNull.h"

namespace rv::itest {
namespace {

using objc::NO;
using objc::YES;
using rv::test::RecordingObserver;

Ref<objc::Object> text(const char* value) { return objc::NSString::stringWithString(value); }

// A proxy whose class implements panelDidFinish: itself.
class FinishingPanelProxy final : public DelegateProxy<Panel, PanelDelegateRef> {
 public:
  static Class classObject() {
    static const Class cls =
        objc::ClassBuilder<FinishingPanelProxy>("RvTestFinishingPanelProxy",
                                                DelegateProxy::classObject())
            .method<void(id)>("panelDidFinish:", [](FinishingPanelProxy*, SEL, id) {})
            .protocol(PanelDelegate::protocol())
            .build();
    return cls;
  }
  static Ref<FinishingPanelProxy> create(const Ref<Panel>& panel) {
    return DelegateProxy::create<FinishingPanelProxy>(panel);
  }
  static std::optional<PanelDelegateRef> currentDelegate(Panel& panel) {
    return PanelDelegateProxy::currentDelegate(panel);
  }
  static void setCurrentDelegate(std::optional<PanelDelegateRef> delegate, Panel& panel) {
    PanelDelegateProxy::setCurrentDelegate(std::move(delegate), panel);
  }

 private:
  friend struct objc::detail::InstanceAccess;
  FinishingPanelProxy() = default;
};

// A panel whose delegate is its proxy.
struct Installed {
  Ref<Panel> panel = Panel::create();
  Ref<PanelDelegateProxy> proxy = PanelDelegateProxy::create(panel);
  Installed() {
    panel->setDelegate(proxy.get());
    panel->delegateSets.clear();
  }
};

rv::Ref<Disposable> logArguments(const rv::Ref<Observable<ArgumentArray>>& source,
                                 std::vector<std::string>& log, const std::string& tag) {
  return source->subscribe(
      makeAnonymousObserver<ArgumentArray>([&log, tag](const Event<ArgumentArray>& event) {
        if (const ArgumentArray* arguments = event.element()) {
          std::string entry = tag;
          for (const auto& argument : *arguments) {
            entry += ' ';
            entry += argument.get() == objc::NSNull::null().get() ? std::string("null")
                                                                  : objc::describe(argument.get());
          }
          log.push_back(entry);
        } else if (event.isCompleted()) {
          log.push_back(tag + " completed");
        }
      }));
}

TEST(DelegateProxy, OneSequencePerSelectorAndKind) {
  Installed installed;
  const SEL changed = sel("panel:didChange:");
  EXPECT_EQ(installed.proxy->sentMessage(changed), installed.proxy->sentMessage(changed));
  EXPECT_EQ(installed.proxy->methodInvoked(changed), installed.proxy->methodInvoked(changed));
  EXPECT_NE(installed.proxy->sentMessage(changed), installed.proxy->methodInvoked(changed));
}

TEST(DelegateProxy, ArgumentsArriveBeforeAndAfterTheForwardDelegateRuns) {
  Installed installed;
  std::vector<std::string> log;
  Ref<AppDelegate> delegate = AppDelegate::create(&log);
  installed.proxy->setForwardToDelegate(PanelDelegateRef::fromObject(delegate.get()), false);
  auto sent = logArguments(installed.proxy->sentMessage(sel("panel:didChange:")), log, "sent");
  auto invoked =
      logArguments(installed.proxy->methodInvoked(sel("panel:didChange:")), log, "invoked");

  installed.panel->change(text("a").get(), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"sent a null", "delegate", "invoked a null"}));
  sent->dispose();
  invoked->dispose();
}

TEST(DelegateProxy, ObservingAVoidMethodMakesTheProxyAnswerForItAndResetsTheParent) {
  Installed installed;
  Panel& panel = *installed.panel;
  PanelDelegateProxy& proxy = *installed.proxy;
  const SEL finished = sel("panelDidFinish:");
  EXPECT_FALSE(proxy.respondsToSelector(finished));

  std::vector<std::string> log;
  auto subscription = logArguments(proxy.sentMessage(finished), log, "finished");
  EXPECT_TRUE(proxy.respondsToSelector(finished));
  EXPECT_EQ(panel.delegateSets, (std::vector<id>{nullptr, &proxy})) << "set to nil and back";
  panel.finish();
  EXPECT_EQ(log.size(), 1u) << "the panel now calls the method it cached";

  // A second observer of the same sequence changes nothing.
  auto second = proxy.sentMessage(finished)->subscribe(RecordingObserver<ArgumentArray>::create());
  EXPECT_EQ(panel.delegateSets.size(), 2u);
  second->dispose();
  EXPECT_EQ(panel.delegateSets.size(), 2u) << "one observer is left";

  subscription->dispose();
  EXPECT_FALSE(proxy.respondsToSelector(finished));
  EXPECT_EQ(panel.delegateSets, (std::vector<id>{nullptr, &proxy, nullptr, &proxy}));
  panel.finish();
  EXPECT_EQ(log.size(), 1u);
}

TEST(DelegateProxy, RespondsForWhatItsClassOrItsForwardDelegateImplements) {
  Installed installed;
  PanelDelegateProxy& proxy = *installed.proxy;
  EXPECT_FALSE(proxy.respondsToSelector(nullptr));
  EXPECT_TRUE(proxy.respondsToSelector(sel("description")));
  EXPECT_FALSE(proxy.respondsToSelector(sel("panelShouldChange:")));
  Ref<AppDelegate> delegate = AppDelegate::create();
  proxy.setForwardToDelegate(PanelDelegateRef::fromObject(delegate.get()), false);
  EXPECT_TRUE(proxy.respondsToSelector(sel("panelShouldChange:")));
  EXPECT_FALSE(proxy.respondsToSelector(sel("panelDidFinish:"))) << "not observed";
}

TEST(DelegateProxy, ResetLeavesAParentWithAnotherDelegateAlone) {
  Ref<Panel> panel = Panel::create();
  Ref<PanelDelegateProxy> proxy = PanelDelegateProxy::create(panel);
  Ref<AppDelegate> other = AppDelegate::create();
  panel->setDelegate(other.get());
  panel->delegateSets.clear();
  proxy->reset();
  auto subscription = proxy->sentMessage(sel("panelDidFinish:"))
                          ->subscribe(RecordingObserver<ArgumentArray>::create());
  subscription->dispose();
  EXPECT_TRUE(panel->delegateSets.empty());
  EXPECT_EQ(panel->delegate(), other);
}

TEST(DelegateProxy, ForwardDelegateOfTheDelegateTypeOnly) {
  Installed installed;
  EXPECT_EQ(installed.proxy->forwardToDelegate(), std::nullopt);
  Ref<AppDelegate> delegate = AppDelegate::create();
  installed.proxy->setForwardToDelegate(PanelDelegateRef::fromObject(delegate.get()), true);
  ASSERT_TRUE(installed.proxy->forwardToDelegate().has_value());
  EXPECT_EQ(installed.proxy->forwardToDelegate()->object(), delegate);
  EXPECT_EQ(installed.proxy->strongForwardDelegate(), delegate);
  EXPECT_FALSE(PanelDelegateRef::fromObject(Panel::create().get())) << "does not conform";
}

TEST(DelegateProxy, NonVoidMessagesAreOnlyForwarded) {
  Installed installed;
  std::vector<std::string> log;
  auto sent = logArguments(installed.proxy->sentMessage(sel("panelShouldChange:")), log, "sent");
  Ref<AppDelegate> delegate = AppDelegate::create();
  delegate->answer = NO;
  installed.proxy->setForwardToDelegate(PanelDelegateRef::fromObject(delegate.get()), false);
  EXPECT_FALSE(installed.panel->shouldChange());
  delegate->answer = YES;
  EXPECT_TRUE(installed.panel->shouldChange());
  EXPECT_TRUE(log.empty());
  sent->dispose();
}

TEST(DelegateProxy, ChangingTheForwardDelegateWarnsOncePerObservedSelector) {
  Installed installed;
  Ref<AppDelegate> answering = AppDelegate::create();
  installed.proxy->setForwardToDelegate(PanelDelegateRef::fromObject(answering.get()), false);
  const SEL unanswered = sel("panelUnanswered:");
  auto a = installed.proxy->sentMessage(unanswered)
               ->subscribe(RecordingObserver<ArgumentArray>::create());
  auto b = installed.proxy->methodInvoked(unanswered)
               ->subscribe(RecordingObserver<ArgumentArray>::create());

  Ref<AppDelegate> next = AppDelegate::create();
  ::testing::internal::CaptureStdout();
  installed.proxy->setForwardToDelegate(PanelDelegateRef::fromObject(next.get()), false);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(
      out,
      "⚠️ Using delegate proxy dynamic interception method but the target delegate object "
      "doesn't respond to the requested selector. In case pure Swift delegate proxy is "
      "being used please use manual observing method by using`PublishSubject`s.  "
      "(selector: `panelUnanswered:`, forwardToDelegate: `" +
          objc::describe(next.get()) + "`)\n");
  a->dispose();
  b->dispose();
}

TEST(DelegateProxy, ObservedSelectorsWithNothingToComplainAboutPrintNothing) {
  Installed installed;
  ::testing::internal::CaptureStdout();
  // A void delegate method; a non-void one without a forward delegate; one
  // the forward delegate implements.
  auto a = installed.proxy->sentMessage(sel("panelDidFinish:"))
               ->subscribe(RecordingObserver<ArgumentArray>::create());
  auto b = installed.proxy->sentMessage(sel("panelShouldChange:"))
               ->subscribe(RecordingObserver<ArgumentArray>::create());
  Ref<AppDelegate> delegate = AppDelegate::create();
  installed.proxy->setForwardToDelegate(PanelDelegateRef::fromObject(delegate.get()), false);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  a->dispose();
  b->dispose();
}

TEST(DelegateProxy, ASelectorTheProxyImplementsWarnsAtEachConnection) {
  Ref<Panel> panel = Panel::create();
  Ref<FinishingPanelProxy> proxy = FinishingPanelProxy::create(panel);
  const std::string warning =
      "⚠️ Delegate proxy is already implementing `panelDidFinish:`, a more performant way of "
      "registering might exist.\n";
  ::testing::internal::CaptureStdout();
  auto first = proxy->sentMessage(sel("panelDidFinish:"))
                   ->subscribe(RecordingObserver<ArgumentArray>::create());
  auto second = proxy->sentMessage(sel("panelDidFinish:"))
                    ->subscribe(RecordingObserver<ArgumentArray>::create());
  first->dispose();
  second->dispose();
  auto third = proxy->sentMessage(sel("panelDidFinish:"))
                   ->subscribe(RecordingObserver<ArgumentArray>::create());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), warning + warning);
  third->dispose();
}

TEST(DelegateProxy, DeallocationCompletesEverySequenceSentMessagesFirst) {
  Ref<Panel> panel = Panel::create();
  Ref<PanelDelegateProxy> proxy = PanelDelegateProxy::create(panel);
  std::vector<std::string> log;
  auto a = logArguments(proxy->methodInvoked(sel("panel:didChange:")), log, "invoked");
  auto b = logArguments(proxy->sentMessage(sel("panel:didChange:")), log, "sent");
  auto c = logArguments(proxy->sentMessage(sel("panelDidFinish:")), log, "sent");
  proxy = nullptr;
  EXPECT_EQ(log,
            (std::vector<std::string>{"sent completed", "sent completed", "invoked completed"}));
  a->dispose();
  b->dispose();
  c->dispose();
}

TEST(DelegateProxyDeathTest, ThePlainInitialiserStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(objc::make<AnyDelegateProxy>(AnyDelegateProxy::classObject()),
               "Fatal error: Use of unimplemented initializer 'init\\(\\)' for class "
               "'RvCocoa.DelegateProxy'");
  EXPECT_DEATH(objc::make<PanelDelegateProxy>(),
               "Use of unimplemented initializer 'init\\(\\)' for class "
               "'RvTestPanelDelegateProxy'");
}

TEST(DelegateProxyDeathTest, MainThreadOperationsStopElsewhere) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Installed installed;
  auto offMain = [](auto action) {
    std::thread thread(action);
    thread.join();
  };
  EXPECT_DEATH(offMain([&] { installed.proxy->sentMessage(sel("panelDidFinish:")); }),
               "Fatal error: Running on background thread.");
  EXPECT_DEATH(offMain([&] { installed.proxy->methodInvoked(sel("panelDidFinish:")); }),
               "Running on background thread.");
  EXPECT_DEATH(offMain([&] { installed.proxy->checkSelectorIsObservable(sel("panelDidFinish:")); }),
               "Running on background thread.");
  EXPECT_DEATH(offMain([] { PanelDelegateProxy::create(Panel::create()); }),
               "Running on background thread.");
}

TEST(DelegateProxyDeathTest, AForwardDelegateOfAnotherTypeStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Installed installed;
  Ref<Panel> stranger = Panel::create();
  installed.proxy->_setForwardToDelegate(stranger.get(), false);
  EXPECT_DEATH(installed.proxy->forwardToDelegate(),
               "Fatal error: Failure converting from <RvTestPanel: 0x[0-9a-f]+> to "
               "RvTestPanelDelegate");
}

TEST(DelegateProxyStress, DelegateCallsOnOtherThreadsWhileSelectorsAreObserved) {
  Installed installed;
  std::atomic<bool> done{false};
  std::atomic<int> received{0};
  auto counting = makeAnonymousObserver<ArgumentArray>([&received](const Event<ArgumentArray>& e) {
    if (e.isNext()) base::testing::countUp(received);
  });
  auto first = installed.proxy->sentMessage(sel("panel:didChange:"))->subscribe(counting);
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&] {
      while (!done.load()) {
        installed.panel->change(nullptr, nullptr);
        // A message of a selector nobody observed yet.
        objc::send<void(id)>(installed.proxy, sel("panelRequired:"), nullptr);
      }
    });
  }
  std::vector<rv::Ref<Disposable>> subscriptions;
  for (int i = 0; i < 50; ++i) {
    const std::string name = "panelExtra" + std::to_string(i) + ":";
    subscriptions.push_back(installed.proxy->methodInvoked(sel(name.c_str()))->subscribe(counting));
    subscriptions.push_back(
        installed.proxy->methodInvoked(sel("panelRequired:"))->subscribe(counting));
  }
  // Let the callers reach the newly observed selectors too.
  const int before = received.load();
  base::testing::awaitAtLeast(received, before + 100);
  done.store(true);
  for (auto& caller : callers) caller.join();
  for (auto& subscription : subscriptions) subscription->dispose();
  first->dispose();
}

}  // namespace
}  // namespace rv::itest
