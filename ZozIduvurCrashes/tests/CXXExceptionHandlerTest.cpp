// Uncaught C++ exceptions: the handler list, what the terminate handler
// hands to the handlers, and the runtime exception the crash service makes
// of it. Terminations run as death tests (each in a fresh process).

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "CrashesTestSupport.h"
#include "ZozIduvurCrashes/DUZECrashesUncaughtCXXExceptionHandlerManager.h"
#include "crash-capture/ROReradUzerirud.h"

namespace {
class DisplayConfigurationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
}  // namespace

// The throwers are exported under plain names, so that a return address can
// be named with dladdr.
extern "C" {
__attribute__((noinline)) void duzetest_throw_derived() {
  throw DisplayConfigurationError("the display went away");
}
__attribute__((noinline)) void duzetest_throw_integer() { throw 42; }
__attribute__((noinline)) void duzetest_throw_cstring() { throw "plain text"; }
__attribute__((noinline)) void duzetest_throw_string() { throw std::string("a string object"); }
__attribute__((noinline)) void duzetest_throw_string_pointer() {
  static const std::string text("a string behind a pointer");
  throw &text;
}
__attribute__((noinline)) void duzetest_throw_runtime() {
  objc::NSException::raise("NSRangeException", "out of range");
}
}

namespace {

using Manager = DUZECrashesUncaughtCXXExceptionHandlerManager;

// The name of the function a return address lies in (the call instruction
// is just before it).
std::string functionOf(uint64_t returnAddress) {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(returnAddress - 1), &info) == 0 || !info.dli_sname) return "";
  return info.dli_sname;
}

// Throwing out of a noexcept function terminates with the exception current
// (and the throw site still on the stack).
void terminateWith(void (*thrower)()) noexcept { thrower(); }

// Terminates with the thrower's exception from another place: the stack at
// terminate no longer holds the throw site.
void terminateAfterCatching(void (*thrower)()) {
  std::exception_ptr caught;
  try {
    thrower();
  } catch (...) {
    caught = std::current_exception();
  }
  [&]() noexcept { std::rethrow_exception(caught); }();
}

// The handler of the death tests: prints what it was given and ends the
// process with code 7.
void printingHandler(const CXXExceptionInfo* info) {
  auto wrapped = DUZECrashesCXXExceptionWrapperException::initWithCXXExceptionInfo(info);
  const auto stack = wrapped->callStackReturnAddresses();
  bool stackMatches = stack.size() == info->frameCount;
  for (size_t i = 0; stackMatches && i < stack.size(); ++i) {
    stackMatches = stack[i] == info->frames[i];
  }
  fprintf(stderr, "name=[%s] reason=[%s] message=%s stack=%s\n", wrapped->name().c_str(),
          wrapped->reason().c_str(), info->message ? "set" : "null",
          stackMatches ? "same" : "different");
  for (uint32_t i = 0; i < info->frameCount; ++i) {
    const std::string function = functionOf(info->frames[i]);
    if (function.rfind("duzetest_throw_", 0) == 0) {
      fprintf(stderr, "thrown by %s\n", function.c_str() + 15);
    }
  }
  fflush(stderr);
  _exit(7);
}

void otherHandler(const CXXExceptionInfo*) {}

void printingPrevious() {
  fprintf(stderr, "previous terminate handler\n");
  fflush(stderr);
  _exit(9);
}

class UncaughtCXXExceptions : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(UncaughtCXXExceptions, InstalledWhileTheListHoldsAHandler) {
  const std::terminate_handler before = std::get_terminate();
  Manager::addCXXExceptionHandler(otherHandler);
  Manager::addCXXExceptionHandler(otherHandler);
  EXPECT_EQ(Manager::countCXXExceptionHandler(), 2u);
  EXPECT_EQ(std::get_terminate(), cxx_terminate_handler);

