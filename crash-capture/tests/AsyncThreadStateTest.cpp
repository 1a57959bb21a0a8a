#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ucontext.h>

#include <cstring>
#include <string>
#include <vector>

#include "unwind/AsyncThreadState.h"
#include "writer/AsyncSignalInfo.h"

namespace {

rocrash_async_thread_state stateFor(uint32_t cpuType) {
  rocrash_async_thread_state state;
  EXPECT_EQ(rocrash_async_thread_state_init(&state, cpuType), ROCRASH_ERR_NONE);
  return state;
}

std::vector<std::string> names(const rocrash_async_thread_state& state) {
  std::vector<std::string> out;
  for (size_t i = 0; i < rocrash_async_thread_state_get_reg_count(&state); ++i) {
    out.push_back(rocrash_async_thread_state_get_reg_name(&state, i));
  }
  return out;
}

TEST(AsyncThreadState, InitSetsTheLayoutOfEachMachine) {
  auto arm = stateFor(ROCRASH_CPU_TYPE_ARM);
  EXPECT_EQ(arm.state.flavor, 9u);
  EXPECT_EQ(arm.state.count, 17u);
  EXPECT_EQ(rocrash_async_thread_state_get_greg_size(&arm), 4u);
  auto arm64 = stateFor(ROCRASH_CPU_TYPE_ARM64);
  EXPECT_EQ(arm64.state.flavor, 6u);
  EXPECT_EQ(arm64.state.count, 68u);
  EXPECT_EQ(rocrash_async_thread_state_get_greg_size(&arm64), 8u);
  auto host = stateFor(ROCRASH_CPU_TYPE_X86_64);
  EXPECT_EQ(rocrash_async_thread_state_get_greg_size(&host), 8u);
  for (auto* s : {&arm, &arm64, &host}) {
    EXPECT_EQ(rocrash_async_thread_state_get_stackdir(s), ROCRASH_ASYNC_STACK_DIRECTION_DOWN);
    EXPECT_EQ(s->valid_regs, 0u);
  }
  rocrash_async_thread_state other;
  EXPECT_EQ(rocrash_async_thread_state_init(&other, 7), ROCRASH_ERR_NOTSUP);  // 32-bit x86
  EXPECT_EQ(rocrash_async_thread_state_init(&other, 18), ROCRASH_ERR_NOTSUP);
}

TEST(AsyncThreadState, RegisterNamesFollowTheReportOrder) {
  EXPECT_EQ(names(stateFor(ROCRASH_CPU_TYPE_X86_64)),
            (std::vector<std::string>{"rip", "rbp", "rsp", "rax",    "rbx", "rcx", "rdx",
                                      "rdi", "rsi", "r8",  "r9",     "r10", "r11", "r12",
                                      "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"}));
  auto arm64 = names(stateFor(ROCRASH_CPU_TYPE_ARM64));
  ASSERT_EQ(arm64.size(), 34u);
  EXPECT_EQ(arm64[0], "pc");
  EXPECT_EQ(arm64[1], "fp");
  EXPECT_EQ(arm64[2], "sp");
  EXPECT_EQ(arm64[3], "x0");
  EXPECT_EQ(arm64[31], "x28");
  EXPECT_EQ(arm64[32], "lr");
  EXPECT_EQ(arm64[33], "cpsr");
  EXPECT_EQ(names(stateFor(ROCRASH_CPU_TYPE_ARM)),
            (std::vector<std::string>{"pc", "r7", "sp", "r0", "r1", "r2", "r3", "r4", "r5", "r6",
                                      "r8", "r9", "r10", "r11", "r12", "lr", "cpsr"}));
  auto host = stateFor(ROCRASH_CPU_TYPE_X86_64);
  EXPECT_EQ(rocrash_async_thread_state_get_reg_name(&host, 21), nullptr);
}

TEST(AsyncThreadState, Arm64CodePointersLoseTheirAuthenticationBits) {
  auto state = stateFor(ROCRASH_CPU_TYPE_ARM64);
  const uint64_t signed_ = 0xABCD000123456789ULL;
  for (rocrash_regnum_t r :
       {ROCRASH_ARM64_PC, ROCRASH_ARM64_FP, ROCRASH_ARM64_SP, ROCRASH_ARM64_LR, ROCRASH_ARM64_X0}) {
    rocrash_async_thread_state_set_reg(&state, r, signed_);
  }
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&state, ROCRASH_ARM64_PC), 0x123456789ULL);
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&state, ROCRASH_ARM64_FP), 0x123456789ULL);
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&state, ROCRASH_ARM64_SP), 0x123456789ULL);
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&state, ROCRASH_ARM64_LR), 0x123456789ULL);
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&state, ROCRASH_ARM64_X0), signed_);
  // The host's pointers are taken as they are.
  auto host = stateFor(ROCRASH_CPU_TYPE_X86_64);
  rocrash_async_thread_state_set_reg(&host, ROCRASH_X86_64_RIP, signed_);
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&host, ROCRASH_X86_64_RIP), signed_);
}

