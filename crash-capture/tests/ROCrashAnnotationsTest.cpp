// The process's annotations: setting and clearing them, their limits, what a
// forked child sees, and their reading racing their changes. The names table
// lives as long as the process: a case that fills it runs in a child.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/BuildFacts.h"
#include "baseTest/Children.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROReradUzerirud.h"
#include "dispatchTest/Processes.h"
#include "writer/ROCrashAnnotations.h"

namespace {

using base::testing::inChild;
using Values = std::map<std::string, std::string>;

// The annotations a live report of this process carries.
std::optional<Values> inLiveReport() {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.annotations", "1", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  auto data = reporter->generateLiveReport();
  if (!data) return std::nullopt;
  auto report = ROCrashReport::create(*data, nullptr);
  if (!report) return std::nullopt;
  return report->annotations();
}

std::optional<int64_t> setError(const std::string& name, const std::string& value) {
  std::shared_ptr<foundation::NSError> error;
  if (ROReradUzerirud::setAnnotation(name, value, &error)) return std::nullopt;
  EXPECT_TRUE(error);
  return error ? error->code() : -1;
}

// A thread that reads the annotations (a live report under way) from its
// start until it is destroyed.
class ReaderOnAnotherThread {
 public:
  ReaderOnAnotherThread() {
    thread_ = std::thread([this] {
      const rocrash::annotations::Snapshot snapshot;
      reading_ = true;
      while (!done_.load()) std::this_thread::yield();
    });
    while (!reading_.load()) std::this_thread::yield();
  }
  ~ReaderOnAnotherThread() {
    done_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> reading_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class Annotations : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& [name, value] : ROReradUzerirud::annotations()) {
      ROReradUzerirud::removeAnnotation(name);
    }
  }
};

TEST_F(Annotations, ReportsCarryTheValuesAsTheyStandAndNoneOnceCleared) {
  // None set: the field is there, without entries.
  EXPECT_EQ(inLiveReport(), Values{});
  ASSERT_TRUE(ROReradUzerirud::setAnnotation("session", "S1"));
  ASSERT_TRUE(ROReradUzerirud::setAnnotation("user", ""));
  ASSERT_TRUE(ROReradUzerirud::setAnnotation("session", "S2"));
  const Values both = {{"session", "S2"}, {"user", ""}};
  EXPECT_EQ(ROReradUzerirud::annotations(), both);
  EXPECT_EQ(inLiveReport(), both);
  ROReradUzerirud::removeAnnotation("session");
  ROReradUzerirud::removeAnnotation("never set");
  EXPECT_EQ(inLiveReport(), (Values{{"user", ""}}));
}

TEST_F(Annotations, NamesAndValuesAreCheckedOnePastTheirLimitsAndARefusalKeepsTheValue) {
  const std::string longestName(rocrash::annotations::kMaxNameBytes, 'n');
  const std::string longestValue(rocrash::annotations::kMaxValueBytes, 'v');
  EXPECT_EQ(setError(longestName, longestValue), std::nullopt);
  EXPECT_EQ(setError(longestName + "n", "x"), ROReradUzerirudErrorInvalidAnnotation);
  EXPECT_EQ(setError("", "x"), ROReradUzerirudErrorInvalidAnnotation);
  EXPECT_EQ(setError(std::string("a\0b", 3), "x"), ROReradUzerirudErrorInvalidAnnotation);
  EXPECT_EQ(setError("\xC3", "x"), ROReradUzerirudErrorInvalidAnnotation);
  EXPECT_EQ(setError(longestName, longestValue + "v"), ROReradUzerirudErrorInvalidAnnotation);
  EXPECT_EQ(setError(longestName, std::string("v\0v", 3)), ROReradUzerirudErrorInvalidAnnotation);
  EXPECT_EQ(setError(longestName, "caf\xC3"), ROReradUzerirudErrorInvalidAnnotation);
  EXPECT_EQ(setError(longestName, "caf\xC3\xA9"), std::nullopt);
  EXPECT_EQ(inLiveReport(), (Values{{longestName, "caf\xC3\xA9"}}));
  std::shared_ptr<foundation::NSError> error;
  ROReradUzerirud::setAnnotation(longestName, longestValue + "v", &error);
  ASSERT_TRUE(error);
  EXPECT_NE(error->localizedDescription().find("4096 bytes"), std::string::npos)
      << error->localizedDescription();
  EXPECT_EQ(ROReradUzerirud::annotations().at(longestName), "caf\xC3\xA9");
}

