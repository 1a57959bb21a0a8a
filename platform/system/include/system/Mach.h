#pragma once

#include <cstddef>
#include <cstdint>

#include "system/Task.h"

// A small message-passing layer in the shape the crash engine's exception
// server expects of the kernel, for the own task only. Port names index a
// fixed table of rights; each receive right is an AF_UNIX SOCK_SEQPACKET pair
// (message boundaries kept, a peek tells a message's size), a port set is a
// poll over its members' sockets. Send rights are counted per port, and a
// port whose last send right goes can tell a notify port ("no senders").
// Tasks and threads carry exception ports; `exception_raise` sends an
// exception request and waits for the reply. A port whose socket the program
// closed (and may have got the number back for a file of its own) is dead:
// sends to it fail, a receive on it fails, a set leaves it out, and its
// number is never read, written or closed.
//
// Sending and receiving are async-signal-safe (no heap, no locks: the table
// is static and entries change by atomic operations); allocation and right
// changes are not meant for signal handlers.
namespace sys {

using mach_port_t = uint32_t;
using mach_port_name_t = uint32_t;
using mach_port_right_t = uint32_t;
using mach_msg_type_name_t = uint32_t;
using mach_msg_return_t = kern_return_t;
using exception_type_t = int32_t;
using exception_mask_t = uint32_t;
using exception_behavior_t = int32_t;
using thread_state_flavor_t = int32_t;

inline constexpr mach_port_t MACH_PORT_NULL = 0;
inline constexpr mach_port_t MACH_PORT_DEAD = ~0u;
inline bool MACH_PORT_VALID(mach_port_t name) {
  return name != MACH_PORT_NULL && name != MACH_PORT_DEAD;
}

inline constexpr kern_return_t KERN_INVALID_NAME = 15;
inline constexpr kern_return_t KERN_INVALID_RIGHT = 17;
inline constexpr kern_return_t KERN_INVALID_VALUE = 18;
inline constexpr kern_return_t KERN_NO_SPACE = 3;
inline constexpr kern_return_t KERN_NOT_SUPPORTED = 46;

// Port rights.
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND = 0;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_RECEIVE = 1;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND_ONCE = 2;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_PORT_SET = 3;

// Dispositions in message headers and right insertions.
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_RECEIVE = 16;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND = 17;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_COPY_SEND = 19;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND = 20;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;

inline constexpr uint32_t MACH_MSGH_BITS_REMOTE_MASK = 0x1F;
inline constexpr uint32_t MACH_MSGH_BITS(uint32_t remote, uint32_t local) {
  return remote | (local << 8);
}

// Notices.
inline constexpr int32_t MACH_NOTIFY_NO_SENDERS = 70;

// mach_msg options and results.
inline constexpr int32_t MACH_SEND_MSG = 0x1;
inline constexpr int32_t MACH_RCV_MSG = 0x2;
inline constexpr int32_t MACH_RCV_LARGE = 0x4;
inline constexpr int32_t MACH_SEND_TIMEOUT = 0x10;
inline constexpr int32_t MACH_RCV_TIMEOUT = 0x100;
inline constexpr mach_msg_return_t MACH_MSG_SUCCESS = 0;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DEST = 0x10000003;
inline constexpr mach_msg_return_t MACH_SEND_TIMED_OUT = 0x10000004;
inline constexpr mach_msg_return_t MACH_RCV_INVALID_NAME = 0x10004002;
inline constexpr mach_msg_return_t MACH_RCV_TIMED_OUT = 0x10004003;
inline constexpr mach_msg_return_t MACH_RCV_TOO_LARGE = 0x10004004;
inline constexpr mach_msg_return_t MACH_RCV_PORT_CHANGED = 0x10004006;
inline constexpr uint32_t MACH_MSG_TIMEOUT_NONE = 0;

struct mach_msg_header_t {
  uint32_t msgh_bits;
  uint32_t msgh_size;
  mach_port_t msgh_remote_port;
  mach_port_t msgh_local_port;
  mach_port_t msgh_voucher_port;
  int32_t msgh_id;
};

// Exception types, masks and behaviours.
inline constexpr exception_type_t EXC_BAD_ACCESS = 1;
inline constexpr exception_type_t EXC_BAD_INSTRUCTION = 2;
inline constexpr exception_type_t EXC_ARITHMETIC = 3;
inline constexpr exception_type_t EXC_EMULATION = 4;
inline constexpr exception_type_t EXC_SOFTWARE = 5;
inline constexpr exception_type_t EXC_BREAKPOINT = 6;
inline constexpr exception_type_t EXC_GUARD = 12;
inline constexpr uint32_t EXC_TYPES_COUNT = 14;
inline constexpr exception_mask_t EXC_MASK_BAD_ACCESS = 1u << EXC_BAD_ACCESS;
inline constexpr exception_mask_t EXC_MASK_BAD_INSTRUCTION = 1u << EXC_BAD_INSTRUCTION;
inline constexpr exception_mask_t EXC_MASK_ARITHMETIC = 1u << EXC_ARITHMETIC;
inline constexpr exception_mask_t EXC_MASK_SOFTWARE = 1u << EXC_SOFTWARE;
inline constexpr exception_mask_t EXC_MASK_BREAKPOINT = 1u << EXC_BREAKPOINT;
inline constexpr exception_mask_t EXC_MASK_GUARD = 1u << EXC_GUARD;
inline constexpr exception_behavior_t EXCEPTION_DEFAULT = 1;
inline constexpr exception_behavior_t EXCEPTION_STATE = 2;
inline constexpr exception_behavior_t EXCEPTION_STATE_IDENTITY = 3;
inline constexpr exception_behavior_t MACH_EXCEPTION_CODES = static_cast<int32_t>(0x80000000u);

// The exception request and reply as they travel (32-bit words: header,
// descriptor count, thread and task descriptors, NDR record, type, count,
// then the 64-bit codes).
inline constexpr int32_t kExceptionRaiseRequestId = 2401;      // 32-bit codes
inline constexpr int32_t kMachExceptionRaiseRequestId = 2405;  // 64-bit codes
inline constexpr uint32_t kExceptionRequestHeaderSize = 68;    // up to the codes
inline constexpr uint32_t kExceptionReplySize = 36;

// Ports.
[[nodiscard]] kern_return_t mach_port_allocate(task_t task, mach_port_right_t right,
                                               mach_port_t* name) noexcept;
[[nodiscard]] kern_return_t mach_port_insert_right(task_t task, mach_port_t name, mach_port_t poly,
                                                   mach_msg_type_name_t poly_type) noexcept;
[[nodiscard]] kern_return_t mach_port_mod_refs(task_t task, mach_port_t name,
                                               mach_port_right_t right, int32_t delta) noexcept;
// Drops one send right (or send-once right) of `name`.
[[nodiscard]] kern_return_t mach_port_deallocate(task_t task, mach_port_t name) noexcept;
// Asks for a no-senders notice (id 70) on `name`, sent to `notify` once the
// port has fewer than `sync` send rights.
[[nodiscard]] kern_return_t mach_port_request_notification(task_t task, mach_port_t name,
                                                           int32_t variant, uint32_t sync,
                                                           mach_port_t notify,
                                                           mach_msg_type_name_t notify_type,
                                                           mach_port_t* previous) noexcept;
[[nodiscard]] kern_return_t mach_port_move_member(task_t task, mach_port_t member,
                                                  mach_port_t after) noexcept;
// The number of user references of `right` that `name` holds.
[[nodiscard]] kern_return_t mach_port_get_refs(task_t task, mach_port_t name,
                                               mach_port_right_t right, uint32_t* refs) noexcept;

// Sends and/or receives. On receive the header's local port is the port the
// message arrived on; too large a message with MACH_RCV_LARGE stays queued
// and its size is reported in the header.
[[nodiscard]] mach_msg_return_t mach_msg(mach_msg_header_t* msg, int32_t option, uint32_t send_size,
                                         uint32_t rcv_size, mach_port_t rcv_name, uint32_t timeout,
                                         mach_port_t notify) noexcept;

// Exception ports of the task and of single threads.
[[nodiscard]] kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask,
                                                     exception_mask_t* masks, uint32_t* count,
                                                     mach_port_t* ports,
                                                     exception_behavior_t* behaviors,
                                                     thread_state_flavor_t* flavors) noexcept;
