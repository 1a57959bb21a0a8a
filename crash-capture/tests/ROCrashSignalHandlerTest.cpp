#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "baseTest/SystemCallFilter.h"
#include "handler/ROCrashSignalHandler.h"
#include "safe/AsyncList.h"

// Every registration changes the process for good, so each case runs in a
// child process of its own (a death test) and reports through its exit.
namespace {

class ROCrashSignalHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

std::atomic<int> gCalls{0};
char gOrder[8];
std::atomic<int> gOrderLength{0};

bool handledCallback(int, siginfo_t*, void*, void* context,
                     rocrash_signal_handler_callback_next_context*) {
  gCalls++;
  gOrder[gOrderLength++] = *static_cast<const char*>(context);
  return true;
}

bool chainingCallback(int signo, siginfo_t* info, void* uap, void* context,
                      rocrash_signal_handler_callback_next_context* next) {
  gOrder[gOrderLength++] = *static_cast<const char*>(context);
  return rocrash_signal_handler_callback_next(next, signo, info, uap);
}

bool resettingCallback(int signo, siginfo_t*, void*, void*,
                       rocrash_signal_handler_callback_next_context*) {
  gCalls++;
  signal(signo, SIG_DFL);
  return false;
}

void registerOrDie(int signo, rocrash_signal_handler_callback_func callback, void* context) {
  std::shared_ptr<foundation::NSError> error;
  if (!ROCrashSignalHandler::sharedHandler()->registerHandlerForSignal(signo, callback, context,
                                                                       &error)) {
    _exit(99);
  }
}

[[noreturn]] void childHandledSignalLetsTheProcessGoOn() {
  static const char tag = 'a';
  registerOrDie(SIGUSR1, handledCallback, const_cast<char*>(&tag));
  raise(SIGUSR1);
  raise(SIGUSR1);
  _exit(gCalls.load());
  _exit(100);
}

TEST_F(ROCrashSignalHandlerTest, HandledSignalLetsTheProcessGoOn) {
  EXPECT_EXIT(childHandledSignalLetsTheProcessGoOn(), ::testing::ExitedWithCode(2), "");
}

[[noreturn]] void childUnhandledSignalIsRaisedAgainAndEndsTheProcess() {
  registerOrDie(SIGUSR1, resettingCallback, nullptr);
  raise(SIGUSR1);
  _exit(0);
  _exit(100);
}

TEST_F(ROCrashSignalHandlerTest, UnhandledSignalIsRaisedAgainAndEndsTheProcess) {
  EXPECT_EXIT(childUnhandledSignalIsRaisedAgainAndEndsTheProcess(),
              ::testing::KilledBySignal(SIGUSR1), "");
}

[[noreturn]] void childSecondRegistrationAddsTheCallbackButNotTheHandler() {
  static const char a = 'a', b = 'b';
  registerOrDie(SIGUSR2, chainingCallback, const_cast<char*>(&a));
  struct sigaction first;
  sigaction(SIGUSR2, nullptr, &first);
  registerOrDie(SIGUSR2, handledCallback, const_cast<char*>(&b));
  struct sigaction second;
  sigaction(SIGUSR2, nullptr, &second);
  if (first.sa_sigaction != second.sa_sigaction) _exit(10);
  if ((second.sa_flags & (SA_SIGINFO | SA_ONSTACK)) != (SA_SIGINFO | SA_ONSTACK)) _exit(11);
  raise(SIGUSR2);
  // The later registration is asked first; it handles the signal, so
  // the earlier one is not asked at all.
  _exit(gOrderLength == 1 && gOrder[0] == 'b' ? 0 : 12);
  _exit(100);
}

TEST_F(ROCrashSignalHandlerTest, SecondRegistrationAddsTheCallbackButNotTheHandler) {
  EXPECT_EXIT(childSecondRegistrationAddsTheCallbackButNotTheHandler(),
              ::testing::ExitedWithCode(0), "");
}

[[noreturn]] void childCallbacksRunTheRestOfTheChainThroughTheirContinuation() {
  static const char a = 'a', b = 'b';
  registerOrDie(SIGUSR2, handledCallback, const_cast<char*>(&a));
  registerOrDie(SIGUSR2, chainingCallback, const_cast<char*>(&b));
  raise(SIGUSR2);
  _exit(gOrderLength == 2 && gOrder[0] == 'b' && gOrder[1] == 'a' ? 0 : 1);
  _exit(100);
}

TEST_F(ROCrashSignalHandlerTest, CallbacksRunTheRestOfTheChainThroughTheirContinuation) {
  EXPECT_EXIT(childCallbacksRunTheRestOfTheChainThroughTheirContinuation(),
              ::testing::ExitedWithCode(0), "");
}

std::atomic<int> gPreviousSignal{0};
void previousInfoHandler(int signo, siginfo_t* info, void*) {
  gPreviousSignal = signo + (info != nullptr ? 1000 : 0);
}
void previousPlainHandler(int signo) { gPreviousSignal = signo; }

[[noreturn]] void childPreviousActionsAreForwardedByTheirKind() {
  struct sigaction info = {};
  info.sa_sigaction = previousInfoHandler;
  info.sa_flags = SA_SIGINFO;
  sigaction(SIGUSR1, &info, nullptr);
  signal(SIGUSR2, previousPlainHandler);
  signal(SIGHUP, SIG_IGN);
  std::shared_ptr<foundation::NSError> error;
  auto handler = ROCrashSignalHandler::sharedHandler();
  for (int s : {SIGUSR1, SIGUSR2, SIGHUP}) {
    if (!handler->registerHandlerWithSignal(s, &error)) _exit(90);
  }
  raise(SIGUSR1);
  if (gPreviousSignal != SIGUSR1 + 1000) _exit(1);
  raise(SIGUSR2);
  if (gPreviousSignal != SIGUSR2) _exit(2);
  raise(SIGHUP);  // ignored before: handled
  _exit(0);
  _exit(100);
}

TEST_F(ROCrashSignalHandlerTest, PreviousActionsAreForwardedByTheirKind) {
  EXPECT_EXIT(childPreviousActionsAreForwardedByTheirKind(), ::testing::ExitedWithCode(0), "");
}

[[noreturn]] void childDefaultPreviousActionIsNotHandledAndTheSignalEndsTheProcess() {
  std::shared_ptr<foundation::NSError> error;
  ROCrashSignalHandler::sharedHandler()->registerHandlerWithSignal(SIGUSR1, &error);
  raise(SIGUSR1);
  _exit(0);
  _exit(100);
}

TEST_F(ROCrashSignalHandlerTest, DefaultPreviousActionIsNotHandledAndTheSignalEndsTheProcess) {
  EXPECT_EXIT(childDefaultPreviousActionIsNotHandledAndTheSignalEndsTheProcess(),
              ::testing::KilledBySignal(SIGUSR1), "");
}

[[noreturn]] void childAfterResetASignalFindsNoCallbackAndIsRaisedAgain() {
  static const char a = 'a';
  registerOrDie(SIGUSR1, handledCallback, const_cast<char*>(&a));
  ROCrashSignalHandler::resetHandlers();
  raise(SIGUSR1);
  _exit(0);
  _exit(100);
}

TEST_F(ROCrashSignalHandlerTest, AfterResetASignalFindsNoCallbackAndIsRaisedAgain) {
  EXPECT_EXIT(childAfterResetASignalFindsNoCallbackAndIsRaisedAgain(),
              ::testing::KilledBySignal(SIGUSR1), "");
}

// A registration whose action the kernel refuses (a sandbox's filter) leaves
// the chain as it found it: nothing of it runs for other signals, and
// enablings that fail again and again leave no trail.
[[noreturn]] void childRefusedRegistrationLeavesTheChainAsItWas() {
  static const char a = 'a';
  registerOrDie(SIGUSR2, handledCallback, const_cast<char*>(&a));
  const size_t before = ROCrashSignalHandler::callbackCountForTesting();
  if (!base::testing::filterCalls(
          {{SYS_rt_sigaction, base::testing::callFails(EPERM), 0, 0xFFFFFFFFu, SIGUSR1}}, true)) {
    _exit(90);
  }
  std::shared_ptr<foundation::NSError> error;
  if (ROCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGUSR1, handledCallback,
                                                                      nullptr, &error)) {
    _exit(1);
  }
  _exit(ROCrashSignalHandler::callbackCountForTesting() == before ? 0 : 2);
}

