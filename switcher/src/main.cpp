// The window switcher application: sets up the application object and its
// delegate, completes the launch, says where its data goes and how to stop
// it, then runs the main loop until the application is terminated (SIGINT or
// SIGTERM here).

#include <unistd.h>

#include <string>

#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvurCrashes/DUZECrashes.h"
#include "appkit/NSApplication.h"
#include "dispatch/MainLoop.h"
#include "switcher/AppDelegate.h"
#include "switcher/ApplicationBundle.h"
#include "switcher/Termination.h"

namespace {

// The program has no window and reads no input: these lines, on standard
// error, are all whoever started it sees of it. The places are the ones the
// launched telemetry client and crash engine use, so they hold whatever set
// them (the data folder's environment variables, the bundle's identifier).
void sayWhereDataGoesAndHowToStop() {
  std::string text;
  const auto group = DUZEZozIduvur::channelGroup();
  if (group && group->storage()) {
    text = "kestrix: logs are kept in " + group->storage()->file().string() + " until sent";
    if (auto engine = DUZECrashes::sharedInstance()->roReradUzerirud()) {
      text += "; crash reports are written in " + engine->crashReportDirectory();
    }
    text += "\n";
  } else {
    // With the program's secret, only the environment keeps it from starting.
    text = "kestrix: the telemetry client is off (" + std::string(kDUZEDisableEnvironmentVariable) +
           "): nothing is stored or sent\n";
  }
  text += "kestrix: running; Ctrl-C (or SIGTERM) stops it\n";
  // One write: the lines arrive whole, and nothing is left in a buffer.
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

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
  sayWhereDataGoesAndHowToStop();

  dispatch::MainLoop::run();
  delegate->applicationWillTerminate();
  return 0;
}
