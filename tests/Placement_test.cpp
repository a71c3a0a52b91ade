// The file status line on real loop disks, against filefrag and sysfs.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

#include "app/HeadlessForm.h"
#include "app/frmMain.h"
#include "placement/FragmentReport.h"
#include "platform/seam.h"
#include "tests/LoopDisk.h"

namespace {

using namespace testing_support;

// The alignment of a disk offset, found another way than the program does.
long long LowestBit(long long offset) {
  return std::min(offset & -offset, 1LL << 30);
}

std::string StatusLine(const std::string& path) {
  HeadlessForm form;
  frmMain window(form);
  form.SetText(Ctl::txtTestFile, 0, path);
  return form.Text(Ctl::lblReadStatus, 4);
}

void FillWith(const std::string& path, long long bytes, char c) {
  std::ofstream(path, std::ios::binary) << std::string(static_cast<std::size_t>(bytes), c);
}

// Each run of the report lies where filefrag and sysfs say, and the
// alignments and the line are those of these disk offsets.
void ExpectRunsAtWitnessOffsets(const nlohmann::json& json, const FilefragReport& witness,
                                long long partitionStart) {
  EXPECT_EQ(json["fragments"], witness.extents);
  ASSERT_EQ(json["runs"].size(), witness.physicalBytes.size());
  EXPECT_EQ(json["partition_offset"], partitionStart);
  const long long cluster = json["cluster_size"];
  long long minimum = 1LL << 40, maximum = 0;
  for (std::size_t i = 0; i < witness.physicalBytes.size(); ++i) {
    const long long absolute = partitionStart + witness.physicalBytes[i];
    ASSERT_EQ(partitionStart + json["runs"][i]["lcn"].get<long long>() * cluster, absolute) << "run " << i;
    minimum = std::min(minimum, LowestBit(absolute));
    maximum = std::max(maximum, LowestBit(absolute));
  }
  EXPECT_EQ(json["min_alignment"], minimum);
  EXPECT_EQ(json["max_alignment"], maximum);
  EXPECT_EQ(json["line"], FragmentCaption(witness.extents, static_cast<std::int32_t>(minimum),
                                          static_cast<std::int32_t>(maximum)));
}

nlohmann::json StatusJson(const std::string& path) {
  const auto r = RunCommand(std::string(ORVANDEL_CLI) + " status --json --file " + path);
  EXPECT_EQ(r.status, 0);
  return nlohmann::json::parse(r.out);
}

// Writes a flushed file of mebibytes and checks its report against filefrag.
nlohmann::json WriteAndCompare(const std::string& file, int mebibytes, const char* fileSystem,
                               long long partitionStart) {
  EXPECT_EQ(RunCommand("dd if=/dev/urandom of=" + file + " bs=1M count=" + std::to_string(mebibytes) +
                       " conv=fsync status=none").status,
            0);
  const auto json = StatusJson(file);
  EXPECT_EQ(json["file_system"], fileSystem);
  ExpectRunsAtWitnessOffsets(json, Filefrag(file), partitionStart);
  return json;
}

// A 1 MiB-aligned and a 4 KiB-but-not-1 MiB-aligned partition with ext4.
class Ext4Partitions : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto why = LoopDisk::Unavailable({"sfdisk", "partx", "filefrag", "losetup"}, "mkfs.ext4 -q -F");
    if (!why.empty()) GTEST_SKIP() << why;
    disk = std::make_unique<LoopDisk>(dir, "200M", "label: dos\\nstart=2048, size=200000\\nstart=264200\\n");
    ASSERT_TRUE(disk->Ready());
    aligned = disk->Format(1, "mkfs.ext4 -q -F -b 4096");
    unaligned = disk->Format(2, "mkfs.ext4 -q -F -b 4096 -m 0 -N 20000");
    ASSERT_FALSE(aligned.empty());
    ASSERT_FALSE(unaligned.empty());
  }

  TempDir dir;
  std::unique_ptr<LoopDisk> disk;
  std::string aligned, unaligned;
};

TEST_F(Ext4Partitions, StatusJsonAgreesWithFilefragAndSysfs) {
  ASSERT_EQ(disk->PartitionStart(1), 1048576);
  const std::string file = aligned + "/t.bin";
  const auto json = WriteAndCompare(file, 8, "ext4", disk->PartitionStart(1));
  EXPECT_EQ(json["line"], StatusLine(file)) << "the command line shows what the window shows";
}

