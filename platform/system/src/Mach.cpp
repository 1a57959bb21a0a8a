#include "system/Mach.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "system/ReservedDescriptors.h"
#include "system/SignalSafe.h"
#include "system/Threads.h"

namespace sys {
namespace {

enum PortKind : uint32_t {
  kPortFree = 0,
  kPortClaimed = 1,
  kPort = 2,
  kPortSet = 3,
};

struct PortEntry {
  std::atomic<uint32_t> kind{kPortFree};
  // The process that made the right. A forked child inherits the table as it
  // was, but its sockets still lead to the parent's receivers: there the
  // entry names nothing (a child has no rights of its parent's, and a message
  // it sent would reach the parent's server, which cannot answer it).
  std::atomic<task_t> owner{0};
  int receiveFd = -1;  // the end messages are read from
  int sendFd = -1;     // the end messages are written to
  // What the two ends were opened on. A program may close descriptors it did
  // not open and get the numbers back for its own: a port whose socket is
  // gone that way is dead, never read from or written to.
  descriptor_identity receiveIdentity;
  descriptor_identity sendIdentity;
  std::atomic<int32_t> sendRights{0};
  std::atomic<int32_t> sendOnceRights{0};
  std::atomic<mach_port_t> portSet{MACH_PORT_NULL};
  std::atomic<mach_port_t> noSendersNotify{MACH_PORT_NULL};
  std::atomic<uint32_t> noSendersSync{0};
};

constexpr uint32_t kPortCount = 512;
PortEntry gPorts[kPortCount];

PortEntry* entryOf(mach_port_t name) {
  if (name == MACH_PORT_NULL || name > kPortCount) return nullptr;
  PortEntry* e = &gPorts[name - 1];
  return e->owner.load(std::memory_order_acquire) == mach_task_self() ? e : nullptr;
}

PortEntry* portOf(mach_port_t name) {
  PortEntry* e = entryOf(name);
  return e != nullptr && e->kind.load(std::memory_order_acquire) == kPort ? e : nullptr;
}

// Queues `size` bytes on `port`; false when the port is gone or the queue is
// full and `wait` is false.
bool receivable(const PortEntry& e) {
  return descriptor_still_names(e.receiveFd, e.receiveIdentity, false);
}

mach_msg_return_t enqueue(mach_port_t port, const void* data, uint32_t size, bool wait) {
  PortEntry* e = portOf(port);
  if (e == nullptr || !descriptor_still_names(e->sendFd, e->sendIdentity, false)) {
    return MACH_SEND_INVALID_DEST;
  }
  int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
  for (;;) {
    ssize_t n = send(e->sendFd, data, size, flags);
    if (n == static_cast<ssize_t>(size)) return MACH_MSG_SUCCESS;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return MACH_SEND_TIMED_OUT;
    return MACH_SEND_INVALID_DEST;
  }
}

void sendNoSendersNotice(PortEntry* e, mach_port_t name) {
  mach_port_t notify = e->noSendersNotify.exchange(MACH_PORT_NULL);
  if (!MACH_PORT_VALID(notify)) return;
  struct {
    mach_msg_header_t header;
    uint32_t ndr[2];
    uint32_t sendCount;
  } notice = {};
  notice.header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_MOVE_SEND_ONCE, 0);
  notice.header.msgh_size = sizeof notice;
  notice.header.msgh_remote_port = notify;
  notice.header.msgh_local_port = MACH_PORT_NULL;
  notice.header.msgh_id = MACH_NOTIFY_NO_SENDERS;
  notice.sendCount = 0;
  (void)name;
  enqueue(notify, &notice, sizeof notice, false);
}

void dropSendRight(PortEntry* e, mach_port_t name, int32_t count) {
  int32_t left = e->sendRights.fetch_sub(count) - count;
  if (left < static_cast<int32_t>(e->noSendersSync.load())) sendNoSendersNotice(e, name);
}

// Closes the entry's sockets where their numbers still name them.
void closeSockets(const PortEntry* e) {
  if (descriptor_still_names(e->receiveFd, e->receiveIdentity, false)) close(e->receiveFd);
  if (descriptor_still_names(e->sendFd, e->sendIdentity, false)) close(e->sendFd);
}

// Forgets the sockets, rights and links of an entry (not closing the sockets).
void clearEntry(PortEntry* e) {
  e->receiveFd = e->sendFd = -1;
  e->sendRights = 0;
  e->sendOnceRights = 0;
  e->portSet = MACH_PORT_NULL;
  e->noSendersNotify = MACH_PORT_NULL;
  e->noSendersSync = 0;
}

// Claims a free entry, or one a parent process left behind in this copy of
// its table (closing this process's copies of its sockets).
bool claimEntry(PortEntry* e) {
  const task_t self = mach_task_self();
  for (;;) {
    uint32_t kind = e->kind.load(std::memory_order_acquire);
    const task_t owner = e->owner.load(std::memory_order_acquire);
    if (kind != kPortFree && (owner == self || kind == kPortClaimed)) return false;
    if (!e->kind.compare_exchange_strong(kind, kPortClaimed, std::memory_order_acq_rel)) continue;
    if (kind != kPortFree) {
      closeSockets(e);
      clearEntry(e);
    }
    e->owner.store(self, std::memory_order_release);
    return true;
  }
}

void destroyPort(PortEntry* e) {
  PortEntry sockets;
  sockets.receiveFd = e->receiveFd;
  sockets.sendFd = e->sendFd;
  sockets.receiveIdentity = e->receiveIdentity;
  sockets.sendIdentity = e->sendIdentity;
  clearEntry(e);
  e->kind.store(kPortFree, std::memory_order_release);
  closeSockets(&sockets);
}

// ---- Exception ports ----

struct ExceptionSlot {
  mach_port_t port = MACH_PORT_NULL;
  exception_behavior_t behavior = 0;
  thread_state_flavor_t flavor = 0;
};

struct ExceptionTable {
  ExceptionSlot slots[EXC_TYPES_COUNT];
};

ExceptionTable gTaskPorts;

struct ThreadPorts {
  std::atomic<thread_t> thread{0};
  ExceptionTable table;
};
constexpr int kThreadPortCount = 64;
ThreadPorts gThreadPorts[kThreadPortCount];

ExceptionTable* threadTable(thread_t thread, bool create) {
  for (auto& t : gThreadPorts) {
    if (t.thread.load() == thread) return &t.table;
  }
  if (!create) return nullptr;
  for (auto& t : gThreadPorts) {
    thread_t expected = 0;
    if (t.thread.compare_exchange_strong(expected, thread)) {
      t.table = ExceptionTable();
      return &t.table;
    }
  }
  return nullptr;
}

// Lists the registrations of `mask`, one entry per distinct (port,
// behaviour, flavour), with the union of their mask bits.
void collect(const ExceptionTable& table, exception_mask_t mask, exception_mask_t* masks,
             uint32_t* count, mach_port_t* ports, exception_behavior_t* behaviors,
             thread_state_flavor_t* flavors) {
  uint32_t capacity = *count;
  uint32_t n = 0;
  for (uint32_t type = 1; type < EXC_TYPES_COUNT; ++type) {
    if ((mask & (1u << type)) == 0) continue;
    const ExceptionSlot& slot = table.slots[type];
    uint32_t i = 0;
    for (; i < n; ++i) {
      if (ports[i] == slot.port && behaviors[i] == slot.behavior && flavors[i] == slot.flavor) {
        masks[i] |= 1u << type;
        break;
      }
    }
    if (i == n && n < capacity) {
      masks[n] = 1u << type;
      ports[n] = slot.port;
      behaviors[n] = slot.behavior;
      flavors[n] = slot.flavor;
      // The caller owns a send right of each port it is handed.
      if (PortEntry* e = portOf(slot.port)) e->sendRights.fetch_add(1);
      ++n;
    }
  }
  *count = n;
}

void assign(ExceptionTable* table, exception_mask_t mask, mach_port_t port,
            exception_behavior_t behavior, thread_state_flavor_t flavor) {
  for (uint32_t type = 1; type < EXC_TYPES_COUNT; ++type) {
    if ((mask & (1u << type)) == 0) continue;
    ExceptionSlot& slot = table->slots[type];
    if (PortEntry* old = portOf(slot.port)) dropSendRight(old, slot.port, 1);
    slot = {port, behavior, flavor};
    if (PortEntry* e = portOf(port)) e->sendRights.fetch_add(1);
  }
}

}  // namespace