// Sixteen names over the life of the process (those this process claimed
// before count), a cleared one keeping its room; changes over and over keep
// no more records than they hold.
TEST(AnnotationsTable, SixteenNamesThenNoRoomAndChangesKeepNothingBehind) {
  EXPECT_EQ(
      inChild([] {
        const size_t free =
            rocrash::annotations::kHostNames - rocrash::annotations::claimedNamesForTesting();
        if (free < 2) return 1;
        for (size_t i = 0; i < free; ++i) {
          if (setError("name" + std::to_string(i), "v")) return 2;
        }
        for (size_t i = 0; i < free; ++i) {
          ROReradUzerirud::removeAnnotation("name" + std::to_string(i));
        }
        if (setError("one more", "v") != ROReradUzerirudErrorTooManyAnnotations) return 3;
        if (setError("name1", "back")) return 4;
        for (size_t round = 0; round < 10000; ++round) {
          if (setError("name" + std::to_string(round % free), std::to_string(round))) {
            return 5;
          }
          if (round % 3 == 0) ROReradUzerirud::removeAnnotation("name0");
        }
        if (setError("name0", "last")) return 5;
        const auto current = ROReradUzerirud::annotations();
        if (static_cast<int64_t>(current.size()) != rocrash::annotations::liveValuesForTesting()) {
          return 6;
        }
        return current.size() == free ? 0 : 7;
      }),
      0);
}

// Names kept for components, beside the host's: the host cannot set, clear
// or list them, and loses the value it gave one first; a name is kept once,
// and four at most. The crash service's names, its own in a program that has
// it, are any host's in one without it (this one).
TEST(AnnotationsTable, KeptNamesAreTheirKeepersAlone) {
  EXPECT_EQ(inChild([] {
              if (setError("userId", "host")) return 8;
              ROReradUzerirud::removeAnnotation("userId");
              if (setError("mine", "host") || setError("other", "host")) return 1;
              std::vector<ROReradUzerirud::AnnotationKey> keys;
              for (size_t i = 0; i < rocrash::annotations::kKeptNames; ++i) {
                auto key =
                    ROReradUzerirud::keepAnnotation(i == 0 ? "mine" : "k" + std::to_string(i));
                if (!key) return 2;
                keys.push_back(*key);
              }
              std::shared_ptr<foundation::NSError> again, fifth;
              if (ROReradUzerirud::keepAnnotation("mine", &again) ||
                  ROReradUzerirud::keepAnnotation("fifth", &fifth) ||
                  again->code() != ROReradUzerirudErrorInvalidAnnotation ||
                  fifth->code() != ROReradUzerirudErrorTooManyAnnotations) {
                return 3;
              }
              if (!keys[0].set("kept") || !keys[1].set("one")) return 4;
              if (setError("mine", "host") != ROReradUzerirudErrorInvalidAnnotation) return 5;
              ROReradUzerirud::removeAnnotation("mine");
              keys[1].remove();
              if (ROReradUzerirud::annotations() != Values{{"other", "host"}}) return 6;
              return inLiveReport() == Values{{"mine", "kept"}, {"other", "host"}} ? 0 : 7;
            }),
            0);
}

// Threads that set one new name at once end in one slot, and threads that
// set new names of their own at once each in a slot of its own.
TEST(AnnotationsTable, ThreadsSettingNewNamesAtOnceTakeOneSlotEach) {
  EXPECT_EQ(inChild([] {
              constexpr int kThreads = 4;
              for (int round = 0; round < 2; ++round) {
                const size_t before = rocrash::annotations::claimedNamesForTesting();
                if (before + kThreads + 1 > rocrash::annotations::kHostNames) return 1;
                const std::string shared = "shared " + std::to_string(round);
                const auto own = [round](int t) {
                  return "own " + std::to_string(round) + " " + std::to_string(t);
                };
                std::barrier start(kThreads);
                std::vector<std::thread> threads;
                for (int t = 0; t < kThreads; ++t) {
                  threads.emplace_back([&, t] {
                    start.arrive_and_wait();
                    ROReradUzerirud::setAnnotation(shared, std::to_string(t));
                    ROReradUzerirud::setAnnotation(own(t), own(t));
                  });
                }
                for (auto& thread : threads) thread.join();
                if (rocrash::annotations::claimedNamesForTesting() != before + kThreads + 1) {
                  return 2;
                }
                const auto current = ROReradUzerirud::annotations();
                if (current.count(shared) != 1) return 3;
                for (int t = 0; t < kThreads; ++t) {
                  if (current.count(own(t)) != 1 || current.at(own(t)) != own(t)) return 4;
                }
              }
              return 0;
            }),
            0);
}

