#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "system/Mach.h"
#include "system/Threads.h"

namespace {

using namespace sys;

mach_port_t newPort() {
  mach_port_t port = MACH_PORT_NULL;
  EXPECT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port), KERN_SUCCESS);
  EXPECT_EQ(mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND),
            KERN_SUCCESS);
  return port;
}

void destroy(mach_port_t port) {
  EXPECT_EQ(mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
}

struct Message {
  mach_msg_header_t header;
  uint32_t body[8];
};

mach_msg_return_t sendTo(mach_port_t port, int32_t id, mach_port_t reply = MACH_PORT_NULL,
                         uint32_t size = sizeof(Message)) {
  Message m = {};
  m.header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE);
  m.header.msgh_remote_port = port;
  m.header.msgh_local_port = reply;
  m.header.msgh_id = id;
  m.body[0] = 0xABCD;
  return mach_msg(&m.header, MACH_SEND_MSG, size, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
}

// An exception request as a server receives it.
union Request {
  mach_msg_header_t header;
  uint8_t bytes[512];
  const uint32_t* words() const { return reinterpret_cast<const uint32_t*>(bytes); }
};

mach_msg_return_t receive(mach_port_t port, Request& request) {
  request = {};
  return mach_msg(&request.header, MACH_RCV_MSG, 0, sizeof request, port, 0, MACH_PORT_NULL);
}

// Answers `request` with `answer` on its reply port.
void reply(const Request& request, kern_return_t answer) {
  struct {
    mach_msg_header_t header;
    uint32_t ndr[2];
    kern_return_t ret;
  } message = {};
  message.header.msgh_bits = request.header.msgh_bits & MACH_MSGH_BITS_REMOTE_MASK;
  message.header.msgh_remote_port = request.header.msgh_remote_port;
  message.header.msgh_id = request.header.msgh_id + 100;
  message.ret = answer;
  EXPECT_EQ(mach_msg(&message.header, MACH_SEND_MSG, sizeof message, 0, MACH_PORT_NULL, 0,
                     MACH_PORT_NULL),
            MACH_MSG_SUCCESS);
}

// Where the swap and get calls write the exception port registrations.
struct Registrations {
  exception_mask_t masks[EXC_TYPES_COUNT];
  mach_port_t ports[EXC_TYPES_COUNT];
  exception_behavior_t behaviors[EXC_TYPES_COUNT];
  thread_state_flavor_t flavors[EXC_TYPES_COUNT];
  uint32_t count = EXC_TYPES_COUNT;

  kern_return_t swapThread(thread_t thread, exception_mask_t mask, mach_port_t port,
                           exception_behavior_t behavior, thread_state_flavor_t flavor) {
    count = EXC_TYPES_COUNT;
    return thread_swap_exception_ports(thread, mask, port, behavior, flavor, masks, &count, ports,
                                       behaviors, flavors);
  }
  kern_return_t getThread(thread_t thread, exception_mask_t mask) {
    count = EXC_TYPES_COUNT;
    return thread_get_exception_ports(thread, mask, masks, &count, ports, behaviors, flavors);
  }
  kern_return_t swapTask(exception_mask_t mask, mach_port_t port, exception_behavior_t behavior) {
    count = EXC_TYPES_COUNT;
    return task_swap_exception_ports(mach_task_self(), mask, port, behavior, 4, masks, &count,
                                     ports, behaviors, flavors);
  }
};

TEST(MachMessages, ArriveWithTheReplyPortAsRemoteAndTheirPortAsLocal) {
  mach_port_t port = newPort();
  mach_port_t reply = newPort();
  ASSERT_EQ(sendTo(port, 7, reply), MACH_MSG_SUCCESS);
  Message m = {};
  ASSERT_EQ(mach_msg(&m.header, MACH_RCV_MSG, 0, sizeof m, port, 0, MACH_PORT_NULL),
            MACH_MSG_SUCCESS);
  EXPECT_EQ(m.header.msgh_id, 7);
  EXPECT_EQ(m.header.msgh_size, sizeof m);
  EXPECT_EQ(m.header.msgh_local_port, port);
  EXPECT_EQ(m.header.msgh_remote_port, reply);
  EXPECT_EQ(m.header.msgh_bits & MACH_MSGH_BITS_REMOTE_MASK, MACH_MSG_TYPE_MOVE_SEND_ONCE);
  EXPECT_EQ(m.body[0], 0xABCDu);
  EXPECT_EQ(
      mach_msg(&m.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof m, port, 10, MACH_PORT_NULL),
      MACH_RCV_TIMED_OUT);
  destroy(port);
  destroy(reply);
  EXPECT_EQ(sendTo(port, 1), MACH_SEND_INVALID_DEST);
}

TEST(MachMessages, TooLargeMessageStaysQueuedAndReportsItsSize) {
  mach_port_t port = newPort();
  ASSERT_EQ(sendTo(port, 1), MACH_MSG_SUCCESS);
  mach_msg_header_t small = {};
  ASSERT_EQ(
      mach_msg(&small, MACH_RCV_MSG | MACH_RCV_LARGE, 0, sizeof small, port, 0, MACH_PORT_NULL),
      MACH_RCV_TOO_LARGE);
  EXPECT_EQ(small.msgh_size, sizeof(Message));
  Message m = {};
  ASSERT_EQ(mach_msg(&m.header, MACH_RCV_MSG, 0, sizeof m, port, 0, MACH_PORT_NULL),
            MACH_MSG_SUCCESS);
  EXPECT_EQ(m.header.msgh_id, 1);
  destroy(port);
}

TEST(MachMessages, PortSetReceivesFromEachMember) {
  mach_port_t set;
  ASSERT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_PORT_SET, &set), KERN_SUCCESS);
  mach_port_t a = newPort(), b = newPort();
  ASSERT_EQ(mach_port_move_member(mach_task_self(), a, set), KERN_SUCCESS);
  ASSERT_EQ(mach_port_move_member(mach_task_self(), b, set), KERN_SUCCESS);
  ASSERT_EQ(sendTo(b, 2), MACH_MSG_SUCCESS);
  Message m = {};
  ASSERT_EQ(mach_msg(&m.header, MACH_RCV_MSG, 0, sizeof m, set, 0, MACH_PORT_NULL),
            MACH_MSG_SUCCESS);
  EXPECT_EQ(m.header.msgh_local_port, b);
  ASSERT_EQ(sendTo(a, 1), MACH_MSG_SUCCESS);
  ASSERT_EQ(mach_msg(&m.header, MACH_RCV_MSG, 0, sizeof m, set, 0, MACH_PORT_NULL),
            MACH_MSG_SUCCESS);
  EXPECT_EQ(m.header.msgh_local_port, a);
  destroy(a);
  destroy(b);
  EXPECT_EQ(mach_port_mod_refs(mach_task_self(), set, MACH_PORT_RIGHT_PORT_SET, -1), KERN_SUCCESS);
}