void exception_bridge_arm(exception_mask_t mask) noexcept;

kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_t* name) noexcept {
  if (!task_is_self(task)) return KERN_INVALID_ARGUMENT;
  if (right != MACH_PORT_RIGHT_RECEIVE && right != MACH_PORT_RIGHT_PORT_SET) {
    return KERN_INVALID_VALUE;
  }
  ErrnoGuard guard;
  for (uint32_t i = 0; i < kPortCount; ++i) {
    if (!claimEntry(&gPorts[i])) continue;
    PortEntry& e = gPorts[i];
    if (right == MACH_PORT_RIGHT_RECEIVE) {
      int fds[2];
      if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        e.kind.store(kPortFree);
        return KERN_RESOURCE_SHORTAGE;
      }
      e.receiveFd = fds[0];
      e.sendFd = fds[1];
      descriptor_identify(fds[0], &e.receiveIdentity);
      descriptor_identify(fds[1], &e.sendIdentity);
      e.kind.store(kPort, std::memory_order_release);
    } else {
      e.kind.store(kPortSet, std::memory_order_release);
    }
    *name = i + 1;
    return KERN_SUCCESS;
  }
  return KERN_NO_SPACE;
}

kern_return_t mach_port_insert_right(task_t task, mach_port_t name, mach_port_t poly,
                                     mach_msg_type_name_t poly_type) noexcept {
  if (!task_is_self(task)) return KERN_INVALID_ARGUMENT;
  PortEntry* e = portOf(name);
  if (e == nullptr || poly != name) return KERN_INVALID_NAME;
  if (poly_type == MACH_MSG_TYPE_MAKE_SEND || poly_type == MACH_MSG_TYPE_COPY_SEND) {
    e->sendRights.fetch_add(1);
    return KERN_SUCCESS;
  }
  if (poly_type == MACH_MSG_TYPE_MAKE_SEND_ONCE) {
    e->sendOnceRights.fetch_add(1);
    return KERN_SUCCESS;
  }
  return KERN_INVALID_VALUE;
}

