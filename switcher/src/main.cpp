// The window switcher application: sets up the application object and its
// delegate, completes the launch, then runs the main loop until the
// application is terminated (SIGINT or SIGTERM here).

#include "appkit/NSApplication.h"
#include "dispatch/MainLoop.h"
#include "switcher/AppDelegate.h"
#include "switcher/ApplicationBundle.h"
#include "switcher/Termination.h"

int main() {
  // Before anything else, so that a termination request during the launch
  // ends the run once the loop starts rather than killing the process.
  TerminationSignals terminationSignals;
  // Who the application is, before the telemetry client and the crash
  // engine ask.
  describeMainBundle();

  auto application = appkit::NSApplication::sharedApplication();
  // Kept here for the life of the process: the crash service holds it weakly.
  auto delegate = AppDelegate::create();
  delegate->applicationDidFinishLaunching();

  dispatch::MainLoop::run();
  delegate->applicationWillTerminate();
  return 0;
}
