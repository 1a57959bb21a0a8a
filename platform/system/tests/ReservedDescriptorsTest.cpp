// Whether a process shares its signal actions or its descriptor table, told
// where the calls that would ask are forbidden.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "baseTest/Children.h"
#include "baseTest/SystemCallFilter.h"
#include "system/ReservedDescriptors.h"
#include "system/TestSeams.h"

namespace {

// Under a filter that ends the process for unshare, kcmp and the clone of a
// throwaway, a process tells from /proc that its signal actions are not its
// parent's (which may ignore SIGURG already), leaving SIGURG's action as it
// was; an action another changed meanwhile, before SIGURG was turned or
// while it was, is kept and taken as shared. A process forked while it is
// turned ignores SIGURG all the same.
struct Meanwhile {
  int step;
  bool forks;
} gMeanwhile;
int gForked = -1;
void changed(int) {}
TEST(SignalActions, NotTheParentsToldUnderAFilterWithoutACallItEnds) {
  const struct {
    void (*parents)(int);
    Meanwhile meanwhile;
  } kRows[] = {{SIG_DFL, {0, false}}, {SIG_DFL, {1, false}}, {SIG_DFL, {2, false}},
               {SIG_DFL, {2, true}},  {SIG_IGN, {0, false}}, {SIG_IGN, {1, false}}};
  for (const auto& row : kRows) {
    gMeanwhile = row.meanwhile;
    const auto before = signal(SIGURG, row.parents);
    EXPECT_EQ(
        base::testing::inChild([] {
          using base::testing::callEndsTheProcess;
          if (signal(SIGURG, SIG_DFL) == SIG_ERR ||
              !base::testing::filterCalls({{SYS_unshare, callEndsTheProcess},
                                           {SYS_kcmp, callEndsTheProcess},
                                           {SYS_clone, callEndsTheProcess, 0, CLONE_VM, CLONE_VM}},
                                          true)) {
            return 8;
          }
          sys::setSignalActionsAskedHookForTesting([](int signo, int step) {
            if (step != gMeanwhile.step) return;
            if (!gMeanwhile.forks) {
              signal(signo, changed);
            } else if (const pid_t forked = fork(); forked == 0) {
              raise(signo);
              _exit(0);
            } else {
              waitpid(forked, &gForked, 0);
            }
          });
          const bool shared = sys::signal_actions_may_be_shared();
          struct sigaction now;
          sigaction(SIGURG, nullptr, &now);
          const bool changedMeanwhile = gMeanwhile.step != 0 && !gMeanwhile.forks;
          return shared == changedMeanwhile && now.sa_handler == (shared ? changed : SIG_DFL) &&
                         (!gMeanwhile.forks || gForked == 0)
                     ? 0
                     : 1;
        }),
        0)
        << row.meanwhile.step;
    signal(SIGURG, before);
  }
}

// A child of the C library's fork has a table of its own without asking,
// also where the clone that asks would end it.
TEST(DescriptorTables, ForkedChildsIsItsOwnWithoutAsking) {
  EXPECT_EQ(base::testing::inChild([] {
              const uint32_t vfork = CLONE_VM | CLONE_VFORK;
              if (!base::testing::filterCalls({{SYS_clone, base::testing::callEndsTheProcess, 0,
                                                vfork | CLONE_THREAD, vfork}},
                                              true)) {
                return 8;
              }
              return sys::descriptor_table_make_own() ? 0 : 1;
            }),
            0);
}

}  // namespace
