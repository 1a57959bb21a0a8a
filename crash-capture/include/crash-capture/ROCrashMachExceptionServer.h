#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/NSError.h"
#include "system/Mach.h"

// Catching crashes as exception messages: a server thread that receives them
// on its own port and answers through a callback, exception-port
// registrations that can be installed on a task or thread while the replaced
// ones are kept, and the forwarding of an exception to those.

// A fixed-size copy of a set of registrations, readable at crash time.
struct rocrash_mach_exception_port_set {
  uint32_t count;  // at most EXC_TYPES_COUNT (14)
  sys::exception_mask_t masks[sys::EXC_TYPES_COUNT];
  sys::mach_port_t ports[sys::EXC_TYPES_COUNT];
  sys::exception_behavior_t behaviors[sys::EXC_TYPES_COUNT];
  sys::thread_state_flavor_t flavors[sys::EXC_TYPES_COUNT];
};

class ROCrashMachExceptionPortSet;

// One exception-port registration: port, mask, behaviour, flavour. Holds a
// send right of its port while it lives (when the port is a valid name).
class ROCrashMachExceptionPort {
 public:
  static std::shared_ptr<ROCrashMachExceptionPort> initWithServerPort(
      sys::mach_port_t port, sys::exception_mask_t mask, sys::exception_behavior_t behavior,
      sys::thread_state_flavor_t flavor);
  ~ROCrashMachExceptionPort();
  ROCrashMachExceptionPort(const ROCrashMachExceptionPort&) = delete;
  ROCrashMachExceptionPort& operator=(const ROCrashMachExceptionPort&) = delete;

  // The registrations of `task` (or `thread`) for `mask`; null with a
  // Mach-domain error underneath on failure.
  static std::shared_ptr<ROCrashMachExceptionPortSet> exceptionPortsForTask(
      sys::task_t task, sys::exception_mask_t mask, std::shared_ptr<foundation::NSError>* error);
  static std::shared_ptr<ROCrashMachExceptionPortSet> exceptionPortsForThread(
      sys::thread_t thread, sys::exception_mask_t mask,
      std::shared_ptr<foundation::NSError>* error);

  // Swaps this registration in for its mask; `*previous` (when given) gets
  // the registrations it replaced.
  bool registerForTask(sys::task_t task, std::shared_ptr<ROCrashMachExceptionPortSet>* previous,
                       std::shared_ptr<foundation::NSError>* error);
  bool registerForThread(sys::thread_t thread,
                         std::shared_ptr<ROCrashMachExceptionPortSet>* previous,
                         std::shared_ptr<foundation::NSError>* error);

  sys::mach_port_t server_port() const { return port_; }
  sys::exception_mask_t mask() const { return mask_; }
  sys::exception_behavior_t behavior() const { return behavior_; }
  sys::thread_state_flavor_t flavor() const { return flavor_; }

 private:
  ROCrashMachExceptionPort() = default;
  sys::exception_mask_t mask_ = 0;
  sys::mach_port_t port_ = sys::MACH_PORT_NULL;
  sys::exception_behavior_t behavior_ = 0;
  sys::thread_state_flavor_t flavor_ = 0;
};

// A set of registrations and its fixed-size copy. Enumerates like its set.
class ROCrashMachExceptionPortSet {
 public:
  using Ports = std::vector<std::shared_ptr<ROCrashMachExceptionPort>>;

  // Fills the copy in the set's order. More than 14 registrations raise an
  // assertion failure (NSInternalInconsistencyException).
  static std::shared_ptr<ROCrashMachExceptionPortSet> initWithSet(Ports set);
  // One registration object per entry; each takes over the send right the
  // record's port came with. A count above 14 raises an assertion failure.
  static std::shared_ptr<ROCrashMachExceptionPortSet> initWithAsyncSafeRepresentation(
      const rocrash_mach_exception_port_set& representation);

  const Ports& set() const { return set_; }
  rocrash_mach_exception_port_set asyncSafeRepresentation() const { return representation_; }
  Ports::const_iterator begin() const { return set_.begin(); }
  Ports::const_iterator end() const { return set_.end(); }

 private:
  ROCrashMachExceptionPortSet() = default;
  Ports set_;
  rocrash_mach_exception_port_set representation_{};
};

// The server's callback: answers one exception (the answer becomes the
// reply's return code). Runs on the server thread.
using ROCrashMachExceptionHandlerCallback =
    sys::kern_return_t (*)(sys::task_t task, sys::thread_t thread, sys::exception_type_t type,
                           const uint64_t* codes, uint32_t code_count, void* context);

struct ROCrashMachExceptionServerContext;

// A background thread receiving exception messages on its own port. Stopped
// and released when the object goes.
class ROCrashMachExceptionServer {
 public:
  static std::shared_ptr<ROCrashMachExceptionServer> initWithCallBack(
      ROCrashMachExceptionHandlerCallback callback, void* context,
      std::shared_ptr<foundation::NSError>* error);
  ~ROCrashMachExceptionServer();
  ROCrashMachExceptionServer(const ROCrashMachExceptionServer&) = delete;
  ROCrashMachExceptionServer& operator=(const ROCrashMachExceptionServer&) = delete;

  // A registration for the server's port: default behaviour with 64-bit
  // codes, the host's thread-state flavour.
  std::shared_ptr<ROCrashMachExceptionPort> exceptionPortWithMask(
      sys::exception_mask_t mask, std::shared_ptr<foundation::NSError>* error);
  // A new send right of the server port; MACH_PORT_NULL with an error.
  sys::mach_port_t copySendRightForServerAndReturningError(
      std::shared_ptr<foundation::NSError>* error);
  // The server thread.
  sys::thread_t serverThread();

 private:
  ROCrashMachExceptionServer() = default;
  ROCrashMachExceptionServerContext* serverContext_ = nullptr;
};

// Hands an exception to the first registration of `previous` that covers its
// type. KERN_FAILURE when none does, when that registration wants 64-bit
// codes, or for an unknown behaviour; else the result of the forwarded
// request. Async-signal-safe.
sys::kern_return_t rocrash_mach_exception_forward(sys::task_t task, sys::thread_t thread,
                                                  sys::exception_type_t exception_type,
                                                  const uint64_t* codes, uint32_t code_count,
                                                  const rocrash_mach_exception_port_set* previous);