// A forked child starts with its parent's values and changes its own; a fork
// while another thread reads them (a live report) leaves the child's changes
// free to give back what they replace.
TEST_F(Annotations, AForkedChildStartsWithItsParentsAndItsChangesAreItsOwn) {
  ASSERT_TRUE(ROReradUzerirud::setAnnotation("session", "PARENT"));
  int code = -1;
  {
    const ReaderOnAnotherThread reader;
    code = inChild([] {
      if (ROReradUzerirud::annotations().at("session") != "PARENT") return 1;
      const int64_t before = rocrash::annotations::liveValuesForTesting();
      if (setError("session", "CHILD") || setError("session", "CHILD AGAIN")) return 2;
      if (rocrash::annotations::liveValuesForTesting() != before) return 3;
      return inLiveReport() == Values{{"session", "CHILD AGAIN"}} ? 0 : 4;
    });
  }
  EXPECT_EQ(code, 0);
  EXPECT_EQ(inLiveReport(), (Values{{"session", "PARENT"}}));
}

// A child made without fork handlers while another thread reads gives back
// what it replaces, all but what it inherited.
TEST_F(Annotations, AChildForkedWithoutHandlersGivesBackWhatItReplaces) {
  if (KX_TSAN) GTEST_SKIP() << "its state does not survive a raw fork";
  ASSERT_TRUE(ROReradUzerirud::setAnnotation("k", "parent"));
  const ReaderOnAnotherThread reader;
  EXPECT_EQ(inChild(
                [] {
                  const int64_t before = rocrash::annotations::liveValuesForTesting();
                  const std::string value(rocrash::annotations::kMaxValueBytes, 'v');
                  for (int i = 0; i < 2000; ++i) {
                    if (setError("k", value)) return 1;
                  }
                  return rocrash::annotations::liveValuesForTesting() - before == 1 ? 0 : 2;
                },
                base::testing::ForkBy::systemCall),
            0);
}

// Forks while a read is under way: on another thread, before any value was
// ever set in the process; on the forking thread itself, whose read goes on
// in the child. A child counts the forking thread's readers only: its changes
// give back what they replace, but not what that read still holds.
TEST(AnnotationsFork, AChildCountsTheForkingThreadsReadersOnly) {
  if (!dispatch::testing::inOwnProcess("CRASH_CAPTURE_ANNOTATIONS_FORK")) return;
  {
    const ReaderOnAnotherThread reader;
    EXPECT_EQ(inChild([] {
                if (setError("k", "a") || setError("k", "b")) return 1;
                return rocrash::annotations::liveValuesForTesting() == 1 ? 0 : 2;
              }),
              0);
  }

  ASSERT_TRUE(ROReradUzerirud::setAnnotation("k", "held"));
  pid_t child = 0;
  bool kept = false;
  {
    const rocrash::annotations::Snapshot held;
    child = fork();
    if (child == 0) {
      ROReradUzerirud::setAnnotation("k", "child");
      kept = held.value(0) != nullptr && std::string(held.value(0)->text()) == "held";
    }
  }
  if (child == 0) {
    ROReradUzerirud::setAnnotation("k", "again");
    _exit(kept && rocrash::annotations::liveValuesForTesting() == 1 ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Threads change values while others read them: each read holds one of the
// values whole, and once the readers are gone nothing replaced stays.
TEST(AnnotationsStress, ReadsRacingChangesSeeWholeValuesAndNothingIsKept) {
  const std::string values[] = {std::string(4096, 'a'), std::string(1, 'b'), std::string(700, 'c')};
  std::atomic<bool> stop{false};
  std::atomic<int> readersLeft{2};
  std::atomic<uint64_t> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (uint64_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
        const std::string name = t == 0 ? "race" : "other";
        if (i % 5 == 4) {
          ROReradUzerirud::removeAnnotation(name);
        } else {
          ROReradUzerirud::setAnnotation(name, values[i % 3]);
        }
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 20000; ++round) {
        const rocrash::annotations::Snapshot snapshot;
        for (size_t i = 0; i < rocrash::annotations::kCapacity; ++i) {
          const auto* value = snapshot.value(i);
          if (value == nullptr) continue;
          const std::string text(value->text(), value->length);
          bool whole = false;
          for (const auto& candidate : values) whole = whole || text == candidate;
          if (!whole || value->text()[value->length] != '\0') torn.fetch_add(1);
        }
      }
      if (readersLeft.fetch_sub(1) == 1) stop = true;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(torn.load(), 0u);
  // A change with no reader left gives back whatever waited.
  ASSERT_TRUE(ROReradUzerirud::setAnnotation("race", "last"));
  EXPECT_EQ(rocrash::annotations::liveValuesForTesting(),
            static_cast<int64_t>(ROReradUzerirud::annotations().size()));
  ROReradUzerirud::removeAnnotation("race");
  ROReradUzerirud::removeAnnotation("other");
}

}  // namespace
