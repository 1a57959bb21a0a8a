#include <errno.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>

#include "system/HandlerStacks.h"
#include "system/Mach.h"
#include "system/SignalSafe.h"
#include "system/Threads.h"

// Exception requests and replies, and the bridge that turns real faults into
// exception messages.

namespace sys {

bool exception_port_for(thread_t thread, exception_type_t type, mach_port_t* port,
                        exception_behavior_t* behavior, thread_state_flavor_t* flavor) noexcept;

namespace {

struct NDR {
  uint32_t words[2];
};
constexpr NDR kNDR = {{0, 0x00000001}};  // little-endian integers, IEEE floats

struct PortDescriptor {
  uint32_t name;
  uint32_t pad;
  uint32_t disposition;  // and type bits
};

constexpr uint32_t kMaxCodes = 16;
constexpr uint32_t kMaxStateWords = 1296;
constexpr uint32_t kComplex = 0x80000000u;
// Set in the return codes of receive errors (MACH_RCV_*), clear in those of
// send errors.
constexpr kern_return_t kReceiveErrorBit = 0x4000;

// The request as the server reads it: header, body, thread and task,
// record, type and count, then the codes (32 or 64 bits each).
struct ExceptionRequest {
  mach_msg_header_t header;
  uint32_t descriptorCount;
  PortDescriptor thread;
  PortDescriptor task;
  NDR ndr;
  int32_t exception;
  uint32_t codeCount;
  uint8_t codes[kMaxCodes * 8];
};
static_assert(offsetof(ExceptionRequest, codes) == kExceptionRequestHeaderSize);

struct ExceptionReply {
  mach_msg_header_t header;
  NDR ndr;
  kern_return_t retCode;
};
static_assert(sizeof(ExceptionReply) == kExceptionReplySize);

// A reply port made when the bridge is armed, so that a fault in a process
// that has used up its file descriptors (or its memory) can still be answered:
// a call takes it when it is free, and makes a port of its own only when
// another call holds it. A call that can make none waits for the reserve.
// The reserve of a parent process, inherited by a forked child, names
// nothing there (the name may by now be one of the child's own ports): it is
// known by its owner too. The busy flag is taken before either is changed.
std::atomic<mach_port_t> gReservedReply{MACH_PORT_NULL};
std::atomic<task_t> gReservedReplyOwner{0};
std::atomic<int32_t> gReservedReplyBusy{0};

void reserveReplyPort() {
  if (gReservedReplyOwner.load() == mach_task_self()) return;
  int32_t idle = 0;
  if (!gReservedReplyBusy.compare_exchange_strong(idle, 1)) return;
  mach_port_t port;
  if (gReservedReplyOwner.load() != mach_task_self() &&
      mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port) == KERN_SUCCESS) {
    gReservedReply.store(port);
    gReservedReplyOwner.store(mach_task_self());
  }
  gReservedReplyBusy.store(0);
}

int* futexWord(std::atomic<int32_t>* word) { return reinterpret_cast<int*>(word); }

// The reply port of one call: the reserve, a new one, or (when neither can
// be had now) the reserve once it is given back. `*reserved` tells which.
// MACH_PORT_NULL when this process has no reserve and can make no port.
mach_port_t takeReplyPort(bool* reserved) {
  for (;;) {
    const bool usable = gReservedReplyOwner.load() == mach_task_self();
    int32_t idle = 0;
    if (usable && gReservedReplyBusy.compare_exchange_strong(idle, 1)) {
      if (gReservedReplyOwner.load() == mach_task_self()) {
        *reserved = true;
        return gReservedReply.load();
      }
      gReservedReplyBusy.store(0);
    }
    mach_port_t own;
    if (mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &own) == KERN_SUCCESS) {
      *reserved = false;
      return own;
    }
    if (!usable) return MACH_PORT_NULL;
    syscall(SYS_futex, futexWord(&gReservedReplyBusy), FUTEX_WAIT_PRIVATE, 1, nullptr, nullptr, 0);
  }
}