kern_return_t mach_port_mod_refs(task_t task, mach_port_t name, mach_port_right_t right,
                                 int32_t delta) noexcept {
  if (!task_is_self(task)) return KERN_INVALID_ARGUMENT;
  PortEntry* e = entryOf(name);
  if (e == nullptr) return KERN_INVALID_NAME;
  uint32_t kind = e->kind.load(std::memory_order_acquire);
  switch (right) {
    case MACH_PORT_RIGHT_RECEIVE:
      if (kind != kPort) return KERN_INVALID_RIGHT;
      if (delta == 0) return KERN_SUCCESS;
      if (delta != -1) return KERN_INVALID_VALUE;
      destroyPort(e);
      return KERN_SUCCESS;
    case MACH_PORT_RIGHT_PORT_SET:
      if (kind != kPortSet) return KERN_INVALID_RIGHT;
      if (delta == 0) return KERN_SUCCESS;
      if (delta != -1) return KERN_INVALID_VALUE;
      for (auto& member : gPorts) {
        if (member.owner.load(std::memory_order_acquire) != mach_task_self()) continue;
        mach_port_t set = name;
        member.portSet.compare_exchange_strong(set, MACH_PORT_NULL);
      }
      e->kind.store(kPortFree, std::memory_order_release);
      return KERN_SUCCESS;
    case MACH_PORT_RIGHT_SEND:
      if (kind != kPort) return KERN_INVALID_RIGHT;
      if (delta < 0 && e->sendRights.load() + delta < 0) return KERN_INVALID_VALUE;
      if (delta < 0) {
        dropSendRight(e, name, -delta);
      } else {
        e->sendRights.fetch_add(delta);
      }
      return KERN_SUCCESS;
    case MACH_PORT_RIGHT_SEND_ONCE:
      if (kind != kPort) return KERN_INVALID_RIGHT;
      if (e->sendOnceRights.load() + delta < 0) return KERN_INVALID_VALUE;
      e->sendOnceRights.fetch_add(delta);
      return KERN_SUCCESS;
    default:
      return KERN_INVALID_VALUE;
  }
}