// Filling the file system with one-block files and deleting every other one
// leaves only single free blocks, so the test file is split into hundreds of
// fragments: more than the first buffer of the query holds.
TEST_F(Ext4Partitions, FragmentedFileOnA4KPartitionMatchesFilefrag) {
  const long long start = disk->PartitionStart(2);
  ASSERT_EQ(start % 4096, 0);
  ASSERT_NE(start % 1048576, 0);
  std::filesystem::create_directory(unaligned + "/fill");
  int files = 0;
  for (;; ++files) {
    std::ofstream out(unaligned + "/fill/" + std::to_string(files), std::ios::binary);
    out << std::string(4096, 'f');
    out.close();
    if (!out) break;
  }
  RunCommand("sync");
  for (int i = 0; i < files; i += 2) std::filesystem::remove(unaligned + "/fill/" + std::to_string(i));
  RunCommand("sync");
  const std::string file = unaligned + "/frag.bin";
  ASSERT_EQ(RunCommand("dd if=/dev/urandom of=" + file + " bs=1M count=3 conv=fsync status=none").status, 0);

  const auto witness = Filefrag(file);
  ASSERT_GT(witness.extents, 639) << "the free space was not fragmented enough";
  os::seam::Reset();
  const std::string line = StatusLine(file);
  // Two retrieval queries (10240 bytes, then 20480) and one partition query.
  EXPECT_EQ(os::seam::Calls(os::seam::Op::DeviceIoControl), 3u);
  EXPECT_EQ(line.substr(0, line.find(',')), std::to_string(witness.extents) + " Fragments");

  ExpectRunsAtWitnessOffsets(StatusJson(file), witness, start);
}

// Right after a buffered write the file has no place on the disk yet.
TEST_F(Ext4Partitions, UnflushedFileShowsItsCountWithoutAlignment) {
  const std::string file = aligned + "/delayed.bin";
  FillWith(file, 3 << 20, 'd');
  const auto witness = Filefrag(file);
  const std::string line = StatusLine(file);
  EXPECT_EQ(line, std::to_string(witness.extents) + (witness.extents > 1 ? " Fragments" : " Fragment"));
}

class Btrfs : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto why = LoopDisk::Unavailable({"chattr", "lsattr", "losetup"}, "mkfs.btrfs -q -f");
    if (!why.empty()) GTEST_SKIP() << why;
    disk = std::make_unique<LoopDisk>(dir, "300M");
    ASSERT_TRUE(disk->Ready());
  }
  TempDir dir;
  std::unique_ptr<LoopDisk> disk;
};

TEST_F(Btrfs, CompressionByFlagOrByStoredDataIsShown) {
  const std::string plain = disk->Format(0, "mkfs.btrfs -q -f");
  ASSERT_FALSE(plain.empty());
  const std::string flagged = plain + "/flagged.bin";
  ASSERT_EQ(RunCommand("touch " + flagged + " && chattr +c " + flagged).status, 0);
  FillWith(flagged, 1 << 20, 'z');
  const std::string random = plain + "/random.bin";
  ASSERT_EQ(RunCommand("dd if=/dev/urandom of=" + random + " bs=64k count=16 status=none").status, 0);
  RunCommand("sync");
  const std::string flaggedLine = StatusLine(flagged);
  EXPECT_NE(flaggedLine.find(" Fragment"), std::string::npos);
  EXPECT_TRUE(flaggedLine.ends_with(", compressed")) << flaggedLine;
  // btrfs positions are not disk offsets: the count alone.
  const std::string randomLine = StatusLine(random);
  EXPECT_EQ(randomLine.find("compressed"), std::string::npos) << randomLine;
  EXPECT_EQ(randomLine.find("align"), std::string::npos) << randomLine;

  ASSERT_TRUE(disk->Unmount(plain));
  const std::string forced = disk->Mount(0, "compress-force=zstd");
  ASSERT_FALSE(forced.empty());
  const std::string stored = forced + "/stored.bin";
  FillWith(stored, 1 << 20, 's');
  RunCommand("sync");
  EXPECT_EQ(RunCommand("lsattr " + stored).out.substr(0, 20).find('c'), std::string::npos)
      << "the file must not carry the flag, only compressed data";
  const std::string storedLine = StatusLine(stored);
  EXPECT_TRUE(storedLine.ends_with(", compressed")) << storedLine;
}

}  // namespace

namespace {

// xfs numbers its blocks from the start of its device, as ext4 does.
TEST(Xfs, AlignmentCountsFromTheDeviceStart) {
  const auto why = LoopDisk::Unavailable({"filefrag", "losetup"}, "mkfs.xfs -q -f");
  if (!why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  LoopDisk disk(dir, "400M");
  const std::string mount = disk.Format(0, "mkfs.xfs -q -f");
  ASSERT_FALSE(mount.empty());
  WriteAndCompare(mount + "/x.bin", 4, "xfs", 0);
}

}  // namespace
