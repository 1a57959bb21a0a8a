#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The images loaded in this process, in the order the loader announced them:
// the stand-in for the dynamic loader's image count, name, header and slide
// by index.
namespace duzecrashes {

struct LoadedImage {
  uint64_t header = 0;
  int64_t slide = 0;
  std::string name;
};

// The current list (the loader's list is synchronised first).
std::vector<LoadedImage> loadedImages();

// A section of a Mach-O image in memory: its unslid address and size, the
// way the loader's section lookup answers.
struct MachOSection {
  uint64_t address = 0;
  uint64_t size = 0;
};

// The 16 UUID bytes of a Mach-O header in memory, from its UUID load
// command. False for anything that is not a Mach-O header (an ELF header,
// for instance) or has no such command.
bool machOUUID(uint64_t header, uint8_t uuid[16]);
// The section `sectionName` of segment `segmentName`; false when absent.
bool machOSection(uint64_t header, const char* segmentName, const char* sectionName,
                  MachOSection* section);

}  // namespace duzecrashes
