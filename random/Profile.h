// The standard table: sequential and random rows, each read and then
// written, past the cache. One list for the command line and the windows.
#pragma once

#include <cstdint>
#include <string>

#include "random/RandomTest.h"

struct ProfileRow {
  const char* name;
  std::int64_t block;
  int depth;
  bool sequential;
};

inline constexpr ProfileRow kProfileRows[] = {{"SEQ1M Q8T1", 1 << 20, 8, true},
                                              {"SEQ1M Q1T1", 1 << 20, 1, true},
                                              {"RND4K Q32T1", 4096, 32, false},
                                              {"RND4K Q1T1", 4096, 1, false}};
inline constexpr int kProfileRowCount = 4;
// Each row is read, then written: job 2 * row + (writing ? 1 : 0).
inline constexpr int kProfileJobs = 2 * kProfileRowCount;
inline constexpr double kProfileSeconds = 5;

inline RandomDescription ProfileJob(int job, const std::string& file, std::int64_t size,
                                    double seconds) {
  const ProfileRow& row = kProfileRows[job / 2];
  RandomDescription d;
  d.file = file;
  d.size = size;
  d.blockSize = row.block;
  d.depth = row.depth;
  d.readPercent = job % 2 == 0 ? 100 : 0;
  d.seconds = seconds;
  d.sequential = row.sequential;
  // Past the cache, as such tables are: the disk, not the memory.
  d.fileFlags = static_cast<std::int32_t>(os::FILE_FLAG_NO_BUFFERING);
  return d;
}
