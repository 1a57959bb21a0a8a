#include "ZozIduvurAnalytics/DUZESessionTracker.h"

#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEStartServiceLog.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsClock.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsConstants.h"
#include "ZozIduvurAnalytics/DUZEStartSessionLog.h"
#include "foundation/Bundle.h"
#include "foundation/NotificationCenter.h"
#include "foundation/UUID.h"

namespace {

// The session history of older versions, discarded.
constexpr std::string_view kPastSessionsKey = "PastSessions";

bool isApplicationExtension() {
  return foundation::NSBundle::mainBundle()->executablePath().find(".appex/") != std::string::npos;
}

}  // namespace

DUZESessionTracker::DUZESessionTracker() : context_(DUZESessionContext::sharedInstance()) {
  DUZEZozIduvurUserDefaults::shared()->removeObjectForKey(kPastSessionsKey);
}

DUZESessionTracker::~DUZESessionTracker() {
  foundation::NotificationCenter::defaultCenter()->removeObserver(this);
}

void DUZESessionTracker::setDelegate(std::weak_ptr<DUZESessionTrackerDelegate> delegate) {
  base::LockGuard lock(lock_);
  delegate_ = std::move(delegate);
}

void DUZESessionTracker::start() {
  if (manual_ || started_.exchange(true)) return;
  if (DUZEUtility::applicationState() < DUZEApplicationStateBackground) renewSessionId();
  observeNotifications();
}

void DUZESessionTracker::observeNotifications() {
  auto center = foundation::NotificationCenter::defaultCenter();
  std::weak_ptr<DUZESessionTracker> weak = weak_from_this();
  center->addObserver(this, std::string(kDUZEApplicationDidResignActiveNotification),
                      [weak](const foundation::NSNotification&) {
                        if (auto self = weak.lock()) self->applicationDidEnterBackground();
                      });
  center->addObserver(this, std::string(kDUZEApplicationWillBecomeActiveNotification),
                      [weak](const foundation::NSNotification&) {
                        if (auto self = weak.lock()) self->applicationWillEnterForeground();
                      });
}

void DUZESessionTracker::stop() {
  if (!started_ || manual_) return;
  foundation::NotificationCenter::defaultCenter()->removeObserver(this);
  started_ = false;
  context_->setSessionId(std::nullopt);
}

void DUZESessionTracker::renewSessionId() {
  base::LockGuard lock(lock_);
  if (started_ && (!context_->sessionId() || hasSessionTimedOut())) sendStartSession();
}

void DUZESessionTracker::sendStartSession() {
  const std::string sessionId = foundation::NSUUID().UUIDString();
  context_->setSessionId(sessionId);
  DUZELogInfo(kDUZEAnalyticsLogTag, "New session ID: %@", sessionId);
  auto log = DUZEStartSessionLog::create();
  log->setSid(sessionId);
  std::shared_ptr<DUZESessionTrackerDelegate> delegate;
  {
    base::LockGuard lock(lock_);
    delegate = delegate_.lock();
  }
  if (delegate) delegate->sessionTrackerProcessLog(shared_from_this(), log);
}

bool DUZESessionTracker::hasSessionTimedOut() {
  base::LockGuard lock(lock_);
  const dispatch::Date now = DUZEAnalyticsClock::now();
  const double timeout = sessionTimeout_;
  const bool noLogSentForLong = !lastCreatedLogTime_ || now - *lastCreatedLogTime_ >= timeout;
  if (isApplicationExtension()) return noLogSentForLong;
  const bool isBackgroundForLong = lastEnteredBackgroundTime_ && lastEnteredForegroundTime_ &&
                                   *lastEnteredBackgroundTime_ > *lastEnteredForegroundTime_ &&
                                   now - *lastEnteredBackgroundTime_ >= timeout;
  // A missing foreground time counts as no time in the background.
  const bool wasBackgroundForLong =
      lastEnteredBackgroundTime_ &&
      (lastEnteredForegroundTime_ ? *lastEnteredForegroundTime_ - *lastEnteredBackgroundTime_
                                  : 0.0) >= timeout;
  return noLogSentForLong && (isBackgroundForLong || wasBackgroundForLong);
}

void DUZESessionTracker::applicationDidEnterBackground() {
  if (manual_) {
    DUZELogInfo(kDUZEAnalyticsLogTag,
                "Manual session tracker is enabled. Skip tracking a session status request after "
                "enter background.");
    return;
  }
  base::LockGuard lock(lock_);
  lastEnteredBackgroundTime_ = DUZEAnalyticsClock::now();
}

void DUZESessionTracker::applicationWillEnterForeground() {
  if (manual_) {
    DUZELogInfo(kDUZEAnalyticsLogTag,
                "Manual session tracker is enabled. Skip tracking a session status request after "
                "enter foreground.");
    return;
  }
  {
    base::LockGuard lock(lock_);
    lastEnteredForegroundTime_ = DUZEAnalyticsClock::now();
  }
  renewSessionId();
}

void DUZESessionTracker::enableManualSessionTracker() {
  if (started_) {
    DUZELogInfo(kDUZEAnalyticsLogTag,
                "Manual session tracker should be set before the DUZEAnalytics service is "
                "started.");
    return;
  }
  manual_ = true;
  DUZELogInfo(kDUZEAnalyticsLogTag, "Manual session tracker is enabled.");
}

void DUZESessionTracker::startSession() {
  if (!manual_) {
    DUZELogInfo(kDUZEAnalyticsLogTag,
                "Can't start new session because manual session tracker is disabled.");
    return;
  }
  sendStartSession();
  DUZELogInfo(kDUZEAnalyticsLogTag, "Started a new session: %@", context_->sessionId());
}

void DUZESessionTracker::channelPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                           const std::shared_ptr<DUZEAbstractLog>& log) {
  if (!log || dynamic_cast<DUZEStartSessionLog*>(log.get()) ||
      dynamic_cast<DUZEStartServiceLog*>(log.get())) {
    return;
  }
  if (!dynamic_cast<DUZENoAutoAssignSessionIdLog*>(log.get())) {
    log->setSid(context_->sessionId());
  }
  base::LockGuard lock(lock_);
  lastCreatedLogTime_ = DUZEAnalyticsClock::now();
}

std::optional<dispatch::Date> DUZESessionTracker::lastCreatedLogTime() {
  base::LockGuard lock(lock_);
  return lastCreatedLogTime_;
}

std::optional<dispatch::Date> DUZESessionTracker::lastEnteredForegroundTime() {
  base::LockGuard lock(lock_);
  return lastEnteredForegroundTime_;
}

std::optional<dispatch::Date> DUZESessionTracker::lastEnteredBackgroundTime() {
  base::LockGuard lock(lock_);
  return lastEnteredBackgroundTime_;
}
