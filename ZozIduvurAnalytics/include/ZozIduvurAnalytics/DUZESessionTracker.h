#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "ZozIduvur/DUZEChannelDelegate.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "base/Mutex.h"
#include "dispatch/Time.h"

class DUZESessionTracker;
class DUZEStartSessionLog;

// The names of the application's activation notifications, posted on the
// default notification centre (by the application object, on the main
// thread).
inline constexpr std::string_view kDUZEApplicationDidResignActiveNotification =
    "NSApplicationDidResignActiveNotification";
inline constexpr std::string_view kDUZEApplicationWillBecomeActiveNotification =
    "NSApplicationWillBecomeActiveNotification";

// Receives the start-session log (DUZEStartSessionLog.h) of each new session.
class DUZESessionTrackerDelegate {
 public:
  virtual ~DUZESessionTrackerDelegate() = default;
  virtual void sessionTrackerProcessLog(const std::shared_ptr<DUZESessionTracker>& sessionTracker,
                                        const std::shared_ptr<DUZEStartSessionLog>& log) = 0;
};

// Keeps the user's session: stamps the current session id on every log of
// the channel group, and starts a new session when the application becomes
// active again after at least `sessionTimeout` seconds in which it was
// inactive and no log was written. Each new session is announced by one
// start-session log handed to the delegate.
//
// `renewSessionId` and `hasSessionTimedOut` run under the tracker's recursive
// lock, which also guards the three dates (written by the notification
// handlers on the main thread and by `channelPrepareLog` on the logs queue).
// `sendStartSession` calls the delegate with that lock held when it runs for
// `renewSessionId`.
class DUZESessionTracker : public DUZEChannelDelegate,
                           public std::enable_shared_from_this<DUZESessionTracker> {
 public:
  // Removes the session history of older versions ("PastSessions").
  DUZESessionTracker();
  ~DUZESessionTracker() override;
  static std::shared_ptr<DUZESessionTracker> create() {
    return std::make_shared<DUZESessionTracker>();
  }

  // Held weakly: the delegate (the analytics service) owns the tracker.
  void setDelegate(std::weak_ptr<DUZESessionTrackerDelegate> delegate);

  // Starts automatic tracking: renews the session at once when the
  // application is active (asked on the main thread) and on every return to
  // the front. Nothing in manual mode or when already started.
  void start();
  // Stops automatic tracking and clears the current session id.
  void stop();
  bool isStarted() const { return started_.load(); }

  // Manual mode: sessions start only with `startSession`. Refused once
  // started.
  void enableManualSessionTracker();
  bool isManualSessionTrackerEnabled() const { return manual_.load(); }
  // Starts a new session now (manual mode only).
  void startSession();

  // Starts a new session when started and there is none or it timed out.
  void renewSessionId();
  // Unconditionally starts a new session.
  void sendStartSession();
  // Whether the pause since the last log and the last time in the
  // background has reached `sessionTimeout`.
  bool hasSessionTimedOut();

  // Notification handlers (main thread).
  void applicationDidEnterBackground();
  void applicationWillEnterForeground();

  // DUZEChannelDelegate: stamps the current session id.
  void channelPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                         const std::shared_ptr<DUZEAbstractLog>& log) override;

  double sessionTimeout() const { return sessionTimeout_; }
  std::optional<dispatch::Date> lastCreatedLogTime();
  std::optional<dispatch::Date> lastEnteredForegroundTime();
  std::optional<dispatch::Date> lastEnteredBackgroundTime();
  const std::shared_ptr<DUZESessionContext>& context() const { return context_; }

 private:
  void observeNotifications();

  std::atomic<bool> started_{false};
  std::atomic<bool> manual_{false};
  base::RecursiveMutex lock_;
  std::weak_ptr<DUZESessionTrackerDelegate> delegate_ KX_GUARDED_BY(lock_);
  const double sessionTimeout_ = 20;
  std::optional<dispatch::Date> lastCreatedLogTime_ KX_GUARDED_BY(lock_);
  std::optional<dispatch::Date> lastEnteredForegroundTime_ KX_GUARDED_BY(lock_);
  std::optional<dispatch::Date> lastEnteredBackgroundTime_ KX_GUARDED_BY(lock_);
  const std::shared_ptr<DUZESessionContext> context_;
};
