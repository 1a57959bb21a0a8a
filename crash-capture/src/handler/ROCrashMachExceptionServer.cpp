#include "crash-capture/ROCrashMachExceptionServer.h"

#include <errno.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "crash-capture/ROReradUzerirudError.h"
#include "log/ROCrashLog.h"
#include "objc/NSAssertionHandler.h"
#include "system/Threads.h"

namespace {

constexpr const char* kMachErrorDomain = "NSMachErrorDomain";
constexpr int32_t kStopMessageId = static_cast<int32_t>(0xDEADBEEF);
constexpr uint32_t kMinimumRequestSize = 76;
constexpr sys::thread_state_flavor_t kHostThreadStateFlavor = 4;

std::shared_ptr<foundation::NSError> machError(sys::kern_return_t kr) {
  return foundation::NSError::create(kMachErrorDomain, kr);
}

std::shared_ptr<foundation::NSError> posixError(int errorNumber) {
  return foundation::NSError::create(std::string(foundation::NSPOSIXErrorDomain), errorNumber);
}

void assertionFailure(const char* function, int line, const std::string& description) {
  objc::NSAssertionHandler::currentHandler()->handleFailureInFunction(function, __FILE__, line,
                                                                      description);
}

size_t roundToPages(size_t size) {
  size_t page = sys::vm_page_size();
  return (size + page - 1) / page * page;
}

void* allocatePages(size_t size) {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

}  // namespace

// ---- ROCrashMachExceptionPort ----

std::shared_ptr<ROCrashMachExceptionPort> ROCrashMachExceptionPort::initWithServerPort(
    sys::mach_port_t port, sys::exception_mask_t mask, sys::exception_behavior_t behavior,
    sys::thread_state_flavor_t flavor) {
  std::shared_ptr<ROCrashMachExceptionPort> object(new ROCrashMachExceptionPort());
  object->mask_ = mask;
  object->port_ = port;
  object->behavior_ = behavior;
  object->flavor_ = flavor;
  if (sys::MACH_PORT_VALID(port)) {
    sys::kern_return_t kr =
        sys::mach_port_mod_refs(sys::mach_task_self(), port, sys::MACH_PORT_RIGHT_SEND, 1);
    if (kr != sys::KERN_SUCCESS) {
      ROCrashLog("[ROReradUzerirud] Unexpected error incrementing mach port reference: " +
                 std::to_string(kr));
    }
  }
  return object;
}

ROCrashMachExceptionPort::~ROCrashMachExceptionPort() {
  if (sys::MACH_PORT_VALID(port_)) {
    sys::kern_return_t kr = sys::mach_port_deallocate(sys::mach_task_self(), port_);
    if (kr != sys::KERN_SUCCESS) {
      ROCrashLog("[ROReradUzerirud] Unexpected error decrementing mach port reference: " +
                 std::to_string(kr));
    }
  }
}

namespace {

template <typename Getter>
std::shared_ptr<ROCrashMachExceptionPortSet> readPorts(Getter get,
                                                       std::shared_ptr<foundation::NSError>* error,
                                                       const char* message) {
  rocrash_mach_exception_port_set record{};
  record.count = sys::EXC_TYPES_COUNT;
  sys::kern_return_t kr =
      get(record.masks, &record.count, record.ports, record.behaviors, record.flavors);
  if (kr != sys::KERN_SUCCESS) {
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem, message, machError(kr));
    return nullptr;
  }
  return ROCrashMachExceptionPortSet::initWithAsyncSafeRepresentation(record);
}

}  // namespace

std::shared_ptr<ROCrashMachExceptionPortSet> ROCrashMachExceptionPort::exceptionPortsForTask(
    sys::task_t task, sys::exception_mask_t mask, std::shared_ptr<foundation::NSError>* error) {
  return readPorts(
      [&](auto* masks, auto* count, auto* ports, auto* behaviors, auto* flavors) {
        return sys::task_get_exception_ports(task, mask, masks, count, ports, behaviors, flavors);
      },
      error, "Failed to fetch mach exception ports");
}

