#include "throughput/ThroughputRun.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <span>

#include "engine/FileRules.h"
#include "engine/Timing.h"
#include "fileio/basFiles.h"
#include "throughput/Rnd.h"
#include "throughput/TimelineRecorder.h"

namespace {

constexpr std::int64_t kMB = 1048576;
constexpr std::int32_t kPage = 4096;

// Whole bytes of a fixed-point count, halves to even.
std::int64_t RoundFixed(std::int64_t fixed) {
  std::int64_t whole = fixed / kFixed;
  const std::int64_t rest = fixed % kFixed;
  if (rest > kFixed / 2 || (rest == kFixed / 2 && (whole & 1))) ++whole;
  return whole;
}

std::int32_t RoundUpToPage(std::int64_t n) {
  return static_cast<std::int32_t>((n + kPage - 1) / kPage * kPage);
}

// One page more than a block, so that the final transfer rounded up to a
// whole page still fits.
std::size_t BufferSize(std::int32_t blockSize) {
  return static_cast<std::size_t>((static_cast<std::int64_t>(blockSize) + kPage) &
                                  ~std::int64_t{kPage - 1});
}

// A fixed-point size, saturated instead of overflowing.
std::int64_t ToFixed(std::int64_t bytes) {
  return bytes > std::numeric_limits<std::int64_t>::max() / kFixed
             ? std::numeric_limits<std::int64_t>::max()
             : bytes * kFixed;
}

// One run from its description to its record. Each step returns false when
// the run ends there; the destructor gives back whatever it took.
class Run {
 public:
  Run(const ThroughputDescription& d, clsFile64& file, ThroughputObserver& observer)
      : d_(d), file_(file), observer_(observer) {
    rec_.writing = d.writing;
    rec_.blockSize = d.blockSize;
    rec_.fileFlags = d.fileFlags;
  }
  ~Run() { Release(); }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  ThroughputRecord Execute() {
    try {
      if (ReserveBuffer() && SizeTheRun() && OpenTheFile() && SettleAndCheck() && Blocks() &&
          FinalTransfer() && Flushes())
        Complete();
    } catch (const Win32FileError& e) {
      // A file closed or lost under the run.
      Fail(d_.file + ": " + e.Description());
    } catch (const std::exception& e) {
      Fail(d_.file + ": " + e.what());
    }
    Release();
    return std::move(rec_);
  }

 private:
  bool Refuse(const std::string& why) {
    rec_.failure = RunFailure::Refused;
    rec_.message = why;
    return false;
  }
  bool End(RunFailure failure, const std::string& message, const std::string& detail) {
    rec_.failure = failure;
    rec_.message = message;
    rec_.detail = detail;
    return false;
  }
  bool Fail(const std::string& detail) { return End(RunFailure::Error, "Error", detail); }

  // The path and the system's reason, for the message's detail. A link whose
  // target is gone is named as such: the name itself exists.
  std::string Reason(os::DWORD code) const {
    if (code == os::ERROR_FILE_NOT_FOUND || code == os::ERROR_PATH_NOT_FOUND)
      if (const std::string target = os::runtime::MissingLinkTarget(d_.file); !target.empty())
        return d_.file + ": the link's target is missing: " + target;
    return d_.file + ": " + SystemReason(code);
  }

  // A stop request ends the run where it is: the file closed, no message.
  bool Stopped() {
    rec_.stoppedBy = observer_.StopRequested();
    if (rec_.stoppedBy == 0) return false;
    if (file_.IsOpen()) file_.CloseFile();
    return true;
  }

  bool ReserveBuffer() {
    bufferSize_ = BufferSize(d_.blockSize);
    const std::string noBuffer =
        "Cannot reserve a buffer of " + std::to_string(bufferSize_) + " bytes for the blocks.";
    // The system promises more than it has: a buffer beyond half of what this
    // process can really use would be met by the out-of-memory killer, not by
    // a failed reservation.
    const std::uint64_t memory = os::runtime::PhysicalMemory();
    if (memory != 0 && bufferSize_ > memory / 2) return Refuse(noBuffer);
    buffer_ = os::VirtualAlloc(nullptr, bufferSize_, os::MEM_COMMIT, os::PAGE_READWRITE);
    if (!buffer_) return Refuse(noBuffer);
    const std::span<std::byte> bytes(static_cast<std::byte*>(buffer_), bufferSize_);
    if (os::VirtualLock(buffer_, bufferSize_) != os::TRUE) {
      // Pages not locked come in on first touch: not inside the timed blocks.
      for (std::size_t at = 0; at < bufferSize_; at += kPage) bytes[at] = std::byte{0};
    }
    if (d_.randomData) FillRandomWords(bytes, d_.blockSize);
    return true;
  }

