#include "placement/BootSector.h"

#include <limits>

namespace bootsector {
namespace {

// Little-endian fields, whatever the machine's byte order.
std::uint32_t Field(std::span<const std::byte> s, std::size_t offset, std::size_t width) {
  std::uint32_t v = 0;
  for (std::size_t i = width; i-- > 0;)
    v = (v << 8) | (offset + i < s.size() ? std::to_integer<std::uint32_t>(s[offset + i]) : 0u);
  return v;
}

bool IsExFat(std::span<const std::byte> s) {
  const char name[] = "EXFAT";
  for (std::size_t i = 0; i < 5; ++i)
    if (Field(s, 3 + i, 1) != static_cast<unsigned char>(name[i])) return false;
  return true;
}

bool PassesFatTests(std::span<const std::byte> s) {
  const auto fats = Field(s, 16, 1);
  return (fats == 1 || fats == 2) && (Field(s, 82, 1) == 'F' || Field(s, 54, 1) == 'F');
}

std::uint64_t RootDirSectors(std::span<const std::byte> s) {
  const std::uint64_t bytesPerSector = Field(s, 11, 2);
  return (std::uint64_t{Field(s, 17, 2)} * 32 + bytesPerSector - 1) / bytesPerSector;
}

std::uint64_t FatSize(std::span<const std::byte> s) {
  const auto fat16 = Field(s, 22, 2);
  return fat16 != 0 ? fat16 : Field(s, 36, 4);
}

}  // namespace

std::int32_t FirstDataSector(std::span<const std::byte> s) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::int32_t>::max();
  if (IsExFat(s)) {
    const std::uint64_t heap = Field(s, 88, 4);
    return heap <= kMax ? static_cast<std::int32_t>(heap) : 0;
  }
  if (!PassesFatTests(s) || Field(s, 11, 2) == 0) return 0;
  const std::uint64_t first = Field(s, 14, 2) + RootDirSectors(s) + Field(s, 16, 1) * FatSize(s);
  // A sector number beyond 32 bits is no real volume.
  return first <= kMax ? static_cast<std::int32_t>(first) : 0;
}

std::string FatType(std::span<const std::byte> s) {
  if (IsExFat(s) || !PassesFatTests(s)) return {};
  const auto bytesPerSector = Field(s, 11, 2);
  const auto sectorsPerCluster = Field(s, 13, 1);
  if (bytesPerSector == 0 || sectorsPerCluster == 0) return {};
  if (Field(s, 22, 2) == 0) return "FAT32";
  const std::uint64_t total = Field(s, 19, 2) != 0 ? Field(s, 19, 2) : Field(s, 32, 4);
  const std::uint64_t meta = Field(s, 14, 2) + RootDirSectors(s) + Field(s, 16, 1) * FatSize(s);
  const std::uint64_t clusters = total > meta ? (total - meta) / sectorsPerCluster : 0;
  return clusters < 4085 ? "FAT12" : "FAT16";
}

}  // namespace bootsector