kern_return_t mach_port_deallocate(task_t task, mach_port_t name) noexcept {
  if (!task_is_self(task)) return KERN_INVALID_ARGUMENT;
  PortEntry* e = portOf(name);
  if (e == nullptr) return KERN_INVALID_NAME;
  if (e->sendRights.load() > 0) {
    dropSendRight(e, name, 1);
    return KERN_SUCCESS;
  }
  if (e->sendOnceRights.load() > 0) {
    e->sendOnceRights.fetch_sub(1);
    return KERN_SUCCESS;
  }
  return KERN_INVALID_RIGHT;
}

kern_return_t mach_port_request_notification(task_t task, mach_port_t name, int32_t variant,
                                             uint32_t sync, mach_port_t notify,
                                             mach_msg_type_name_t, mach_port_t* previous) noexcept {
  if (!task_is_self(task)) return KERN_INVALID_ARGUMENT;
  if (variant != MACH_NOTIFY_NO_SENDERS) return KERN_INVALID_VALUE;
  PortEntry* e = portOf(name);
  if (e == nullptr) return KERN_INVALID_NAME;
  if (portOf(notify) == nullptr) return KERN_INVALID_NAME;
  if (previous) *previous = e->noSendersNotify.load();
  e->noSendersSync = sync;
  e->noSendersNotify = notify;
  return KERN_SUCCESS;
}

kern_return_t mach_port_move_member(task_t task, mach_port_t member, mach_port_t after) noexcept {
  if (!task_is_self(task)) return KERN_INVALID_ARGUMENT;
  PortEntry* e = portOf(member);
  if (e == nullptr) return KERN_INVALID_NAME;
  if (after != MACH_PORT_NULL) {
    PortEntry* set = entryOf(after);
    if (set == nullptr || set->kind.load() != kPortSet) return KERN_INVALID_RIGHT;
  }
  e->portSet = after;
  return KERN_SUCCESS;
}

kern_return_t mach_port_get_refs(task_t task, mach_port_t name, mach_port_right_t right,
                                 uint32_t* refs) noexcept {
  if (!task_is_self(task)) return KERN_INVALID_ARGUMENT;
  PortEntry* e = entryOf(name);
  if (e == nullptr) return KERN_INVALID_NAME;
  uint32_t kind = e->kind.load();
  switch (right) {
    case MACH_PORT_RIGHT_RECEIVE:
      *refs = kind == kPort ? 1 : 0;
      return KERN_SUCCESS;
    case MACH_PORT_RIGHT_PORT_SET:
      *refs = kind == kPortSet ? 1 : 0;
      return KERN_SUCCESS;
    case MACH_PORT_RIGHT_SEND:
      *refs = kind == kPort ? static_cast<uint32_t>(e->sendRights.load()) : 0;
      return KERN_SUCCESS;
    case MACH_PORT_RIGHT_SEND_ONCE:
      *refs = kind == kPort ? static_cast<uint32_t>(e->sendOnceRights.load()) : 0;
      return KERN_SUCCESS;
    default:
      return KERN_INVALID_VALUE;
  }
}