std::shared_ptr<ROCrashMachExceptionPortSet> ROCrashMachExceptionPort::exceptionPortsForThread(
    sys::thread_t thread, sys::exception_mask_t mask, std::shared_ptr<foundation::NSError>* error) {
  return readPorts(
      [&](auto* masks, auto* count, auto* ports, auto* behaviors, auto* flavors) {
        return sys::thread_get_exception_ports(thread, mask, masks, count, ports, behaviors,
                                               flavors);
      },
      error, "Failed to fetch mach exception ports");
}

bool ROCrashMachExceptionPort::registerForTask(
    sys::task_t task, std::shared_ptr<ROCrashMachExceptionPortSet>* previous,
    std::shared_ptr<foundation::NSError>* error) {
  auto set = readPorts(
      [&](auto* masks, auto* count, auto* ports, auto* behaviors, auto* flavors) {
        return sys::task_swap_exception_ports(task, mask_, port_, behavior_, flavor_, masks, count,
                                              ports, behaviors, flavors);
      },
      error, "Failed to swap mach exception ports");
  if (!set) return false;
  if (previous) *previous = set;
  return true;
}

bool ROCrashMachExceptionPort::registerForThread(
    sys::thread_t thread, std::shared_ptr<ROCrashMachExceptionPortSet>* previous,
    std::shared_ptr<foundation::NSError>* error) {
  auto set = readPorts(
      [&](auto* masks, auto* count, auto* ports, auto* behaviors, auto* flavors) {
        return sys::thread_swap_exception_ports(thread, mask_, port_, behavior_, flavor_, masks,
                                                count, ports, behaviors, flavors);
      },
      error, "Failed to swap mach exception ports");
  if (!set) return false;
  if (previous) *previous = set;
  return true;
}

// ---- ROCrashMachExceptionPortSet ----

std::shared_ptr<ROCrashMachExceptionPortSet> ROCrashMachExceptionPortSet::initWithSet(Ports set) {
  if (set.size() > sys::EXC_TYPES_COUNT) {
    assertionFailure(__func__, __LINE__,
                     "Set size of " + std::to_string(set.size()) + " exceeds EXC_TYPES_COUNT (" +
                         std::to_string(sys::EXC_TYPES_COUNT) + ")");
  }
  std::shared_ptr<ROCrashMachExceptionPortSet> object(new ROCrashMachExceptionPortSet());
  object->set_ = std::move(set);
  auto& r = object->representation_;
  for (const auto& port : object->set_) {
    r.masks[r.count] = port->mask();
    r.ports[r.count] = port->server_port();
    r.behaviors[r.count] = port->behavior();
    r.flavors[r.count] = port->flavor();
    ++r.count;
  }
  return object;
}

std::shared_ptr<ROCrashMachExceptionPortSet>
ROCrashMachExceptionPortSet::initWithAsyncSafeRepresentation(
    const rocrash_mach_exception_port_set& representation) {
  if (representation.count > sys::EXC_TYPES_COUNT) {
    assertionFailure(__func__, __LINE__,
                     "Count of " + std::to_string(representation.count) +
                         " exceeds EXC_TYPES_COUNT (" + std::to_string(sys::EXC_TYPES_COUNT) + ")");
  }
  Ports ports;
  for (uint32_t i = 0; i < representation.count; ++i) {
    ports.push_back(ROCrashMachExceptionPort::initWithServerPort(
        representation.ports[i], representation.masks[i], representation.behaviors[i],
        representation.flavors[i]));
    // The record's right came from the kernel; the port object now holds its
    // own, so the record's goes.
    if (sys::MACH_PORT_VALID(representation.ports[i])) {
      sys::kern_return_t kr =
          sys::mach_port_deallocate(sys::mach_task_self(), representation.ports[i]);
      if (kr != sys::KERN_SUCCESS) {
        ROCrashLog("[ROReradUzerirud] Unexpected error decrementing mach port reference: " +
                   std::to_string(kr));
      }
    }
  }
  return initWithSet(std::move(ports));
}

// ---- ROCrashMachExceptionServer ----

