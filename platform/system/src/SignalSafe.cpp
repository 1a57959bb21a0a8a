#include "system/SignalSafe.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace sys {

void restore_default_action(int signo) noexcept {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
}

void end_by_signal(int signo) noexcept {
  restore_default_action(signo);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signo);
  // A signal whose default is to go on (none of those this ends by) would
  // return here.
  _exit(128 + signo);
}

}  // namespace sys
