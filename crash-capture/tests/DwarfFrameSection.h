#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "UnwindTestSupport.h"
#include "safe/AsyncByteOrder.h"

// Call-frame sections built by hand, for the tests of the call-frame readers
// and of the FDE index.
namespace rocrash::testing {

// Call-frame instructions.
namespace cfa {
enum : uint8_t {
  kAdvanceLoc = 0x40,
  kOffset = 0x80,
  kRestore = 0xC0,
  kSetLoc = 0x01,
  kAdvanceLoc1 = 0x02,
  kOffsetExtended = 0x05,
  kRestoreExtended = 0x06,
  kUndefined = 0x07,
  kSameValue = 0x08,
  kRegister = 0x09,
  kRememberState = 0x0A,
  kRestoreState = 0x0B,
  kDefCfa = 0x0C,
  kDefCfaRegister = 0x0D,
  kDefCfaOffset = 0x0E,
  kDefCfaExpression = 0x0F,
  kExpression = 0x10,
  kOffsetExtendedSf = 0x11,
  kDefCfaSf = 0x12,
  kDefCfaOffsetSf = 0x13,
  kValOffset = 0x14,
  kValExpression = 0x16,
};
}  // namespace cfa

// A call-frame section laid out at a known address, so that pc-relative
// values can be written as the linker would.
class FrameSection {
 public:
  explicit FrameSection(bool debugFrame = false) : memory_(4 * 4096), debugFrame_(debugFrame) {}

  uint64_t address(size_t offset = 0) const { return memory_.at(offset); }

  // Appends a CIE and returns its offset.
  size_t cie(const std::string& augmentation, const Bytes& augmentationData,
             const Bytes& instructions, int64_t dataAlign = -8, uint64_t returnColumn = 16,
             uint8_t version = 1) {
    size_t at = bytes_.size();
    Bytes body;
    if (debugFrame_) {
      body.u32(0xFFFFFFFF);
    } else {
      body.u32(0);
    }
    body.u8(version).str(augmentation.c_str());
    if (version == 4) body.u8(8).u8(0);
    body.uleb(1).sleb(dataAlign).uleb(returnColumn);
    if (!augmentation.empty() && augmentation[0] == 'z') {
      body.uleb(augmentationData.size()).append(augmentationData.data);
      augmented_.push_back(at);
    }
    body.append(instructions.data);
    bytes_.u32(static_cast<uint32_t>(body.size())).append(body.data);
    return at;
  }

  // Appends an FDE for [start, start + length), its addresses written with
  // `encoding` (0x00: 8-byte absolute, 0x1B: 4-byte pc-relative, 0x03: 4-byte
  // absolute), and returns its offset.
  size_t fde(size_t cieOffset, uint64_t start, uint64_t length, uint8_t encoding,
             const Bytes& instructions, const Bytes* augmentationData = nullptr) {
    size_t at = bytes_.size();
    const size_t content = at + 4;
    Bytes body;
    body.u32(debugFrame_ ? static_cast<uint32_t>(cieOffset)
                         : static_cast<uint32_t>(content - cieOffset));
    const uint64_t field = address(content + body.size());
    switch (encoding) {
      case 0x00:
        body.u64(start).u64(length);
        break;
      case 0x1B:
        body.u32(static_cast<uint32_t>(start - field)).u32(static_cast<uint32_t>(length));
        break;
      case 0x03:
        body.u32(static_cast<uint32_t>(start)).u32(static_cast<uint32_t>(length));
        break;
      default:
        ADD_FAILURE() << "encoding not written by the test";
    }
    // FDEs of "z" CIEs carry augmentation data (often none).
    if (std::find(augmented_.begin(), augmented_.end(), cieOffset) != augmented_.end()) {
      Bytes none;
      const Bytes& data = augmentationData != nullptr ? *augmentationData : none;
      body.uleb(data.size()).append(data.data);
    }
    body.append(instructions.data);
    bytes_.u32(static_cast<uint32_t>(body.size())).append(body.data);
    return at;
  }

  void raw(const Bytes& bytes) { bytes_.append(bytes.data); }
  void terminator() { bytes_.u32(0); }

  // Copies the bytes into place; the memory object covers exactly them.
  rocrash_async_mobject* map() {
    memory_.putBytes(0, bytes_.data);
    mapped_ = std::make_unique<MappedBytes>(memory_.bytes(), bytes_.size());
    EXPECT_TRUE(mapped_->ok());
    return mapped_->get();
  }
  size_t size() const { return bytes_.size(); }
  LowMemory& memory() { return memory_; }

 private:
  LowMemory memory_;
  bool debugFrame_;
  Bytes bytes_;
  std::vector<size_t> augmented_;  // offsets of "z" CIEs
  std::unique_ptr<MappedBytes> mapped_;
};

inline Bytes insns(std::initializer_list<uint8_t> bytes) {
  Bytes b;
  for (uint8_t byte : bytes) b.u8(byte);
  return b;
}

// x86-64's usual CIE program: CFA = rsp + 8, return address at CFA - 8.
inline Bytes x86EntryRules() { return insns({cfa::kDefCfa, 7, 8, cfa::kOffset | 16, 1}); }

inline const rocrash_async_byteorder* direct() { return rocrash_async_byteorder_direct(); }

}  // namespace rocrash::testing