// Sends `request` (already sized) with a reply port and waits for the reply;
// the reply's return code, or the transport's failure.
kern_return_t call(mach_port_t port, mach_msg_header_t* request, uint32_t size, void* reply,
                   uint32_t replySize) {
  bool reserved = false;
  mach_port_t replyPort = takeReplyPort(&reserved);
  if (replyPort == MACH_PORT_NULL) return KERN_RESOURCE_SHORTAGE;
  request->msgh_bits |= MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE);
  request->msgh_remote_port = port;
  request->msgh_local_port = replyPort;
  kern_return_t kr = mach_msg(request, MACH_SEND_MSG | MACH_RCV_MSG, size, replySize, replyPort,
                              MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
  if (kr == MACH_MSG_SUCCESS) {
    std::memcpy(reply, request, replySize);
  }
  if (!reserved) {
    (void)mach_port_mod_refs(mach_task_self(), replyPort, MACH_PORT_RIGHT_RECEIVE, -1);
  } else if (kr == MACH_MSG_SUCCESS || (kr & kReceiveErrorBit) == 0) {
    // Given back only when no reply can still be on its way to it: the reply
    // came, or the request never left (a send error).
    gReservedReplyBusy.store(0);
    syscall(SYS_futex, futexWord(&gReservedReplyBusy), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }
  return kr;
}

void fillHead(ExceptionRequest* request, thread_t thread, task_t task, exception_type_t exception,
              uint32_t codeCount, int32_t id) {
  std::memset(request, 0, offsetof(ExceptionRequest, codes));
  request->header.msgh_bits = kComplex;
  request->header.msgh_id = id;
  request->descriptorCount = 2;
  request->thread = {static_cast<uint32_t>(thread), 0, MACH_MSG_TYPE_COPY_SEND};
  request->task = {static_cast<uint32_t>(task), 0, MACH_MSG_TYPE_COPY_SEND};
  request->ndr = kNDR;
  request->exception = exception;
  request->codeCount = codeCount;
}

kern_return_t raiseWithCodes(mach_port_t port, thread_t thread, task_t task,
                             exception_type_t exception, const void* codes, uint32_t codeCount,
                             uint32_t codeWidth, int32_t id) {
  if (codeCount > kMaxCodes) return KERN_INVALID_ARGUMENT;
  ExceptionRequest request;
  fillHead(&request, thread, task, exception, codeCount, id);
  std::memcpy(request.codes, codes, codeCount * codeWidth);
  uint32_t size = kExceptionRequestHeaderSize + codeCount * codeWidth;
  union {
    ExceptionRequest request;
    ExceptionReply reply;
  } buffer;
  std::memcpy(&buffer.request, &request, size);
  ExceptionReply reply;
  kern_return_t kr = call(port, &buffer.request.header, size, &reply, sizeof reply);
  return kr == KERN_SUCCESS ? reply.retCode : kr;
}

// State requests: the codes are followed by the flavour, the state's word
// count and the state; the reply carries a new state the same way.
struct StateReply {
  mach_msg_header_t header;
  NDR ndr;
  kern_return_t retCode;
  int32_t flavor;
  uint32_t stateCount;
  uint32_t state[kMaxStateWords];
};

kern_return_t raiseState(mach_port_t port, bool identity, thread_t thread, task_t task,
                         exception_type_t exception, const int32_t* codes, uint32_t codeCount,
                         thread_state_flavor_t* flavor, const uint32_t* oldState, uint32_t oldCount,
                         uint32_t* newState, uint32_t* newCount) {
  if (codeCount > kMaxCodes || oldCount > kMaxStateWords) return KERN_INVALID_ARGUMENT;
  union {
    struct {
      ExceptionRequest head;
      uint32_t tail[2 + kMaxStateWords];
    } request;
    StateReply reply;
  } buffer;
  fillHead(&buffer.request.head, thread, task, exception, codeCount, identity ? 2403 : 2402);
  if (!identity) buffer.request.head.descriptorCount = 0;
  uint8_t* at = buffer.request.head.codes;
  std::memcpy(at, codes, codeCount * 4);
  at += codeCount * 4;
  std::memcpy(at, flavor, 4);
  std::memcpy(at + 4, &oldCount, 4);
  std::memcpy(at + 8, oldState, oldCount * 4);
  uint32_t size = static_cast<uint32_t>(at + 8 + oldCount * 4 -
                                        reinterpret_cast<uint8_t*>(&buffer.request.head));
  StateReply* reply = &buffer.reply;
  kern_return_t kr = call(port, &buffer.request.head.header, size, reply, sizeof *reply);
  if (kr != KERN_SUCCESS) return kr;
  if (reply->retCode == KERN_SUCCESS && newState != nullptr && newCount != nullptr) {
    uint32_t n = reply->stateCount < *newCount ? reply->stateCount : *newCount;
    std::memcpy(newState, reply->state, n * 4);
    *newCount = n;
    *flavor = reply->flavor;
  }
  return reply->retCode;
}

// ---- The bridge ----

// The stacks the bridge does its work on. A fault may arrive on whatever
// alternate stack the thread has, an application's small one among them,
// below the kernel's signal frame, and a call with its message and reply
// buffers needs more than is left there; so does a second signal frame,
// should the thread be sent a signal while it waits for the answer. Each
// faulting thread works on a stack of the set (see HandlerStacks.h), the
// first of which is mapped when the bridge is armed.
constexpr size_t kBridgeStackSize = 64 * 1024;
handler_stacks gBridgeStacks{kBridgeStackSize};

struct BridgedSignal {
  int signo;
  exception_type_t type;
  std::atomic<bool> arming{false};
  struct sigaction previous;
};

BridgedSignal gBridged[] = {
    {SIGSEGV, EXC_BAD_ACCESS, {}, {}},     {SIGBUS, EXC_BAD_ACCESS, {}, {}},
    {SIGILL, EXC_BAD_INSTRUCTION, {}, {}}, {SIGFPE, EXC_ARITHMETIC, {}, {}},
    {SIGTRAP, EXC_BREAKPOINT, {}, {}},
};

BridgedSignal* bridgedSignal(int signo) {
  for (auto& b : gBridged) {
    if (b.signo == signo) return &b;
  }
  return nullptr;
}

// Hands the signal to what was installed before the bridge.
void deliverToPrevious(BridgedSignal* bridged, siginfo_t* info, void* uap) {
  const struct sigaction& previous = bridged->previous;
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(bridged->signo, info, uap);
    return;
  }
  if (previous.sa_handler == SIG_IGN) return;
  if (previous.sa_handler != SIG_DFL) {
    previous.sa_handler(bridged->signo);
    return;
  }
  // The default action: put it back; a fault re-executes and ends the
  // process with its signal, a sent signal is sent again.
  sigaction(bridged->signo, &previous, nullptr);
  if (info->si_code <= 0) raise(bridged->signo);
}

