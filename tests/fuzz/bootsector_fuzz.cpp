// libFuzzer target: any bytes read from a volume's start are decided safely.
#include <cstddef>
#include <cstdint>
#include <span>

#include "placement/BootSector.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto bytes = std::as_bytes(std::span(data, size));
  if (bootsector::FirstDataSector(bytes) < 0) __builtin_trap();
  const std::string type = bootsector::FatType(bytes);
  if (!type.empty() && type != "FAT12" && type != "FAT16" && type != "FAT32") __builtin_trap();
  return 0;
}
