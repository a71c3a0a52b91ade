// Alignment arithmetic and the status line, from synthetic runs.
#include <gtest/gtest.h>

#include "placement/FragmentReport.h"

namespace {

std::string Line(std::int64_t base, std::uint32_t cluster,
                 std::vector<os::RETRIEVAL_POINTER> runs) {
  std::int32_t minimum = 0, maximum = 0;
  AlignmentRange(base, cluster, runs, minimum, maximum);
  return FragmentCaption(static_cast<std::int32_t>(runs.size()), minimum, maximum);
}

TEST(Alignment, IsTheLargestPowerOfTwoFrom512Up) {
  EXPECT_EQ(GetOffsetAlignment(3222274048), 1048576);  // 0xC0100000
  EXPECT_EQ(GetOffsetAlignment(2088960), 8192);
  EXPECT_EQ(GetOffsetAlignment(512), 512);
  EXPECT_EQ(GetOffsetAlignment(1536), 512);
  EXPECT_EQ(GetOffsetAlignment(1000), 0);
  EXPECT_EQ(GetOffsetAlignment(256), 0);
  EXPECT_EQ(GetOffsetAlignment(0), 0);
  EXPECT_EQ(GetOffsetAlignment(-4096), 0);
  EXPECT_EQ(GetOffsetAlignment(std::int64_t{1} << 30), 1 << 30);
  EXPECT_EQ(GetOffsetAlignment(3 * (std::int64_t{1} << 30)), 1 << 30);
  // Multiples of 2^31 do not fit the 32-bit alignment: they report 2^30.
  EXPECT_EQ(GetOffsetAlignment(std::int64_t{1} << 31), 1 << 30);
  EXPECT_EQ(GetOffsetAlignment(std::int64_t{1} << 40), 1 << 30);
  EXPECT_EQ(GetOffsetAlignment(INT64_MIN), 0);
}

TEST(Alignment, HelpersKeepSignsAndHalves) {
  EXPECT_EQ(BigMod(-4097, 4096), -1);
  EXPECT_EQ(BigMod(4097, -4096), 1);
  EXPECT_EQ(BigMod(INT64_MIN, 512), 0);
  EXPECT_THROW(BigMod(1, 0), std::domain_error);
  EXPECT_EQ(MakeInt64(0, 1), 4294967296);
  EXPECT_EQ(MakeInt64(-1, 0), 4294967295);
  EXPECT_EQ(MakeInt64(-1, -1), -1);
  EXPECT_EQ(FormatBytesKM(512), "512");
  EXPECT_EQ(FormatBytesKM(1024), "1 K");
  EXPECT_EQ(FormatBytesKM(524288), "512 K");
  EXPECT_EQ(FormatBytesKM(2097152), "2 M");
  EXPECT_EQ(FormatBytesKM(1073741824), "1024 M");
  EXPECT_EQ(FormatBytesKM(1536), "1536");
  EXPECT_EQ(FormatBytesKM(0), "0 M");
}

TEST(StatusLine, NtfsAndFat32Examples) {
  const std::int64_t partition = 1048576;
  EXPECT_EQ(Line(partition, 4096, {{10, 786432}}), "1 Fragment, align=1 M");
  EXPECT_EQ(Line(partition, 4096, {{1, 1}, {2, 786432}}), "2 Fragments, align=4 K .. 1 M");
  EXPECT_EQ(Line(0, 4096, {{1, 16}, {2, 48}, {3, 80}}), "3 Fragments, align=64 K");
  // FAT32: data area at sector 2032, clusters of 8 x 512 bytes.
  EXPECT_EQ(Line(partition + 2032 * 512, 4096, {{1, 0}}), "1 Fragment, align=8 K");
}

TEST(StatusLine, RunsWithoutAlignmentShortenTheLine) {
  EXPECT_EQ(FragmentCaption(0, 0x7FFFFFFF, 0), "0 Fragment");
  EXPECT_EQ(FragmentCaption(12, 0, 0), "12 Fragments");
  // One run off every 512 boundary hides the alignment of the others.
  EXPECT_EQ(Line(100, 4096, {{1, 0}, {2, 256}}), "2 Fragments");
  // Runs without a place on the disk count but have no boundary.
  EXPECT_EQ(Line(1048576, 4096, {{5, -1}}), "1 Fragment");
  EXPECT_EQ(Line(1048576, 4096, {{5, -1}, {9, 256}}), "2 Fragments, align=2 M");
}

TEST(RunMap, OnlyRunsThatMoveForwardDescribeAFile) {
  using Runs = std::vector<os::RETRIEVAL_POINTER>;
  EXPECT_TRUE(RunsAreSound(0, Runs{{16, 100}, {48, -1}, {80, 7}}));
  EXPECT_TRUE(RunsAreSound(32, Runs{{33, 0}}));
  EXPECT_TRUE(RunsAreSound(0, Runs{})) << "an empty file has no runs";
  // Wine's answer: one run from 0 to -1.
  EXPECT_FALSE(RunsAreSound(0, Runs{{-1, 0}}));
  EXPECT_FALSE(RunsAreSound(0, Runs{{0, 5}})) << "a run of no clusters";
  EXPECT_FALSE(RunsAreSound(0, Runs{{16, 100}, {16, 200}}));
  EXPECT_FALSE(RunsAreSound(0, Runs{{16, 100}, {48, 3}, {20, 9}})) << "a later run going back";
  EXPECT_FALSE(RunsAreSound(32, Runs{{32, 1}}));
  EXPECT_FALSE(RunsAreSound(-5, Runs{{16, 1}}));
  EXPECT_FALSE(RunsAreSound(0, Runs{{16, -2}})) << "no cluster lies before the disk";
}

}  // namespace
