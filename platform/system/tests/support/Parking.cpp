#include "systemTest/Parking.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>

#include "system/Threads.h"

namespace sys::testing {

void blockParkingSignal() {
  sigset_t parking;
  sigemptyset(&parking);
  sigaddset(&parking, thread_parking_signal());
  pthread_sigmask(SIG_BLOCK, &parking, nullptr);
}

void awaitActionChange(int signo, const struct sigaction& before) {
  for (struct sigaction now = before; now.sa_sigaction == before.sa_sigaction;) {
    sigaction(signo, nullptr, &now);
  }
}

void forkOnceTheCrashBegins(const struct sigaction& before, void (*child)(),
                            std::atomic<pid_t>* forked) {
  awaitActionChange(SIGSEGV, before);
  const pid_t pid = fork();
  if (pid == 0) {
    child();
    _exit(1);
  }
  forked->store(pid);
  for (;;) pause();
}

}  // namespace sys::testing
