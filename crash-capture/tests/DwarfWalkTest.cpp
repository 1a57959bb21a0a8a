#include <execinfo.h>
#include <gtest/gtest.h>
#include <link.h>
#include <signal.h>

#include <string>

#include "DwarfWalkFunctions.h"
#include "walk/AsyncFrameCursor.h"

namespace {

// Every image of this process, read from the loader's list, in an image list
// of the walk's own.
class ProcessImages {
 public:
  ProcessImages() {
    rocrash_async_image_list_init(&list_, sys::mach_task_self());
    dl_iterate_phdr(add, this);
  }
  ~ProcessImages() { rocrash_async_image_list_free(&list_); }
  rocrash_async_image_list* list() { return &list_; }

 private:
  static int add(dl_phdr_info* info, size_t, void* data) {
    auto* self = static_cast<ProcessImages*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
      const auto& phdr = info->dlpi_phdr[i];
      if (phdr.p_type != PT_LOAD || phdr.p_offset != 0) continue;
      std::string name = info->dlpi_name[0] != '\0' ? info->dlpi_name : "/proc/self/exe";
      rocrash_async_image_list_append(&self->list_, info->dlpi_addr + phdr.p_vaddr, name.c_str());
      break;
    }
    return 0;
  }

  rocrash_async_image_list list_;
};

const rocrash_async_frame_reader kDwarfOnly[] = {rocrash_async_frame_read_dwarf_unwind};

// Fixed-size, so that a walk can be recorded inside a signal handler.
struct Frames {
  static constexpr size_t kCapacity = 64;
  uint64_t pcs[kCapacity] = {};
  size_t count = 0;

  void push_back(uint64_t pc) {
    if (count < kCapacity) pcs[count++] = pc;
  }
  size_t size() const { return count; }
  uint64_t operator[](size_t i) const { return pcs[i]; }
  const uint64_t* begin() const { return pcs; }
  const uint64_t* end() const { return pcs + count; }
};

struct Walk {
  rocrash_async_image_list* list;
  Frames pcs;        // our walk, DWARF call-frame information only by default
  Frames reference;  // the C library's backtrace
  rocrash_async_frame_error end = FRAME_ERR_NONE;
  const rocrash_async_frame_reader* readers = kDwarfOnly;
  size_t readerCount = 1;
};

rocrash_error_t walkFromHere(rocrash_async_thread_state* state, void* context) {
  auto* walk = static_cast<Walk*>(context);
  rocrash_async_frame_cursor cursor;
  EXPECT_EQ(rocrash_async_frame_cursor_init(&cursor, sys::mach_task_self(), state, walk->list),
            FRAME_ERR_NONE);
  while ((walk->end = rocrash_async_frame_cursor_next_with_readers(
              &cursor, walk->readers, walk->readerCount)) == FRAME_ERR_NONE &&
         walk->pcs.size() < 64) {
    uint64_t pc;
    EXPECT_EQ(rocrash_async_frame_cursor_get_reg(&cursor, ROCRASH_REG_IP, &pc), FRAME_ERR_NONE);
    walk->pcs.push_back(pc);
  }
  rocrash_async_frame_cursor_free(&cursor);
  return ROCRASH_ERR_NONE;
}

// Records the library's backtrace, then walks from the same function.
__attribute__((noinline)) void probe(void* context) {
  auto* walk = static_cast<Walk*>(context);
  void* addresses[Frames::kCapacity];
  int n = backtrace(addresses, Frames::kCapacity);
  for (int i = 0; i < n; ++i) walk->reference.push_back(reinterpret_cast<uint64_t>(addresses[i]));
  EXPECT_EQ(rocrash_async_thread_state_current(walkFromHere, walk), ROCRASH_ERR_NONE);
  asm volatile("" ::: "memory");
}

// Our frames from index 1 on (frame 0 is the capture's return into probe)
// against the library's list from the same return address on: both list
// return addresses, except after a signal frame, where both give the exact
// pc. Returns how many frames agreed.
size_t agreeingFrames(const Walk& walk) {
  if (walk.pcs.size() < 2) return 0;
  size_t k = 0;
  while (k < walk.reference.size() && walk.reference[k] != walk.pcs[1]) ++k;
  size_t same = 0;
  while (k + same < walk.reference.size() && 1 + same < walk.pcs.size() &&
         walk.reference[k + same] == walk.pcs[1 + same]) {
    ++same;
  }
  return same;
}

