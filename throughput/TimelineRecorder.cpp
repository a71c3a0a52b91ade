#include "throughput/TimelineRecorder.h"

#include <algorithm>
#include <limits>

#include "platform/os.h"
#include "throughput/ThroughputRun.h"

namespace {

constexpr std::uint64_t kHalf = 0xFFFFFFFFu;

}  // namespace

// Two 32-bit KiB counts (up to 4 TiB each) in one word, so that the block
// loop reads a consistent pair without a lock.
std::uint64_t CacheSampler::Pack(std::uint64_t dirtyKiB, std::uint64_t writebackKiB) {
  return (std::min(dirtyKiB, kHalf - 1) << 32) | std::min(writebackKiB, kHalf - 1);
}

void CacheSampler::Unpack(std::uint64_t packed, std::int64_t* dirtyKiB,
                          std::int64_t* writebackKiB) {
  if (packed == kNone) {
    *dirtyKiB = *writebackKiB = kNoFigure;
    return;
  }
  *dirtyKiB = static_cast<std::int64_t>(packed >> 32);
  *writebackKiB = static_cast<std::int64_t>(packed & kHalf);
}

namespace {

std::int64_t KiB(std::int64_t bytes) { return bytes < 0 ? kNoFigure : (bytes + 1023) / 1024; }

}  // namespace

void CacheSampler::TakeSample() {
  std::uint64_t dirty = 0, writeback = 0;
  if (!os::runtime::CacheFigures(&dirty, &writeback)) return;
  CacheSample c{0, static_cast<std::int64_t>(dirty), static_cast<std::int64_t>(writeback)};
  os::runtime::FileCache f;
  bool file = false;
  if (fileSkips_ > 0) {
    --fileSkips_;
  } else {
    // cachestat walks every page of the file: on a large file of small
    // pages it takes milliseconds, and is then asked less often, so that it
    // never costs more than a two-hundredth of a core, which may well be the
    // run's own.
    const std::int64_t from = TimelineRecorder::NowNs();
    file = os::runtime::WatchedFileCache(&f);
    fileSkips_ = (TimelineRecorder::NowNs() - from) / (budgetNs_ > 0 ? budgetNs_ : 1);
  }
  if (file) {
    c.fileCachedKiB = KiB(f.cachedBytes);
    c.fileDirtyKiB = KiB(f.dirtyBytes);
    c.fileWritebackKiB = KiB(f.writebackBytes);
  }
  // Timed before it is published, so that no slice ends before its sample.
  c.tNs = TimelineRecorder::NowNs();
  samples_.push_back(c);
  latest_.store(Pack(dirty, writeback), std::memory_order_relaxed);
}

bool CacheSampler::Start(std::chrono::milliseconds interval, os::HANDLE file) {
  samples_.clear();
  samples_.reserve(1024);
  copied_ = 0;
  fileSkips_ = 0;
  budgetNs_ = std::chrono::duration_cast<std::chrono::nanoseconds>(interval).count() / 200;
  std::uint64_t dirty = 0, writeback = 0;
  if (!os::runtime::CacheFigures(&dirty, &writeback)) return false;
  stop_ = false;
  separated_ = false;
  thread_ = std::thread([this, interval, file] { Run(interval, file); });
  // The run's first blocks would otherwise pay for a file table still shared,
  // for as long as the thread waits for a core; and the first sample comes
  // before the run's clock starts.
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return separated_; });
  return true;
}

void CacheSampler::Run(std::chrono::milliseconds interval, os::HANDLE file) {
  // The run's transfers keep the cost they have in a program of one thread.
  os::runtime::SeparateFileTable(file);
  std::unique_lock lock(mutex_);
  TakeSample();
  separated_ = true;
  wake_.notify_all();
  auto next = std::chrono::steady_clock::now() + interval;
  while (!wake_.wait_until(lock, next, [this] { return stop_; })) {
    TakeSample();
    next += interval;
    // A thread held up longer than an interval does not catch up in a burst.
    const auto now = std::chrono::steady_clock::now();
    if (next < now) next = now + interval;
  }
  TakeSample();
}

void CacheSampler::CopyNew(std::vector<CacheSample>& into) {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return;
  into.insert(into.end(), samples_.begin() + static_cast<std::ptrdiff_t>(copied_), samples_.end());
  copied_ = samples_.size();
}

void CacheSampler::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void TimelineRecorder::Prepare(std::function<void(const Timeline&)> show, bool writing,
                               std::int64_t wholeBlocks, os::HANDLE file) {
  show_ = std::move(show);
  prepared_ = true;
  timeline_ = Timeline{};
  timeline_.writing = writing;
  wholeBlocks_ = std::max<std::int64_t>(0, wholeBlocks);
  // One slice more for the final partial transfer of a short run.
  timeline_.slices.reserve(static_cast<std::size_t>(std::min(kSlices, wholeBlocks_) + 1));
  timeline_.flushes.reserve(2);
  slicesMarked_ = 0;
  const std::int64_t n = std::min(kSlices, wholeBlocks_);
  nextMark_ = n > 0 ? (wholeBlocks_ + n - 1) / n : -1;
  timeline_.samples.reserve(4096);
  const os::runtime::DirtyThresholds limits = os::runtime::DirtyLimits();
  timeline_.backgroundLimitBytes = limits.backgroundBytes;
  timeline_.dirtyLimitBytes = limits.dirtyBytes;
  timeline_.cacheFigures = sampler_.Start(std::chrono::milliseconds(50), file);
  show_(timeline_);
}