TEST(AsyncThreadState, SetStoresMarksValidAndIgnoresUnknownNumbers) {
  auto arm = stateFor(ROCRASH_CPU_TYPE_ARM);
  rocrash_async_thread_state_set_reg(&arm, ROCRASH_ARM_R0 + 4, 0x1'2345'6789ULL);
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&arm, ROCRASH_ARM_R0 + 4), 0x2345'6789u);
  EXPECT_EQ(arm.state.uts.ts_32.r[4], 0x2345'6789u);
  rocrash_async_thread_state_set_reg(&arm, ROCRASH_ARM_R8 + 2, 10);
  EXPECT_EQ(arm.state.uts.ts_32.r[10], 10u);  // r8.. map past r7
  EXPECT_TRUE(rocrash_async_thread_state_has_reg(&arm, ROCRASH_ARM_R0 + 4));
  EXPECT_FALSE(rocrash_async_thread_state_has_reg(&arm, ROCRASH_ARM_R0 + 5));
  uint64_t before = arm.valid_regs;
  rocrash_async_thread_state_set_reg(&arm, 17, 1);
  rocrash_async_thread_state_set_reg(&arm, 63, 1);
  EXPECT_EQ(arm.valid_regs, before);
  rocrash_async_thread_state_clear_reg(&arm, ROCRASH_ARM_R0 + 4);
  EXPECT_FALSE(rocrash_async_thread_state_has_reg(&arm, ROCRASH_ARM_R0 + 4));

  auto host = stateFor(ROCRASH_CPU_TYPE_X86_64);
  rocrash_async_thread_state_set_reg(&host, ROCRASH_X86_64_R13, 0x1313);
  EXPECT_EQ(host.state.uts.x86_64.r13, 0x1313u);
  rocrash_async_thread_state_set_reg(&host, ROCRASH_X86_64_GS, 0x2B);
  EXPECT_EQ(host.state.uts.x86_64.gs, 0x2Bu);
}

std::vector<rocrash_regnum_t> validRegisters(const rocrash_async_thread_state& state) {
  std::vector<rocrash_regnum_t> out;
  for (rocrash_regnum_t r = 0; r < rocrash_async_thread_state_get_reg_count(&state); ++r) {
    if (rocrash_async_thread_state_has_reg(&state, r)) out.push_back(r);
  }
  return out;
}

TEST(AsyncThreadState, ClearingVolatileRegistersKeepsTheCalleeSavedOnes) {
  auto arm64 = stateFor(ROCRASH_CPU_TYPE_ARM64);
  for (rocrash_regnum_t r = 0; r < 34; ++r) rocrash_async_thread_state_set_reg(&arm64, r, r);
  rocrash_async_thread_state_clear_volatile_regs(&arm64);
  std::vector<rocrash_regnum_t> expected = {ROCRASH_ARM64_FP};
  for (rocrash_regnum_t r = ROCRASH_ARM64_X19; r <= ROCRASH_ARM64_X28; ++r) expected.push_back(r);
  EXPECT_EQ(validRegisters(arm64), expected);

  auto host = stateFor(ROCRASH_CPU_TYPE_X86_64);
  for (rocrash_regnum_t r = 0; r < 21; ++r) rocrash_async_thread_state_set_reg(&host, r, r);
  rocrash_async_thread_state_clear_volatile_regs(&host);
  EXPECT_EQ(validRegisters(host), (std::vector<rocrash_regnum_t>{
                                      ROCRASH_X86_64_RBP, ROCRASH_X86_64_RBX, ROCRASH_X86_64_R12,
                                      ROCRASH_X86_64_R13, ROCRASH_X86_64_R14, ROCRASH_X86_64_R15}));

  auto arm = stateFor(ROCRASH_CPU_TYPE_ARM);
  for (rocrash_regnum_t r = 0; r < 17; ++r) rocrash_async_thread_state_set_reg(&arm, r, r);
  rocrash_async_thread_state_clear_volatile_regs(&arm);
  std::vector<std::string> kept;
  for (auto r : validRegisters(arm))
    kept.push_back(rocrash_async_thread_state_get_reg_name(&arm, r));
  EXPECT_EQ(kept, (std::vector<std::string>{"r7", "r4", "r5", "r6", "r8", "r10", "r11"}));
}

