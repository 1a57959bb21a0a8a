#include <gtest/gtest.h>

#include <thread>

#include "KVOSupport.h"
#include "RvCocoa/MessageObservation.h"
#include "RvCocoa/ObserveWeakly.h"
#include "RvStreams/Observers.h"
#include "RvStreamsTest/Recording.h"
#include "objc/NSNull.h"

namespace rv::itest {
namespace {

using Options = KeyValueObservingOptions;
using Title = std::optional<std::string>;
using Titles = std::vector<Title>;
using rv::test::RecordingObserver;

struct Subscription {
  std::shared_ptr<RecordingObserver<Title>> recorder = RecordingObserver<Title>::create();
  std::shared_ptr<Disposable> disposable;
  ~Subscription() {
    if (disposable) disposable->dispose();
  }
};

std::unique_ptr<Subscription> watch(const Ref<Node>& base, const std::string& keyPath,
                                    Options options = {Options::newValue, Options::initial}) {
  auto subscription = std::make_unique<Subscription>();
  subscription->disposable =
      observeWeakly<std::string>(rv::rv(base), keyPath, options)->subscribe(subscription->recorder);
  return subscription;
}

const RvCocoaError* cocoaErrorOf(const RecordingObserver<Title>& recorder) {
  for (const auto& event : recorder.events()) {
    if (const Error* error = event.error()) {
      try {
        std::rethrow_exception(*error);
      } catch (const RvCocoaError& cocoa) {
        static thread_local std::optional<RvCocoaError> kept;
        kept.emplace(cocoa);
        return &*kept;
      } catch (...) {
        return nullptr;
      }
    }
  }
  return nullptr;
}

TEST(WeakKeyPathObservation, SelfComponentsAreDroppedAndTheValueArrivesAtOnce) {
  Ref<Node> base = Node::create("base");
  auto s = watch(base, "self.title");
  base->setTitle("changed");
  EXPECT_EQ(s->recorder->elements(), (Titles{"base", "changed"}));
}

TEST(WeakKeyPathObservation, WithoutInitialOnlyLaterChangesArrive) {
  Ref<Node> base = Node::create();
  base->setChild(Node::create("first").get());
  auto s = watch(base, "child.title", Options{Options::newValue});
  EXPECT_TRUE(s->recorder->events().empty());
  base->setChild(Node::create("second").get());
  EXPECT_EQ(s->recorder->elements(), (Titles{"second"}));
}

TEST(WeakKeyPathObservation, ReplacedIntermediateObjectsAreObservedAnew) {
  Ref<Node> base = Node::create();
  Ref<Node> first = Node::create("a");
  base->setChild(first.get());
  auto s = watch(base, "child.title");

  first->setTitle("b");
  Ref<Node> second = Node::create("c");
  base->setChild(second.get());
  first->setTitle("ignored: no longer on the path");
  second->setTitle("d");
  EXPECT_EQ(s->recorder->elements(), (Titles{"a", "b", "c", "d"}));
}

TEST(WeakKeyPathObservation, NilOnThePathGivesAbsentUntilAnObjectIsBack) {
  Ref<Node> base = Node::create();
  Ref<Node> middle = Node::create();
  Ref<Node> leaf = Node::create("leaf");
  middle->setChild(leaf.get());
  base->setChild(middle.get());
  auto s = watch(base, "child.child.title");

  base->setChild(nullptr);
  leaf->setTitle("unseen while detached");
  base->setChild(middle.get());
  leaf->setTitle("seen");
  EXPECT_EQ(s->recorder->elements(),
            (Titles{"leaf", std::nullopt, "unseen while detached", "seen"}));
  EXPECT_EQ(s->recorder->stopCount(), 0);
}

TEST(WeakKeyPathObservation, ObjectsOnThePathAreNotKeptAlive) {
  Ref<Node> base = Node::create();
  Ref<Node> child = Node::create("kept by the base only");
  objc::Weak<Node> weakBase(base);
  objc::Weak<Node> weakChild(child);
  base->setChild(child.get());
  child = nullptr;
  auto s = watch(base, "child.title");
  base = nullptr;
  EXPECT_FALSE(weakBase.load());
  EXPECT_FALSE(weakChild.load());
}

TEST(WeakKeyPathObservation, AWeakPropertysObjectGivesAbsentWhenItStartsDeallocating) {
  Ref<Node> base = Node::create();
  Ref<Node> child = Node::create("weakly held");
  base->setWeakChild(child.get());
  auto s = watch(base, "weakChild.title");

  std::vector<std::string> order;
  auto trace =
      observeWeakly<std::string>(rv::rv(base), "weakChild.title", Options{Options::newValue})
          ->subscribe(makeAnonymousObserver<Title>([&order](const Event<Title>& event) {
            if (const Title* title = event.element()) {
              order.push_back(title->value_or("absent"));
            }
          }));
  auto gone = deallocated(rv::rv(child))
                  ->subscribe(makeAnonymousObserver<Unit>([&order](const Event<Unit>& event) {
                    if (event.isNext()) order.push_back("deallocated");
                  }));
  child = nullptr;
  EXPECT_EQ(s->recorder->elements(), (Titles{"weakly held", std::nullopt}));
  EXPECT_EQ(order, (std::vector<std::string>{"absent", "deallocated"}));
  EXPECT_EQ(s->recorder->stopCount(), 0) << "the base is still there";
  trace->dispose();
  gone->dispose();
}

TEST(WeakKeyPathObservation, TheBaseDeallocatingGivesAbsentAndCompletion) {
  Ref<Node> base = Node::create("base");
  auto s = watch(base, "title");
  base = nullptr;
  const auto events = s->recorder->events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(*events[0].element(), Title("base"));
  EXPECT_EQ(*events[1].element(), std::nullopt);
  EXPECT_TRUE(events[2].isCompleted());
}

TEST(WeakKeyPathObservation, UndeclaredPropertiesFailWhenTheirDepthIsReached) {
  Ref<Node> base = Node::create();
  const std::pair<const char*, const char*> cases[] = {
      {"child.undeclared", "undeclared"},  // a getter key-value coding reaches
      {"child.nothing", "nothing"},
      {"child..title", ""},
  };
  for (const auto& [path, missing] : cases) {
    SCOPED_TRACE(path);
    Ref<Node> child = Node::create();
    base->setChild(nullptr);
    auto s = watch(base, path);
    EXPECT_EQ(s->recorder->elements(), (Titles{std::nullopt})) << "the child is absent: no error";
    base->setChild(child.get());
    const RvCocoaError* error = cocoaErrorOf(*s->recorder);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->kind(), RvCocoaError::Kind::invalidPropertyName);
    EXPECT_EQ(error->propertyName(), missing);
    EXPECT_EQ(std::any_cast<Ref<objc::Object>>(error->object()), child);
  }
}

TEST(WeakKeyPathObservation, AValueThatIsNoNSObjectFailsTheSequence) {
  // A root class of its own: its instances are no NSObjects.
  Class root = objc::objc_allocateClassPair(nullptr, uniqueName("Root").c_str(), 0);
  objc::class_addMethod(root, sel("description"),
                        objc::imp_implementationWithBlock<Ref<objc::Object>()>(
                            [](id) { return objc::NSString::stringWithString("stranger"); }),
                        objc::methodEncoding<Ref<objc::Object>()>());
  objc::objc_registerClassPair(root);
  Ref<objc::Object> stranger = objc::class_createInstance(root);
  Ref<Node> base = Node::create();
  base->setChild(stranger.get());
  auto s = watch(base, "child.title");
  const RvCocoaError* error = cocoaErrorOf(*s->recorder);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->kind(), RvCocoaError::Kind::invalidObjectOnKeyPath);
  EXPECT_EQ(std::any_cast<Ref<objc::Object>>(error->object()), stranger);
  EXPECT_EQ(error->sourceObject(), base);
  EXPECT_EQ(error->propertyName(), "child");
}

