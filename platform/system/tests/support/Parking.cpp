#include "systemTest/Parking.h"

#include <pthread.h>

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

}  // namespace sys::testing
