#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Mutex.h"

namespace dispatch {
class OperationQueue;
}  // namespace dispatch

namespace foundation {

// A posted notification: its name and the object that posted it (null when
// the sender gave none).
struct NSNotification {
  std::string name;
  std::shared_ptr<void> object;
};

// Delivers named notifications to the observers registered for them. Posting
// runs the matching observers' handlers at once, on the posting thread, in
// the order they were registered, outside the centre's lock (a handler may
// post, add or remove observers). Thread-safe.
//
// Senders are compared by identity of ownership: a registration for a sender
// matches the posts of that same object (any `shared_ptr` sharing its
// ownership), never another object that later takes its address.
class NotificationCenter {
 public:
  using Handler = std::function<void(const NSNotification&)>;
  // The registration a block observer gets; `removeObserver(token)` ends it.
  // Dropping the token does not: the centre keeps the registration, and with
  // it the token's address, so no later token can take that address while
  // the registration lasts.
  using ObserverToken = std::shared_ptr<const void>;

  // The process's default centre.
  static std::shared_ptr<NotificationCenter> defaultCenter();

  // Registers `handler` for notifications named `name` posted by `sender`
  // (compared by identity; null: from any sender). `observer` is only the key
  // by which `removeObserver` finds the registration; it is never called or
  // dereferenced.
  void addObserver(const void* observer, std::string name, Handler handler,
                   std::shared_ptr<void> sender = nullptr);
  // Registers `block` for notifications named `name` (every name when
  // absent) posted by `object` (every sender when null; held weakly, so a
  // registration for an object that is gone matches nothing). Without a
  // queue the block runs on the posting thread before the post returns; with
  // one it runs as an operation of that queue while the post waits for it
  // (so posting from an operation of that queue when it has no free slot
  // waits for ever).
  ObserverToken addObserverForName(std::optional<std::string> name, std::shared_ptr<void> object,
                                   std::shared_ptr<dispatch::OperationQueue> queue, Handler block);
  // Ends a block registration; a null or unknown token does nothing. A post
  // already in progress on another thread may still run the block once.
  void removeObserver(const ObserverToken& token);

  // Removes every registration of `observer`. A post already in progress on
  // another thread may still call its handlers once; later posts do not.
  void removeObserver(const void* observer);
  // Removes the registrations of `observer` for `name`.
  void removeObserver(const void* observer, std::string_view name);

  // Runs the handlers registered for `name` (and for its sender or any).
  void postNotificationName(std::string_view name, std::shared_ptr<void> sender = nullptr);

  // How many registrations `observer` holds (tests).
  size_t observationCount(const void* observer);

 private:
  struct Registration {
    uint64_t id;
    const void* observer;
    std::string name;
    bool anyName;
    std::weak_ptr<void> sender;
    bool anySender;
    std::shared_ptr<const Handler> handler;
    // A block registration's token, held weakly: it keeps the token's memory
    // (whose address is `observer`) from being reused, and removal by token
    // matches by ownership.
    std::weak_ptr<const void> token;
  };

  base::Mutex mutex_;
  uint64_t nextId_ KX_GUARDED_BY(mutex_) = 1;
  std::vector<Registration> registrations_ KX_GUARDED_BY(mutex_);
};

}  // namespace foundation
