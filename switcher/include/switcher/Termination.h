#pragma once

#include <signal.h>

#include <thread>

// Ends the application: the running main loop returns after the block in
// progress (and a loop not yet running returns as soon as it starts). Any
// thread. This is what quitting the application does; `main` then has the
// application's delegate close the telemetry client, and stored logs wait
// for the next run.
void terminateApplication();

// While an instance lives, SIGINT and SIGTERM terminate the application (see
// `terminateApplication`) instead of killing the process, so that it exits
// through `main` with status 0. The signal handler only writes to a pipe;
// a thread of the instance reads it and does the terminating, since stopping
// the main loop takes locks a handler must not take.
//
// Make one instance, on the main thread, before the application launches;
// destroying it restores the dispositions it replaced.
class TerminationSignals {
 public:
  TerminationSignals();
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

 private:
  int readFd_ = -1;
  int writeFd_ = -1;
  struct sigaction previousInterrupt_ {};
  struct sigaction previousTerminate_ {};
  std::thread watcher_;
};