  Manager::removeCXXExceptionHandler(otherHandler);
  EXPECT_EQ(Manager::countCXXExceptionHandler(), 1u);
  EXPECT_TRUE(Manager::isTerminateHandlerInstalled());
  EXPECT_EQ(std::get_terminate(), cxx_terminate_handler);

  // A handler that is not in the list changes nothing.
  Manager::removeCXXExceptionHandler(printingHandler);
  EXPECT_EQ(Manager::countCXXExceptionHandler(), 1u);

  Manager::removeCXXExceptionHandler(otherHandler);
  EXPECT_EQ(Manager::countCXXExceptionHandler(), 0u);
  EXPECT_FALSE(Manager::isTerminateHandlerInstalled());
  EXPECT_EQ(std::get_terminate(), before);
}

TEST_F(UncaughtCXXExceptions, ATerminateHandlerSetMeanwhileStays) {
  DUZE_RUN_IN_OWN_PROCESS();
  Manager::addCXXExceptionHandler(otherHandler);
  std::set_terminate(printingPrevious);
  Manager::removeCXXExceptionHandler(otherHandler);
  EXPECT_EQ(std::get_terminate(), printingPrevious);
  // Ours is still counted as installed, so adding again does not take over.
  EXPECT_TRUE(Manager::isTerminateHandlerInstalled());
  Manager::addCXXExceptionHandler(otherHandler);
  EXPECT_EQ(std::get_terminate(), printingPrevious);
}

TEST_F(UncaughtCXXExceptions, DerivedStandardExceptionKeepsItsTypeTextAndThrowSite) {
  EXPECT_EXIT(
      {
        Manager::addCXXExceptionHandler(printingHandler);
        terminateAfterCatching(duzetest_throw_derived);
      },
      ::testing::ExitedWithCode(7),
      "name=\\[\\(anonymous namespace\\)::DisplayConfigurationError\\] "
      "reason=\\[the display went away\\] message=set stack=same\nthrown by derived");
}

TEST_F(UncaughtCXXExceptions, IntegerHasNoMessage) {
  EXPECT_EXIT(
      {
        Manager::addCXXExceptionHandler(printingHandler);
        terminateAfterCatching(duzetest_throw_integer);
      },
      ::testing::ExitedWithCode(7),
      "name=\\[int\\] reason=\\[\\] message=null.*\nthrown by integer");
}

TEST_F(UncaughtCXXExceptions, TextsThrownDirectlyOrThroughPointersAreTheMessage) {
  EXPECT_EXIT(
      {
        Manager::addCXXExceptionHandler(printingHandler);
        terminateWith(duzetest_throw_cstring);
      },
      ::testing::ExitedWithCode(7), "name=\\[char const\\*\\] reason=\\[plain text\\] message=set");
  EXPECT_EXIT(
      {
        Manager::addCXXExceptionHandler(printingHandler);
        terminateWith(duzetest_throw_string);
      },
      ::testing::ExitedWithCode(7), "reason=\\[a string object\\]");
  EXPECT_EXIT(
      {
        Manager::addCXXExceptionHandler(printingHandler);
        terminateWith(duzetest_throw_string_pointer);
      },
      ::testing::ExitedWithCode(7), "reason=\\[a string behind a pointer\\]");
}

TEST_F(UncaughtCXXExceptions, EveryHandlerRunsInOrderAndDuplicatesTwice) {
  static int calls = 0;
  static const CXXExceptionHandler timesTen = [](const CXXExceptionInfo*) { calls *= 10; };
  EXPECT_EXIT(
      {
        Manager::addCXXExceptionHandler([](const CXXExceptionInfo*) { ++calls; });
        Manager::addCXXExceptionHandler(timesTen);
        Manager::addCXXExceptionHandler(timesTen);
        Manager::addCXXExceptionHandler([](const CXXExceptionInfo*) {
          fprintf(stderr, "calls=%d\n", calls);
          fflush(stderr);
          _exit(3);
        });
        terminateWith(duzetest_throw_integer);
      },
      ::testing::ExitedWithCode(3), "calls=100");
}

