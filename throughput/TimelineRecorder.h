// Records a run's timeline. The block loop only compares a count and, at a
// slice's end, reads the clock into memory reserved before the run's clock
// starts; a second thread samples the cache figures.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/os.h"
#include "throughput/Timeline.h"

struct ThroughputRecord;

// Samples the dirty and writeback figures, and the run's file's own, on its
// own thread. It shares with the block loop the latest system pair, packed
// into one atomic word, and its samples behind a lock the loop never waits on.
class CacheSampler {
 public:
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};

  CacheSampler() = default;
  ~CacheSampler() { Stop(); }
  CacheSampler(const CacheSampler&) = delete;
  CacheSampler& operator=(const CacheSampler&) = delete;

  // False when the system has no figures; then no thread starts. Returns
  // once the thread holds no file of the caller's but its own open of file.
  bool Start(std::chrono::milliseconds interval, os::HANDLE file = os::INVALID_HANDLE_VALUE);
  // Takes a last sample, ends the thread; samples are then the caller's.
  void Stop();
  std::uint64_t Latest() const { return latest_.load(std::memory_order_relaxed); }
  // Valid after Stop. Times are of the steady clock, in ns.
  std::vector<CacheSample>& Samples() { return samples_; }
  // Appends the samples taken since the last call, unless the thread is
  // taking one just now.
  void CopyNew(std::vector<CacheSample>& into);

  static std::uint64_t Pack(std::uint64_t dirtyKiB, std::uint64_t writebackKiB);
  static void Unpack(std::uint64_t packed, std::int64_t* dirtyKiB, std::int64_t* writebackKiB);

 private:
  void Run(std::chrono::milliseconds interval, os::HANDLE file);
  void TakeSample();

  std::atomic<std::uint64_t> latest_{kNone};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool separated_ = false;  // the thread no longer shares the run's files
  std::vector<CacheSample> samples_;
  std::size_t copied_ = 0;
  std::int64_t fileSkips_ = 0;  // samples to take without the file's figures
  std::int64_t budgetNs_ = 0;
};

// One run's recording. The run calls Prepare before its clock starts, Block
// after each whole block, End when its clock stops, Flush for each flush at
// finish and Finish at its exit.
class TimelineRecorder {
 public:
  static constexpr std::int64_t kSlices = 1000;

  // Reserves every slice; show sees the empty timeline, then each change.
  // The samples follow file's own cache figures.
  void Prepare(std::function<void(const Timeline&)> show, bool writing, std::int64_t wholeBlocks,
               os::HANDLE file = os::INVALID_HANDLE_VALUE);
  // The run's clock starts now (ns of the steady clock).
  void Start(std::int64_t clockNs) {
    baseNs_ = clockNs;
    pauses_.clear();
  }
  // blocks whole blocks are done, offset bytes moved.
  void Block(std::int64_t blocks, std::int64_t offset) {
    if (blocks == nextMark_) [[unlikely]]
      Mark(offset);
  }
  // The final transfer moved the run to offset; the clock stopped at clockNs.
  void End(std::int64_t offset, std::int64_t clockNs);
  // The settling pause between the blocks and the flushes, or a reading
  // between the flushes: no part of any figure, so the run's clock skips it.
  void Pause(std::int64_t fromClockNs, std::int64_t toClockNs);
  void Flush(FlushMark::Kind kind, std::int64_t startClockNs, std::int64_t endClockNs);
  // Merges the samples, gives the record its timeline and shows it whole.
  // Nothing happens for a run that never prepared one.
  void Finish(ThroughputRecord& rec);

  static std::int64_t NowNs() { return os::runtime::ClockNs(); }

 private:
  void Mark(std::int64_t offset);
  // A steady-clock reading on the run's clock.
  std::int64_t RunNs(std::int64_t clockNs) const {
    const std::int64_t t = clockNs - baseNs_;
    std::int64_t run = t;
    for (const auto& [from, length] : pauses_)
      if (t > from) run -= std::min(length, t - from);
    return run;
  }

  std::function<void(const Timeline&)> show_;
  Timeline timeline_;
  CacheSampler sampler_;
  std::int64_t wholeBlocks_ = 0;
  // Since the base, and how long; few, and kept only after the blocks.
  std::vector<std::pair<std::int64_t, std::int64_t>> pauses_;
  std::int64_t slicesMarked_ = 0;
  std::int64_t nextMark_ = -1;  // never matched until prepared
  std::int64_t baseNs_ = 0;
  bool prepared_ = false;
};
