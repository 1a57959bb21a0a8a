#pragma once

// Notifications of a notification centre as a sequence:
//
//   auto changes = rv::notification(rv::rv(center), "Changed", sender);
//
// Each subscription registers a block observer with the centre and removes it
// when disposed. Elements arrive on the posting thread, before the post
// returns, in posting order. The sequence never fails and never completes.
// Any thread.

#include <memory>
#include <optional>
#include <string>

#include "RvStreams/Observable.h"
#include "RvStreams/Reactive.h"
#include "foundation/NotificationCenter.h"

namespace rv {

using Notification = foundation::NSNotification;

// Notifications named `name` (every name when absent) posted by `object`
// (every sender when null). The centre is held strongly, `object` weakly: a
// subscription made after `object` is gone receives nothing, since nothing
// that object posts can come any more.
Ref<Observable<Notification>> notification(const Reactive<foundation::NotificationCenter>& reactive,
                                           std::optional<std::string> name,
                                           std::shared_ptr<void> object = nullptr);

}  // namespace rv
