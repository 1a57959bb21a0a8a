#include <algorithm>

#include "RuntimeInternal.h"
#include "objc/Message.h"

namespace objc {

using detail::Access;

Object::~Object() = default;
objc_class::~objc_class() = default;
Protocol::~Protocol() = default;

namespace detail {

void Monitor::enter() {
  const auto self = std::this_thread::get_id();
  base::UniqueLock guard(mutex_);
  if (depth_ != 0 && owner_ == self) {
    ++depth_;
    return;
  }
  while (depth_ != 0) guard.wait(released_);
  owner_ = self;
  depth_ = 1;
}

bool Monitor::exit() {
  base::LockGuard guard(mutex_);
  if (depth_ == 0 || owner_ != std::this_thread::get_id()) return false;
  if (--depth_ == 0) {
    owner_ = std::thread::id();
    released_.notify_one();
  }
  return true;
}

SideRecord& sideRecord(Object* object) {
  auto& slot = Access::side(object);
  SideRecord* side = slot.load(std::memory_order_acquire);
  if (side != nullptr) return *side;
  auto* fresh = new SideRecord;
  if (slot.compare_exchange_strong(side, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *side;
}

bool tryRetain(Object* object) noexcept {
  auto& word = Access::state(object);
  uint64_t value = word.load(std::memory_order_relaxed);
  do {
    if ((value & kDeallocating) != 0) return false;
    if ((value & kImmortal) != 0) return true;
  } while (!word.compare_exchange_weak(value, value + 1, std::memory_order_relaxed));
  return true;
}

std::shared_ptr<WeakControl> weakControlFor(Object* object) {
  // No weak reference can be formed to an object that is going away: it
  // gets a control block that already points at nothing.
  if ((Access::state(object).load(std::memory_order_acquire) & kDeallocating) != 0) {
    return std::make_shared<WeakControl>(nullptr);
  }
  SideRecord& side = sideRecord(object);
  base::LockGuard guard(side.mutex);
  if (!side.weak) side.weak = std::make_shared<WeakControl>(object);
  return side.weak;
}

Object* weakLoadRetained(const WeakControl& control) noexcept {
  base::LockGuard guard(control.mutex);
  Object* target = control.target;
  if (target == nullptr || !tryRetain(target)) return nullptr;
  return target;
}

void makeImmortal(id object) noexcept {
  if (object != nullptr) Access::state(object).fetch_or(kImmortal, std::memory_order_relaxed);
}

void adoptNewObject(id object, Class cls) noexcept {
  Access::isa(object).store(cls, std::memory_order_release);
}

void setObservationInfo(id object, std::shared_ptr<void> info) {
  if (object == nullptr) return;
  SideRecord& side = sideRecord(object);
  std::shared_ptr<void> previous;
  base::LockGuard guard(side.mutex);
  previous = std::exchange(side.observationInfo, std::move(info));
}

std::shared_ptr<void> observationInfo(id object) {
  if (object == nullptr) return nullptr;
  SideRecord* side = Access::side(object).load(std::memory_order_acquire);
  if (side == nullptr) return nullptr;
  base::LockGuard guard(side->mutex);
  return side->observationInfo;
}

namespace {
void releaseAssociation(const Association& association) noexcept {
  if (association.policy != OBJC_ASSOCIATION_ASSIGN) objc_release(association.value);
}
}  // namespace

void object_dispose(id object) noexcept {
  if (object == nullptr) return;
  SideRecord* side = Access::side(object).load(std::memory_order_acquire);
  if (side != nullptr) {
    // Releasing one value may run code that associates something new with
    // this object; repeat until the table stays empty.
    for (;;) {
      std::vector<Association> taken;
      {
        base::LockGuard guard(side->mutex);
        taken.swap(side->associations);
      }
      if (taken.empty()) break;
      for (const auto& association : taken) releaseAssociation(association);
    }
    std::shared_ptr<void> info;
    std::shared_ptr<WeakControl> weak;
    {
      base::LockGuard guard(side->mutex);
      info = std::move(side->observationInfo);
      weak = side->weak;
    }
    info.reset();
    if (weak) {
      base::LockGuard guard(weak->mutex);
      weak->target = nullptr;
    }
  }
  Access::destroy(object);
  delete side;
}

}  // namespace detail

Object* objc_retain(Object* object) noexcept {
  if (object != nullptr) detail::tryRetain(object);
  return object;
}

void objc_release(Object* object) noexcept {
  if (object == nullptr) return;
  auto& word = Access::state(object);
  uint64_t value = word.load(std::memory_order_relaxed);
  for (;;) {
    if ((value & (detail::kDeallocating | detail::kImmortal)) != 0) return;
    if ((value & detail::kCountMask) <= 1) {
      if (word.compare_exchange_weak(value, detail::kDeallocating, std::memory_order_acq_rel))
        break;
    } else if (word.compare_exchange_weak(value, value - 1, std::memory_order_release)) {
      return;
    }
  }
  // Deallocation is a message, so overrides and interceptors of `dealloc`
  // run; a class without any `dealloc` is freed directly.
  static const SEL deallocSel = sel_registerName("dealloc");
  IMP imp = detail::lookUpForReceiver(object, deallocSel);
  if (imp == _objc_msgForward &&
      detail::findMethod(object_getClass(object), deallocSel) == nullptr) {
    detail::object_dispose(object);
    return;
  }
  detail::Sender<void()>::call(imp, object, deallocSel);
}

// MARK: Associated objects

void objc_setAssociatedObject(id object, const void* key, id value, objc_AssociationPolicy policy) {
  if (object == nullptr) return;
  id stored = value;
  if (value != nullptr) {
    switch (policy) {
      case OBJC_ASSOCIATION_ASSIGN:
        break;
      case OBJC_ASSOCIATION_COPY:
      case OBJC_ASSOCIATION_COPY_NONATOMIC: {
        static const SEL copySel = sel_registerName("copy");
        stored = send<Ref<Object>()>(value, copySel).detach();
        break;
      }
      default:
        objc_retain(value);
        break;
    }
  }
  detail::SideRecord& side = detail::sideRecord(object);
  detail::Association previous{nullptr, nullptr, OBJC_ASSOCIATION_ASSIGN};
  bool replaced = false;
  {
    base::LockGuard guard(side.mutex);
    auto& list = side.associations;
    auto it = std::find_if(list.begin(), list.end(), [&](const auto& a) { return a.key == key; });
    if (it != list.end()) {
      previous = *it;
      replaced = true;
      if (stored != nullptr) {
        *it = {key, stored, policy};
      } else {
        list.erase(it);
      }
    } else if (stored != nullptr) {
      list.push_back({key, stored, policy});
    }
  }
  if (replaced) detail::releaseAssociation(previous);
}

Ref<Object> objc_getAssociatedObject(id object, const void* key) {
  if (object == nullptr) return nullptr;
  detail::SideRecord* side = Access::side(object).load(std::memory_order_acquire);
  if (side == nullptr) return nullptr;
  base::LockGuard guard(side->mutex);
  for (const auto& association : side->associations) {
    if (association.key == key) return Ref<Object>(association.value);
  }
  return nullptr;
}

void objc_removeAssociatedObjects(id object) {
  if (object == nullptr) return;
  detail::SideRecord* side = Access::side(object).load(std::memory_order_acquire);
  if (side == nullptr) return;
  std::vector<detail::Association> taken;
  {
    base::LockGuard guard(side->mutex);
    taken.swap(side->associations);
  }
  for (const auto& association : taken) detail::releaseAssociation(association);
}

// MARK: Monitors

int objc_sync_enter(id object) {
  if (object == nullptr) return OBJC_SYNC_SUCCESS;
  detail::sideRecord(object).monitor.enter();
  return OBJC_SYNC_SUCCESS;
}

int objc_sync_exit(id object) {
  if (object == nullptr) return OBJC_SYNC_SUCCESS;
  detail::SideRecord* side = Access::side(object).load(std::memory_order_acquire);
  if (side == nullptr || !side->monitor.exit()) return OBJC_SYNC_NOT_OWNING_THREAD_ERROR;
  return OBJC_SYNC_SUCCESS;
}

}  // namespace objc