TEST(AsyncThreadState, DwarfNumbersMapBothWays) {
  auto host = stateFor(ROCRASH_CPU_TYPE_X86_64);
  const rocrash_regnum_t expected[16] = {3, 6, 5, 4, 8, 7, 1, 2, 9, 10, 11, 12, 13, 14, 15, 16};
  for (uint64_t dwarf = 0; dwarf < 16; ++dwarf) {
    rocrash_regnum_t reg;
    ASSERT_TRUE(rocrash_async_thread_state_map_dwarf_to_reg(&host, dwarf, &reg));
    EXPECT_EQ(reg, expected[dwarf]) << dwarf;
    uint64_t back;
    ASSERT_TRUE(rocrash_async_thread_state_map_reg_to_dwarf(&host, reg, &back));
    EXPECT_EQ(back, dwarf);
  }
  rocrash_regnum_t reg;
  uint64_t dwarf;
  // The return-address column and rip have no counterpart.
  EXPECT_FALSE(rocrash_async_thread_state_map_dwarf_to_reg(&host, 16, &reg));
  EXPECT_FALSE(rocrash_async_thread_state_map_reg_to_dwarf(&host, ROCRASH_X86_64_RIP, &dwarf));

  auto arm64 = stateFor(ROCRASH_CPU_TYPE_ARM64);
  ASSERT_TRUE(rocrash_async_thread_state_map_dwarf_to_reg(&arm64, 29, &reg));
  EXPECT_EQ(reg, ROCRASH_ARM64_FP);
  ASSERT_TRUE(rocrash_async_thread_state_map_dwarf_to_reg(&arm64, 30, &reg));
  EXPECT_EQ(reg, ROCRASH_ARM64_LR);
  ASSERT_TRUE(rocrash_async_thread_state_map_dwarf_to_reg(&arm64, 31, &reg));
  EXPECT_EQ(reg, ROCRASH_ARM64_SP);
  ASSERT_TRUE(rocrash_async_thread_state_map_dwarf_to_reg(&arm64, 19, &reg));
  EXPECT_EQ(reg, ROCRASH_ARM64_X19);
  EXPECT_FALSE(rocrash_async_thread_state_map_dwarf_to_reg(&arm64, 32, &reg));
  EXPECT_FALSE(rocrash_async_thread_state_map_reg_to_dwarf(&arm64, ROCRASH_ARM64_PC, &dwarf));

  auto arm = stateFor(ROCRASH_CPU_TYPE_ARM);
  ASSERT_TRUE(rocrash_async_thread_state_map_dwarf_to_reg(&arm, 15, &reg));
  EXPECT_EQ(reg, ROCRASH_ARM_PC);
  ASSERT_TRUE(rocrash_async_thread_state_map_dwarf_to_reg(&arm, 8, &reg));
  EXPECT_EQ(reg, ROCRASH_ARM_R8);
  EXPECT_FALSE(rocrash_async_thread_state_map_dwarf_to_reg(&arm, 16, &reg));
}

ucontext_t gCaptured;
rocrash_async_thread_state gFromSignal;

void captureHandler(int, siginfo_t*, void* uap) {
  std::memcpy(&gCaptured, uap, sizeof gCaptured);
  rocrash_async_thread_state_mcontext_init(&gFromSignal, uap);
}

TEST(AsyncThreadState, MachineContextOfASignalGivesEveryHostRegister) {
  struct sigaction action = {}, old = {};
  action.sa_sigaction = captureHandler;
  action.sa_flags = SA_SIGINFO;
  ASSERT_EQ(sigaction(SIGUSR2, &action, &old), 0);
  raise(SIGUSR2);
  sigaction(SIGUSR2, &old, nullptr);

  const auto* g = gCaptured.uc_mcontext.gregs;
  const auto& s = gFromSignal;
  EXPECT_EQ(s.valid_regs, (1ULL << 21) - 1);
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_RIP),
            static_cast<uint64_t>(g[REG_RIP]));
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_RSP),
            static_cast<uint64_t>(g[REG_RSP]));
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_RBP),
            static_cast<uint64_t>(g[REG_RBP]));
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_R12),
            static_cast<uint64_t>(g[REG_R12]));
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_RFLAGS),
            static_cast<uint64_t>(g[REG_EFL]));
  uint64_t csgsfs = static_cast<uint64_t>(g[REG_CSGSFS]);
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_CS), csgsfs & 0xFFFF);
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_GS), (csgsfs >> 16) & 0xFFFF);
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_FS), (csgsfs >> 32) & 0xFFFF);
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_CS), 0x33u);  // user code
}