TEST(MachPorts, LastSendRightGoneSendsANoSendersNotice) {
  mach_port_t port = newPort();
  mach_port_t notify = newPort();
  mach_port_t previous = 1;
  ASSERT_EQ(mach_port_request_notification(mach_task_self(), port, MACH_NOTIFY_NO_SENDERS, 1,
                                           notify, MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous),
            KERN_SUCCESS);
  EXPECT_EQ(previous, MACH_PORT_NULL);
  ASSERT_EQ(mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND),
            KERN_SUCCESS);
  uint32_t refs = 0;
  EXPECT_EQ(mach_port_get_refs(mach_task_self(), port, MACH_PORT_RIGHT_SEND, &refs), KERN_SUCCESS);
  EXPECT_EQ(refs, 2u);
  EXPECT_EQ(mach_port_deallocate(mach_task_self(), port), KERN_SUCCESS);
  Message m = {};
  EXPECT_EQ(
      mach_msg(&m.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof m, notify, 0, MACH_PORT_NULL),
      MACH_RCV_TIMED_OUT);
  EXPECT_EQ(mach_port_deallocate(mach_task_self(), port), KERN_SUCCESS);
  ASSERT_EQ(mach_msg(&m.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof m, notify, 100,
                     MACH_PORT_NULL),
            MACH_MSG_SUCCESS);
  EXPECT_EQ(m.header.msgh_id, MACH_NOTIFY_NO_SENDERS);
  EXPECT_EQ(mach_port_deallocate(mach_task_self(), port), KERN_INVALID_RIGHT);
  destroy(port);
  destroy(notify);
}