struct ROCrashMachExceptionServerContext {
  sys::thread_t serverThread = 0;
  sys::mach_port_t serverPort = sys::MACH_PORT_NULL;
  sys::mach_port_t notifyPort = sys::MACH_PORT_NULL;
  sys::mach_port_t portSet = sys::MACH_PORT_NULL;
  ROCrashMachExceptionHandlerCallback callback = nullptr;
  void* callbackContext = nullptr;
  pthread_mutex_t lock;
  pthread_cond_t condition;
  std::atomic<uint32_t> shutdown{0};
  bool stopped = false;
  bool started = false;
  // The receive buffer, made before the thread starts: a server that cannot
  // make it must not start, for a fault sent to it would wait for ever.
  uint8_t* buffer = nullptr;
  size_t bufferSize = 0;
};

namespace {

void releasePorts(ROCrashMachExceptionServerContext* ctx) {
  auto task = sys::mach_task_self();
  if (ctx->serverPort != sys::MACH_PORT_NULL) {
    (void)sys::mach_port_mod_refs(task, ctx->serverPort, sys::MACH_PORT_RIGHT_RECEIVE, -1);
  }
  if (ctx->notifyPort != sys::MACH_PORT_NULL) {
    (void)sys::mach_port_mod_refs(task, ctx->notifyPort, sys::MACH_PORT_RIGHT_RECEIVE, -1);
  }
  if (ctx->portSet != sys::MACH_PORT_NULL) {
    (void)sys::mach_port_mod_refs(task, ctx->portSet, sys::MACH_PORT_RIGHT_PORT_SET, -1);
  }
}

void markStopped(ROCrashMachExceptionServerContext* ctx) {
  pthread_mutex_lock(&ctx->lock);
  ctx->stopped = true;
  pthread_cond_broadcast(&ctx->condition);
  pthread_mutex_unlock(&ctx->lock);
}

struct ExceptionReply {
  sys::mach_msg_header_t header;
  uint32_t ndr[2];
  sys::kern_return_t retCode;
};

void sendReply(const sys::mach_msg_header_t* request, sys::kern_return_t code) {
  ExceptionReply reply = {};
  reply.header.msgh_bits = request->msgh_bits & sys::MACH_MSGH_BITS_REMOTE_MASK;
  reply.header.msgh_size = sizeof reply;
  reply.header.msgh_remote_port = request->msgh_remote_port;
  reply.header.msgh_local_port = sys::MACH_PORT_NULL;
  reply.header.msgh_voucher_port = sys::MACH_PORT_NULL;
  reply.header.msgh_id = request->msgh_id + 100;
  reply.ndr[1] = 0x00000001;
  reply.retCode = code;
  // A reply that cannot be sent has nobody waiting for it (the requester is
  // gone with its reply port).
  (void)sys::mach_msg(&reply.header, sys::MACH_SEND_MSG, sizeof reply, 0, sys::MACH_PORT_NULL, 0,
                      sys::MACH_PORT_NULL);
}

// Messages are received 4 bytes into the buffer: the 64-bit codes follow a
// 68-byte head, so this keeps them 8-byte aligned for the callback.
constexpr size_t kShift = 4;

void* serverThreadMain(void* arg) {
  auto* ctx = static_cast<ROCrashMachExceptionServerContext*>(arg);
  pthread_mutex_lock(&ctx->lock);
  ctx->serverThread = sys::mach_thread_self();
  ctx->started = true;
  pthread_cond_broadcast(&ctx->condition);
  pthread_mutex_unlock(&ctx->lock);

  uint8_t* block = ctx->buffer;
  size_t bufferSize = ctx->bufferSize;
  for (;;) {
    auto* buffer = reinterpret_cast<sys::mach_msg_header_t*>(block + kShift);
    size_t capacity = bufferSize - kShift;
    sys::mach_msg_return_t mr =
        sys::mach_msg(buffer, sys::MACH_RCV_MSG | sys::MACH_RCV_LARGE, 0,
                      static_cast<uint32_t>(capacity), ctx->portSet, 0, sys::MACH_PORT_NULL);
    if (mr == sys::MACH_RCV_TOO_LARGE) {
      size_t needed = roundToPages(buffer->msgh_size + kShift);
      auto* larger = static_cast<uint8_t*>(allocatePages(needed));
      if (larger == nullptr) {
        // No room for it: the message is dropped, and the server goes on
        // with the buffer it has, which holds every exception request.
        fprintf(stderr, "Unexpected error in vm_allocate(): 0x%x\n", static_cast<unsigned>(errno));
        // Received without MACH_RCV_LARGE, a message too large is taken off
        // the queue and dropped: the error this answers is the expected one.
        (void)sys::mach_msg(buffer, sys::MACH_RCV_MSG, 0, static_cast<uint32_t>(capacity),
                            ctx->portSet, 0, sys::MACH_PORT_NULL);
        continue;
      }
      munmap(block, bufferSize);
      block = larger;
      bufferSize = needed;
      continue;
    }
    if (mr != sys::MACH_MSG_SUCCESS) continue;

    if (buffer->msgh_local_port == ctx->notifyPort) {
      if (buffer->msgh_id == sys::MACH_NOTIFY_NO_SENDERS) continue;
      if (buffer->msgh_id == kStopMessageId && ctx->shutdown.load() != 0) {
        markStopped(ctx);
        munmap(block, bufferSize);
        return nullptr;
      }
    }

    if (buffer->msgh_size > 75) {
      const auto* words = reinterpret_cast<const uint32_t*>(buffer);
      uint32_t codeCount = words[16];
      if (capacity - kMinimumRequestSize < static_cast<uint64_t>(codeCount) * 8) continue;
      // Only this process's own exceptions are answered: a request for another
      // task is no crash of this process, and its reply port's name means
      // nothing here (a reply might reach one of this process's own ports).
      const auto task = static_cast<sys::task_t>(words[10]);
      if (!sys::task_is_self(task)) continue;
      const auto* codes = reinterpret_cast<const uint64_t*>(
          reinterpret_cast<const uint8_t*>(buffer) + sys::kExceptionRequestHeaderSize);
      sys::kern_return_t answer = ctx->callback(task, static_cast<sys::thread_t>(words[7]),
                                                static_cast<sys::exception_type_t>(words[15]),
                                                codes, codeCount, ctx->callbackContext);
      sendReply(buffer, answer);
    } else {
      sendReply(buffer, sys::KERN_FAILURE);
    }
  }
}

}  // namespace