mach_msg_return_t mach_msg(mach_msg_header_t* msg, int32_t option, uint32_t send_size,
                           uint32_t rcv_size, mach_port_t rcv_name, uint32_t timeout,
                           mach_port_t) noexcept {
  ErrnoGuard guard;
  if (option & MACH_SEND_MSG) {
    if (send_size < sizeof(mach_msg_header_t)) return MACH_SEND_INVALID_DEST;
    msg->msgh_size = send_size;
    mach_msg_return_t sent =
        enqueue(msg->msgh_remote_port, msg, send_size, (option & MACH_SEND_TIMEOUT) == 0);
    if (sent != MACH_MSG_SUCCESS) return sent;
  }
  if ((option & MACH_RCV_MSG) == 0) return MACH_MSG_SUCCESS;

  // The sockets to wait on: the port itself, or every member of the set.
  struct pollfd fds[64];
  mach_port_t names[64];
  nfds_t count = 0;
  PortEntry* target = entryOf(rcv_name);
  if (target == nullptr) return MACH_RCV_INVALID_NAME;
  uint32_t kind = target->kind.load(std::memory_order_acquire);
  if (kind == kPort) {
    if (!receivable(*target)) return MACH_RCV_INVALID_NAME;
    fds[0] = {target->receiveFd, POLLIN, 0};
    names[0] = rcv_name;
    count = 1;
  } else if (kind == kPortSet) {
    // A member whose socket is gone is left out; with none left, the
    // receive waits as on an empty set.
    for (uint32_t i = 0; i < kPortCount && count < 64; ++i) {
      if (gPorts[i].kind.load(std::memory_order_acquire) == kPort &&
          gPorts[i].owner.load(std::memory_order_acquire) == mach_task_self() &&
          gPorts[i].portSet.load() == rcv_name && receivable(gPorts[i])) {
        fds[count] = {gPorts[i].receiveFd, POLLIN, 0};
        names[count] = i + 1;
        ++count;
      }
    }
  } else {
    return MACH_RCV_INVALID_NAME;
  }
  int waitMs = (option & MACH_RCV_TIMEOUT) ? static_cast<int>(timeout) : -1;
  for (;;) {
    int ready = poll(fds, count, waitMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ready == 0 ? MACH_RCV_TIMED_OUT : MACH_RCV_INVALID_NAME;
    break;
  }
  for (nfds_t i = 0; i < count; ++i) {
    if ((fds[i].revents & POLLIN) == 0) continue;
    uint8_t probe;
    ssize_t size = recv(fds[i].fd, &probe, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0) continue;  // taken by another receiver
    if (static_cast<uint32_t>(size) > rcv_size) {
      if (option & MACH_RCV_LARGE) {
        if (rcv_size >= sizeof(uint32_t) * 2) msg->msgh_size = static_cast<uint32_t>(size);
      } else {
        char drop;
        recv(fds[i].fd, &drop, 1, MSG_DONTWAIT);
      }
      return MACH_RCV_TOO_LARGE;
    }
    ssize_t got = recv(fds[i].fd, msg, rcv_size, MSG_DONTWAIT);
    if (got < static_cast<ssize_t>(sizeof(mach_msg_header_t))) continue;
    // As received: the remote port is the sender's reply port, the local
    // port the one the message arrived on; the reply right is the one the
    // sender asked to be made.
    uint32_t sentBits = msg->msgh_bits;
    uint32_t replyDisposition = (sentBits >> 8) & MACH_MSGH_BITS_REMOTE_MASK;
    if (replyDisposition == MACH_MSG_TYPE_MAKE_SEND_ONCE) {
      replyDisposition = MACH_MSG_TYPE_MOVE_SEND_ONCE;
    } else if (replyDisposition == MACH_MSG_TYPE_MAKE_SEND ||
               replyDisposition == MACH_MSG_TYPE_COPY_SEND) {
      replyDisposition = MACH_MSG_TYPE_MOVE_SEND;
    }
    mach_port_t reply = msg->msgh_local_port;
    msg->msgh_bits = (sentBits & ~0xFFFFu) | replyDisposition;
    msg->msgh_remote_port = reply;
    msg->msgh_local_port = names[i];
    msg->msgh_size = static_cast<uint32_t>(got);
    return MACH_MSG_SUCCESS;
  }
  return MACH_RCV_PORT_CHANGED;
}

kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_t* masks,
                                       uint32_t* count, mach_port_t* ports,
                                       exception_behavior_t* behaviors,
                                       thread_state_flavor_t* flavors) noexcept {
  if (!task_is_self(task)) return KERN_INVALID_ARGUMENT;
  collect(gTaskPorts, mask, masks, count, ports, behaviors, flavors);
  return KERN_SUCCESS;
}

kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_t* masks, uint32_t* count,
                                        mach_port_t* ports, exception_behavior_t* behaviors,
                                        thread_state_flavor_t* flavors) noexcept {
  if (!task_is_self(task)) return KERN_INVALID_ARGUMENT;
  if (port != MACH_PORT_NULL && portOf(port) == nullptr) return KERN_INVALID_RIGHT;
  collect(gTaskPorts, mask, masks, count, ports, behaviors, flavors);
  assign(&gTaskPorts, mask, port, behavior, flavor);
  exception_bridge_arm(mask);
  return KERN_SUCCESS;
}

kern_return_t thread_get_exception_ports(thread_t thread, exception_mask_t mask,
                                         exception_mask_t* masks, uint32_t* count,
                                         mach_port_t* ports, exception_behavior_t* behaviors,
                                         thread_state_flavor_t* flavors) noexcept {
  ExceptionTable empty;
  ExceptionTable* table = threadTable(thread, false);
  collect(table ? *table : empty, mask, masks, count, ports, behaviors, flavors);
  return KERN_SUCCESS;
}

kern_return_t thread_swap_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t port,
                                          exception_behavior_t behavior,
                                          thread_state_flavor_t flavor, exception_mask_t* masks,
                                          uint32_t* count, mach_port_t* ports,
                                          exception_behavior_t* behaviors,
                                          thread_state_flavor_t* flavors) noexcept {
  if (port != MACH_PORT_NULL && portOf(port) == nullptr) return KERN_INVALID_RIGHT;
  ExceptionTable* table = threadTable(thread, true);
  if (table == nullptr) return KERN_RESOURCE_SHORTAGE;
  collect(*table, mask, masks, count, ports, behaviors, flavors);
  assign(table, mask, port, behavior, flavor);
  exception_bridge_arm(mask);
  return KERN_SUCCESS;
}

// The registration that handles `type` for `thread`: the thread's own, else
// the task's. False when neither has a valid port.
bool exception_port_for(thread_t thread, exception_type_t type, mach_port_t* port,
                        exception_behavior_t* behavior, thread_state_flavor_t* flavor) noexcept {
  if (type <= 0 || static_cast<uint32_t>(type) >= EXC_TYPES_COUNT) return false;
  for (auto& t : gThreadPorts) {
    if (t.thread.load() == thread && portOf(t.table.slots[type].port) != nullptr) {
      const ExceptionSlot& slot = t.table.slots[type];
      *port = slot.port;
      *behavior = slot.behavior;
      *flavor = slot.flavor;
      return true;
    }
  }
  const ExceptionSlot& slot = gTaskPorts.slots[type];
  if (portOf(slot.port) == nullptr) return false;
  *port = slot.port;
  *behavior = slot.behavior;
  *flavor = slot.flavor;
  return true;
}

}  // namespace sys