std::string describe(const Walk& walk) {
  std::string s = "walk:";
  for (auto pc : walk.pcs) s.append(" ").append(std::to_string(pc));
  s += "\nbacktrace:";
  for (auto pc : walk.reference) s.append(" ").append(std::to_string(pc));
  return s + "\nend: " + rocrash_async_frame_strerror(walk.end);
}

TEST(DwarfWalk, FunctionsWithoutFramePointersUnwindLikeTheLibraryBacktrace) {
  ProcessImages images;
  Walk walk{images.list(), {}, {}};
  rocrash::testing::walk_outer(probe, &walk);
  // From probe's caller on: walk_leaf, walk_middle, walk_outer, this test,
  // the test framework and on to the program's entry.
  const size_t same = agreeingFrames(walk);
  EXPECT_GE(same, 5u) << describe(walk);
  // The walk reaches the bottom of the stack with the library's list.
  EXPECT_EQ(1 + same, walk.pcs.size()) << describe(walk);
  EXPECT_NE(walk.end, FRAME_ERR_NONE);
}

TEST(DwarfWalk, ArgumentsSizeNotesOfGppFramesDoNotStopTheWalk) {
  ProcessImages images;
  Walk walk{images.list(), {}, {}};
  rocrash::testing::walk_args(3, probe, &walk, 1, 2, 3, 4, 5, 6);
  // walk_args four times, this test, the test framework and on to the entry.
  const size_t same = agreeingFrames(walk);
  EXPECT_GE(same, 7u) << describe(walk);
  EXPECT_EQ(1 + same, walk.pcs.size()) << describe(walk);
}

// Call-frame information for every frame but the first, which is left to its
// frame pointer.
rocrash_async_frame_error dwarfAfterTheFirstStep(sys::task_t task,
                                                 rocrash_async_image_list* image_list,
                                                 const rocrash_async_thread_state* current,
                                                 const rocrash_async_thread_state* previous,
                                                 rocrash_async_thread_state* next) {
  if (previous == nullptr) return FRAME_ERR_NOTSUP;
  return rocrash_async_frame_read_dwarf_unwind(task, image_list, current, previous, next);
}

TEST(DwarfWalk, CallerOfAFrameWalkedByItsFramePointerUnwindsByItsCallFrameInformation) {
  // probe keeps a frame pointer; the walk_* functions do not, so only their
  // call-frame information, which needs the stack pointer, leads past them.
  static const rocrash_async_frame_reader kReaders[] = {dwarfAfterTheFirstStep,
                                                        rocrash_async_frame_read_frame_pointer};
  ProcessImages images;
  Walk walk{images.list(), {}, {}};
  walk.readers = kReaders;
  walk.readerCount = 2;
  rocrash::testing::walk_outer(probe, &walk);
  const size_t same = agreeingFrames(walk);
  EXPECT_GE(same, 5u) << describe(walk);
  EXPECT_EQ(1 + same, walk.pcs.size()) << describe(walk);
}

Walk* gSignalWalk = nullptr;

void onSignal(int, siginfo_t*, void*) { probe(gSignalWalk); }

TEST(DwarfWalk, WalkThroughARealSignalFrameEvaluatesTheTrampolinesExpressions) {
  ProcessImages images;
  Walk walk{images.list(), {}, {}};
  gSignalWalk = &walk;
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_sigaction = onSignal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
  // The library loads its unwinder on the first backtrace, which allocates:
  // here, not in the handler.
  void* first[1];
  backtrace(first, 1);
  rocrash::testing::walk_raise(SIGUSR2);
  sigaction(SIGUSR2, &previous, nullptr);
  gSignalWalk = nullptr;
  // The handler, the trampoline, the C library's raise (interrupted at its
  // exact pc), walk_raise, this test and the rest agree.
  const size_t same = agreeingFrames(walk);
  EXPECT_GE(same, 6u) << describe(walk);
  EXPECT_EQ(1 + same, walk.pcs.size()) << describe(walk);
}

}  // namespace
