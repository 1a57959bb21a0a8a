#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The Mach-O files the build generates, what the LLVM tools printed about
// them, a mapper that lays one into memory as the loader would, and a small
// builder for images the linker cannot make.
namespace rocrash::testing {

std::string fixturePath(const std::string& name);

struct ExpectedSegment {
  std::string name;
  uint64_t vmaddr, vmsize;
};
struct ExpectedSection {
  std::string segment, name;
  uint64_t addr, size;
};
struct ExpectedSymbol {
  uint64_t value;
  char type;  // as llvm-nm prints it
  std::string name;
};

// Parsed from the recorded `llvm-otool -hl` and `llvm-nm -n` output.
struct ExpectedImage {
  uint32_t cputype = 0, cpusubtype = 0;
  std::vector<uint8_t> uuid;
  std::vector<ExpectedSegment> segments;
  std::vector<ExpectedSection> sections;
  std::vector<ExpectedSymbol> symbols;  // defined ones only
};
ExpectedImage expectedFor(const std::string& name);

// A fixture laid into memory: segments at their offsets, rebases applied,
// protections set, announced through the image events. Unmapped and
// announced as removed on destruction.
class MappedImage {
 public:
  static std::unique_ptr<MappedImage> map(const std::string& name);
  ~MappedImage();
  uint64_t header() const { return header_; }
  int64_t slide() const { return slide_; }
  uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  // Makes [vmaddr, vmaddr + length) (link-time addresses) inaccessible.
  void protectNone(uint64_t vmaddr, uint64_t length);

 private:
  MappedImage() = default;
  uint64_t header_ = 0;
  int64_t slide_ = 0;
  uint64_t size_ = 0;
  std::string path_;
};

// Hand-made images: a header and segment commands, optionally 32-bit or in
// the other byte order; laid into page-aligned memory of its own.
struct SyntheticSegment {
  std::string name;
  uint64_t vmaddr, vmsize;
  std::vector<std::pair<std::string, std::pair<uint64_t, uint64_t>>> sections;  // name, addr, size
};
class SyntheticImage {
 public:
  SyntheticImage(bool is64, bool swapped, uint32_t cputype, uint32_t cpusubtype,
                 std::vector<SyntheticSegment> segments, uint64_t memorySize = 0x4000);
  ~SyntheticImage();
  uint64_t header() const { return reinterpret_cast<uint64_t>(memory_); }
  uint8_t* bytes() { return memory_; }
  // Offset of the first load command and the total of the command sizes.
  uint32_t commandsOffset() const { return is64_ ? 32 : 28; }
  void setSizeOfCommands(uint32_t value);
  void setCommandSize(int index, uint32_t value);
  void appendRawCommand(const std::vector<uint8_t>& command);

 private:
  uint32_t put32(uint32_t v) const { return swapped_ ? __builtin_bswap32(v) : v; }
  uint64_t put64(uint64_t v) const { return swapped_ ? __builtin_bswap64(v) : v; }
  bool is64_, swapped_;
  uint8_t* memory_;
  size_t memorySize_;
  std::vector<uint32_t> commandOffsets_;
  uint32_t end_;
};

}  // namespace rocrash::testing
