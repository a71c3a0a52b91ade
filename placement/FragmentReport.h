// How the test file lies on the disk: its fragments and the power-of-two
// disk boundaries they begin on, partition offset included.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/os.h"

// What one report worked with, for callers that show more than the line.
struct FragmentDetails {
  std::string fileSystem;
  std::uint32_t clusterSize = 0;
  std::int64_t dataAreaOffset = 0;
  std::int64_t partitionOffset = 0;
  struct Run {
    std::int64_t lcn;     // -1: no place on the disk
    std::int64_t length;  // clusters
  };
  std::vector<Run> runs;
  bool alignmentComputed = false;
};

// Asks for the file's runs; false when the file system cannot tell, and then
// count, minimum and maximum are left as they are. The alignments are only
// written for file systems whose cluster numbers are disk positions.
bool GetFileFragments(const std::string& drive, os::HANDLE hFile, std::int32_t& count,
                      std::int32_t& minimum, std::int32_t& maximum,
                      FragmentDetails* details = nullptr);

// The smallest and largest alignment of the runs' disk offsets, base being
// where cluster 0 lies; runs without a place (Lcn -1) are left out. With no
// placed run, minimum 0x7FFFFFFF and maximum 0.
void AlignmentRange(std::int64_t base, std::uint32_t clusterSize,
                    std::span<const os::RETRIEVAL_POINTER> runs, std::int32_t& minimum,
                    std::int32_t& maximum);

// True when the runs could describe a file: each ends after it starts, the
// first at or after startingVcn. Wine answers with one run that ends before
// it starts, which says nothing about the file.
bool RunsAreSound(std::int64_t startingVcn, std::span<const os::RETRIEVAL_POINTER> runs);

// "3 Fragments, align=4 K .. 1 M", and the shorter forms.
std::string FragmentCaption(std::int32_t count, std::int32_t minimum, std::int32_t maximum);

// The largest power of two of 512 or more that divides offset, 0 when there
// is none (or offset is not positive); at most 2^30, which also stands for
// every larger power.
std::int32_t GetOffsetAlignment(std::int64_t offset);

// x mod y with the sign of x; y must not be 0.
std::int64_t BigMod(std::int64_t x, std::int64_t y);

// Where the drive's partition begins on its disk; 0 when unknown.
std::int64_t GetPartitionOffset(const std::string& drive);

std::int64_t MakeInt64(std::int32_t low, std::int32_t high);

// 1048576 -> "1 M", 4096 -> "4 K", 1536 -> "1536".
std::string FormatBytesKM(std::int32_t n);
