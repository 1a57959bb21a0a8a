// The window switcher application: sets up the application object and its
// delegate, completes the launch, then runs the main loop until the
// application is terminated (SIGINT or SIGTERM here).

#include "appkit/NSApplication.h"
#include "dispatch/MainLoop.h"
#include "switcher/AppDelegate.h"
#include "switcher/Termination.h"

// The crash engine's alternate signal stack lives as long as the process:
// once the engine is enabled only the kernel holds its address, which the
// leak checker of sanitizer builds cannot see.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:ROCrashSignalHandler::create\n";
}

int main() {
  // Before anything else, so that a termination request during the launch
  // ends the run once the loop starts rather than killing the process.
  TerminationSignals terminationSignals;

  auto application = appkit::NSApplication::sharedApplication();
  // Kept here for the life of the process: the crash service holds it weakly.
  auto delegate = AppDelegate::create();
  delegate->applicationDidFinishLaunching();

  dispatch::MainLoop::run();
  delegate->applicationWillTerminate();
  return 0;
}