// Turns the fault into an exception message and waits for the reply.
void bridgeFault(int signo, siginfo_t* info, void* uap) {
  BridgedSignal* bridged = bridgedSignal(signo);
  if (bridged == nullptr) return;
  // A child in its parent's memory (vfork) finds the parent's ports there:
  // its fault would reach the parent's server as the parent's own.
  if (task_shares_parent_memory()) {
    deliverToPrevious(bridged, info, uap);
    return;
  }
  mach_port_t port;
  exception_behavior_t behavior;
  thread_state_flavor_t flavor;
  thread_t self = mach_thread_self();
  // Only real faults become exceptions; signals sent with kill or raise go
  // straight on.
  if (info->si_code <= 0 || !exception_port_for(self, bridged->type, &port, &behavior, &flavor)) {
    deliverToPrevious(bridged, info, uap);
    return;
  }

  int64_t codes[2];
  uint64_t address = reinterpret_cast<uint64_t>(info->si_addr);
  switch (signo) {
    case SIGSEGV:
      codes[0] = info->si_code == SEGV_ACCERR ? KERN_PROTECTION_FAILURE : KERN_INVALID_ADDRESS;
      break;
    case SIGBUS:
      codes[0] = KERN_PROTECTION_FAILURE;
      break;
    default:
      codes[0] = info->si_code;
      break;
  }
  codes[1] = static_cast<int64_t>(address);

  thread_gregs fault;
  const auto* uc = static_cast<const ucontext_t*>(uap);
  for (int i = 0; i < kThreadGregCount; ++i) {
    fault.gregs[i] = static_cast<uint64_t>(uc->uc_mcontext.gregs[i]);
  }
  // The server reports the kernel's own account of the fault; the codes
  // carry only what an exception can say of it.
  const thread_fault_signal kernel = {signo, info->si_code, address};
  thread_publish_fault_state(&fault, &kernel);
  kern_return_t kr;
  exception_behavior_t plain = behavior & ~MACH_EXCEPTION_CODES;
  if ((behavior & MACH_EXCEPTION_CODES) != 0 && plain == EXCEPTION_DEFAULT) {
    kr = raiseWithCodes(port, self, mach_task_self(), bridged->type, codes, 2, 8,
                        kMachExceptionRaiseRequestId);
  } else if (plain == EXCEPTION_DEFAULT) {
    int32_t narrow[2] = {static_cast<int32_t>(codes[0]), static_cast<int32_t>(codes[1])};
    kr = exception_raise(port, self, mach_task_self(), bridged->type, narrow, 2);
  } else {
    kr = KERN_FAILURE;  // state behaviours are not bridged
  }
  // A failure answered during a crash is the crash's own (the thread ends
  // the process below), or leaves the thread waiting for that end: its
  // fault stays published till then, as the signals the crash holds back
  // leave a thread that waits on its fault alone, rather than hold it for
  // the end it brings. Any other answer lets the thread go on.
  const bool endsTheProcess = kr != KERN_SUCCESS && process_crash_under_way();
  if (!endsTheProcess) thread_withdraw_fault_state();

  if (kr != KERN_SUCCESS) {
    // Nobody fixed the fault: let signal-level handling have it.
    sigaction(signo, &bridged->previous, nullptr);
    if ((bridged->previous.sa_flags & SA_SIGINFO) ||
        (bridged->previous.sa_handler != SIG_DFL && bridged->previous.sa_handler != SIG_IGN)) {
      deliverToPrevious(bridged, info, uap);
    }
  }
  if (endsTheProcess) thread_withdraw_fault_state();
}

