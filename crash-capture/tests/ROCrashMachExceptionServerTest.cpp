#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "crash-capture/ROCrashMachExceptionServer.h"
#include "log/ROCrashLog.h"
#include "objc/NSException.h"

namespace {

using namespace sys;

struct Seen {
  std::mutex mutex;
  int calls = 0;
  task_t task = 0;
  thread_t thread = 0;
  exception_type_t type = 0;
  std::vector<uint64_t> codes;
  kern_return_t answer = KERN_SUCCESS;
};

kern_return_t recordException(task_t task, thread_t thread, exception_type_t type,
                              const uint64_t* codes, uint32_t count, void* context) {
  auto* seen = static_cast<Seen*>(context);
  std::lock_guard<std::mutex> lock(seen->mutex);
  ++seen->calls;
  seen->task = task;
  seen->thread = thread;
  seen->type = type;
  seen->codes.assign(codes, codes + count);
  return seen->answer;
}

uint32_t refsOf(mach_port_t port) {
  uint32_t refs = 0;
  EXPECT_EQ(mach_port_get_refs(mach_task_self(), port, MACH_PORT_RIGHT_SEND, &refs), KERN_SUCCESS);
  return refs;
}

// Sends a raw request of `size` bytes to `port` with a reply port and waits up
// to `waitMs` for the reply's return code (none: MACH_RCV_TIMED_OUT).
kern_return_t request(mach_port_t port, uint32_t size, int32_t type, uint32_t codeCount,
                      const std::vector<uint64_t>& codes, int waitMs = 2000) {
  std::vector<uint8_t> bytes(std::max<uint32_t>(size, 128), 0);
  auto* header = reinterpret_cast<mach_msg_header_t*>(bytes.data());
  auto* words = reinterpret_cast<uint32_t*>(bytes.data());
  mach_port_t reply;
  EXPECT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &reply), KERN_SUCCESS);
  header->msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE);
  header->msgh_remote_port = port;
  header->msgh_local_port = reply;
  header->msgh_id = kMachExceptionRaiseRequestId;
  if (size >= 68) {
    words[6] = 2;
    words[7] = 1234;  // thread
    words[10] = static_cast<uint32_t>(mach_task_self());
    words[15] = static_cast<uint32_t>(type);
    words[16] = codeCount;
    if (!codes.empty()) {
      std::memcpy(bytes.data() + 68, codes.data(),
                  std::min<size_t>(codes.size() * 8, bytes.size() - 68));
    }
  }
  EXPECT_EQ(mach_msg(header, MACH_SEND_MSG, size, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL),
            MACH_MSG_SUCCESS);
  struct {
    mach_msg_header_t header;
    uint32_t ndr[2];
    kern_return_t ret;
    uint8_t extra[64];
  } answer = {};
  mach_msg_return_t mr = mach_msg(&answer.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof answer,
                                  reply, waitMs, MACH_PORT_NULL);
  EXPECT_EQ(mach_port_mod_refs(mach_task_self(), reply, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
  if (mr != MACH_MSG_SUCCESS) return mr;
  EXPECT_EQ(answer.header.msgh_id, kMachExceptionRaiseRequestId + 100);
  EXPECT_EQ(answer.header.msgh_size, 36u);
  return answer.ret;
}

TEST(ROCrashMachExceptionServer, AnswersRequestsThroughTheCallback) {
  Seen seen;
  seen.answer = KERN_INVALID_ADDRESS;
  std::shared_ptr<foundation::NSError> error;
  auto server = ROCrashMachExceptionServer::initWithCallBack(recordException, &seen, &error);
  ASSERT_TRUE(server) << (error ? error->localizedDescription() : "");
  EXPECT_NE(server->serverThread(), 0);
  EXPECT_NE(server->serverThread(), mach_thread_self());
  auto port = server->exceptionPortWithMask(EXC_MASK_BAD_ACCESS, &error);
  ASSERT_TRUE(port);
  EXPECT_EQ(port->behavior(), static_cast<exception_behavior_t>(0x80000001u));
  EXPECT_EQ(port->mask(), EXC_MASK_BAD_ACCESS);

  EXPECT_EQ(request(port->server_port(), 68 + 16, EXC_BAD_ACCESS, 2, {1, 0xFFFF'FFFF'0000'0010ULL}),
            KERN_INVALID_ADDRESS);
  {
    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.thread, 1234);
    EXPECT_EQ(seen.task, mach_task_self());
    EXPECT_EQ(seen.type, EXC_BAD_ACCESS);
    EXPECT_EQ(seen.codes, (std::vector<uint64_t>{1, 0xFFFF'FFFF'0000'0010ULL}));
  }
  // 76 bytes without codes still reach the callback; 75 bytes do not.
  EXPECT_EQ(request(port->server_port(), 76, EXC_BREAKPOINT, 0, {}), KERN_INVALID_ADDRESS);
  EXPECT_EQ(request(port->server_port(), 75, EXC_BREAKPOINT, 0, {}), KERN_FAILURE);
  // More codes than the buffer holds: dropped without a reply.
  EXPECT_EQ(request(port->server_port(), 84, EXC_BAD_ACCESS, 100000, {1, 2}, 200),
            MACH_RCV_TIMED_OUT);
  // A message larger than the page-sized buffer is received into a new one.
  std::vector<uint64_t> many(1000, 7);
  EXPECT_EQ(request(port->server_port(), 68 + 8000, EXC_ARITHMETIC, 1000, many),
            KERN_INVALID_ADDRESS);
  std::lock_guard<std::mutex> lock(seen.mutex);
  EXPECT_EQ(seen.calls, 3);
  EXPECT_EQ(seen.codes.size(), 1000u);
}

TEST(ROCrashMachExceptionServer, StopMessageCountsOnlyAfterShutdownBegan) {
  Seen seen;
  auto server = ROCrashMachExceptionServer::initWithCallBack(recordException, &seen, nullptr);
  ASSERT_TRUE(server);
  // Without the shutdown flag a 24-byte message to the notify port is just a
  // short request: answered with a failure, and the server runs on.
  auto port = server->exceptionPortWithMask(EXC_MASK_BAD_ACCESS, nullptr);
  mach_port_t serverPort = port->server_port();
  EXPECT_EQ(request(serverPort, 24, 0, 0, {}), KERN_FAILURE);
  uint32_t before = refsOf(serverPort);
  port.reset();
  EXPECT_EQ(refsOf(serverPort), before - 1);
  server.reset();  // stops and waits for the thread
  EXPECT_EQ(seen.calls, 0);
  uint32_t receive = 1;
  EXPECT_EQ(mach_port_get_refs(mach_task_self(), serverPort, MACH_PORT_RIGHT_RECEIVE, &receive),
            KERN_SUCCESS);
  EXPECT_EQ(receive, 0u);  // released
}

TEST(ROCrashMachExceptionPortSet, HoldsAtMostFourteenRegistrations) {
  ROCrashMachExceptionPortSet::Ports ports;
  for (int i = 0; i < 14; ++i) {
    ports.push_back(ROCrashMachExceptionPort::initWithServerPort(MACH_PORT_NULL, 1u << i,
                                                                 EXCEPTION_DEFAULT, 4));
  }
  auto set = ROCrashMachExceptionPortSet::initWithSet(ports);
  auto record = set->asyncSafeRepresentation();
  EXPECT_EQ(record.count, 14u);
  EXPECT_EQ(record.masks[13], 1u << 13);
  int n = 0;
  for (const auto& p : *set) n += p != nullptr;
  EXPECT_EQ(n, 14);

  ports.push_back(ROCrashMachExceptionPort::initWithServerPort(MACH_PORT_NULL, 1, 1, 4));
  try {
    ROCrashMachExceptionPortSet::initWithSet(ports);
    FAIL() << "no assertion";
  } catch (const objc::Ref<objc::NSException>& e) {
    EXPECT_EQ(e->reason(), "Set size of 15 exceeds EXC_TYPES_COUNT (14)");
  }
  rocrash_mach_exception_port_set tooMany{};
  tooMany.count = 15;
  try {
    ROCrashMachExceptionPortSet::initWithAsyncSafeRepresentation(tooMany);
    FAIL() << "no assertion";
  } catch (const objc::Ref<objc::NSException>& e) {
    EXPECT_EQ(e->reason(), "Count of 15 exceeds EXC_TYPES_COUNT (14)");
  }
}

TEST(ROCrashMachExceptionPort, HoldsASendRightWhileItLivesAndSwapsRegistrations) {
  mach_port_t port;
  ASSERT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port), KERN_SUCCESS);
  ASSERT_EQ(mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND),
            KERN_SUCCESS);
  {
    auto registration =
        ROCrashMachExceptionPort::initWithServerPort(port, EXC_MASK_BREAKPOINT, 1, 4);
    EXPECT_EQ(refsOf(port), 2u);
    thread_t self = mach_thread_self();
    std::shared_ptr<ROCrashMachExceptionPortSet> previous;
    std::shared_ptr<foundation::NSError> error;
    ASSERT_TRUE(registration->registerForThread(self, &previous, &error));
    ASSERT_TRUE(previous);
    EXPECT_EQ(previous->asyncSafeRepresentation().ports[0], MACH_PORT_NULL);
    auto current =
        ROCrashMachExceptionPort::exceptionPortsForThread(self, EXC_MASK_BREAKPOINT, &error);
    ASSERT_TRUE(current);
    ASSERT_EQ(current->set().size(), 1u);
    EXPECT_EQ(current->set()[0]->server_port(), port);
    // Put the thread back as it was.
    auto none =
        ROCrashMachExceptionPort::initWithServerPort(MACH_PORT_NULL, EXC_MASK_BREAKPOINT, 0, 0);
    ASSERT_TRUE(none->registerForThread(self, nullptr, &error));
  }
  EXPECT_EQ(refsOf(port), 1u);
  EXPECT_EQ(mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
}

TEST(RocrashMachExceptionForward, GoesToTheFirstMatchingPlainRegistrationOnly) {
  uint64_t codes[2] = {1, 0x10};
  rocrash_mach_exception_port_set none{};
  EXPECT_EQ(rocrash_mach_exception_forward(mach_task_self(), 1, EXC_BAD_ACCESS, codes, 2, &none),
            KERN_FAILURE);

  Seen seen;
  seen.answer = KERN_SUCCESS;
  auto server = ROCrashMachExceptionServer::initWithCallBack(recordException, &seen, nullptr);
  ASSERT_TRUE(server);
  mach_port_t port = server->copySendRightForServerAndReturningError(nullptr);
  ASSERT_TRUE(MACH_PORT_VALID(port));

  rocrash_mach_exception_port_set set{};
  set.count = 2;
  set.masks[0] = EXC_MASK_ARITHMETIC;  // another type
  set.ports[0] = port;
  set.behaviors[0] = EXCEPTION_DEFAULT;
  set.masks[1] = EXC_MASK_BAD_ACCESS;
  set.ports[1] = port;
  set.behaviors[1] = EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES;
  EXPECT_EQ(rocrash_mach_exception_forward(mach_task_self(), 1, EXC_BAD_ACCESS, codes, 2, &set),
            KERN_FAILURE);
  set.behaviors[1] = 7;  // unknown
  EXPECT_EQ(rocrash_mach_exception_forward(mach_task_self(), 1, EXC_BAD_ACCESS, codes, 2, &set),
            KERN_FAILURE);
  EXPECT_EQ(seen.calls, 0);
  set.behaviors[1] = EXCEPTION_DEFAULT;
  EXPECT_EQ(rocrash_mach_exception_forward(mach_task_self(), 42, EXC_BAD_ACCESS, codes, 2, &set),
            KERN_SUCCESS);
  std::lock_guard<std::mutex> lock(seen.mutex);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.thread, 42);
  EXPECT_EQ(seen.type, EXC_BAD_ACCESS);
  EXPECT_EQ(mach_port_deallocate(mach_task_self(), port), KERN_SUCCESS);
}

}  // namespace