  bool SizeTheRun() {
    if (!d_.writing) {
      if (!FileExists(d_.file, "")) {
        // The system's own reason: a name too long, a loop of links, a folder
        // that may not be entered.
        const os::DWORD why = os::GetFileAttributesA(d_.file) == os::INVALID_FILE_ATTRIBUTES
                                  ? os::GetLastError()
                                  : os::ERROR_FILE_NOT_FOUND;
        return End(RunFailure::NotFound, "File not found", Reason(why));
      }
      const std::int64_t length = GetFileSize64(d_.file);
      if (d_.offset > 0 && length <= d_.offset)
        return End(RunFailure::Error, "Error reading the file",
                   d_.file + ": the file ends at " + std::to_string(length) +
                       " bytes, before the part to read at " + std::to_string(d_.offset) + ".");
      rec_.testSize = std::min(ToFixed(length - d_.offset), d_.size);
      return true;
    }
    rec_.testSize = d_.size;
    // A run that would fill its file system is refused before it writes: the
    // system and its other programs need the space too.
    if (const std::string full = FreeSpaceRefusal(d_.file, BytesWritten(d_.size, d_.blockSize));
        !full.empty())
      return Refuse(full);
    // Contents of the user's own are replaced only when the user agrees.
    if (GetFileSize64(d_.file) > 0 && !IsDefaultTestFile(d_.file) &&
        !os::runtime::WrittenByProgram(d_.file) && !observer_.MayReplace(d_.file))
      return false;
    return true;
  }

  bool OpenTheFile() {
    os::Sleep(10);
    const bool reused = file_.IsOpen();
    if (!reused && !file_.OpenFile(d_.file, d_.fileFlags))
      return End(RunFailure::OpenFailed, "Error opening the file", Reason(os::GetLastError()));
    if (reused || d_.offset > 0)
      file_.SeekAbsolute(static_cast<std::int32_t>(d_.offset >> 32),
                         static_cast<std::int32_t>(d_.offset & 0xFFFFFFFF));
    observer_.Opened(file_.FileHandle());
    // Earlier writes of anyone must not land in this run's time.
    bool found = false;
    volume_ = OpenVolumeOf(file_.FileHandle(), found);
    FlushVolume(volume_);
    return true;
  }

  bool SettleAndCheck() {
    os::SetPriorityClass(Process(), os::HIGH_PRIORITY_CLASS);
    os::Sleep(10);
    if (!file_.IsOpen() || Stopped()) return false;
    if (d_.evictFirst && !Evict()) return false;
    observer_.Prepared();
    if (d_.recordTimeline)
      timeline_.Prepare([this](const Timeline& t) { observer_.TimelineChanged(t); }, d_.writing,
                        rec_.testSize / (static_cast<std::int64_t>(d_.blockSize) * kFixed),
                        file_.FileHandle());
    return true;
  }

  // The file may be closed under a Write run by the buttons it lets the user
  // press; a transfer on a closed file counts as failed.
  std::int32_t Transfer(std::int32_t count) {
    if (!file_.IsOpen()) return 0;
    return d_.writing ? file_.WriteBytesFromPointer(count, buffer_)
                      : file_.ReadBytesToPointer(count, buffer_);
  }

  // Why the latest transfer failed. A read that met the end of the file
  // early failed without any error: the file was shortened under it.
  bool TransferFailed() {
    if (!file_.IsOpen()) return Fail(d_.file + ": the file was closed during the run.");
    if (!d_.writing && file_.LastError() == 0)
      return Fail(d_.file + ": the file ended after " +
                  std::to_string(rec_.transferred + rec_.finalResult) +
                  " bytes, before the end of the run.");
    return Fail(Reason(file_.LastError()));
  }

  // Dirty pages are written before they are dropped: what stays is what
  // the system would not let go.
  bool Evict() {
    rec_.cache.beforeEvict = TakeCache();
    if (!os::runtime::DropFileCache(file_.FileHandle()))
      return Fail("dropping the cached pages of " + Reason(os::GetLastError()));
    rec_.cache.evicted = true;
    return true;
  }

  // The file's pages in the cache, and when on the run's clock.
  CacheReading TakeCache() {
    CacheReading r;
    r.tNs = os::runtime::ClockNs() - clock_.startNs;
    if (file_.IsOpen() && os::runtime::FileCacheFigures(file_.FileHandle(), &r.figures)) return r;
    const os::DWORD why = os::GetLastError();
    if (rec_.cache.reason.empty() && file_.IsOpen()) rec_.cache.reason = SystemReason(why);
    return r;
  }