std::shared_ptr<ROCrashMachExceptionServer> ROCrashMachExceptionServer::initWithCallBack(
    ROCrashMachExceptionHandlerCallback callback, void* context,
    std::shared_ptr<foundation::NSError>* error) {
  auto* ctx = new ROCrashMachExceptionServerContext();
  ctx->callback = callback;
  ctx->callbackContext = context;
  auto fail = [&](const char* message, std::shared_ptr<foundation::NSError> underlying) {
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem, message,
                         std::move(underlying));
  };

  int rc = pthread_mutex_init(&ctx->lock, nullptr);
  if (rc != 0) {
    fail("Mutex initialization failed", posixError(rc));
    delete ctx;
    return nullptr;
  }
  rc = pthread_cond_init(&ctx->condition, nullptr);
  if (rc != 0) {
    fail("Condition initialization failed", posixError(rc));
    pthread_mutex_destroy(&ctx->lock);
    delete ctx;
    return nullptr;
  }
  auto cleanup = [&] {
    if (ctx->buffer != nullptr) munmap(ctx->buffer, ctx->bufferSize);
    releasePorts(ctx);
    pthread_cond_destroy(&ctx->condition);
    pthread_mutex_destroy(&ctx->lock);
    delete ctx;
  };

  auto task = sys::mach_task_self();
  sys::kern_return_t kr =
      sys::mach_port_allocate(task, sys::MACH_PORT_RIGHT_RECEIVE, &ctx->serverPort);
  if (kr == sys::KERN_SUCCESS) {
    kr = sys::mach_port_allocate(task, sys::MACH_PORT_RIGHT_RECEIVE, &ctx->notifyPort);
  }
  if (kr != sys::KERN_SUCCESS) {
    fail("Failed to allocate exception server's port", machError(kr));
    cleanup();
    return nullptr;
  }
  kr = sys::mach_port_insert_right(task, ctx->notifyPort, ctx->notifyPort,
                                   sys::MACH_MSG_TYPE_MAKE_SEND);
  if (kr != sys::KERN_SUCCESS) {
    fail("Failed to add send right to exception server's port", machError(kr));
    cleanup();
    return nullptr;
  }
  sys::mach_port_t previous;
  kr = sys::mach_port_request_notification(task, ctx->serverPort, sys::MACH_NOTIFY_NO_SENDERS, 1,
                                           ctx->notifyPort, sys::MACH_MSG_TYPE_MAKE_SEND_ONCE,
                                           &previous);
  if (kr != sys::KERN_SUCCESS) {
    fail("Failed to request MACH_NOTIFY_NO_SENDERS on the exception server's port", machError(kr));
    cleanup();
    return nullptr;
  }
  kr = sys::mach_port_allocate(task, sys::MACH_PORT_RIGHT_PORT_SET, &ctx->portSet);
  if (kr != sys::KERN_SUCCESS) {
    fail("Failed to allocate exception server's port set", machError(kr));
    cleanup();
    return nullptr;
  }
  kr = sys::mach_port_move_member(task, ctx->serverPort, ctx->portSet);
  if (kr != sys::KERN_SUCCESS) {
    fail("Failed to add exception server port to port set", machError(kr));
    cleanup();
    return nullptr;
  }
  kr = sys::mach_port_move_member(task, ctx->notifyPort, ctx->portSet);
  if (kr != sys::KERN_SUCCESS) {
    fail("Failed to add exception server notify port to port set", machError(kr));
    cleanup();
    return nullptr;
  }

  ctx->bufferSize = roundToPages(kMinimumRequestSize + kShift);
  ctx->buffer = static_cast<uint8_t*>(allocatePages(ctx->bufferSize));
  if (ctx->buffer == nullptr) {
    fail("Failed to allocate exception server's receive buffer", posixError(errno));
    cleanup();
    return nullptr;
  }
  // Touched now: the page is there when the first exception arrives, whatever
  // memory the process has left by then.
  memset(ctx->buffer, 0, ctx->bufferSize);

  pthread_attr_t attributes;
  rc = pthread_attr_init(&attributes);
  if (rc != 0) {
    fail("Failed to initialize pthread_attr", posixError(rc));
    cleanup();
    return nullptr;
  }
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  rc = pthread_create(&thread, &attributes, serverThreadMain, ctx);
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    fail("Failed to create exception server thread", posixError(rc));
    cleanup();
    return nullptr;
  }
  // The thread records its own name as it starts.
  pthread_mutex_lock(&ctx->lock);
  while (!ctx->started) pthread_cond_wait(&ctx->condition, &ctx->lock);
  pthread_mutex_unlock(&ctx->lock);

  std::shared_ptr<ROCrashMachExceptionServer> server(new ROCrashMachExceptionServer());
  server->serverContext_ = ctx;
  return server;
}