struct CurrentCapture {
  rocrash_async_thread_state state;
  void* context = nullptr;
};

rocrash_error_t recordCurrent(rocrash_async_thread_state* state, void* context) {
  auto* capture = static_cast<CurrentCapture*>(context);
  capture->state = *state;
  capture->context = context;
  return ROCRASH_ERR_INVALID_DATA;  // passed back unchanged
}

__attribute__((noinline)) uint64_t captureHere(CurrentCapture* capture, void** frame) {
  *frame = __builtin_frame_address(0);
  rocrash_error_t result = rocrash_async_thread_state_current(recordCurrent, capture);
  EXPECT_EQ(result, ROCRASH_ERR_INVALID_DATA);
  asm volatile("" ::: "memory");  // keep the call a call, not a tail call
  return reinterpret_cast<uint64_t>(&captureHere);
}

TEST(AsyncThreadState, CurrentCapturesTheCallersFrame) {
  CurrentCapture capture;
  void* frame = nullptr;
  uint64_t function = captureHere(&capture, &frame);
  const auto& s = capture.state;
  EXPECT_EQ(capture.context, &capture);
  EXPECT_EQ(s.valid_regs, (1ULL << 21) - 1);
  // rbp is the caller's frame pointer, and rip the return address into it:
  // the five bytes before it are the call to the capture.
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_RBP),
            reinterpret_cast<uint64_t>(frame));
  uint64_t rip = rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_RIP);
  EXPECT_GT(rip, function);
  EXPECT_LT(rip, function + 256);
  const auto* call = reinterpret_cast<const uint8_t*>(rip - 5);
  ASSERT_EQ(call[0], 0xE8);
  int32_t displacement;
  std::memcpy(&displacement, call + 1, 4);
  EXPECT_EQ(rip + displacement, reinterpret_cast<uint64_t>(&rocrash_async_thread_state_current));
  // The arguments were in rdi and rsi at the call.
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_RDI),
            reinterpret_cast<uint64_t>(&recordCurrent));
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_RSI),
            reinterpret_cast<uint64_t>(&capture));
  // The caller's stack pointer lies at or below its frame.
  EXPECT_LE(rocrash_async_thread_state_get_reg(&s, ROCRASH_X86_64_RSP),
            reinterpret_cast<uint64_t>(frame));
}

TEST(AsyncSignalInfo, NamesFollowTheHostsNumbers) {
  EXPECT_STREQ(rocrash_async_signal_name(SIGSEGV), "SIGSEGV");
  EXPECT_STREQ(rocrash_async_signal_name(SIGBUS), "SIGBUS");
  EXPECT_STREQ(rocrash_async_signal_name(SIGABRT), "SIGABRT");  // never its alias
  EXPECT_STREQ(rocrash_async_signal_name(SIGUSR2), "SIGUSR2");
  EXPECT_EQ(rocrash_async_signal_name(0), nullptr);
  EXPECT_EQ(rocrash_async_signal_name(SIGRTMIN), nullptr);
#ifndef SIGEMT
  EXPECT_EQ(rocrash_async_signal_name(7), rocrash_async_signal_name(SIGBUS));  // 7 is SIGBUS here
#endif
  EXPECT_STREQ(rocrash_async_signal_code_name(SIGSEGV, SEGV_MAPERR), "SEGV_MAPERR");
  EXPECT_STREQ(rocrash_async_signal_code_name(SIGBUS, BUS_ADRERR), "BUS_ADRERR");
  EXPECT_STREQ(rocrash_async_signal_code_name(SIGFPE, FPE_INTDIV), "FPE_INTDIV");
  EXPECT_STREQ(rocrash_async_signal_code_name(SIGFPE, 0), "FPE_NOOP");
  EXPECT_STREQ(rocrash_async_signal_code_name(SIGTRAP, 0), "#0");
  EXPECT_STREQ(rocrash_async_signal_code_name(SIGABRT, 0), "#0");
  EXPECT_EQ(rocrash_async_signal_code_name(SIGABRT, SI_TKILL), nullptr);
  EXPECT_EQ(rocrash_async_signal_code_name(SIGSEGV, 3), nullptr);
}

}  // namespace