  // Kept out of the time with flush, as the settling pause is.
  void TakeCacheAfterFlush(FlushMark::Kind kind) {
    const Stopwatch spent = Stopwatch::Start();
    rec_.cache.afterFlushes.push_back({kind, TakeCache()});
    const Stopwatch::Reading took = spent.Read();
    outsideMs_ += took.ms;
    outsideNs_ += took.ns;
    timeline_.Pause(spent.startNs, spent.startNs + took.ns);
  }

  bool Blocks() {
    rec_.cache.atStart = TakeCache();
    clock_ = Stopwatch::Start();
    rec_.clockStartNs = clock_.startNs;
    // Both were taken before the clock had a start to count from.
    rec_.cache.atStart.tNs -= clock_.startNs;
    if (rec_.cache.evicted) rec_.cache.beforeEvict.tNs -= clock_.startNs;
    timeline_.Start(clock_.startNs);
    observer_.ClockStarted();
    if (d_.flushEveryBlock) file_.AutoFlush(true);

    const std::int64_t blockFixed = static_cast<std::int64_t>(d_.blockSize) * kFixed;
    rec_.wholeBlocks = rec_.testSize / blockFixed;
    const double blocksInFile = static_cast<double>(rec_.testSize) / kFixed / d_.blockSize;
    std::int64_t total = 0;
    int shownPercent = -1;
    // The percentage is worked out again only near the block where it can
    // change next.
    std::int64_t nextPercentAt = 0;
    for (std::int64_t i = 0; i < rec_.wholeBlocks; ++i) {
      const std::int32_t count = Transfer(d_.blockSize);
      if (count == 0 || file_.FlushFailed()) return TransferFailed();
      total += count;
      rec_.transferred = total;
      timeline_.Block(i + 1, total);
      if (i >= nextPercentAt) {
        const auto percent =
            static_cast<int>(std::floor(static_cast<double>(i) / blocksInFile * 100));
        if (percent != shownPercent) {
          shownPercent = percent;
          observer_.Progress(percent);
        }
        // One block of margin against the rounding of the division.
        nextPercentAt =
            std::max(i + 1, static_cast<std::int64_t>((percent + 1) * blocksInFile / 100) - 1);
      }
      if (d_.writing) observer_.ProcessMessages();
      if (observer_.StopRequested() != 0 && Stopped()) return false;
      if (d_.stopAfterNs > 0 && os::runtime::ClockNs() - clock_.startNs >= d_.stopAfterNs &&
          i + 1 < rec_.wholeBlocks) {
        rec_.cutShort = true;
        rec_.wholeBlocks = i + 1;
        rec_.testSize = total * kFixed;
        break;
      }
    }
    return true;
  }

  // Short transfers can leave more than a block; the final transfer never
  // runs past the buffer.
  bool FinalTransfer() {
    if (!file_.IsOpen()) return TransferFailed();
    const std::int64_t remainder =
        std::min<std::int64_t>(RoundFixed(rec_.testSize - rec_.transferred * kFixed), bufferSize_);
    rec_.finalCount = RoundUpToPage(remainder);
    rec_.finalResult = Transfer(rec_.finalCount);
    // A write must place all of it; a read ends at the end of the file, which
    // lies beyond what the run counts.
    const std::int64_t needed = d_.writing ? rec_.finalCount : remainder;
    if (rec_.finalResult < needed || file_.FlushFailed()) return TransferFailed();
    observer_.BlocksDone();

    const Stopwatch::Reading end = clock_.Read();
    rec_.elapsedMs = end.ms;
    rec_.elapsedNs = end.ns;
    const std::int64_t endNs = clock_.startNs + end.ns;
    timeline_.End(rec_.transferred + rec_.finalResult, endNs);
    rec_.cache.atStop = TakeCache();
    observer_.ClockStopped();
    // The settling pause stays, outside both measured intervals.
    os::Sleep(10);
    afterPause_ = Stopwatch::Start();
    rec_.sleepNs = afterPause_.startNs - endNs;
    timeline_.Pause(endNs, afterPause_.startNs);
    return true;
  }