[[nodiscard]] kern_return_t task_swap_exception_ports(
    task_t task, exception_mask_t mask, mach_port_t port, exception_behavior_t behavior,
    thread_state_flavor_t flavor, exception_mask_t* masks, uint32_t* count, mach_port_t* ports,
    exception_behavior_t* behaviors, thread_state_flavor_t* flavors) noexcept;
[[nodiscard]] kern_return_t thread_get_exception_ports(thread_t thread, exception_mask_t mask,
                                                       exception_mask_t* masks, uint32_t* count,
                                                       mach_port_t* ports,
                                                       exception_behavior_t* behaviors,
                                                       thread_state_flavor_t* flavors) noexcept;
[[nodiscard]] kern_return_t thread_swap_exception_ports(
    thread_t thread, exception_mask_t mask, mach_port_t port, exception_behavior_t behavior,
    thread_state_flavor_t flavor, exception_mask_t* masks, uint32_t* count, mach_port_t* ports,
    exception_behavior_t* behaviors, thread_state_flavor_t* flavors) noexcept;

// Sends an exception request to `port` and waits for the reply; its return
// code, or the send/receive failure.
[[nodiscard]] kern_return_t exception_raise(mach_port_t port, thread_t thread, task_t task,
                                            exception_type_t exception, const int32_t* codes,
                                            uint32_t code_count) noexcept;
[[nodiscard]] kern_return_t exception_raise_state(mach_port_t port, exception_type_t exception,
                                                  const int32_t* codes, uint32_t code_count,
                                                  thread_state_flavor_t* flavor,
                                                  const uint32_t* old_state,
                                                  uint32_t old_state_count, uint32_t* new_state,
                                                  uint32_t* new_state_count) noexcept;
[[nodiscard]] kern_return_t exception_raise_state_identity(
    mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
    const int32_t* codes, uint32_t code_count, thread_state_flavor_t* flavor,
    const uint32_t* old_state, uint32_t old_state_count, uint32_t* new_state,
    uint32_t* new_state_count) noexcept;

// The register state of a suspended or faulting thread in `flavor` (the
// host's x86-64 flavour 4 only), as 32-bit words.
[[nodiscard]] kern_return_t thread_get_state(thread_t thread, thread_state_flavor_t flavor,
                                             uint32_t* state, uint32_t* count) noexcept;

}  // namespace sys
