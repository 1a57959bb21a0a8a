#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "safe/AsyncMObject.h"
#include "unwind/AsyncThreadState.h"

// Helpers shared by the unwind-table readers' tests.
namespace rocrash::testing {

// Zeroed, writable memory below 2^31, where every thread-state layout can
// address it (ARM64 states keep 36 bits of their pointers, ARM ones 32).
class LowMemory {
 public:
  explicit LowMemory(size_t size = 2 * 4096) : size_(size) {
    void* memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (memory == MAP_FAILED) throw std::runtime_error("no low memory");
    base_ = static_cast<uint8_t*>(memory);
  }
  ~LowMemory() { munmap(base_, size_); }
  LowMemory(const LowMemory&) = delete;
  LowMemory& operator=(const LowMemory&) = delete;

  uint64_t at(size_t offset) const { return reinterpret_cast<uint64_t>(base_ + offset); }
  uint8_t* bytes() { return base_; }
  size_t size() const { return size_; }
  template <class T>
  void put(size_t offset, T value) {
    std::memcpy(base_ + offset, &value, sizeof value);
  }
  void putBytes(size_t offset, const std::vector<uint8_t>& bytes) {
    std::memcpy(base_ + offset, bytes.data(), bytes.size());
  }

 private:
  uint8_t* base_;
  size_t size_;
};

// A little-endian byte sequence built field by field.
class Bytes {
 public:
  Bytes& u8(uint8_t v) {
    data.push_back(v);
    return *this;
  }
  Bytes& u16(uint16_t v) { return raw(&v, 2); }
  Bytes& u32(uint32_t v) { return raw(&v, 4); }
  Bytes& u64(uint64_t v) { return raw(&v, 8); }
  Bytes& uleb(uint64_t v) {
    do {
      uint8_t byte = v & 0x7F;
      v >>= 7;
      data.push_back(byte | (v != 0 ? 0x80 : 0));
    } while (v != 0);
    return *this;
  }
  Bytes& sleb(int64_t v) {
    for (;;) {
      uint8_t byte = v & 0x7F;
      v >>= 7;
      bool done = (v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40));
      data.push_back(byte | (done ? 0 : 0x80));
      if (done) return *this;
    }
  }
  Bytes& str(const char* s) { return raw(s, std::strlen(s) + 1); }
  Bytes& append(const std::vector<uint8_t>& more) {
    data.insert(data.end(), more.begin(), more.end());
    return *this;
  }
  Bytes& raw(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    data.insert(data.end(), b, b + n);
    return *this;
  }
  void patch32(size_t offset, uint32_t v) { std::memcpy(data.data() + offset, &v, 4); }
  size_t size() const { return data.size(); }

  std::vector<uint8_t> data;
};

// A memory object over bytes of this process.
class MappedBytes {
 public:
  MappedBytes(const void* bytes, size_t size) {
    ok_ =
        rocrash_async_mobject_init(&mobj_, sys::mach_task_self(), reinterpret_cast<uint64_t>(bytes),
                                   size, true) == ROCRASH_ERR_NONE;
  }
  ~MappedBytes() {
    if (ok_) rocrash_async_mobject_free(&mobj_);
  }
  MappedBytes(const MappedBytes&) = delete;
  MappedBytes& operator=(const MappedBytes&) = delete;
  bool ok() const { return ok_; }
  rocrash_async_mobject* get() { return &mobj_; }
  uint64_t address() const { return mobj_.task_address; }

 private:
  rocrash_async_mobject mobj_{};
  bool ok_ = false;
};

// A DWARF expression that counts `n` down to 0, leaving 0: four operations a
// round (const2u n; then lit1, minus, dup, bra back to the lit1).
inline Bytes countdownLoop(uint16_t n) {
  return Bytes{}.u8(0x0A).u16(n).u8(0x31).u8(0x1C).u8(0x12).u8(0x28).u16(static_cast<uint16_t>(-6));
}

inline rocrash_async_thread_state makeState(uint32_t cputype) {
  rocrash_async_thread_state state;
  EXPECT_EQ(rocrash_async_thread_state_init(&state, cputype), ROCRASH_ERR_NONE);
  return state;
}

inline uint64_t reg(const rocrash_async_thread_state& state, rocrash_regnum_t regnum) {
  return rocrash_async_thread_state_get_reg(&state, regnum);
}

inline bool has(const rocrash_async_thread_state& state, rocrash_regnum_t regnum) {
  return rocrash_async_thread_state_has_reg(&state, regnum);
}

}  // namespace rocrash::testing