TEST(MachExceptionPorts, SwapReturnsThePreviousRegistrationsGroupedByPort) {
  mach_port_t a = newPort(), b = newPort();
  thread_t self = mach_thread_self();
  Registrations r;
  ASSERT_EQ(r.swapThread(self, EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC, a, EXCEPTION_DEFAULT, 4),
            KERN_SUCCESS);
  ASSERT_EQ(r.count, 1u);  // both were unset
  EXPECT_EQ(r.ports[0], MACH_PORT_NULL);
  ASSERT_EQ(r.swapThread(self, EXC_MASK_ARITHMETIC | EXC_MASK_BREAKPOINT, b, EXCEPTION_STATE, 4),
            KERN_SUCCESS);
  ASSERT_EQ(r.count, 2u);
  EXPECT_EQ(r.masks[0], EXC_MASK_ARITHMETIC);
  EXPECT_EQ(r.ports[0], a);
  EXPECT_EQ(r.masks[1], EXC_MASK_BREAKPOINT);
  EXPECT_EQ(r.ports[1], MACH_PORT_NULL);
  ASSERT_EQ(r.getThread(self, EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC | EXC_MASK_BREAKPOINT),
            KERN_SUCCESS);
  ASSERT_EQ(r.count, 2u);
  EXPECT_EQ(r.masks[0], EXC_MASK_BAD_ACCESS);
  EXPECT_EQ(r.ports[0], a);
  EXPECT_EQ(r.masks[1], EXC_MASK_ARITHMETIC | EXC_MASK_BREAKPOINT);
  EXPECT_EQ(r.ports[1], b);
  EXPECT_EQ(r.behaviors[1], EXCEPTION_STATE);
  r.swapThread(self, EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC | EXC_MASK_BREAKPOINT,
               MACH_PORT_NULL, 0, 0);
  destroy(a);
  destroy(b);
}

// Answers one exception request on `port` with `answer` and records it.
struct OneShotServer {
  explicit OneShotServer(mach_port_t port, kern_return_t answer) {
    thread = std::thread([this, port, answer] {
      Request request;
      if (receive(port, request) != MACH_MSG_SUCCESS) return;
      id = request.header.msgh_id;
      threadName = request.words()[7];
      type = static_cast<int32_t>(request.words()[15]);
      codeCount = request.words()[16];
      std::memcpy(codes, request.bytes + 68, std::min<uint32_t>(codeCount, 2) * 8);
      reply(request, answer);
    });
  }
  ~OneShotServer() { thread.join(); }
  std::thread thread;
  int32_t id = 0;
  uint32_t threadName = 0;
  int32_t type = 0;
  uint32_t codeCount = 0;
  uint64_t codes[2] = {};
};

TEST(MachExceptionRaise, SendsTheRequestAndReturnsTheRepliedCode) {
  mach_port_t port = newPort();
  {
    OneShotServer server(port, KERN_INVALID_ADDRESS);
    int32_t codes[2] = {1, 0x10};
    EXPECT_EQ(exception_raise(port, 77, mach_task_self(), EXC_BAD_ACCESS, codes, 2),
              KERN_INVALID_ADDRESS);
    server.thread.join();
    server.thread = std::thread([] {});
    EXPECT_EQ(server.id, kExceptionRaiseRequestId);
    EXPECT_EQ(server.threadName, 77u);
    EXPECT_EQ(server.type, EXC_BAD_ACCESS);
    EXPECT_EQ(server.codeCount, 2u);
    // 32-bit codes: both fit the first 64-bit slot.
    EXPECT_EQ(server.codes[0], (uint64_t{0x10} << 32) | 1);
  }
  destroy(port);
}