// The bridge's action: the work on a stack of the bridge's.
KX_HANDLER_ENTRY void bridgeHandler(int signo, siginfo_t* info, void* uap) {
  handler_stacks_run(&gBridgeStacks, bridgeFault, signo, info, uap);
}

}  // namespace

// Installs the bridge for the fault signals of `mask` where it is not the
// signal's action already (a forked child inherits its parent's actions and
// this table as they were; a fault nobody fixed put the previous action back).
void exception_bridge_arm(exception_mask_t mask) noexcept {
  reserveReplyPort();
  // Without its first stack (no memory now) the bridge still works: on a
  // stack mapped when a fault comes, or where the fault arrived.
  (void)handler_stacks_reserve(&gBridgeStacks);
  for (auto& b : gBridged) {
    if ((mask & (1u << b.type)) == 0) continue;
    bool idle = false;
    if (!b.arming.compare_exchange_strong(idle, true)) continue;  // another thread arms it
    struct sigaction current;
    bool bridged = sigaction(b.signo, nullptr, &current) == 0 &&
                   (current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == bridgeHandler;
    if (!bridged) {
      struct sigaction action;
      std::memset(&action, 0, sizeof action);
      action.sa_sigaction = bridgeHandler;
      action.sa_flags = SA_SIGINFO | SA_ONSTACK;
      // Every signal held back until the handler has moved to its stack.
      sigfillset(&action.sa_mask);
      sigaction(b.signo, &action, &b.previous);
    }
    b.arming.store(false);
  }
}

kern_return_t exception_raise(mach_port_t port, thread_t thread, task_t task,
                              exception_type_t exception, const int32_t* codes,
                              uint32_t code_count) noexcept {
  return raiseWithCodes(port, thread, task, exception, codes, code_count, 4,
                        kExceptionRaiseRequestId);
}

kern_return_t exception_raise_state(mach_port_t port, exception_type_t exception,
                                    const int32_t* codes, uint32_t code_count,
                                    thread_state_flavor_t* flavor, const uint32_t* old_state,
                                    uint32_t old_state_count, uint32_t* new_state,
                                    uint32_t* new_state_count) noexcept {
  return raiseState(port, false, 0, 0, exception, codes, code_count, flavor, old_state,
                    old_state_count, new_state, new_state_count);
}

kern_return_t exception_raise_state_identity(mach_port_t port, thread_t thread, task_t task,
                                             exception_type_t exception, const int32_t* codes,
                                             uint32_t code_count, thread_state_flavor_t* flavor,
                                             const uint32_t* old_state, uint32_t old_state_count,
                                             uint32_t* new_state,
                                             uint32_t* new_state_count) noexcept {
  return raiseState(port, true, thread, task, exception, codes, code_count, flavor, old_state,
                    old_state_count, new_state, new_state_count);
}

kern_return_t thread_get_state(thread_t thread, thread_state_flavor_t flavor, uint32_t* state,
                               uint32_t* count) noexcept {
  constexpr thread_state_flavor_t kX86ThreadState64 = 4;
  constexpr uint32_t kX86ThreadState64Count = 42;
  if (flavor != kX86ThreadState64) return KERN_INVALID_ARGUMENT;
  if (*count < kX86ThreadState64Count) return KERN_INVALID_ARGUMENT;
  thread_gregs gregs;
  kern_return_t kr = thread_get_state(thread, &gregs);
  if (kr != KERN_SUCCESS) return kr;
  // rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp, r8-r15, rip, rflags, cs, fs, gs
  const uint64_t* g = gregs.gregs;
  uint64_t csgsfs = g[REG_CSGSFS];
  uint64_t words[21] = {g[REG_RAX],
                        g[REG_RBX],
                        g[REG_RCX],
                        g[REG_RDX],
                        g[REG_RDI],
                        g[REG_RSI],
                        g[REG_RBP],
                        g[REG_RSP],
                        g[REG_R8],
                        g[REG_R9],
                        g[REG_R10],
                        g[REG_R11],
                        g[REG_R12],
                        g[REG_R13],
                        g[REG_R14],
                        g[REG_R15],
                        g[REG_RIP],
                        g[REG_EFL],
                        csgsfs & 0xFFFF,
                        (csgsfs >> 32) & 0xFFFF,
                        (csgsfs >> 16) & 0xFFFF};
  std::memcpy(state, words, sizeof words);
  *count = kX86ThreadState64Count;
  return KERN_SUCCESS;
}

}  // namespace sys
