// The window switcher's event pipeline end to end: hot-key actions pushed into
// a relay move a selection index that wraps at both ends, and confirm joins
// the latest pick.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "RvRelay/PublishRelay.h"
#include "RvStreams/DisposeBag.h"
#include "RvStreams/Map.h"
#include "RvStreams/Scan.h"
#include "RvStreams/Subscribe.h"
#include "RvStreams/WithLatestFrom.h"

namespace rv {
namespace {

enum class ControlAction { next, previous, confirm, abort };

const std::vector<std::string> kWindows = {"Mail - Inbox", "Editor - notes.txt", "Terminal - ~"};

// The selection after a move: -1 is "nothing picked yet".
int move(const int& index, const int& step) {
  const int count = static_cast<int>(kWindows.size());
  if (step == 0) return -1;  // abort
  if (index < 0) return step > 0 ? 0 : count - 1;
  return ((index + step) % count + count) % count;
}

struct Switcher {
  Ref<PublishRelay<ControlAction>> actions = PublishRelay<ControlAction>::create();
  std::vector<int> indices;
  std::vector<std::string> raised;
  int completions = 0;
  int disposals = 0;
  std::optional<DisposeBag> bag{std::in_place};

  Switcher() {
    auto picks = actions |
                 filter([](const ControlAction& a) { return a != ControlAction::confirm; }) |
                 map([](const ControlAction& a) {
                   return a == ControlAction::next ? 1 : a == ControlAction::previous ? -1 : 0;
                 }) |
                 scan(-1, move);
    disposed(subscribe(picks, {.onNext = [this](const int& i) { indices.push_back(i); }}), *bag);

    auto confirmed =
        actions | filter([](const ControlAction& a) { return a == ControlAction::confirm; }) |
        withLatestFrom(picks, [](const ControlAction&, const int& index) { return index; });
    disposed(
        subscribe(confirmed,
                  {.onNext =
                       [this](const int& index) {
                         if (index >= 0) raised.push_back(kWindows[static_cast<size_t>(index)]);
                       },
                   .onError = [](const Error&) { ADD_FAILURE() << "the pipeline never fails"; },
                   .onCompleted = [this] { ++completions; },
                   .onDisposed = [this] { ++disposals; }}),
        *bag);
  }

  bool relayHasObservers() const {
    return std::static_pointer_cast<PublishSubject<ControlAction>>(actions->asObservable())
        ->hasObservers();
  }
};

TEST(SwitcherPipeline, IndexWrapsAtBothEnds) {
  Switcher s;
  for (auto a : {ControlAction::next, ControlAction::next, ControlAction::next, ControlAction::next,
                 ControlAction::previous, ControlAction::previous, ControlAction::previous}) {
    s.actions->accept(a);
  }
  EXPECT_EQ(s.indices, (std::vector<int>{0, 1, 2, 0, 2, 1, 0}));

  s.actions->accept(ControlAction::abort);
  s.actions->accept(ControlAction::previous);  // from nothing picked: the last window
  EXPECT_EQ(s.indices, (std::vector<int>{0, 1, 2, 0, 2, 1, 0, -1, 2}));
}

TEST(SwitcherPipeline, ConfirmJoinsTheLatestPick) {
  Switcher s;
  s.actions->accept(ControlAction::confirm);  // nothing picked yet: nothing raised
  s.actions->accept(ControlAction::next);
  s.actions->accept(ControlAction::next);
  s.actions->accept(ControlAction::confirm);
  s.actions->accept(ControlAction::previous);
  s.actions->accept(ControlAction::previous);
  s.actions->accept(ControlAction::confirm);
  EXPECT_EQ(s.raised, (std::vector<std::string>{"Editor - notes.txt", "Terminal - ~"}));
  EXPECT_EQ(s.indices, (std::vector<int>{0, 1, 0, 2}));
}

TEST(SwitcherPipeline, DestroyingTheBagDisposesTheWholeChainUpstream) {
  Switcher s;
  s.actions->accept(ControlAction::next);
  EXPECT_TRUE(s.relayHasObservers());
  s.bag.reset();
  EXPECT_FALSE(s.relayHasObservers());
  EXPECT_EQ(s.disposals, 1);
  EXPECT_EQ(s.completions, 0);
  s.actions->accept(ControlAction::next);
  s.actions->accept(ControlAction::confirm);
  EXPECT_EQ(s.indices, (std::vector<int>{0}));
  EXPECT_TRUE(s.raised.empty());
}

}  // namespace
}  // namespace rv
