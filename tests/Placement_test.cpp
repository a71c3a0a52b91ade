// The file status line on real loop disks, against filefrag and sysfs.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "form/HeadlessForm.h"
#include "form/frmMain.h"
#include "placement/FragmentReport.h"
#include "platform/seam.h"
#include "tests/LoopDisk.h"

namespace {

using namespace testing_support;

// The least and the greatest alignment of disk offsets, found another way
// than the program does.
std::pair<long long, long long> Alignments(const std::vector<long long>& offsets) {
  long long minimum = 1LL << 40, maximum = 0;
  for (const long long o : offsets) {
    minimum = std::min(minimum, std::min(o & -o, 1LL << 30));
    maximum = std::max(maximum, std::min(o & -o, 1LL << 30));
  }
  return {minimum, maximum};
}

std::string StatusLine(const std::string& path) {
  HeadlessForm form;
  frmMain window(form);
  form.SetText(Ctl::txtTestFile, 0, path);
  return form.Text(Ctl::lblReadStatus, 4);
}

// Each run of the report lies where filefrag and sysfs say, and the
// alignments and the line are those of these disk offsets.
void ExpectRunsAtWitnessOffsets(const nlohmann::json& json, const FilefragReport& witness,
                                long long partitionStart) {
  EXPECT_EQ(json["fragments"], witness.extents);
  ASSERT_EQ(json["runs"].size(), witness.physicalBytes.size());
  EXPECT_EQ(json["partition_offset"], partitionStart);
  const long long cluster = json["cluster_size"];
  std::vector<long long> absolute;
  for (std::size_t i = 0; i < witness.physicalBytes.size(); ++i) {
    absolute.push_back(partitionStart + witness.physicalBytes[i]);
    ASSERT_EQ(partitionStart + json["runs"][i]["lcn"].get<long long>() * cluster, absolute[i])
        << "run " << i;
  }
  const auto [minimum, maximum] = Alignments(absolute);
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
  EXPECT_EQ(RunCommand("dd if=/dev/urandom of=" + file +
                       " bs=1M count=" + std::to_string(mebibytes) + " conv=fsync status=none")
                .status,
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
    const auto why =
        LoopDisk::Unavailable({"sfdisk", "partx", "filefrag", "losetup"}, "mkfs.ext4 -q -F");
    if (!why.empty()) GTEST_SKIP() << why;
    disk = std::make_unique<LoopDisk>(dir, "200M",
                                      "label: dos\\nstart=2048, size=200000\\nstart=264200\\n");
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
  for (int i = 0; i < files; i += 2)
    std::filesystem::remove(unaligned + "/fill/" + std::to_string(i));
  RunCommand("sync");
  const std::string file = unaligned + "/frag.bin";
  ASSERT_EQ(
      RunCommand("dd if=/dev/urandom of=" + file + " bs=1M count=3 conv=fsync status=none").status,
      0);

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
  WriteText(file, std::string(3 << 20, 'd'));
  const auto witness = Filefrag(file);
  const std::string line = StatusLine(file);
  // Writeback may place the file at any moment; a place once given stays, so
  // a file still waiting after the line was made waited while it was made.
  if (RunCommand("filefrag -v " + file).out.find("delalloc") == std::string::npos)
    GTEST_SKIP() << "the kernel wrote the file back before its line was made";
  EXPECT_EQ(line,
            std::to_string(witness.extents) + (witness.extents > 1 ? " Fragments" : " Fragment"));
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

TEST_F(Btrfs, CompressionByFlagIsShown) {
  const std::string plain = disk->Format(0, "mkfs.btrfs -q -f");
  ASSERT_FALSE(plain.empty());
  const std::string flagged = plain + "/flagged.bin";
  ASSERT_EQ(RunCommand("touch " + flagged + " && chattr +c " + flagged).status, 0);
  WriteText(flagged, std::string(1 << 20, 'z'));
  const std::string random = plain + "/random.bin";
  ASSERT_EQ(RunCommand("dd if=/dev/urandom of=" + random + " bs=64k count=16 status=none").status,
            0);
  RunCommand("sync");
  const std::string flaggedLine = StatusLine(flagged);
  EXPECT_NE(flaggedLine.find(" Fragment"), std::string::npos);
  EXPECT_TRUE(flaggedLine.ends_with(", compressed")) << flaggedLine;
  // btrfs positions are not disk offsets: the count alone.
  const std::string randomLine = StatusLine(random);
  EXPECT_EQ(randomLine.find("compressed"), std::string::npos) << randomLine;
  EXPECT_EQ(randomLine.find("align"), std::string::npos) << randomLine;
}

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

// A file of n runs of 4 KiB, one at every 8 KiB, made without writing data.
std::string MakeRuns(const TempDir& dir, const std::string& name, int n) {
  const std::string file = dir.File(name);
  EXPECT_EQ(
      RunCommand(std::string(ORVANDEL_MAKE_RUNS) + " " + file + " " + std::to_string(n)).status, 0);
  return file;
}

struct Answer {
  os::BOOL ok;
  os::DWORD error;
  os::RETRIEVAL_POINTERS_HEAD head;
  std::vector<os::RETRIEVAL_POINTER> runs;
  bool operator==(const Answer& o) const {
    auto same = [](const os::RETRIEVAL_POINTER& a, const os::RETRIEVAL_POINTER& b) {
      return a.NextVcn == b.NextVcn && a.Lcn == b.Lcn;
    };
    return ok == o.ok && error == o.error && head.ExtentCount == o.head.ExtentCount &&
           head.StartingVcn == o.head.StartingVcn &&
           std::equal(runs.begin(), runs.end(), o.runs.begin(), o.runs.end(), same);
  }
};

// One retrieval query into buf as it is (its first element takes the head).
Answer Ask(os::HANDLE h, std::vector<os::RETRIEVAL_POINTER>& buf, std::int64_t from = 0) {
  const os::STARTING_VCN_INPUT_BUFFER start{from};
  os::DWORD returned = 0;
  Answer a{};
  a.ok =
      os::DeviceIoControl(h, os::FSCTL_GET_RETRIEVAL_POINTERS, std::as_bytes(std::span(&start, 1)),
                          std::as_writable_bytes(std::span(buf)), &returned);
  a.error = os::GetLastError();
  std::memcpy(&a.head, buf.data(), sizeof a.head);
  if (a.ok || a.error == os::ERROR_MORE_DATA) {
    EXPECT_EQ(returned, (a.head.ExtentCount + 1) * sizeof(os::RETRIEVAL_POINTER));
    a.runs.assign(buf.begin() + 1, buf.begin() + 1 + a.head.ExtentCount);
  }
  return a;
}

Answer FreshAnswer(const std::string& file, std::int64_t from = 0) {
  const os::HANDLE h = os::CreateFileA(file, os::GENERIC_READ, 3, os::OPEN_EXISTING, 0);
  std::vector<os::RETRIEVAL_POINTER> buf(100000);
  Answer a = Ask(h, buf, from);
  os::CloseHandle(h);
  return a;
}

bool TempIsExt4() {
  return RunCommand("stat -f -c %T " + std::filesystem::temp_directory_path().string()).out ==
         "ext2/ext3\n";
}

// Sparse files of 4 KiB blocks, against filefrag -v, whose gaps between
// logical offsets are the holes.
struct Extent {
  long long lcn, length;  // in clusters; lcn -1 for a hole
  bool operator==(const Extent&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Extent& r) {
  return o << "{" << r.lcn << ", " << r.length << "}";
}

// The runs filefrag -v's records make, records that continue each other in
// the file and on the disk joined, a hole wherever none lies, up to size.
std::vector<Extent> WitnessRuns(const std::string& path, long long size) {
  const auto r = RunCommand("filefrag -v " + path);
  std::smatch m;
  long long blockSize = 0;
  if (std::regex_search(r.out, m, std::regex(R"(blocks of (\d+) bytes)")))
    blockSize = std::stoll(m[1]);
  EXPECT_EQ(blockSize, 4096) << r.out;
  std::vector<Extent> runs;
  long long end = 0, physicalEnd = -1;
  std::istringstream lines(r.out);
  const std::regex record(R"(^\s*\d+:\s*(\d+)\.\.\s*(\d+):\s*(\d+)\.\.\s*(\d+):)");
  for (std::string line; std::getline(lines, line);) {
    if (!std::regex_search(line, m, record)) continue;
    const long long first = std::stoll(m[1]), last = std::stoll(m[2]), physical = std::stoll(m[3]);
    if (first > end) runs.push_back({-1, first - end});
    if (first == end && physical == physicalEnd && !runs.empty() && runs.back().lcn >= 0)
      runs.back().length += last - first + 1;
    else
      runs.push_back({physical, last - first + 1});
    end = last + 1;
    physicalEnd = physical + last - first + 1;
  }
  const long long blocks = (size + 4095) / 4096;
  if (blocks > end) runs.push_back({-1, blocks - end});
  return runs;
}

std::vector<Extent> RunsOf(const Answer& a) {
  std::vector<Extent> runs;
  std::int64_t vcn = a.head.StartingVcn;
  for (const auto& p : a.runs) {
    runs.push_back({p.Lcn, p.NextVcn - vcn});
    vcn = p.NextVcn;
  }
  return runs;
}

// Data written and flushed at the given {first block, count}, one write
// each, the file then size bytes.
using Blocks = std::vector<std::pair<int, int>>;
std::string SparseFile(const std::string& file, const Blocks& blocks, long long size) {
  EXPECT_EQ(RunCommand("truncate -s 0 " + file).status, 0);
  for (const auto& [first, count] : blocks)
    EXPECT_EQ(
        RunCommand("dd if=/dev/urandom of=" + file + " bs=4096 count=" + std::to_string(count) +
                   " seek=" + std::to_string(first) + " conv=notrunc,fsync status=none")
            .status,
        0);
  EXPECT_EQ(RunCommand("truncate -s " + std::to_string(size) + " " + file).status, 0);
  return file;
}

bool TempHas4KClusters() {
  return TempIsExt4() &&
         RunCommand("stat -f -c %S " + std::filesystem::temp_directory_path().string()).out ==
             "4096\n";
}

// 750 records and the 749 holes between them: 1499 runs.
TEST(RetrievalQueries, MoreRunsThanOneBufferAskWithGrowingBuffersFromTheStart) {
  if (!TempHas4KClusters()) GTEST_SKIP() << "the temporary folder is not ext4 with 4 KiB blocks";
  TempDir dir;
  const std::string file = MakeRuns(dir, "runs.bin", 750);
  const auto witness = WitnessRuns(file, static_cast<long long>(std::filesystem::file_size(file)));
  ASSERT_EQ(witness.size(), 1499u) << "the holes keep every record a run of its own";

  os::seam::Reset();
  os::seam::RecordIoControls();
  const std::string line = StatusLine(file);
  std::vector<std::pair<std::size_t, os::DWORD>> asked;
  for (const auto& call : os::seam::IoControlCalls())
    if (call.code == os::FSCTL_GET_RETRIEVAL_POINTERS)
      asked.emplace_back(call.outSize, call.ok ? 0 : call.error);
  os::seam::Reset();
  const decltype(asked) expected = {
      {10240, os::ERROR_MORE_DATA}, {20480, os::ERROR_MORE_DATA}, {30720, 0}};
  EXPECT_EQ(asked, expected);
  EXPECT_EQ(line.substr(0, line.find(',')), "1499 Fragments");

  const auto answer = FreshAnswer(file);
  EXPECT_EQ(answer.head.StartingVcn, 0);
  EXPECT_EQ(RunsOf(answer), witness);
}

// Partial answers are the first runs of the whole map, whether the caller
// hands a new buffer, grows the last one in place, or cleared it meanwhile.
TEST(RetrievalQueries, PartialAnswersArePrefixesOfTheMapWhateverTheBufferHeld) {
  if (!TempIsExt4()) GTEST_SKIP() << "the temporary folder is not on ext4";
  TempDir dir;
  const std::string file = MakeRuns(dir, "runs.bin", 750);
  const Answer whole = FreshAnswer(file);
  ASSERT_TRUE(whole.ok);
  ASSERT_EQ(whole.runs.size(), 1499u);
  auto prefix = [&](std::size_t n) {
    return Answer{os::FALSE,
                  os::ERROR_MORE_DATA,
                  {static_cast<os::DWORD>(n), 0},
                  {whole.runs.begin(), whole.runs.begin() + static_cast<std::ptrdiff_t>(n)}};
  };

  const os::HANDLE h = os::CreateFileA(file, os::GENERIC_READ, 3, os::OPEN_EXISTING, 0);
  std::vector<os::RETRIEVAL_POINTER> first(640);
  EXPECT_EQ(Ask(h, first), prefix(639));
  std::vector<os::RETRIEVAL_POINTER> grown;
  grown.reserve(2000);
  grown.resize(1280);
  EXPECT_EQ(Ask(h, grown), prefix(1279));
  // Cleared between two asks, grown in place: every run is written again.
  std::fill(grown.begin(), grown.end(), os::RETRIEVAL_POINTER{0, 0});
  grown.resize(1600);
  EXPECT_EQ(Ask(h, grown), whole);
  os::CloseHandle(h);
}

// Each report sees the file as it is: a change between two reports, or a
// write through the asking handle between two asks of one report.
TEST(RetrievalQueries, AChangedFileIsNeverAnsweredFromTheLayoutBefore) {
  if (!TempIsExt4()) GTEST_SKIP() << "the temporary folder is not on ext4";
  TempDir dir;
  const std::string file = MakeRuns(dir, "runs.bin", 1000);
  EXPECT_EQ(StatusLine(file).substr(0, 14), "1999 Fragments");
  // Same size, one record less: it and the holes around it become one hole.
  ASSERT_EQ(RunCommand("fallocate -p -o " + std::to_string(500 * 8192) + " -l 4096 " + file).status,
            0);
  EXPECT_EQ(StatusLine(file).substr(0, 14), "1997 Fragments");
  // One record more at the end, behind a hole.
  ASSERT_EQ(RunCommand("fallocate -o " + std::to_string(1000 * 8192) + " -l 4096 " + file).status,
            0);
  EXPECT_EQ(StatusLine(file).substr(0, 14), "1999 Fragments");

  const os::HANDLE h =
      os::CreateFileA(file, os::GENERIC_READ | os::GENERIC_WRITE, 3, os::OPEN_EXISTING, 0);
  std::vector<os::RETRIEVAL_POINTER> buf;
  buf.reserve(4000);
  buf.resize(640);
  EXPECT_EQ(Ask(h, buf).error, os::ERROR_MORE_DATA);
  // Data a block past the end: a new hole and a new run, not yet placed.
  // (Data into a hole of one block would answer as the hole did: both have
  // no place yet.)
  const std::string data(4096, 'w');
  ASSERT_NE(os::SetFilePointer(h, 1001 * 8192, nullptr, os::FILE_BEGIN),
            os::INVALID_SET_FILE_POINTER);
  ASSERT_EQ(os::WriteFile(h, std::as_bytes(std::span(data)), nullptr), os::TRUE);
  ASSERT_EQ(os::SetFilePointer(h, 0, nullptr, os::FILE_BEGIN), 0u);
  buf.resize(4000);
  const Answer after = Ask(h, buf);
  os::CloseHandle(h);
  EXPECT_TRUE(after.ok);
  EXPECT_EQ(after.head.ExtentCount, 2001u);
  EXPECT_EQ(after, FreshAnswer(file));
}

TEST(RetrievalQueries, HolesAreRunsWithoutAPlaceUpToTheEndOfTheFile) {
  if (!TempHas4KClusters()) GTEST_SKIP() << "the temporary folder is not ext4 with 4 KiB blocks";
  TempDir dir;
  struct Case {
    const char* name;
    Blocks blocks;
    long long size;
    std::vector<long long> lengths;  // negative for a hole
  };
  const Case cases[] = {
      {"between", {{0, 1}, {10, 1}}, 11 * 4096, {1, -9, 1}},
      {"leading", {{5, 1}}, 6 * 4096, {-5, 1}},
      {"trailing", {{0, 1}}, 10 * 4096, {1, -9}},
      {"trailing into a part of a cluster", {{0, 1}}, 10000, {1, -2}},
      {"holes only", {}, 1 << 20, {-256}},
      {"every kind", {{2, 2}, {7, 1}}, 12 * 4096, {-2, 2, -3, 1, -4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file =
        SparseFile(dir.File(std::to_string(&c - cases) + ".bin"), c.blocks, c.size);
    const Answer a = FreshAnswer(file);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.head.StartingVcn, 0);
    const auto runs = RunsOf(a);
    EXPECT_EQ(runs, WitnessRuns(file, c.size));
    ASSERT_EQ(runs.size(), c.lengths.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
      EXPECT_EQ(runs[i].length, std::llabs(c.lengths[i])) << "run " << i;
      EXPECT_EQ(runs[i].lcn < 0, c.lengths[i] < 0) << "run " << i;
    }
    const std::string line = StatusLine(file);
    EXPECT_EQ(line.substr(0, line.find(',')),
              FragmentCaption(static_cast<std::int32_t>(runs.size()), 0, 0));
  }
}

// An ask from inside a hole starts at the hole, as one from inside data
// starts at its run.
TEST(RetrievalQueries, AStartInsideAHoleIsAnsweredFromTheHole) {
  if (!TempHas4KClusters()) GTEST_SKIP() << "the temporary folder is not ext4 with 4 KiB blocks";
  TempDir dir;
  const std::string file = SparseFile(dir.File("sparse.bin"), {{0, 1}, {10, 1}}, 14 * 4096);
  const auto whole = RunsOf(FreshAnswer(file));
  ASSERT_EQ(whole.size(), 4u);
  const std::int64_t lcn10 = whole[2].lcn;

  Answer a = FreshAnswer(file, 5);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.head.StartingVcn, 1);
  EXPECT_EQ(RunsOf(a), (std::vector<Extent>{{-1, 9}, {lcn10, 1}, {-1, 3}}));
  a = FreshAnswer(file, 10);
  EXPECT_EQ(a.head.StartingVcn, 10);
  EXPECT_EQ(RunsOf(a), (std::vector<Extent>{{lcn10, 1}, {-1, 3}}));
  a = FreshAnswer(file, 13);
  EXPECT_EQ(a.head.StartingVcn, 11);
  EXPECT_EQ(RunsOf(a), (std::vector<Extent>{{-1, 3}}));
  a = FreshAnswer(file, 14);
  EXPECT_FALSE(a.ok);
  EXPECT_EQ(a.error, os::ERROR_HANDLE_EOF);
}

// The command line lists the holes among the runs; only runs with a place
// on the disk have an alignment.
TEST_F(Ext4Partitions, StatusJsonListsHolesAsRunsWithoutAPlace) {
  const long long start = disk->PartitionStart(1);
  const long long size = 48 * 4096;
  const std::string file = SparseFile(aligned + "/sparse.bin", {{1, 1}, {16, 2}, {40, 1}}, size);
  const auto expected = WitnessRuns(file, size);
  ASSERT_EQ(
      std::count_if(expected.begin(), expected.end(), [](const Extent& r) { return r.lcn < 0; }),
      4);
  const auto json = StatusJson(file);
  ASSERT_EQ(json["cluster_size"], 4096);
  std::vector<Extent> runs;
  for (const auto& r : json["runs"])
    runs.push_back({r["lcn"].get<long long>(), r["length"].get<long long>()});
  EXPECT_EQ(runs, expected);
  EXPECT_EQ(json["fragments"], expected.size());
  std::vector<long long> placed;
  for (const auto& r : expected)
    if (r.lcn >= 0) placed.push_back(start + r.lcn * 4096);
  const auto [minimum, maximum] = Alignments(placed);
  EXPECT_EQ(json["min_alignment"], minimum);
  EXPECT_EQ(json["max_alignment"], maximum);
  EXPECT_EQ(json["line"], FragmentCaption(static_cast<std::int32_t>(expected.size()),
                                          static_cast<std::int32_t>(minimum),
                                          static_cast<std::int32_t>(maximum)));
  EXPECT_EQ(json["line"], StatusLine(file));
}

// Compressed data shows without the flag. The walk for it may stop at the
// first encoded run; here that is the last one, so every run before it must
// be looked at.
TEST_F(Btrfs, DataCompressedOnlyInTheLastRunIsShown) {
  const std::string forced = disk->Format(0, "mkfs.btrfs -q -f", "compress-force=zstd");
  ASSERT_FALSE(forced.empty());
  const std::string file = forced + "/tail.bin";
  ASSERT_EQ(RunCommand("dd if=/dev/urandom of=" + file + " bs=128k count=8 conv=fsync status=none")
                .status,
            0);
  ASSERT_EQ(RunCommand("head -c 65536 /dev/zero >> " + file + " && sync " + file).status, 0);
  const auto records = RunCommand("filefrag -v " + file).out;
  std::vector<bool> encoded;
  std::istringstream lines(records);
  for (std::string line; std::getline(lines, line);)
    if (std::regex_search(line, std::regex(R"(^\s*\d+:)")))
      encoded.push_back(line.find("encoded") != std::string::npos);
  ASSERT_GE(encoded.size(), 2u) << records;
  ASSERT_TRUE(encoded.back()) << records;
  ASSERT_EQ(std::count(encoded.begin(), encoded.end(), true), 1) << "only the last run is encoded\n"
                                                                 << records;
  EXPECT_EQ(RunCommand("lsattr " + file).out.substr(0, 20).find('c'), std::string::npos)
      << "the file must not carry the flag, only compressed data";

  EXPECT_NE(os::GetFileAttributesA(file) & os::FILE_ATTRIBUTE_COMPRESSED, 0u);
  const std::string line = StatusLine(file);
  EXPECT_TRUE(line.ends_with(" Fragments, compressed")) << line;
}

}  // namespace
