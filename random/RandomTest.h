// The random-order test: transfers of one block size at random block
// offsets of the test file, at a queue depth on each of several threads,
// with the latency of every transfer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/os.h"
#include "random/Histogram.h"

struct RandomDescription {
  std::string file;
  // The part of the file the run covers; 0: the whole file as it is.
  std::int64_t size = 0;
  std::int64_t blockSize = 4096;
  // 100 reads only, 0 writes only, anything between a mix.
  int readPercent = 100;
  int depth = 1;
  int threads = 1;
  // The run ends after seconds, or after count transfers of all threads.
  double seconds = 0;
  std::int64_t count = 0;
  // FILE_FLAG_NO_BUFFERING, FILE_FLAG_WRITE_THROUGH, FILE_FLAG_RANDOM_ACCESS,
  // FILE_FLAG_SEQUENTIAL_SCAN.
  std::int32_t fileFlags = 0;
  std::uint64_t seed = 1;
  // Blocks in file order instead (the profile's sequential rows).
  bool sequential = false;
  // Ends the run at this many seconds even before its count (0: no limit).
  double stopAfterSeconds = 0;
};

struct RandomProgress {
  bool preparing = false;  // writing a missing or short file, untimed
  std::int64_t transfers = 0, bytes = 0, elapsedNs = 0;
  double fraction = 0;  // of the run (or of the preparation)
};

struct RandomRecord {
  std::string engine;  // "io_uring", "threads", "pread" or "iocp"
  double iops = 0, mbPerSec = 0;
  std::int64_t bytes = 0, transfers = 0, reads = 0, writes = 0;
  std::int64_t elapsedNs = 0;
  std::int64_t startNs = 0;        // the clock's start, on os::runtime::ClockNs
  std::int64_t blocks = 0;         // blocks of the covered part
  std::int64_t preparedBytes = 0;  // written before the run, untimed
  // The most transfers in flight at once, over all threads.
  std::int64_t maxInFlight = 0;
  Histogram latency;  // nanoseconds, every thread's
  // Transfers completed in each whole second of the run.
  std::vector<std::int64_t> iopsPerSecond;
  std::string message, detail;  // why it failed; empty when it did not
  int stoppedBy = 0;
  bool finished = false;
};

class RandomObserver {
 public:
  virtual ~RandomObserver() = default;
  // From the thread that called RunRandom, about ten times a second.
  virtual void Progress(const RandomProgress&) {}
  // The file is ready; the clock starts next. From the calling thread.
  virtual void Prepared() {}
  // Asked from the same thread, every few milliseconds.
  virtual int StopRequested() { return os::runtime::StopRequested(); }
  // Whether a file that this program did not write may take the run's writes.
  virtual bool MayReplace(const std::string& /*file*/) { return true; }
};

RandomRecord RunRandom(const RandomDescription& d, RandomObserver& observer);