void TimelineRecorder::Mark(std::int64_t offset) {
  TimelineSlice& s = timeline_.slices.emplace_back();  // reserved: no allocation
  s.offset = offset;
  s.tNs = NowNs() - baseNs_;
  CacheSampler::Unpack(sampler_.Latest(), &s.dirtyKiB, &s.writebackKiB);
  // Samples so far, for a face that draws them as the run goes; the blocks
  // had no pause yet, so their times need no more than the base.
  const std::size_t from = timeline_.samples.size();
  sampler_.CopyNew(timeline_.samples);
  for (std::size_t i = from; i < timeline_.samples.size(); ++i) {
    timeline_.samples[i].tNs -= baseNs_;
    timeline_.fileFigures |= timeline_.samples[i].fileCachedKiB != kNoFigure;
  }
  // Slice k of n ends after ceil(k * blocks / n) blocks: every block when
  // there are fewer than n.
  const std::int64_t n = std::min(kSlices, wholeBlocks_);
  const std::int64_t k = ++slicesMarked_ + 1;
  nextMark_ = k <= n ? (k * wholeBlocks_ + n - 1) / n : -1;
  show_(timeline_);
}

void TimelineRecorder::End(std::int64_t offset, std::int64_t clockNs) {
  if (!prepared_) return;
  auto& slices = timeline_.slices;
  // The final partial transfer is a slice of its own where slices are
  // blocks; otherwise the last slice ends where the run's clock stopped.
  const bool ownSlice =
      slices.empty() || (wholeBlocks_ < kSlices && offset != slices.back().offset);
  TimelineSlice& s = ownSlice ? slices.emplace_back() : slices.back();
  s.offset = offset;
  s.tNs = clockNs - baseNs_;
  CacheSampler::Unpack(sampler_.Latest(), &s.dirtyKiB, &s.writebackKiB);
  show_(timeline_);
}

void TimelineRecorder::Pause(std::int64_t fromClockNs, std::int64_t toClockNs) {
  pauses_.emplace_back(fromClockNs - baseNs_, toClockNs - fromClockNs);
}

void TimelineRecorder::Flush(FlushMark::Kind kind, std::int64_t startClockNs,
                             std::int64_t endClockNs) {
  if (!prepared_) return;
  timeline_.flushes.push_back({kind, RunNs(startClockNs), RunNs(endClockNs)});
}

void TimelineRecorder::Finish(ThroughputRecord& rec) {
  if (!prepared_) return;
  prepared_ = false;
  sampler_.Stop();
  timeline_.samples = std::move(sampler_.Samples());
  for (CacheSample& c : timeline_.samples) {
    c.tNs = RunNs(c.tNs);
    timeline_.fileFigures |= c.fileCachedKiB != kNoFigure;
  }
  // Each slice carries the latest figures when it ended: the system's of
  // the latest sample, the file's of the latest sample that has them.
  std::size_t at = 0;
  const CacheSample* system = nullptr;
  const CacheSample* file = nullptr;
  const auto& samples = timeline_.samples;
  for (TimelineSlice& s : timeline_.slices) {
    for (; at < samples.size() && samples[at].tNs <= s.tNs; ++at) {
      system = &samples[at];
      if (samples[at].fileCachedKiB != kNoFigure) file = &samples[at];
    }
    if (system) {
      s.dirtyKiB = system->dirtyKiB;
      s.writebackKiB = system->writebackKiB;
    }
    if (file) {
      s.fileCachedKiB = file->fileCachedKiB;
      s.fileDirtyKiB = file->fileDirtyKiB;
      s.fileWritebackKiB = file->fileWritebackKiB;
    }
  }
  timeline_.finished = true;
  // The averages exactly as the result lines give them.
  if (rec.stoppedBy == 0) {
    timeline_.averageMBps = MBps(rec.testSize, rec.elapsedNs);
    const bool flushed = rec.fileFlushMs >= 0 || rec.volumeFlushMs >= 0;
    if (flushed && !rec.FlushFailed())
      timeline_.averageWithFlushMBps = MBps(rec.testSize, rec.elapsedWithFlushNs);
  }
  rec.timeline = std::move(timeline_);
  timeline_ = Timeline{};
  // Called from the run's exit guard: a face that fails to take the whole
  // timeline must not end the program.
  try {
    show_(rec.timeline);
  } catch (...) {
  }
}