// Threads raising at once share the reply port reserved for a process out of
// descriptors with the ports they make: each gets the answer to its own
// request.
TEST(MachExceptionRaiseStress, RaisesAtOnceEachGetTheirOwnAnswer) {
  // Arms nothing but the reserve.
  Registrations().swapThread(mach_thread_self(), 0, MACH_PORT_NULL, 0, 0);
  mach_port_t port = newPort();
  std::thread server([port] {
    for (;;) {
      Request request;
      if (receive(port, request) != MACH_MSG_SUCCESS) continue;
      if (request.header.msgh_id == 1) return;  // the test is done
      reply(request, static_cast<kern_return_t>(request.words()[7]));
    }
  });
  std::vector<std::thread> raisers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t) {
    raisers.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const thread_t name = 1000 * (t + 1) + i;
        int32_t codes[2] = {1, 0x10};
        if (exception_raise(port, name, mach_task_self(), EXC_BAD_ACCESS, codes, 2) != name) {
          ++wrong;
        }
      }
    });
  }
  for (auto& raiser : raisers) raiser.join();
  sendTo(port, 1);
  server.join();
  EXPECT_EQ(wrong.load(), 0);
  destroy(port);
}

// A fault in a child whose task exception port is served by a thread.
[[noreturn]] void childFaultReachesTheServer(kern_return_t answer, bool fixPage) {
  signal(SIGSEGV, SIG_DFL);  // no sanitizer report: the default action is what follows
  static uint8_t* page =
      static_cast<uint8_t*>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  mach_port_t port = newPort();
  Registrations().swapTask(EXC_MASK_BAD_ACCESS, port, EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES);
  static std::atomic<uint64_t> faultingRip{0};
  std::thread server([port, answer, fixPage] {
    Request request;
    receive(port, request);
    const uint32_t* words = request.words();
    uint64_t codes[2];
    std::memcpy(codes, request.bytes + 68, 16);
    if (request.header.msgh_id != kMachExceptionRaiseRequestId ||
        words[15] != static_cast<uint32_t>(EXC_BAD_ACCESS) || words[16] != 2 ||
        codes[0] != static_cast<uint64_t>(KERN_PROTECTION_FAILURE) ||
        codes[1] != reinterpret_cast<uint64_t>(page)) {
      _exit(20);
    }
    // The faulting thread's registers are those of the fault.
    thread_gregs state;
    if (thread_get_state(static_cast<thread_t>(words[7]), &state) != KERN_SUCCESS) _exit(21);
    faultingRip = state.gregs[REG_RIP];
    if (fixPage) mprotect(page, 4096, PROT_READ | PROT_WRITE);
    reply(request, answer);
  });
  server.detach();
  page[0] = 1;  // faults
  _exit(faultingRip != 0 ? 0 : 22);
}

TEST(MachExceptionBridge, FixedFaultResumesTheInstruction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(childFaultReachesTheServer(KERN_SUCCESS, true), ::testing::ExitedWithCode(0), "");
}

TEST(MachExceptionBridge, UnhandledFaultEndsTheProcessWithItsSignal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(childFaultReachesTheServer(KERN_FAILURE, false), ::testing::KilledBySignal(SIGSEGV),
              "");
}

[[noreturn]] void childRaisedSignalSkipsTheBridge() {
  signal(SIGSEGV, SIG_DFL);
  mach_port_t port = newPort();
  Registrations().swapTask(EXC_MASK_BAD_ACCESS, port, EXCEPTION_DEFAULT);
  // Nobody serves the port: a bridged signal would wait for ever.
  raise(SIGSEGV);
  _exit(0);
}

TEST(MachExceptionBridge, SentSignalSkipsTheBridge) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(childRaisedSignalSkipsTheBridge(), ::testing::KilledBySignal(SIGSEGV), "");
}

}  // namespace
