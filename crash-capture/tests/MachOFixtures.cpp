#include "MachOFixtures.h"

#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "system/ImageEvents.h"

namespace rocrash::testing {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("missing fixture file " + path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

template <class T>
T at(const std::string& bytes, size_t offset) {
  T v;
  std::memcpy(&v, bytes.data() + offset, sizeof v);
  return v;
}

uint64_t uleb(const std::string& bytes, size_t& p) {
  uint64_t result = 0;
  int shift = 0;
  uint8_t byte;
  do {
    byte = static_cast<uint8_t>(bytes[p++]);
    result |= uint64_t(byte & 0x7F) << shift;
    shift += 7;
  } while (byte & 0x80);
  return result;
}

struct FileSegment {
  std::string name;
  uint64_t vmaddr, vmsize, fileoff, filesize;
  uint32_t initprot;
};

}  // namespace

std::string fixturePath(const std::string& name) {
  return std::string(ROCRASH_FIXTURE_DIR) + "/" + name;
}

ExpectedImage expectedFor(const std::string& name) {
  ExpectedImage e;
  std::istringstream otool(readFile(fixturePath(name) + ".otool.txt"));
  std::string line, key;
  ExpectedSegment* segment = nullptr;
  ExpectedSection* section = nullptr;
  bool inSection = false;
  while (std::getline(otool, line)) {
    std::istringstream words(line);
    words >> key;
    if (key == "magic") {
      std::getline(otool, line);
      std::istringstream values(line);
      std::string magic;
      values >> magic >> e.cputype >> e.cpusubtype;
    } else if (key == "Section") {
      e.sections.emplace_back();
      section = &e.sections.back();
      inSection = true;
    } else if (key == "cmd") {
      inSection = false;
    } else if (key == "segname") {
      std::string value;
      words >> value;
      if (inSection) {
        section->segment = value;
      } else {
        e.segments.push_back({value, 0, 0});
        segment = &e.segments.back();
      }
    } else if (key == "sectname" && inSection) {
      words >> section->name;
    } else if ((key == "addr" || key == "size") && inSection) {
      std::string value;
      words >> value;
      (key == "addr" ? section->addr : section->size) = std::stoull(value, nullptr, 16);
    } else if ((key == "vmaddr" || key == "vmsize") && !inSection && segment) {
      std::string value;
      words >> value;
      (key == "vmaddr" ? segment->vmaddr : segment->vmsize) = std::stoull(value, nullptr, 16);
    } else if (key == "uuid") {
      std::string value;
      words >> value;
      for (size_t i = 0; i + 1 < value.size(); ++i) {
        if (value[i] == '-') continue;
        e.uuid.push_back(static_cast<uint8_t>(std::stoul(value.substr(i, 2), nullptr, 16)));
        ++i;
      }
    }
  }
  std::istringstream nm(readFile(fixturePath(name) + ".nm.txt"));
  while (std::getline(nm, line)) {
    if (line.empty() || line[0] == ' ') continue;  // undefined symbols have no value
    auto first = line.find(' ');
    ExpectedSymbol s;
    s.value = std::stoull(line.substr(0, first), nullptr, 16);
    s.type = line[first + 1];
    s.name = line.substr(first + 3);
    e.symbols.push_back(s);
  }
  return e;
}

std::unique_ptr<MappedImage> MappedImage::map(const std::string& name) {
  std::string bytes = readFile(fixturePath(name));
  uint32_t magic = at<uint32_t>(bytes, 0);
  bool is64 = magic == 0xFEEDFACF;
  if (!is64 && magic != 0xFEEDFACE) throw std::runtime_error("not a thin Mach-O: " + name);
  uint32_t cputype = at<uint32_t>(bytes, 4);
  uint32_t ncmds = at<uint32_t>(bytes, 16);
  std::vector<FileSegment> segments;
  uint32_t rebaseOff = 0, rebaseSize = 0;
  size_t p = is64 ? 32 : 28;
  for (uint32_t i = 0; i < ncmds; ++i) {
    uint32_t cmd = at<uint32_t>(bytes, p), size = at<uint32_t>(bytes, p + 4);
    if (cmd == 0x19) {
      segments.push_back({std::string(bytes.data() + p + 8, strnlen(bytes.data() + p + 8, 16)),
                          at<uint64_t>(bytes, p + 24), at<uint64_t>(bytes, p + 32),
                          at<uint64_t>(bytes, p + 40), at<uint64_t>(bytes, p + 48),
                          at<uint32_t>(bytes, p + 60)});
    } else if (cmd == 0x1) {
      segments.push_back({std::string(bytes.data() + p + 8, strnlen(bytes.data() + p + 8, 16)),
                          at<uint32_t>(bytes, p + 24), at<uint32_t>(bytes, p + 28),
                          at<uint32_t>(bytes, p + 32), at<uint32_t>(bytes, p + 36),
                          at<uint32_t>(bytes, p + 44)});
    } else if (cmd == 0x80000022 || cmd == 0x22) {
      rebaseOff = at<uint32_t>(bytes, p + 8);
      rebaseSize = at<uint32_t>(bytes, p + 12);
    }
    p += size;
  }
  uint64_t low = UINT64_MAX, high = 0;
  for (const auto& s : segments) {
    if (s.vmsize == 0 || (s.initprot == 0 && s.filesize == 0)) continue;  // page zero
    low = std::min(low, s.vmaddr);
    high = std::max(high, s.vmaddr + s.vmsize);
  }
  std::unique_ptr<MappedImage> image(new MappedImage());
  image->size_ = high - low;
  image->path_ = fixturePath(name);
  // arm64 states mask addresses to 36 bits, 32-bit images need 32-bit
  // pointers: place those low, at fixed addresses; others anywhere.
  void* base = MAP_FAILED;
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
  if (cputype == 0x0100000C || !is64) {
    // Low memory is free under every sanitizer's layout (ASan keeps a gap
    // between 2^31 and 2^41); try the linked address first.
    const uint64_t limit = 0x7FFF0000;
    std::vector<uint64_t> candidates = {low};
    for (uint64_t c = 0x20000000; c + image->size_ < limit; c += 0x1000000) candidates.push_back(c);
    for (uint64_t candidate : candidates) {
      if (candidate == 0 || candidate + image->size_ > (is64 ? (1ull << 36) : (1ull << 32)))
        continue;
      base = mmap(reinterpret_cast<void*>(candidate), image->size_, PROT_READ | PROT_WRITE,
                  flags | MAP_FIXED_NOREPLACE, -1, 0);
      if (base != MAP_FAILED && reinterpret_cast<uint64_t>(base) != candidate) {
        munmap(base, image->size_);  // old kernels treat the flag as a hint
        base = MAP_FAILED;
      }
      if (base != MAP_FAILED) break;
    }
  } else {
    base = mmap(nullptr, image->size_, PROT_READ | PROT_WRITE, flags, -1, 0);
  }
  if (base == MAP_FAILED) throw std::runtime_error("cannot place fixture " + name);
  auto* memory = static_cast<uint8_t*>(base);
  image->header_ = reinterpret_cast<uint64_t>(base);
  image->slide_ = static_cast<int64_t>(image->header_ - low);
  for (const auto& s : segments) {
    if (s.vmsize == 0 || (s.initprot == 0 && s.filesize == 0)) continue;
    std::memcpy(memory + (s.vmaddr - low), bytes.data() + s.fileoff, s.filesize);
  }
  // Rebase opcodes: every listed pointer moves by the slide.
  const size_t pointer = is64 ? 8 : 4;
  uint64_t address = 0;
  auto rebase = [&](uint64_t vmaddr) {
    uint8_t* where = memory + (vmaddr - low);
    if (is64) {
      uint64_t v;
      std::memcpy(&v, where, 8);
      v += static_cast<uint64_t>(image->slide_);
      std::memcpy(where, &v, 8);
    } else {
      uint32_t v;
      std::memcpy(&v, where, 4);
      v += static_cast<uint32_t>(image->slide_);
      std::memcpy(where, &v, 4);
    }
  };
  for (size_t q = rebaseOff; q < size_t{rebaseOff} + rebaseSize;) {
    uint8_t byte = static_cast<uint8_t>(bytes[q++]);
    uint8_t op = byte & 0xF0, imm = byte & 0x0F;
    if (op == 0x00) break;
    switch (op) {
      case 0x10:  // set type
        break;
      case 0x20:  // segment and offset
        address = segments.at(imm).vmaddr + uleb(bytes, q);
        break;
      case 0x30:
        address += uleb(bytes, q);
        break;
      case 0x40:
        address += imm * pointer;
        break;
      case 0x50:
        for (int i = 0; i < imm; ++i, address += pointer) rebase(address);
        break;
      case 0x60:
        for (uint64_t n = uleb(bytes, q), i = 0; i < n; ++i, address += pointer) rebase(address);
        break;
      case 0x70:
        rebase(address);
        address += pointer + uleb(bytes, q);
        break;
      case 0x80: {
        uint64_t n = uleb(bytes, q), skip = uleb(bytes, q);
        for (uint64_t i = 0; i < n; ++i, address += pointer + skip) rebase(address);
        break;
      }
      default:
        throw std::runtime_error("unknown rebase opcode in " + name);
    }
  }
  for (const auto& s : segments) {
    if (s.vmsize == 0 || (s.initprot == 0 && s.filesize == 0)) continue;
    int prot = (s.initprot & 1 ? PROT_READ : 0) | (s.initprot & 2 ? PROT_WRITE : 0);
    mprotect(memory + (s.vmaddr - low), s.vmsize, prot);
  }
  sys::announce_image_added(image->header_, image->slide_, image->size_, image->path_);
  return image;
}

MappedImage::~MappedImage() {
  sys::announce_image_removed(header_);
  munmap(reinterpret_cast<void*>(header_), size_);
}

void MappedImage::protectNone(uint64_t vmaddr, uint64_t length) {
  mprotect(reinterpret_cast<void*>(vmaddr + static_cast<uint64_t>(slide_)), length, PROT_NONE);
}

SyntheticImage::SyntheticImage(bool is64, bool swapped, uint32_t cputype, uint32_t cpusubtype,
                               std::vector<SyntheticSegment> segments, uint64_t memorySize)
    : is64_(is64), swapped_(swapped), memorySize_(memorySize) {
  memory_ = static_cast<uint8_t*>(
      mmap(nullptr, memorySize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  auto w32 = [&](uint32_t off, uint32_t v) {
    v = put32(v);
    std::memcpy(memory_ + off, &v, 4);
  };
  auto w64 = [&](uint32_t off, uint64_t v) {
    v = put64(v);
    std::memcpy(memory_ + off, &v, 8);
  };
  w32(0, is64 ? 0xFEEDFACF : 0xFEEDFACE);
  w32(4, cputype);
  w32(8, cpusubtype);
  w32(12, 6);
  end_ = commandsOffset();
  for (const auto& seg : segments) {
    uint32_t off = end_;
    commandOffsets_.push_back(off);
    uint32_t headerSize = is64 ? 72 : 56, sectSize = is64 ? 80 : 68;
    uint32_t size = headerSize + sectSize * static_cast<uint32_t>(seg.sections.size());
    w32(off, is64 ? 0x19 : 0x1);
    w32(off + 4, size);
    std::memcpy(memory_ + off + 8, seg.name.data(), std::min<size_t>(seg.name.size(), 16));
    if (is64) {
      w64(off + 24, seg.vmaddr);
      w64(off + 32, seg.vmsize);
      w32(off + 64, static_cast<uint32_t>(seg.sections.size()));
    } else {
      w32(off + 24, static_cast<uint32_t>(seg.vmaddr));
      w32(off + 28, static_cast<uint32_t>(seg.vmsize));
      w32(off + 48, static_cast<uint32_t>(seg.sections.size()));
    }
    uint32_t s = off + headerSize;
    for (const auto& [sectname, range] : seg.sections) {
      std::memcpy(memory_ + s, sectname.data(), std::min<size_t>(sectname.size(), 16));
      std::memcpy(memory_ + s + 16, seg.name.data(), std::min<size_t>(seg.name.size(), 16));
      if (is64) {
        w64(s + 32, range.first);
        w64(s + 40, range.second);
      } else {
        w32(s + 32, static_cast<uint32_t>(range.first));
        w32(s + 36, static_cast<uint32_t>(range.second));
      }
      s += sectSize;
    }
    end_ += size;
  }
  w32(16, static_cast<uint32_t>(commandOffsets_.size()));
  w32(20, end_ - commandsOffset());
}

SyntheticImage::~SyntheticImage() { munmap(memory_, memorySize_); }

void SyntheticImage::setSizeOfCommands(uint32_t value) {
  uint32_t v = put32(value);
  std::memcpy(memory_ + 20, &v, 4);
}

void SyntheticImage::setCommandSize(int index, uint32_t value) {
  uint32_t v = put32(value);
  std::memcpy(memory_ + commandOffsets_.at(index) + 4, &v, 4);
}

void SyntheticImage::appendRawCommand(const std::vector<uint8_t>& command) {
  std::memcpy(memory_ + end_, command.data(), command.size());
  commandOffsets_.push_back(end_);
  end_ += static_cast<uint32_t>(command.size());
  uint32_t n = put32(static_cast<uint32_t>(commandOffsets_.size()));
  std::memcpy(memory_ + 16, &n, 4);
  setSizeOfCommands(end_ - commandsOffset());
}

}  // namespace rocrash::testing
