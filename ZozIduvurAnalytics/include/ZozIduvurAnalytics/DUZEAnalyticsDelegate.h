#pragma once

#include <memory>

#include "foundation/NSError.h"

class DUZEAnalytics;
class DUZEEventLog;
class DUZEPageLog;

// The host's listener for the sending of its events and page views. Every
// operation is optional; all are called on the telemetry core's logs queue.
class DUZEAnalyticsDelegate {
 public:
  virtual ~DUZEAnalyticsDelegate() = default;

  virtual void analyticsWillSendEventLog(const std::shared_ptr<DUZEAnalytics>& /*analytics*/,
                                         const std::shared_ptr<DUZEEventLog>& /*eventLog*/) {}
  virtual void analyticsDidSucceedSendingEventLog(
      const std::shared_ptr<DUZEAnalytics>& /*analytics*/,
      const std::shared_ptr<DUZEEventLog>& /*eventLog*/) {}
  virtual void analyticsDidFailSendingEventLog(
      const std::shared_ptr<DUZEAnalytics>& /*analytics*/,
      const std::shared_ptr<DUZEEventLog>& /*eventLog*/,
      const std::shared_ptr<foundation::NSError>& /*error*/) {}

  virtual void analyticsWillSendPageLog(const std::shared_ptr<DUZEAnalytics>& /*analytics*/,
                                        const std::shared_ptr<DUZEPageLog>& /*pageLog*/) {}
  virtual void analyticsDidSucceedSendingPageLog(
      const std::shared_ptr<DUZEAnalytics>& /*analytics*/,
      const std::shared_ptr<DUZEPageLog>& /*pageLog*/) {}
  virtual void analyticsDidFailSendingPageLog(
      const std::shared_ptr<DUZEAnalytics>& /*analytics*/,
      const std::shared_ptr<DUZEPageLog>& /*pageLog*/,
      const std::shared_ptr<foundation::NSError>& /*error*/) {}
};
