// Where a Write or Read run spent its time: when each thousandth of it
// completed, the system's dirty cache beside it, and its flushes at finish.
// Part of the run's record; the window draws it, the command line writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// A figure the system does not have.
inline constexpr std::int64_t kNoFigure = -1;

struct TimelineSlice {
  std::int64_t offset = 0;  // bytes transferred at the slice's end
  std::int64_t tNs = 0;     // since the run's clock started
  // The latest sample when the slice ended, in KiB; kNoFigure without one.
  std::int64_t dirtyKiB = kNoFigure;
  std::int64_t writebackKiB = kNoFigure;
  // The test file's own pages in the cache, dirty, under writeback.
  std::int64_t fileCachedKiB = kNoFigure;
  std::int64_t fileDirtyKiB = kNoFigure;
  std::int64_t fileWritebackKiB = kNoFigure;
};

struct CacheSample {
  std::int64_t tNs = 0;  // since the run's clock started; negative before it
  std::int64_t dirtyKiB = 0;
  std::int64_t writebackKiB = 0;
  // kNoFigure where the system keeps none for one file (Windows, or Linux
  // before cachestat), never estimated; also in the samples between two
  // counts of a file so large that counting it takes milliseconds.
  std::int64_t fileCachedKiB = kNoFigure;
  std::int64_t fileDirtyKiB = kNoFigure;
  std::int64_t fileWritebackKiB = kNoFigure;
};

struct FlushMark {
  enum Kind { File, Volume } kind = File;
  std::int64_t startNs = 0;
  std::int64_t endNs = 0;
};

struct Timeline {
  bool writing = true;
  std::vector<TimelineSlice> slices;
  std::vector<CacheSample> samples;  // every 50 ms through the flushes
  std::vector<FlushMark> flushes;
  bool cacheFigures = false;  // the system gave dirty and writeback figures
  bool fileFigures = false;   // and the samples carry the file's own
  // The system's thresholds at the run's start: background writeback, and
  // writers made to wait; kNoFigure where it has none.
  std::int64_t backgroundLimitBytes = kNoFigure;
  std::int64_t dirtyLimitBytes = kNoFigure;
  bool finished = false;  // the run is over; nothing more will come
  // The averages the result lines show, in MB/s (0: none shown).
  double averageMBps = 0;
  double averageWithFlushMBps = 0;

  // The slice's own throughput in MB/s (MB = 1,048,576 bytes); nullopt
  // when no time passed in it.
  std::optional<double> SliceMBps(std::size_t i) const;
  // Where the timeline ends on the clock: the last slice's end or the last
  // flush's, whichever is later.
  std::int64_t EndNs() const;
};
