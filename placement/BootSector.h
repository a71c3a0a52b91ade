// What a volume's boot sector says about where its data area begins. Pure
// functions over the sector's bytes, so that they can be tested and fuzzed
// without a device; bytes beyond the given ones read as zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace bootsector {

// The first data sector counted from the start of the volume: exFAT's
// cluster-heap offset, or a FAT volume's reserved sectors + root directory
// + FATs; 0 when the sector is neither or names no usable place.
std::int32_t FirstDataSector(std::span<const std::byte> sector);

// "FAT12", "FAT16" or "FAT32" for a FAT boot sector, "" otherwise.
std::string FatType(std::span<const std::byte> sector);

}  // namespace bootsector