ROCrashMachExceptionServer::~ROCrashMachExceptionServer() {
  auto* ctx = serverContext_;
  if (ctx == nullptr) return;
  uint32_t expected = 0;
  ctx->shutdown.compare_exchange_strong(expected, 1);
  sys::mach_msg_header_t stop = {};
  stop.msgh_bits = 0x1513;  // remote copy-send, local make-send-once
  stop.msgh_size = sizeof stop;
  stop.msgh_remote_port = ctx->notifyPort;
  stop.msgh_local_port = sys::MACH_PORT_NULL;
  stop.msgh_voucher_port = sys::MACH_PORT_NULL;
  stop.msgh_id = kStopMessageId;
  sys::mach_msg_return_t mr = sys::mach_msg(&stop, sys::MACH_SEND_MSG, sizeof stop, 0,
                                            sys::MACH_PORT_NULL, 0, sys::MACH_PORT_NULL);
  if (mr != sys::MACH_MSG_SUCCESS) {
    ROCrashLog(
        "[ROReradUzerirud] Unexpected error sending termination message to background thread: " +
        std::to_string(mr));
    return;
  }
  pthread_mutex_lock(&ctx->lock);
  while (!ctx->stopped) pthread_cond_wait(&ctx->condition, &ctx->lock);
  pthread_mutex_unlock(&ctx->lock);
  releasePorts(ctx);
  pthread_cond_destroy(&ctx->condition);
  pthread_mutex_destroy(&ctx->lock);
  delete ctx;
}