  // A flush the system refuses means it dropped data: the record says so
  // and why, and no figure is given with it.
  // One flush at finish: timed on the run's clock, its failure kept with
  // the system's reason.
  void FlushAtFinish(FlushMark::Kind kind, const std::function<os::DWORD()>& flush) {
    const bool file = kind == FlushMark::File;
    observer_.FlushStarting(rec_, kind);
    const FlushTiming t = TimedFlush(flush);
    (file ? rec_.fileFlushMs : rec_.volumeFlushMs) = std::max(0, t.took.ms - (file ? 1 : 0));
    (file ? rec_.fileFlushNs : rec_.volumeFlushNs) = t.took.ns;
    timeline_.Flush(kind, t.startNs, t.startNs + t.took.ns);
    TakeCacheAfterFlush(kind);
    if (t.error != 0) {
      (file ? rec_.fileFlushFailed : rec_.volumeFlushFailed) = true;
      (file ? rec_.fileFlushReason : rec_.volumeFlushReason) = SystemReason(t.error);
      if (flushFailure_.empty())
        flushFailure_ = (file ? "flushing " : "flushing the volume of ") + Reason(t.error);
    }
    observer_.FlushEnded(rec_, kind);
  }

  bool Flushes() {
    if (d_.writing) rec_.choices = observer_.AtFinish();
    if (rec_.choices.flushFile && !Stopped())
      FlushAtFinish(FlushMark::File, [this]() -> os::DWORD {
        return file_.Flush() || !FlushDroppedData(file_.LastError()) ? 0 : file_.LastError();
      });
    if (rec_.stoppedBy || Stopped()) return false;
    if (rec_.choices.flushVolume && !Stopped())
      FlushAtFinish(FlushMark::Volume, [this] { return FlushVolume(volume_); });
    // A request that came during the final transfer or a flush still ends
    // the run as stopped, not with its figures.
    return !(rec_.stoppedBy || Stopped());
  }

  void Complete() {
    MarkWritten();
    if (file_.IsOpen()) file_.CloseFile();
    const Stopwatch::Reading after = afterPause_.Read();
    rec_.elapsedWithFlushMs = rec_.elapsedMs + after.ms - outsideMs_;
    rec_.elapsedWithFlushNs = rec_.elapsedNs + after.ns - outsideNs_;
    os::Sleep(10);
    if (!flushFailure_.empty()) {
      Fail(flushFailure_);
      return;
    }
    rec_.finished = true;
  }

  // A file that took the run's data is the program's from now on.
  void MarkWritten() {
    if (d_.writing && rec_.transferred + rec_.finalResult > 0 && file_.IsOpen())
      os::runtime::MarkWrittenByProgram(file_.FileHandle());
  }

  os::HANDLE Process() {
    if (process_ == 0)
      process_ = os::OpenProcess(os::PROCESS_SET_INFORMATION | os::PROCESS_QUERY_INFORMATION,
                                 os::FALSE, os::GetCurrentProcessId());
    return process_;
  }

  void Release() {
    if (released_) return;
    released_ = true;
    MarkWritten();
    if (process_ != 0) {
      os::SetPriorityClass(process_, os::NORMAL_PRIORITY_CLASS);
      os::CloseHandle(process_);
    }
    if (volume_ != os::INVALID_HANDLE_VALUE) os::CloseHandle(volume_);
    if (buffer_) {
      os::VirtualUnlock(buffer_, bufferSize_);
      os::VirtualFree(buffer_, 0, os::MEM_DECOMMIT);
      os::VirtualFree(buffer_, 0, os::MEM_RELEASE);
    }
    timeline_.Finish(rec_);
  }

  const ThroughputDescription& d_;
  clsFile64& file_;
  ThroughputObserver& observer_;
  ThroughputRecord rec_;
  void* buffer_ = nullptr;
  std::size_t bufferSize_ = 0;
  os::HANDLE volume_ = os::INVALID_HANDLE_VALUE;
  os::HANDLE process_ = 0;
  TimelineRecorder timeline_;
  Stopwatch clock_, afterPause_;
  std::string flushFailure_;
  std::int32_t outsideMs_ = 0;  // the cache figures taken between the flushes
  std::int64_t outsideNs_ = 0;
  bool released_ = false;
};

}  // namespace

std::int64_t BytesWritten(std::int64_t size, std::int32_t blockSize) {
  const std::int64_t blockFixed = static_cast<std::int64_t>(blockSize) * kFixed;
  const std::int64_t whole = size / blockFixed * blockSize;
  const std::int64_t rest = std::min<std::int64_t>(
      RoundFixed(size - whole * kFixed), static_cast<std::int64_t>(BufferSize(blockSize)));
  return whole + RoundUpToPage(rest);
}

double MBps(std::int64_t size, std::int64_t ns) {
  if (ns <= 0) return 0;
  return static_cast<double>(size) / kFixed / kMB * 1e9 / static_cast<double>(ns);
}

ThroughputRecord RunThroughput(const ThroughputDescription& run, clsFile64& file,
                               ThroughputObserver& observer) {
  return Run(run, file, observer).Execute();
}
