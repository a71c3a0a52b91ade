// The boot-sector probe against sectors made by the real mkfs tools.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <regex>

#include "placement/BootSector.h"
#include "placement/basFAT.h"
#include "platform/os.h"
#include "platform/seam.h"
#include "tests/support.h"

namespace {

using testing_support::RunCommand;
using Sector = std::array<std::byte, 4096>;

void Put(Sector& s, std::size_t offset, std::uint32_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) s[offset + i] = std::byte(value >> (8 * i));
}

Sector FatSector(std::uint32_t reserved, std::uint32_t fats, std::uint32_t rootEntries,
                 std::uint32_t fat16Size, std::uint32_t fat32Size) {
  Sector s{};
  Put(s, 11, 512, 2);
  Put(s, 13, 4, 1);
  Put(s, 14, reserved, 2);
  Put(s, 16, fats, 1);
  Put(s, 17, rootEntries, 2);
  Put(s, 19, 40000, 2);
  Put(s, 22, fat16Size, 2);
  Put(s, 36, fat32Size, 4);
  Put(s, fat16Size ? 54 : 82, 'F', 1);
  return s;
}

TEST(BootSector, HandMadeSectors) {
  EXPECT_EQ(bootsector::FirstDataSector(FatSector(1, 2, 512, 256, 0)), 545);
  EXPECT_EQ(bootsector::FirstDataSector(FatSector(32, 2, 0, 0, 1000)), 2032);
  EXPECT_EQ(bootsector::FatType(FatSector(32, 2, 0, 0, 1000)), "FAT32");
  // 39455 data sectors in clusters of 4 make a FAT16; of 16, a FAT12.
  Sector small = FatSector(1, 2, 512, 256, 0);
  EXPECT_EQ(bootsector::FatType(small), "FAT16");
  Put(small, 13, 16, 1);
  EXPECT_EQ(bootsector::FatType(small), "FAT12");
  Sector exfat{};
  std::memcpy(exfat.data() + 3, "EXFAT", 5);
  Put(exfat, 88, 32768, 4);
  Put(exfat, 16, 7, 1);  // whatever the other bytes hold
  EXPECT_EQ(bootsector::FirstDataSector(exfat), 32768);
  EXPECT_EQ(bootsector::FatType(exfat), "");

  EXPECT_EQ(bootsector::FirstDataSector(FatSector(1, 3, 512, 256, 0)), 0);
  Sector noF = FatSector(1, 2, 512, 256, 0);
  Put(noF, 54, 'X', 1);
  EXPECT_EQ(bootsector::FirstDataSector(noF), 0);
  Sector ntfs{};
  std::memcpy(ntfs.data() + 3, "NTFS    ", 8);
  Put(ntfs, 11, 512, 2);
  EXPECT_EQ(bootsector::FirstDataSector(ntfs), 0);
  Sector noSectorSize = FatSector(1, 2, 512, 256, 0);
  Put(noSectorSize, 11, 0, 2);
  EXPECT_EQ(bootsector::FirstDataSector(noSectorSize), 0);
  // A short read leaves the rest zero; nothing is read past the bytes given.
  const Sector fat32 = FatSector(32, 2, 0, 0, 1000);
  EXPECT_EQ(bootsector::FirstDataSector(std::span(fat32).first(40)), 0);
}

class MkfsImage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (RunCommand("command -v mkfs.fat fsck.fat mkfs.exfat dump.exfat >/dev/null").status != 0)
      GTEST_SKIP() << "dosfstools or exfatprogs are missing";
  }
  // What a witness printed after a label, as a number.
  static long Witness(const std::string& out, const std::string& pattern) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex(pattern))) return -1;
    return std::stol(m[1]);
  }
  testing_support::TempDir dir;
};

TEST_F(MkfsImage, FatDataAreaMatchesFsck) {
  const std::pair<const char*, const char*> cases[] = {
      {"-F 12 -s 2 -r 112", "3M"},        {"-F 12 -R 5 -r 224", "2M"},
      {"-F 16 -R 3 -s 4 -r 1024", "40M"}, {"-F 16 -f 1 -r 512", "100M"},
      {"-F 32 -R 40 -s 2", "70M"},        {"-F 32 -s 1 -f 1", "40M"}};
  for (const auto& [options, size] : cases) {
    const auto image = dir.File("fat.img");
    std::filesystem::remove(image);
    ASSERT_EQ(RunCommand("truncate -s " + std::string(size) + " " + image + " && mkfs.fat " +
                         options + " " + image + " >/dev/null 2>&1")
                  .status,
              0)
        << options;
    const auto fsck = RunCommand("fsck.fat -v -n " + image + " 2>&1");
    const long dataByte = Witness(fsck.out, R"(Data area starts at byte (\d+))");
    const long sectorSize = Witness(fsck.out, R"((\d+) bytes per logical sector)");
    ASSERT_GT(dataByte, 0) << fsck.out;
    EXPECT_EQ(GetFirstDataSector(image) * sectorSize, dataByte) << options;
    const std::string bits = std::string(options).substr(3, 2);
    const auto head = testing_support::ReadText(image).substr(0, 4096);
    EXPECT_EQ(bootsector::FatType(std::as_bytes(std::span(head))), "FAT" + bits) << options;
  }
}

TEST_F(MkfsImage, ExFatDataAreaIsTheClusterHeap) {
  for (const char* options : {"", "-c 64K", "-b 4M"}) {
    const auto image = dir.File("exfat.img");
    std::filesystem::remove(image);
    ASSERT_EQ(RunCommand("truncate -s 256M " + image + " && mkfs.exfat " + std::string(options) +
                         " " + image + " >/dev/null 2>&1")
                  .status,
              0)
        << options;
    const long heap = Witness(RunCommand("dump.exfat " + image + " 2>&1").out,
                              R"(Cluster Heap Offset \(sector offset\):\s*(\d+))");
    ASSERT_GT(heap, 0);
    EXPECT_EQ(GetFirstDataSector(image), heap) << options;
  }
}

TEST(GetFirstDataSector, UnreadableVolumesGiveZeroAndCloseWhatTheyOpened) {
  os::seam::Reset();
  const auto open = os::seam::OpenHandles();
  EXPECT_EQ(GetFirstDataSector("/no/such/volume"), 0);
  EXPECT_EQ(os::seam::Calls(os::seam::Op::ReadFile), 0u);
  testing_support::TempDir dir;
  testing_support::WriteText(dir.File("v"), std::string(4096, 'F'));
  os::seam::FailNext(os::seam::Op::ReadFile, os::ERROR_IO_DEVICE);
  EXPECT_EQ(GetFirstDataSector(dir.File("v")), 0);
  EXPECT_EQ(os::seam::OpenHandles(), open);
  os::seam::Reset();
}

}  // namespace
