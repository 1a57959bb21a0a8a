#pragma once

// The per-thread state behind HazardScope (HazardSlots.h). Not for use
// outside the hazard slots: it is here only so that entering, announcing and
// leaving inline.

#include <atomic>
#include <cstdint>

namespace concurrency {

inline constexpr unsigned kHazardSlots = 8;

namespace detail {

// One thread's slots. The slots fill one cache line.
struct alignas(64) HazardRecord {
  std::atomic<uintptr_t> slots[kHazardSlots] = {};
  // Bit i: a key announced in slot i was retired while announced.
  std::atomic<uint32_t> pending{0};
  std::atomic<bool> inUse{false};
  HazardRecord* next = nullptr;
};

struct HazardThread {
  HazardRecord* record = nullptr;
  unsigned depth = 0;  // slots in use
};

inline constinit thread_local HazardThread tHazardThread{};

// Gives the calling thread a record, attaching the thread first
// (attachFenceThread); null once the thread is ending.
HazardRecord* attachHazardRecord() noexcept;

// The leave of slot `index` that the inline path does not finish: the fenced
// forms, and a slot flagged by retire().
void leaveSlow(HazardRecord& record, unsigned index) noexcept;

// A scope left out of order: ends the process.
[[noreturn]] void hazardScopeOutOfOrder() noexcept;

// A read through a scope that holds no slot: ends the process.
[[noreturn]] void hazardScopeWithoutSlot() noexcept;

}  // namespace detail
}  // namespace concurrency