TEST(WeakKeyPathObservation, APathOfOnlySelfFailsInsteadOfReadingNothing) {
  Ref<Node> base = Node::create();
  for (const char* path : {"self", "self.self"}) {
    auto s = watch(base, path);
    const RvCocoaError* error = cocoaErrorOf(*s->recorder);
    ASSERT_NE(error, nullptr) << path;
    EXPECT_EQ(error->kind(), RvCocoaError::Kind::invalidPropertyName);
    EXPECT_EQ(error->propertyName(), path);
  }
}

TEST(WeakKeyPathObservation, AValueDeliveredByAnObjectThatIsGoingAwayEndsThatLinkQuietly) {
  // base.child is `middle` (held only by base); when base lets go of it,
  // middle's dealloc gives it a new child before the base's own link reports
  // the change. Middle's link then delivers that child while middle is gone.
  Ref<Node> base = Node::create();
  Ref<Node> middle = Node::create();
  middle->setChild(Node::create("leaf").get());
  middle->onDealloc = [](Node* self) { self->setChild(Node::create("too late").get()); };
  base->setChild(middle.get());
  middle = nullptr;
  auto s = watch(base, "child.child.title");
  base->setChild(nullptr);
  EXPECT_EQ(s->recorder->elements(), (Titles{"leaf", std::nullopt}));
  EXPECT_EQ(s->recorder->stopCount(), 0);
}

TEST(WeakKeyPathObservation, ValuesOfAnotherTypeAreAbsent) {
  Ref<Node> base = Node::create();
  base->setTitle(objc::NSNull::null().get());
  auto s = watch(base, "title");
  base->setTitle(Node::create().get());
  base->setTitle("text");
  EXPECT_EQ(s->recorder->elements(), (Titles{std::nullopt, std::nullopt, "text"}));
}

TEST(WeakKeyPathObservationStress, ReplacingObjectsWhileTheirPropertiesChangeOnOtherThreads) {
  Ref<Node> base = Node::create();
  Ref<Node> nodes[2] = {Node::create("0"), Node::create("1")};
  base->setChild(nodes[0].get());
  auto s = watch(base, "child.title");
  constexpr int kRounds = 300;
  std::thread replacer([&] {
    for (int i = 0; i < kRounds; ++i) base->setChild(nodes[i % 2].get());
  });
  std::thread renamer([&] {
    for (int i = 0; i < kRounds; ++i) nodes[i % 2]->setTitle(std::to_string(i).c_str());
  });
  replacer.join();
  renamer.join();
  // Once the threads are done, the path follows the current child only.
  base->setChild(nodes[1].get());
  nodes[0]->setTitle("detached");
  nodes[1]->setTitle("final");
  EXPECT_EQ(s->recorder->elements().back(), Title("final"));
  EXPECT_EQ(s->recorder->stopCount(), 0);
}

}  // namespace
}  // namespace rv::itest