std::shared_ptr<ROCrashMachExceptionPort> ROCrashMachExceptionServer::exceptionPortWithMask(
    sys::exception_mask_t mask, std::shared_ptr<foundation::NSError>* error) {
  sys::mach_port_t port = copySendRightForServerAndReturningError(error);
  if (!sys::MACH_PORT_VALID(port)) return nullptr;
  auto object = ROCrashMachExceptionPort::initWithServerPort(
      port, mask, sys::EXCEPTION_DEFAULT | sys::MACH_EXCEPTION_CODES, kHostThreadStateFlavor);
  // The port object holds its own right now.
  (void)sys::mach_port_deallocate(sys::mach_task_self(), port);
  return object;
}

sys::mach_port_t ROCrashMachExceptionServer::copySendRightForServerAndReturningError(
    std::shared_ptr<foundation::NSError>* error) {
  auto* ctx = serverContext_;
  pthread_mutex_lock(&ctx->lock);
  sys::kern_return_t kr = sys::mach_port_insert_right(
      sys::mach_task_self(), ctx->serverPort, ctx->serverPort, sys::MACH_MSG_TYPE_MAKE_SEND);
  sys::mach_port_t port = ctx->serverPort;
  pthread_mutex_unlock(&ctx->lock);
  if (kr != sys::KERN_SUCCESS) {
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem,
                         "Failed to insert Mach send right", machError(kr));
    return sys::MACH_PORT_NULL;
  }
  return port;
}

sys::thread_t ROCrashMachExceptionServer::serverThread() {
  auto* ctx = serverContext_;
  if (ctx == nullptr) assertionFailure(__func__, __LINE__, "No handler registered!");
  pthread_mutex_lock(&ctx->lock);
  sys::thread_t thread = ctx->serverThread;
  pthread_mutex_unlock(&ctx->lock);
  return thread;
}

// ---- Forwarding ----

sys::kern_return_t rocrash_mach_exception_forward(sys::task_t task, sys::thread_t thread,
                                                  sys::exception_type_t exception_type,
                                                  const uint64_t* codes, uint32_t code_count,
                                                  const rocrash_mach_exception_port_set* previous) {
  if (exception_type <= 0 || exception_type >= 32) return sys::KERN_FAILURE;
  sys::exception_mask_t bit = 1u << exception_type;
  int32_t found = -1;
  for (uint32_t i = 0; i < previous->count && i < sys::EXC_TYPES_COUNT; ++i) {
    if (sys::MACH_PORT_VALID(previous->ports[i]) && (previous->masks[i] & bit) != 0) {
      found = static_cast<int32_t>(i);
      break;
    }
  }
  if (found < 0) return sys::KERN_FAILURE;

  sys::mach_port_t port = previous->ports[found];
  sys::exception_behavior_t behavior = previous->behaviors[found];
  sys::thread_state_flavor_t flavor = previous->flavors[found];
  // Forwarding with 64-bit codes is not offered.
  if ((behavior & sys::MACH_EXCEPTION_CODES) != 0) return sys::KERN_FAILURE;

  constexpr uint32_t kMaxCodes = 16;
  int32_t narrow[kMaxCodes];
  uint32_t count = code_count < kMaxCodes ? code_count : kMaxCodes;
  for (uint32_t i = 0; i < count; ++i) narrow[i] = static_cast<int32_t>(codes[i]);

  switch (behavior) {
    case sys::EXCEPTION_DEFAULT:
      return sys::exception_raise(port, thread, task, exception_type, narrow, count);
    case sys::EXCEPTION_STATE:
    case sys::EXCEPTION_STATE_IDENTITY: {
      uint32_t state[1296];
      uint32_t stateCount = 1296;
      sys::kern_return_t kr = sys::thread_get_state(thread, flavor, state, &stateCount);
      if (kr != sys::KERN_SUCCESS) return kr;
      // A state handed back is not applied to the thread.
      uint32_t newState[1296];
      uint32_t newCount = 1296;
      if (behavior == sys::EXCEPTION_STATE) {
        return sys::exception_raise_state(port, exception_type, narrow, count, &flavor, state,
                                          stateCount, newState, &newCount);
      }
      return sys::exception_raise_state_identity(port, thread, task, exception_type, narrow, count,
                                                 &flavor, state, stateCount, newState, &newCount);
    }
    default:
      return sys::KERN_FAILURE;
  }
}
