// The Write and Read runs: one test file, block by block, timed with the
// millisecond clock the window shows and with a nanosecond clock for the
// exact figures. A description in, a record out; a face takes part only
// through the observer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fileio/clsFile64.h"
#include "platform/os.h"
#include "throughput/Timeline.h"

// Sizes are in ten-thousandths of a byte: the window's size field takes MB
// with four decimals, and its figures are computed from that exact amount.
inline constexpr std::int64_t kFixed = 10000;

struct ThroughputDescription {
  std::string file;
  bool writing = true;
  // Write: the size to write. Read: at most this much of the file.
  std::int64_t size = 0;
  std::int32_t blockSize = 0;  // bytes, 1 or more
  bool randomData = false;     // pseudo-random words instead of zeros
  std::int32_t fileFlags = 0;  // the FILE_FLAG_* bits the file is opened with
  bool flushEveryBlock = false;
  bool recordTimeline = true;
  // Write the file back and drop its pages from the cache before the clock
  // starts, so that a Read comes from the disk; other files' pages stay.
  bool evictFirst = false;
  // Where in the file the run starts: a segment of a file shared with
  // other writers. A Read run reads at most size from there.
  std::int64_t offset = 0;
  // The blocks end at this time on the run's clock even before the size is
  // done; the figures are of what was done (0: no such limit).
  std::int64_t stopAfterNs = 0;
};

// The "at finish" choices, read when the flushes are about to run.
struct FinishChoices {
  bool flushFile = false;
  bool flushVolume = false;
};

// How a run that did not finish ended, for the message a face shows.
enum class RunFailure {
  None,
  Refused,     // input the run cannot use: message only, nothing opened
  NotFound,    // the file to read is missing
  OpenFailed,  // the file cannot be opened
  Error,       // a transfer or a flush failed, or the run met an exception
};

// The test file's pages in the system's cache at one moment of the run,
// taken outside every timed interval.
struct CacheReading {
  os::runtime::FileCache figures;  // source None: not taken
  std::int64_t tNs = 0;            // on the run's clock; negative before it started
  bool Taken() const { return figures.source != os::runtime::FileCache::Source::None; }
  // Bytes still to be written to the disk: dirty or under writeback; -1
  // when the source does not tell.
  std::int64_t Unwritten() const {
    return figures.dirtyBytes < 0 ? -1 : figures.dirtyBytes + figures.writebackBytes;
  }
};

struct RunCache {
  bool evicted = false;  // the pages were dropped before the clock started
  CacheReading beforeEvict;
  CacheReading atStart;  // just before the clock started
  CacheReading atStop;   // the blocks done, before any flush
  struct AfterFlush {
    FlushMark::Kind kind = FlushMark::File;
    CacheReading reading;
  };
  std::vector<AfterFlush> afterFlushes;
  std::string reason;  // the system's, when it gave no figure
};

struct ThroughputRecord {
  bool finished = false;  // reached the result lines, every step succeeded
  RunFailure failure = RunFailure::None;
  std::string message;  // the message the run ended with, if any
  std::string detail;   // its detail: the path and the system's reason
  int stoppedBy = 0;    // the stop request that ended it
  bool writing = true;
  std::int64_t testSize = 0;  // ten-thousandths of a byte
  std::int32_t blockSize = 0;
  std::int32_t fileFlags = 0;
  std::int64_t wholeBlocks = 0;
  std::int64_t transferred = 0;  // by the whole blocks
  std::int32_t finalCount = 0;
  std::int32_t finalResult = 0;
  FinishChoices choices;       // as read when the flushes began
  std::int32_t elapsedMs = 0;  // without flush
  std::int32_t elapsedWithFlushMs = 0;
  std::int32_t fileFlushMs = -1;  // -1: not made
  std::int32_t volumeFlushMs = -1;
  std::int64_t elapsedNs = 0;
  std::int64_t elapsedWithFlushNs = 0;
  std::int64_t fileFlushNs = -1;
  std::int64_t volumeFlushNs = -1;
  bool fileFlushFailed = false;
  bool volumeFlushFailed = false;
  std::string fileFlushReason, volumeFlushReason;  // the system's, when failed
  std::int64_t sleepNs = 0;                        // the settling pause kept out of both intervals
  std::int64_t clockStartNs = 0;                   // on os::runtime::ClockNs
  bool cutShort = false;  // stopAfterNs ended the blocks before the size was done
  Timeline timeline;
  RunCache cache;

  bool FlushFailed() const { return fileFlushFailed || volumeFlushFailed; }
  // Result lines stand: the run finished, or only a flush failed.
  bool HasLines() const { return finished || (failure == RunFailure::Error && FlushFailed()); }
};

// Every hook has a default that does nothing, so that a face implements
// only what it shows.
class ThroughputObserver {
 public:
  virtual ~ThroughputObserver() = default;
  // The file holds contents this program did not write; true replaces them.
  virtual bool MayReplace(const std::string& /*path*/) { return true; }
  // The file is open; h stays valid until the run ends.
  virtual void Opened(os::HANDLE /*h*/) {}
  // What preparing changed may be painted now, before the clock starts.
  virtual void Prepared() {}
  virtual void ClockStarted() {}
  // Percent of the whole blocks done, at each change.
  virtual void Progress(int /*percent*/) {}
  // The final transfer is done; the clock stops next.
  virtual void BlocksDone() {}
  // The clock has stopped; the flushes come next. Time spent here is kept
  // out of every figure, as the settling pause is.
  virtual void ClockStopped() {}
  // Between the blocks of a Write run: the face handles its input.
  virtual void ProcessMessages() {}
  virtual FinishChoices AtFinish() { return {}; }
  virtual void FlushStarting(const ThroughputRecord& /*rec*/, FlushMark::Kind /*kind*/) {}
  virtual void FlushEnded(const ThroughputRecord& /*rec*/, FlushMark::Kind /*kind*/) {}
  virtual void TimelineChanged(const Timeline& /*timeline*/) {}
  // The signal number of a stop request, 0 while there is none.
  virtual int StopRequested() { return os::runtime::StopRequested(); }
};

// Runs one Write or Read on file, which may already be open: a file a
// failed run left open is reused with its old flags.
ThroughputRecord RunThroughput(const ThroughputDescription& run, clsFile64& file,
                               ThroughputObserver& observer);

// The bytes a Write run of size puts into the file: whole blocks, then the
// rest rounded up to a page.
std::int64_t BytesWritten(std::int64_t size, std::int32_t blockSize);

// MB/s (MB = 1,048,576 bytes) of size in ns; 0 when no time passed.
double MBps(std::int64_t size, std::int64_t ns);