TEST_F(UncaughtCXXExceptions, RuntimeExceptionsAreLeftToThePreviousHandler) {
  EXPECT_EXIT(
      {
        std::set_terminate(printingPrevious);
        Manager::addCXXExceptionHandler(printingHandler);
        terminateWith(duzetest_throw_runtime);
      },
      ::testing::ExitedWithCode(9), "previous terminate handler");
}

TEST_F(UncaughtCXXExceptions, RuntimeThrowsAreNotRecorded) {
  // The record still describes the standard exception thrown before the
  // runtime one; the final exception is raised without a throw of the
  // program, so the handler sees the recorded stack.
  EXPECT_EXIT(
      {
        Manager::addCXXExceptionHandler(printingHandler);
        try {
          duzetest_throw_derived();
        } catch (...) {
        }
        try {
          duzetest_throw_runtime();
        } catch (...) {
        }
        auto pending = std::make_exception_ptr(5);
        [&]() noexcept { std::rethrow_exception(pending); }();
      },
      ::testing::ExitedWithCode(7), "name=\\[int\\].*\nthrown by derived\n$");
}

TEST_F(UncaughtCXXExceptions, TerminateWithoutExceptionGoesToThePreviousHandler) {
  EXPECT_EXIT(
      {
        std::set_terminate(printingPrevious);
        Manager::addCXXExceptionHandler(printingHandler);
        std::terminate();
      },
      ::testing::ExitedWithCode(9), "^previous terminate handler\n$");
}

TEST_F(UncaughtCXXExceptions, ThreadThatNeverThrewGetsTheTerminateStack) {
  EXPECT_EXIT(
      {
        Manager::addCXXExceptionHandler(printingHandler);
        auto pending = std::make_exception_ptr(std::string("made, not thrown"));
        [&]() noexcept { std::rethrow_exception(pending); }();
      },
      ::testing::ExitedWithCode(7), "reason=\\[made, not thrown\\] message=set stack=same\n$");
}

// The crash service's handler hands the wrapped exception to the process's
// uncaught-exception handler and then aborts.
void printingUncaughtHandler(objc::NSException* exception) {
  fprintf(stderr, "uncaught %s: %s (%zu frames)\n", exception->name().c_str(),
          exception->reason().c_str(), exception->callStackReturnAddresses().size());
  fflush(stderr);
}

TEST_F(UncaughtCXXExceptions, ServiceHandlerPassesTheWrappedExceptionOnAndAborts) {
  EXPECT_DEATH(
      {
        rocrash::NSSetUncaughtExceptionHandler(printingUncaughtHandler);
        Manager::addCXXExceptionHandler(uncaught_cxx_exception_handler);
        terminateWith(duzetest_throw_derived);
      },
      "uncaught \\(anonymous namespace\\)::DisplayConfigurationError: the display went away "
      "\\([1-9][0-9]* frames\\)");
  EXPECT_DEATH(
      {
        Manager::addCXXExceptionHandler(uncaught_cxx_exception_handler);
        terminateWith(duzetest_throw_derived);
      },
      "");
}

TEST(CXXExceptionWrapper, NamesWithoutTypeOrMessageAreEmpty) {
  CXXExceptionInfo info;
  auto wrapped = DUZECrashesCXXExceptionWrapperException::initWithCXXExceptionInfo(&info);
  EXPECT_EQ(wrapped->name(), "");
  EXPECT_EQ(wrapped->reason(), "");
  EXPECT_TRUE(wrapped->callStackReturnAddresses().empty());
  EXPECT_EQ(wrapped->userInfo(), nullptr);
  EXPECT_EQ(wrapped->info(), &info);

  info.typeName = "not a mangled name!";
  wrapped = DUZECrashesCXXExceptionWrapperException::initWithCXXExceptionInfo(&info);
  EXPECT_EQ(wrapped->name(), "not a mangled name!");
}

}  // namespace