TEST_F(ROCrashSignalHandlerTest, RefusedRegistrationLeavesTheChainAsItWas) {
  EXPECT_EXIT(childRefusedRegistrationLeavesTheChainAsItWas(), ::testing::ExitedWithCode(0), "");
}

bool exitOnOverflow(int, siginfo_t*, void*, void*, rocrash_signal_handler_callback_next_context*) {
  _exit(3);
}

// Recurses until the stack runs out (the limit only keeps the compiler from
// calling it an infinite recursion).
__attribute__((noinline)) int recurseDeeply(int depth, int limit) {
  volatile char pad[256];
  pad[0] = static_cast<char>(depth);
  if (depth == limit) return 0;
  return recurseDeeply(depth + 1, limit) + pad[0];
}

[[noreturn]] void childStackOverflowIsHandledOnTheAlternateStack() {
  registerOrDie(SIGSEGV, exitOnOverflow, nullptr);
  recurseDeeply(0, 1 << 30);
  _exit(100);
}

TEST_F(ROCrashSignalHandlerTest, StackOverflowIsHandledOnTheAlternateStack) {
  EXPECT_EXIT(childStackOverflowIsHandledOnTheAlternateStack(), ::testing::ExitedWithCode(3), "");
}

TEST(AsyncList, EntryRemovedDuringAWalkIsReusedByTheNextAppend) {
  rocrash::async::async_list<int> list;
  list.nasync_append(1);
  list.nasync_append(2);
  list.nasync_append(3);
  list.set_reading(true);
  auto* second = list.next(list.next(nullptr));
  ASSERT_EQ(second->value, 2);
  EXPECT_TRUE(list.nasync_remove_first(2));
  EXPECT_EQ(list.free_list(), second);
  // The walker standing on it still reads valid memory.
  EXPECT_EQ(second->value, 2);
  list.set_reading(false);
  list.nasync_append(4);
  EXPECT_EQ(list.free_list(), nullptr);
  std::vector<int> values;
  for (auto* n = list.next(nullptr); n != nullptr; n = list.next(n)) values.push_back(n->value);
  EXPECT_EQ(values, (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(list.next(list.next(list.next(nullptr))), second);  // the reused entry
  list.nasync_prepend(0);
  EXPECT_FALSE(list.nasync_remove_first(9));
  EXPECT_TRUE(list.nasync_remove_first(4));
  list.nasync_append(5);
  values.clear();
  for (auto* n = list.next(nullptr); n != nullptr; n = list.next(n)) values.push_back(n->value);
  EXPECT_EQ(values, (std::vector<int>{0, 1, 3, 5}));
}

}  // namespace
